"""Browsing and deleting recordings on the SD card: "get_video_directory" and
"set_storage_deletefile"."""

import os
import subprocess
import time
from pathlib import Path

from harness import DOC_ROOT, SD_MARKER, SD_ROOT, DeviceTest, envelope, json_print, params_envelope

DONE = envelope("OK", "Successfully to set params")
INVALID = envelope("Fail", "Invalid input params")
NOT_MOUNTED = envelope("Fail", "storage device not mount")
DELETE_FAILED = envelope("Fail", "set delect storage fil fail")


def make_file(path, content=b""):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_bytes(content)
    return Path(path)


def expected_listing(folder, grade):  # the files in the order the file system returns them, the folders reversed
    entries = list(os.scandir(folder))
    info = [{"size": e.stat().st_size, "time": time.strftime("%H:%M:%S", time.localtime(e.stat().st_ctime)),
             "name": e.name} for e in entries if not e.is_dir(follow_symlinks=False) and e.name != "recodefilelist.txt"]
    dirs = [{"dir_name": e.name if grade == 0 else "", "file_info": []}
            for e in reversed(entries) if e.is_dir(follow_symlinks=False)]
    return params_envelope("Successfully to get params",
                           json_print(([] if grade == 0 else [{"dir_name": "", "file_info": info}]) + dirs))


