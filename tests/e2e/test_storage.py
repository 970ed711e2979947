"""Browsing and deleting recordings on the SD card."""

import os, subprocess, time
from pathlib import Path

from harness import DOC_ROOT, SD_MARKER, SD_ROOT, DeviceTest, envelope, json_print, params_envelope

DONE = envelope("OK", "Successfully to set params")
INVALID = envelope("Fail", "Invalid input params")
NOT_MOUNTED = envelope("Fail", "storage device not mount")
DELETE_FAILED = envelope("Fail", "set delect storage fil fail")
NO_DIR = envelope("Fail", "Failed to get params")


def make_file(path, content=b""):
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_bytes(content)
    return Path(path)


def expected_listing(folder, grade):  # files in the file system's order, folders reversed, names made valid UTF-8
    entries = list(os.scandir(folder))
    name = lambda e: os.fsencode(e.name).decode("utf-8", "replace")  # noqa: E731
    is_dir = lambda e: e.is_dir(follow_symlinks=False)  # noqa: E731
    info = [{"size": e.stat().st_size, "time": time.strftime("%H:%M:%S", time.localtime(e.stat().st_ctime)),
             "name": name(e)} for e in entries if not is_dir(e) and e.name != "recodefilelist.txt"]
    dirs = [{"dir_name": name(e) if grade == 0 else "", "file_info": []} for e in reversed(entries) if is_dir(e)]
    return params_envelope("Successfully to get params",
                           json_print(([] if grade == 0 else [{"dir_name": "", "file_info": info}]) + dirs))


class StorageTest(DeviceTest):
    def listing(self, body): return self.send("get_video_directory", body)

    def delete(self, mode, *names, body=None):
        return self.send("set_storage_deletefile", body or {"mode": mode, "file": list(names)})

    def prepare(self):  # the tree every test starts with
        make_file(SD_ROOT / "20240101080000.mp4", b"x" * 1234)
        os.truncate(make_file(SD_ROOT / "big.mp4"), 5 * 1024 ** 3)  # sparse
        make_file(SD_ROOT / ("n" * 150 + ".mp4"), b"long")
        make_file(os.fsdecode(bytes(SD_ROOT) + b"/bad\xff\xe5\x9b.mp4"), b"b")  # written by a PC, not UTF-8
        for d in ("2024-01-01", "2024-01-02", "empty", os.fsdecode(b"dir\xc0")):
            (SD_ROOT / d).mkdir()
        make_file(SD_ROOT / "2024-01-02" / "inner.mp4", b"abc")

    def test_both_grades_and_the_query_form(self):
        for grade in (1, 0, 7):
            r = self.listing({"dir": str(SD_ROOT) + "/", "tagfiles": "", "grade": grade})
            self.assertEnvelope(r, expected_listing(SD_ROOT, 0 if grade == 0 else 1))
            r.body.decode("utf-8")  # strictly valid UTF-8
        self.assertIn('"size":\t5368709120,', r.text)
        for grade, shown in ((0, "[]"), (1, json_print([{"dir_name": "", "file_info": []}]))):
            self.assertEnvelope(self.listing({"dir": str(SD_ROOT / "empty"), "tagfiles": "", "grade": grade}),
                                params_envelope("Successfully to get params", shown))
        # A dir of digits only arrives from the query as a number, even where such a folder exists.
        (SD_ROOT / "2024").mkdir()
        query = {"sessionid": self.sid, "dir": "2024", "tagfiles": "t", "grade": "1"}
        self.assertEnvelope(self.sb.cmd("get_video_directory", query=query), INVALID)

    def test_request_errors_and_folders_off_the_card(self):
        good = {"dir": str(SD_ROOT), "tagfiles": "", "grade": 1}
        for broken in ({"dir": str(SD_ROOT), "grade": 1}, dict(good, grade="1"), dict(good, dir=5), "{not json"):
            self.assertEnvelope(self.listing(broken), INVALID)
        (DOC_ROOT / "outside").mkdir()
        os.symlink(DOC_ROOT / "outside", SD_ROOT / "escape")
        for d in (str(SD_ROOT / "missing"), str(SD_MARKER), str(DOC_ROOT), str(SD_ROOT / "escape"),
                  str(SD_ROOT) + "/../outside", "/", ""):
            self.assertEnvelope(self.listing(dict(good, dir=d)), NO_DIR)
        self.assertEnvelope(self.listing(dict(good, dir="mnt/app/web_root/sd")), expected_listing(SD_ROOT, 1))

    def test_marker_rule(self):
        # A marker file that cannot be written (read-only mount), or none, means no card.
        for step in (["mount", "--bind", SD_MARKER, SD_MARKER], ["mount", "-o", "remount,bind,ro", SD_MARKER], None,
                     ["umount", SD_MARKER], SD_MARKER.unlink, None):
            if step is None:
                self.assertEnvelope(self.listing({"dir": str(SD_ROOT), "tagfiles": "", "grade": 1}), NOT_MOUNTED)
                self.assertEnvelope(self.delete(1, "big.mp4"), NOT_MOUNTED)
            else:
                step() if callable(step) else subprocess.run([str(a) for a in step], check=True)
        self.assertTrue((SD_ROOT / "big.mp4").exists())

    def test_deleting_files_and_folders(self):
        [make_file(SD_ROOT / n, b"v") for n in ("a.mp4", "b.mp4", "c.mp4", "keep.mp4", "2024-01-01/x.mp4")]
        (SD_ROOT / "2024-01-02" / "sub").mkdir()  # a folder within cannot be removed
        # A number leaves its place empty: the names after it are not reached.
        for mode, names, answer in ((1, ["a.mp4", "nosuch.mp4", "b.mp4"], DONE), (1, ["c.mp4", 5, "keep.mp4"], DONE),
                                    (0, ["2024-01-01"], DONE), (0, ["2024-01-02"], DELETE_FAILED),
                                    (2, ["keep.mp4"], DELETE_FAILED)):
            self.assertEnvelope(self.delete(mode, *names), answer)
        for broken in ({"mode": 1}, {"mode": "1", "file": ["keep.mp4"]}, {"mode": 1, "file": "keep.mp4"}):
            self.assertEnvelope(self.delete(0, body=broken), INVALID)
        gone = ("a.mp4", "b.mp4", "c.mp4", "2024-01-01", "2024-01-02/inner.mp4")
        self.assertEqual([(SD_ROOT / n).exists() for n in gone + ("keep.mp4",)], [False] * len(gone) + [True])

    def test_names_off_the_card_remove_nothing(self):
        kept = [make_file(p, b"k") for p in (SD_ROOT / "keep.mp4", SD_ROOT / "folder" / "in.mp4", "/tmp/victim.mp4",
                                              DOC_ROOT / "outside" / "victim.mp4")]
        kept += [SD_ROOT / "escape", SD_ROOT / "link.mp4"]
        os.symlink(DOC_ROOT / "outside", SD_ROOT / "escape")
        os.symlink(DOC_ROOT / "outside" / "victim.mp4", SD_ROOT / "link.mp4")
        for bad in ("/tmp/victim.mp4", "../outside/victim.mp4", "folder/../../outside/victim.mp4",
                    "escape/victim.mp4", "escape", "link.mp4", "x" * 64):
            for mode in (0, 1):
                self.assertEnvelope(self.delete(mode, "keep.mp4", "folder", bad, "folder/in.mp4"), DELETE_FAILED)
        self.assertEqual([p for p in kept if not os.path.lexists(p)], [])
