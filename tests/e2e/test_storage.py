"""Browsing and deleting recordings on the SD card: "get_video_directory" and
"set_storage_deletefile"."""

import os
import subprocess
import time
import unittest
from pathlib import Path

import harness
from harness import DOC_ROOT, SD_MARKER, SD_ROOT, SandboxTest, envelope, json_print


def params_envelope(reason, raw):
    """A parameter envelope: the "Parameters" text is inserted as printed."""
    head = json_print({"Result": "OK", "Reason": reason})
    return head[:-2] + ',\n\t"Parameters":\t' + raw + "\n}"


def time_text(path):
    t = time.localtime(os.stat(path).st_ctime)
    return "%02d:%02d:%02d" % (t.tm_hour, t.tm_min, t.tm_sec)


def scan_order(folder):
    """(files, folders) in the order the file system returns them."""
    files, dirs = [], []
    with os.scandir(folder) as it:
        for e in it:
            (dirs if e.is_dir(follow_symlinks=False) else files).append(e.name)
    return files, dirs


def make_file(path, size=0, content=None):
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as f:
        if content is not None:
            f.write(content)
        else:
            f.truncate(size)
    return path


def expected_listing(folder, grade):
    files, dirs = scan_order(folder)
    objects = []
    if grade != 0:
        info = [{"size": os.stat(Path(folder) / n).st_size, "time": time_text(Path(folder) / n), "name": n}
                for n in files if n != "recodefilelist.txt"]
        objects.append({"dir_name": "", "file_info": info})
    for d in reversed(dirs):
        objects.append({"dir_name": d if grade == 0 else "", "file_info": []})
    return params_envelope("Successfully to get params", json_print(objects))


@unittest.skipUnless(harness.DEVSIM.exists(), "needs build/devsim for the login")
class StorageTestBase(SandboxTest):
    def setUp(self):
        super().setUp()
        self.sb.start_devsim()
        self.server = self.sb.start_server()
        self.sid = self.sb.login()

    def listing(self, body):
        return self.sb.cmd("get_video_directory", query={"sessionid": self.sid}, body=body)

    def delete(self, body):
        return self.sb.cmd("set_storage_deletefile", query={"sessionid": self.sid}, body=body)

    def fail(self, reason):
        return envelope("Fail", reason)

    def read_only_marker(self):
        subprocess.run(["mount", "--bind", str(SD_MARKER), str(SD_MARKER)], check=True)
        subprocess.run(["mount", "-o", "remount,bind,ro", str(SD_MARKER)], check=True)