class StorageTest(DeviceTest):
    def listing(self, body):
        return self.send("get_video_directory", body)

    def delete(self, body):
        return self.send("set_storage_deletefile", body)

    def prepare(self):  # the tree every test starts with
        make_file(SD_ROOT / "20240101080000.mp4", b"x" * 1234)
        make_file(SD_ROOT / "20240101090000.mp4")
        os.truncate(make_file(SD_ROOT / "big.mp4"), 5 * 1024 ** 3)  # sparse
        make_file(SD_ROOT / ("n" * 150 + ".mp4"), b"long")
        for d in ("2024-01-01", "2024-01-02", "2024-01-03", "empty"):
            (SD_ROOT / d).mkdir()
        make_file(SD_ROOT / "2024-01-02" / "inner.mp4", b"abc")

    def test_both_grades_on_a_prepared_tree_and_the_query_form(self):
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
        for grade, shown in ((0, "[]"), (1, json_print([{"dir_name": "", "file_info": []}]))):
            self.assertEnvelope(self.listing({"dir": str(SD_ROOT / "empty"), "tagfiles": "", "grade": grade}),
                                params_envelope("Successfully to get params", shown))
        # The query form is read too; a '/' there would end the action name, so a
        # dir in the query can only name something off the card.
        query = {"sessionid": self.sid, "dir": "mnt", "tagfiles": "t", "grade": "1"}
        self.assertEnvelope(self.sb.cmd("get_video_directory", query=query), envelope("Fail", "Failed to get params"))
        # A dir of digits only arrives as a number, even where such a folder exists.
        (SD_ROOT / "2024").mkdir()
        self.assertEnvelope(self.sb.cmd("get_video_directory", query=dict(query, dir="2024")), INVALID)
        self.assertIn("dir is empty or error value type : 8\n", self.server.stderr())

    def test_request_errors(self):
        good = {"dir": str(SD_ROOT), "tagfiles": "", "grade": 1}
        for broken in ({"tagfiles": "", "grade": 1}, {"dir": str(SD_ROOT), "grade": 1},
                       {"dir": str(SD_ROOT), "tagfiles": ""}, dict(good, grade="1"), dict(good, dir=5),
                       dict(good, tagfiles=None), "{not json"):
            self.assertEnvelope(self.listing(broken), INVALID)
        self.assertIn("tagfiles is empty or error value type : -1\n", self.server.stderr())
        self.assertIn("grade is empty or error value type : 16\n", self.server.stderr())
        # Missing, not a folder, or off the card (relative names resolve against /).
        (DOC_ROOT / "outside").mkdir()
        os.symlink(DOC_ROOT / "outside", SD_ROOT / "escape")
        for d in (str(SD_ROOT / "missing"), str(SD_MARKER), str(DOC_ROOT), str(DOC_ROOT / "outside"),
                  str(SD_ROOT / "escape"), str(SD_ROOT) + "/../outside", "/", "mnt/app/web_root", "",
                  "mnt/app/web_root/sd/../outside"):
            self.assertEnvelope(self.listing(dict(good, dir=d)), envelope("Fail", "Failed to get params"))
        self.assertIn("get Storage Param fail  return : -1\n", self.server.stderr())
        self.assertEnvelope(self.listing(dict(good, dir="mnt/app/web_root/sd")), expected_listing(SD_ROOT, 1))

    def test_marker_rule(self):
        good, remove = {"dir": str(SD_ROOT), "tagfiles": "", "grade": 1}, {"mode": 1, "file": ["big.mp4"]}
        # A marker file that cannot be written means no card.
        subprocess.run(["mount", "--bind", str(SD_MARKER), str(SD_MARKER)], check=True)
        subprocess.run(["mount", "-o", "remount,bind,ro", str(SD_MARKER)], check=True)
        self.assertEnvelope(self.listing(good), NOT_MOUNTED)
        self.assertIn(" Storage device not mounted: " + str(SD_MARKER), self.server.stderr())
        self.assertEnvelope(self.delete(remove), NOT_MOUNTED)
        self.assertIn(" Storage device not mounted: 0", self.server.stderr())
        subprocess.run(["umount", str(SD_MARKER)], check=True)
        self.assertEnvelope(self.listing(good), expected_listing(SD_ROOT, 1))
        SD_MARKER.unlink()
        for d in (str(SD_ROOT), str(SD_ROOT / "missing")):
            self.assertEnvelope(self.listing(dict(good, dir=d)), NOT_MOUNTED)
        self.assertEnvelope(self.delete(remove), NOT_MOUNTED)
        self.assertTrue((SD_ROOT / "big.mp4").exists())
        self.assertEnvelope(self.listing({"dir": str(SD_ROOT)}), INVALID)  # the request is read first

    def test_files(self):
        for n in ("a.mp4", "b.mp4", "c.mp4", "keep.mp4"):
            make_file(SD_ROOT / n, b"v")
        self.assertEnvelope(self.delete({"mode": 1, "file": ["a.mp4", "nosuch.mp4", "b.mp4"]}), DONE)
        self.assertIn("remove file succeed!  len:3", self.server.stdout())
        self.assertFalse((SD_ROOT / "a.mp4").exists() or (SD_ROOT / "b.mp4").exists())
        # A number leaves its place empty: the names after it are not reached.
        self.assertEnvelope(self.delete({"mode": 1, "file": ["c.mp4", 5, "keep.mp4"]}), DONE)
        self.assertEqual([(SD_ROOT / n).exists() for n in ("c.mp4", "keep.mp4")], [False, True])
        self.assertEnvelope(self.delete({"mode": 1, "file": []}), DONE)
        self.assertIn("remove file succeed!  len:0", self.server.stdout())
        # A folder is not a file: logged, and the request still succeeds.
        (SD_ROOT / "dir").mkdir()
        self.assertEnvelope(self.delete({"mode": True, "file": ["dir"]}), DONE)
        self.assertIn("remove file failure! path:/mnt/app/web_root/sd//dir\n", self.server.stderr())
        self.assertTrue((SD_ROOT / "dir").is_dir())

    def test_folders(self):
        for name in ("2024-01-01/a.mp4", "2024-01-01/b.mp4", "2024-01-02/c.mp4"):
            make_file(SD_ROOT / name, b"1")
        (SD_ROOT / "2024-01-02" / "sub").mkdir()  # (2024-01-03 is an empty folder of the prepared tree)
        self.assertEnvelope(self.delete({"mode": 0, "file": ["2024-01-01"]}), DONE)
        self.assertFalse((SD_ROOT / "2024-01-01").exists())
        self.assertEnvelope(self.delete({"mode": 0, "file": ["2024-01-02", "2024-01-03"]}), DELETE_FAILED)
        self.assertFalse((SD_ROOT / "2024-01-02" / "c.mp4").exists())
        self.assertTrue((SD_ROOT / "2024-01-02" / "sub").is_dir() and (SD_ROOT / "2024-01-03").is_dir())  # 03 unreached
        err = self.server.stderr()
        self.assertEqual(err.count("remove dir failure! path:/mnt/app/web_root/sd//2024-01-02\n"), 2)
        for step in ("DEVSDK_Rm_Dir", "DEVSDK_Delect_StorageFile"):
            self.assertIn(step + ">: remove dir failure!", err)
        self.assertIn("actionSetStorageDelectFile>: Delect file fail! return: -1", err)

    def test_failure_answers(self):
        make_file(SD_ROOT / "a.mp4", b"a")
        self.assertEnvelope(self.delete({"mode": 2, "file": ["a.mp4"]}), DELETE_FAILED)
        self.assertIn("Delect file fail! return: -2", self.server.stderr())
        for broken in ({"mode": 1}, {"file": ["a.mp4"]}, {"mode": "1", "file": ["a.mp4"]},
                       {"mode": 1, "file": "a.mp4"}, "[1,"):
            self.assertEnvelope(self.delete(broken), INVALID)
        self.assertIn(" array is empty or error value type \n", self.server.stderr())
        self.assertTrue((SD_ROOT / "a.mp4").exists())

    def test_names_off_the_card_remove_nothing(self):
        kept = [make_file(p, b"k") for p in (SD_ROOT / "keep.mp4", SD_ROOT / "folder" / "in.mp4", "/tmp/victim.mp4",
                                              DOC_ROOT / "outside" / "victim.mp4", DOC_ROOT / "outside" / "other.mp4")]
        kept += [SD_ROOT / "escape", SD_ROOT / "link.mp4"]
        os.symlink(DOC_ROOT / "outside", SD_ROOT / "escape")
        os.symlink(DOC_ROOT / "outside" / "victim.mp4", SD_ROOT / "link.mp4")
        for bad in ("/tmp/victim.mp4", "../outside/victim.mp4", "folder/../../outside/victim.mp4",
                    "../../../../tmp/victim.mp4", "escape/victim.mp4", "escape", "link.mp4", "escape/none",
                    "x" * 64, "folder/" + "y" * 57):
            for mode in (0, 1):
                r = self.delete({"mode": mode, "file": ["keep.mp4", "folder", bad, "folder/in.mp4"]})
                self.assertEnvelope(r, DELETE_FAILED)
        for p in kept:
            self.assertTrue(os.path.lexists(p), p)
        make_file(SD_ROOT / ("z" * 63), b"z")  # 63 characters is still a name
        self.assertEnvelope(self.delete({"mode": 1, "file": ["z" * 63]}), DONE)
        self.assertFalse((SD_ROOT / ("z" * 63)).exists())