class ListingTest(StorageTestBase):
    def prepare(self):
        make_file(SD_ROOT / "20240101080000.mp4", content=b"x" * 1234)
        make_file(SD_ROOT / "20240101090000.mp4", content=b"")
        make_file(SD_ROOT / "big.mp4", size=5 * 1024 ** 3)  # sparse
        make_file(SD_ROOT / ("n" * 150 + ".mp4"), content=b"long")
        for d in ("2024-01-01", "2024-01-02", "2024-01-03"):
            (SD_ROOT / d).mkdir()
        make_file(SD_ROOT / "2024-01-02" / "inner.mp4", content=b"abc")

    def test_both_grades_on_a_prepared_tree(self):
        self.prepare()
        for grade in (1, 0, 7, True):
            r = self.listing({"dir": str(SD_ROOT) + "/", "tagfiles": "", "grade": grade})
            self.assertEnvelope(r, expected_listing(SD_ROOT, 0 if grade == 0 else 1))
        self.assertIn('"size":\t5368709120,', r.text)
        self.assertIn('"n' + "n" * 149 + '.mp4"', r.text)
        self.assertNotIn("recodefilelist.txt", r.text)
        self.assertIn("storage dir file :recodefilelist.txt\n", self.server.stdout())
        self.assertIn("record_file = \n", self.server.stdout())

        r = self.listing({"dir": str(SD_ROOT / "2024-01-02"), "tagfiles": "x", "grade": 1})
        self.assertEnvelope(r, expected_listing(SD_ROOT / "2024-01-02", 1))

    def test_empty_folder(self):
        (SD_ROOT / "empty").mkdir()
        r = self.listing({"dir": str(SD_ROOT / "empty"), "tagfiles": "", "grade": 0})
        self.assertEnvelope(r, params_envelope("Successfully to get params", "[]"))
        r = self.listing({"dir": str(SD_ROOT / "empty"), "tagfiles": "", "grade": 1})
        self.assertEnvelope(r, params_envelope("Successfully to get params",
                                               json_print([{"dir_name": "", "file_info": []}])))

    def test_query_form(self):
        self.prepare()
        r = self.sb.cmd("get_video_directory",
                        query={"sessionid": self.sid, "dir": str(SD_ROOT), "tagfiles": "t", "grade": "1"})
        self.assertEnvelope(r, expected_listing(SD_ROOT, 1))
        # A dir of digits only arrives as a number, even where such a folder exists.
        (SD_ROOT / "2024").mkdir()
        r = self.sb.cmd("get_video_directory",
                        query={"sessionid": self.sid, "dir": "2024", "tagfiles": "t", "grade": "1"})
        self.assertEnvelope(r, self.fail("Invalid input params"))
        self.assertIn("dir is empty or error value type : 8\n", self.server.stderr())

    def test_request_errors(self):
        good = {"dir": str(SD_ROOT), "tagfiles": "", "grade": 1}
        for broken in ({"tagfiles": "", "grade": 1}, {"dir": str(SD_ROOT), "grade": 1},
                       {"dir": str(SD_ROOT), "tagfiles": ""}, dict(good, grade="1"), dict(good, dir=5),
                       dict(good, tagfiles=None), "{not json"):
            self.assertEnvelope(self.listing(broken), self.fail("Invalid input params"))
        self.assertIn("tagfiles is empty or error value type : -1\n", self.server.stderr())
        self.assertIn("grade is empty or error value type : 16\n", self.server.stderr())

        # Missing, not a folder, or off the card (the server's working
        # directory is /, so relative names resolve there).
        (DOC_ROOT / "outside").mkdir()
        os.symlink(DOC_ROOT / "outside", SD_ROOT / "escape")
        for d in (str(SD_ROOT / "missing"), str(SD_MARKER), str(DOC_ROOT), str(DOC_ROOT / "outside"),
                  str(SD_ROOT / "escape"), str(SD_ROOT) + "/../outside", "/", "mnt/app/web_root", "",
                  "mnt/app/web_root/sd/../outside"):
            r = self.listing(dict(good, dir=d))
            self.assertEnvelope(r, self.fail("Failed to get params"))
        self.assertIn("get Storage Param fail  return : -1\n", self.server.stderr())
        # A relative name on the card is fine.
        self.assertEnvelope(self.listing(dict(good, dir="mnt/app/web_root/sd")), expected_listing(SD_ROOT, 1))

    def test_marker_rule(self):
        good = {"dir": str(SD_ROOT), "tagfiles": "", "grade": 1}
        self.read_only_marker()
        self.assertEnvelope(self.listing(good), self.fail("storage device not mount"))
        self.assertIn(" Storage device not mounted: " + str(SD_MARKER), self.server.stderr())
        subprocess.run(["umount", str(SD_MARKER)], check=True)
        self.assertEnvelope(self.listing(good), expected_listing(SD_ROOT, 1))
        SD_MARKER.unlink()
        for d in (str(SD_ROOT), str(SD_ROOT / "missing")):
            self.assertEnvelope(self.listing(dict(good, dir=d)), self.fail("storage device not mount"))
        # The request is read first.
        self.assertEnvelope(self.listing({"dir": str(SD_ROOT)}), self.fail("Invalid input params"))

    def test_cut_off_at_4096_files(self):
        folder = SD_ROOT / "many"
        folder.mkdir()
        for i in range(4200):
            (folder / ("f%05d.mp4" % i)).touch()
        for i in range(5):
            (folder / ("sub%d" % i)).mkdir()
        files, dirs = [], []
        with os.scandir(folder) as it:
            for e in it:
                if e.is_dir():
                    dirs.insert(0, e.name)
                else:
                    files.append(e.name)
                    if len(files) == 4096:
                        break
        r = self.listing({"dir": str(folder), "tagfiles": "", "grade": 1})
        reply = r.json()
        got = reply["Parameters"]
        self.assertEqual([f["name"] for f in got[0]["file_info"]], files)
        self.assertEqual(len(got) - 1, len(dirs))
        r = self.listing({"dir": str(folder), "tagfiles": "", "grade": 0})
        self.assertEqual(len(r.json()["Parameters"]), 5)


class DeletionTest(StorageTestBase):
    def test_files(self):
        for n in ("a.mp4", "b.mp4", "c.mp4", "keep.mp4"):
            make_file(SD_ROOT / n, content=b"v")
        r = self.delete({"mode": 1, "file": ["a.mp4", "nosuch.mp4", "b.mp4"]})
        self.assertEnvelope(r, envelope("OK", "Successfully to set params"))
        self.assertIn("remove file succeed!  len:3", self.server.stdout())
        self.assertFalse((SD_ROOT / "a.mp4").exists())
        self.assertFalse((SD_ROOT / "b.mp4").exists())
        # A number leaves its place empty: the names after it are not reached.
        r = self.delete({"mode": 1, "file": ["c.mp4", 5, "keep.mp4"]})
        self.assertEnvelope(r, envelope("OK", "Successfully to set params"))
        self.assertFalse((SD_ROOT / "c.mp4").exists())
        self.assertTrue((SD_ROOT / "keep.mp4").exists())
        self.assertEnvelope(self.delete({"mode": 1, "file": []}), envelope("OK", "Successfully to set params"))
        self.assertIn("remove file succeed!  len:0", self.server.stdout())
        # A folder is not a file: logged, and the request still succeeds.
        (SD_ROOT / "dir").mkdir()
        self.assertEnvelope(self.delete({"mode": True, "file": ["dir"]}),
                            envelope("OK", "Successfully to set params"))
        self.assertIn("remove file failure! path:/mnt/app/web_root/sd//dir\n", self.server.stderr())
        self.assertTrue((SD_ROOT / "dir").is_dir())

    def test_folders(self):
        make_file(SD_ROOT / "2024-01-01" / "a.mp4", content=b"1")
        make_file(SD_ROOT / "2024-01-01" / "b.mp4", content=b"2")
        make_file(SD_ROOT / "2024-01-02" / "c.mp4", content=b"3")
        (SD_ROOT / "2024-01-02" / "sub").mkdir()
        (SD_ROOT / "2024-01-03").mkdir()
        r = self.delete({"mode": 0, "file": ["2024-01-01"]})
        self.assertEnvelope(r, envelope("OK", "Successfully to set params"))
        self.assertFalse((SD_ROOT / "2024-01-01").exists())

        r = self.delete({"mode": 0, "file": ["2024-01-02", "2024-01-03"]})
        self.assertEnvelope(r, self.fail("set delect storage fil fail"))
        self.assertFalse((SD_ROOT / "2024-01-02" / "c.mp4").exists())
        self.assertTrue((SD_ROOT / "2024-01-02" / "sub").is_dir())
        self.assertTrue((SD_ROOT / "2024-01-03").is_dir())  # never reached
        err = self.server.stderr()
        self.assertEqual(err.count("remove dir failure! path:/mnt/app/web_root/sd//2024-01-02\n"), 2)
        for step in ("DEVSDK_Rm_Dir", "DEVSDK_Delect_StorageFile"):
            self.assertIn(step + ">: remove dir failure!", err)
        self.assertIn("actionSetStorageDelectFile>: Delect file fail! return: -1", err)

    def test_failure_answers(self):
        make_file(SD_ROOT / "a.mp4", content=b"a")
        self.assertEnvelope(self.delete({"mode": 2, "file": ["a.mp4"]}), self.fail("set delect storage fil fail"))
        self.assertIn("Delect file fail! return: -2", self.server.stderr())
        for broken in ({"mode": 1}, {"file": ["a.mp4"]}, {"mode": "1", "file": ["a.mp4"]},
                       {"mode": 1, "file": "a.mp4"}, "[1,"):
            self.assertEnvelope(self.delete(broken), self.fail("Invalid input params"))
        self.assertIn(" array is empty or error value type \n", self.server.stderr())
        self.assertTrue((SD_ROOT / "a.mp4").exists())

        self.read_only_marker()
        self.assertEnvelope(self.delete({"mode": 1, "file": ["a.mp4"]}), self.fail("storage device not mount"))
        self.assertIn(" Storage device not mounted: 0", self.server.stderr())
        subprocess.run(["umount", str(SD_MARKER)], check=True)
        SD_MARKER.unlink()
        self.assertEnvelope(self.delete({"mode": 1, "file": ["a.mp4"]}), self.fail("storage device not mount"))
        self.assertTrue((SD_ROOT / "a.mp4").exists())

    def test_names_off_the_card_remove_nothing(self):
        make_file(SD_ROOT / "keep.mp4", content=b"k")
        make_file(SD_ROOT / "folder" / "in.mp4", content=b"i")
        victim = make_file(DOC_ROOT / "outside" / "victim.mp4", content=b"v")
        make_file(DOC_ROOT / "outside" / "other.mp4", content=b"o")
        tmp_victim = make_file("/tmp/victim.mp4", content=b"t")
        os.symlink(DOC_ROOT / "outside", SD_ROOT / "escape")
        os.symlink(victim, SD_ROOT / "link.mp4")
        refused = ["/tmp/victim.mp4", "../outside/victim.mp4", "folder/../../outside/victim.mp4",
                   "../../../../tmp/victim.mp4", "escape/victim.mp4", "escape", "link.mp4", "escape/none",
                   "x" * 64, "folder/" + "y" * 57]
        for bad in refused:
            for mode in (0, 1):
                r = self.delete({"mode": mode, "file": ["keep.mp4", "folder", bad, "folder/in.mp4"]})
                self.assertEnvelope(r, self.fail("set delect storage fil fail"))
        for p in (SD_ROOT / "keep.mp4", SD_ROOT / "folder" / "in.mp4", victim, DOC_ROOT / "outside" / "other.mp4",
                  tmp_victim, SD_ROOT / "escape", SD_ROOT / "link.mp4"):
            self.assertTrue(os.path.lexists(p), p)
        # 63 characters is still a name.
        make_file(SD_ROOT / ("z" * 63), content=b"z")
        self.assertEnvelope(self.delete({"mode": 1, "file": ["z" * 63]}),
                            envelope("OK", "Successfully to set params"))
        self.assertFalse((SD_ROOT / ("z" * 63)).exists())


if __name__ == "__main__":
    unittest.main()
