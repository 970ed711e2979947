"""Watermark picture and HDMI EDID uploads, EDID selection and readback, with
real multipart uploads against the server in the sandbox."""

import errno
import hashlib
import os
import struct
import unittest
from pathlib import Path

import harness
from harness import ACTIVE_EDID, CUSTOM_EDID, EDID_DIR, WATERMARK_DIR, SandboxTest, envelope

OK = envelope("OK")
SIZE_REFUSED = envelope("Fail", "Upload files up to size  MAX:1M  MIN:1K", -1)
TYPE_REFUSED = envelope("Fail", "Invalid upload file type, Only support: .jpg .png .bmp", -1)
NAME_ERROR = envelope("Fail", "upload file name error", -1)
NAME_EMPTY = envelope("Fail", "upload file name cannot be empty", -1)
NAME_LONG = envelope("Fail", "upload file name max length!  max length 256 byte", -1)
PNG_FAILED = envelope("Fail", "Upload png file failed", -1)
PNG_FORMAT = envelope("Fail", "Upload file failed! png format error!\n", -1)
UPLOAD_FAILED = envelope("Fail", "Upload file failed", -1)
EDID_FORMAT = envelope("Fail", "Invalid EDID file format", -1)
NOT_EXIST = envelope("Fail", "Read file does not exist", -1)
SESSION_EMPTY = envelope("Fail", "Session ID is empty", -16)
SESSION_INVALID = envelope("Fail", "Invalid session ID", -16)
BAD_CREDENTIALS = envelope("Fail", "Invalid username or password", -1)
ADMIN_DIGEST = hashlib.md5(b"qorvu").hexdigest()


def dims_refused(w, h):
    return envelope("Fail", f"Upload file failed! MAX picture[1920x1080],Current picture[{w}x{h}] \n", -1)


def png(width, height, size=2048):
    data = (b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR" + struct.pack(">II", width, height)
            + b"\x08\x02\x00\x00\x00")
    return (data + bytes(range(256)) * (size // 256 + 1))[:size]


def bmp(width, height, size=2048):
    data = b"BM" + struct.pack("<IHHI", size, 0, 0, 54) + struct.pack("<Iii", 40, width, height)
    return (data + b"\x11" * size)[:size]


def tree(path):
    """Every file below path with its bytes."""
    out = {}
    for root, _, files in os.walk(path):
        for f in files:
            p = Path(root) / f
            out[str(p)] = p.read_bytes()
    return out


class UploadTest(SandboxTest):
    def setUp(self):
        super().setUp()
        self.sb.start_devsim()
        self.sb.start_server()
        self.sid = self.sb.login()

    def post(self, command, query, data, content_type, filename="pic"):
        body, ctype = harness.multipart("file", filename, data, content_type)
        return self.sb.http("POST", f"/action/device/{command}?{query}", body,
                            headers={"Content-Type": ctype})

    def picture(self, data, content_type="image/png", name="logo.png", auth=None):
        query = auth if auth is not None else "sessionid=" + self.sid
        if name is not None:
            query = f"fileName={name}" + ("&" + query if query else "")
        return self.post("upload_Image", query, data, content_type)

    def edid(self, data, auth=None, name="my.bin"):
        query = auth if auth is not None else "sessionid=" + self.sid
        return self.post("upload_edid", f"fileName={name}&{query}", data, "application/octet-stream")

    def select(self, edidfile):
        return self.sb.cmd("SetHdmiEdidParameters", raw_query=f"edidfile={edidfile}&sessionid={self.sid}")

    def readback(self):
        return self.sb.cmd("GetHdmiEdidParameters", raw_query="sessionid=" + self.sid)

    def watermark(self):
        return sorted(p.name for p in WATERMARK_DIR.iterdir()) if WATERMARK_DIR.exists() else []


class WatermarkTest(UploadTest):
    def test_size_bounds_at_the_limits(self):
        for size, answer in ((1023, SIZE_REFUSED), (1024, OK), (2073600, OK), (2073601, SIZE_REFUSED)):
            with self.subTest(size=size):
                self.assertEnvelope(self.picture(b"\xff" * size, "image/jpeg", "a.jpg"), answer)
        self.assertEqual((WATERMARK_DIR / "a.jpg").stat().st_size, 2073600)

    def test_picture_dimensions(self):
        cases = [
            (png(1920, 1080), "image/png", OK),
            (png(1921, 1080), "image/png", dims_refused(1921, 1080)),
            (png(1920, 1081), "image/png", dims_refused(1920, 1081)),
            (png(0, 10), "image/png", dims_refused(0, 10)),
            (bmp(1920, 1080), "image/bmp", OK),
            (bmp(1921, 1080), "image/bmp", dims_refused(1921, 1080)),
            (bmp(640, -480), "image/bmp", dims_refused(640, -480)),  # stored top-down
            (png(9000, 9000), "image/jpeg", OK),                    # JPEG: any pixel size
        ]
        for data, ctype, answer in cases:
            with self.subTest(ctype=ctype, header=data[16:24].hex()):
                self.assertEnvelope(self.picture(data, ctype), answer)

    def test_content_types_and_png_signature(self):
        for ctype in ("image/gif", "text/plain", "application/octet-stream", "image/PNG"):
            with self.subTest(ctype):
                self.assertEnvelope(self.picture(png(10, 10), ctype), TYPE_REFUSED)
        bad = bytearray(png(10, 10))
        bad[2] = 0x00
        self.assertEnvelope(self.picture(bytes(bad)), PNG_FORMAT)
        bad = bytearray(png(10, 10))
        bad[6] = 0x00
        self.assertEnvelope(self.picture(bytes(bad)), PNG_FAILED)
        self.assertIn("png format error", self.sb.server.stderr())
        self.assertEqual(self.watermark(), [])

    def test_names_and_decoding(self):
        self.assertEnvelope(self.picture(png(10, 10), name="logo%2Epng"), OK)
        self.assertEqual(self.watermark(), ["logo.png"])
        self.assertEnvelope(self.picture(png(10, 10), name="%E5%9B%BE.png"), OK)
        self.assertEqual(self.watermark(), ["图.png"])
        self.assertEnvelope(self.picture(png(10, 10), name="n" * 250 + ".png"), OK)
        self.assertEnvelope(self.picture(png(10, 10), name="n" * 251 + ".png"), NAME_LONG)
        self.assertEnvelope(self.picture(png(10, 10), name=None), NAME_EMPTY)
        self.assertEqual(self.watermark(), ["n" * 250 + ".png"])

    def test_traversal_names_write_nothing_outside(self):
        self.assertEnvelope(self.picture(png(10, 10), name="keep.png"), OK)
        before = tree("/mnt")
        for name in ("..%2F..%2Fescape.png", "..%2Fescape.png", "%2E%2E", "%2E", "a%2Fb.png",
                     "%2Fmnt%2Fescape.png", "x%00.png", "%00"):
            with self.subTest(name):
                self.assertEnvelope(self.picture(png(10, 10), name=name), NAME_ERROR)
        self.assertEqual(tree("/mnt"), before)
        self.assertEqual(self.watermark(), ["keep.png"])

    def test_gate(self):
        data = png(10, 10)
        self.assertEnvelope(self.picture(data, auth=""), SESSION_EMPTY)
        self.assertEnvelope(self.picture(data, auth="sessionid=nope"), SESSION_INVALID)
        self.assertEnvelope(self.picture(data, auth="username=admin&password=bad"), BAD_CREDENTIALS)
        self.assertEqual(self.watermark(), [])
        self.assertEnvelope(self.picture(data, name="a.png", auth="username=admin&password=qorvu"), OK)
        self.assertEnvelope(self.picture(data, name="b.png", auth="username=admin&password=" + ADMIN_DIGEST), OK)
        self.assertEnvelope(self.picture(data, name="c.png"), OK)
        self.assertEqual(self.watermark(), ["c.png"])

    def test_second_upload_replaces_the_first_and_refusals_keep_it(self):
        first = png(100, 50)
        self.assertEnvelope(self.picture(first, name="first.png"), OK)
        second = b"\xff\xd8" + b"j" * 4000
        self.assertEnvelope(self.picture(second, "image/jpeg", "second.jpg"), OK)
        self.assertEqual(self.watermark(), ["second.jpg"])
        # every kind of refusal leaves the current picture
        self.assertEnvelope(self.picture(png(10, 10), "image/gif", "x.gif"), TYPE_REFUSED)
        self.assertEnvelope(self.picture(b"\xff" * 100, "image/jpeg", "x.jpg"), SIZE_REFUSED)
        self.assertEnvelope(self.picture(png(4000, 10), name="x.png"), dims_refused(4000, 10))
        self.assertEnvelope(self.picture(png(10, 10), name="..%2Fx.png"), NAME_ERROR)
        self.assertEnvelope(self.picture(png(10, 10), auth="sessionid=nope"), SESSION_INVALID)
        self.assertEqual(self.watermark(), ["second.jpg"])
        self.assertEqual((WATERMARK_DIR / "second.jpg").read_bytes(), second)
        # other entries than plain files stay
        (WATERMARK_DIR / "sub").mkdir()
        self.assertEnvelope(self.picture(first, name="third.png"), OK)
        self.assertEqual(self.watermark(), ["sub", "third.png"])

    def test_request_without_a_file_part(self):
        r = self.sb.http("POST", f"/action/device/upload_Image?fileName=a.png&sessionid={self.sid}", b"")
        self.assertEnvelope(r, envelope("Fail", "upload file is empty", -1))
        r = self.sb.cmd("upload_edid", raw_query=f"fileName=a.bin&sessionid={self.sid}")
        self.assertEnvelope(r, envelope("Fail", "upload file is empty", -1))


class EdidTest(UploadTest):
    def test_upload_sizes(self):
        for size in (0, 127, 129, 200, 2176):
            with self.subTest(size=size):
                self.assertEnvelope(self.edid(b"\x00" * size), EDID_FORMAT)
        self.assertFalse(CUSTOM_EDID.exists())
        for size in (128, 256, 2048):
            with self.subTest(size=size):
                data = bytes((i * 7) & 0xFF for i in range(size))
                self.assertEnvelope(self.edid(data), OK)
                self.assertEqual(CUSTOM_EDID.read_bytes(), data)
        self.assertFalse(ACTIVE_EDID.exists(), "an upload does not change the active EDID")
        # any plain name stores the custom file; a path-like name is refused
        self.assertEnvelope(self.edid(b"\x01" * 128, name="other%2Ebin"), OK)
        self.assertEqual(CUSTOM_EDID.read_bytes(), b"\x01" * 128)
        self.assertEnvelope(self.edid(b"\x04" * 128, name="..%2F..%2Fx.bin"), NAME_ERROR)
        self.assertEqual(CUSTOM_EDID.read_bytes(), b"\x01" * 128)
        self.assertEnvelope(self.edid(b"\x02" * 128, auth="username=admin&password=qorvu"), OK)
        self.assertEnvelope(self.edid(b"\x03" * 128, auth="sessionid=bad"), SESSION_INVALID)
        self.assertEqual(CUSTOM_EDID.read_bytes(), b"\x02" * 128)

    def test_selection_and_readback(self):
        presets = self.sb.install_edid_presets()
        self.assertEnvelope(self.readback(), NOT_EXIST)
        for name in ("EDID_640x480P60.bin", "EDID_1280x720P60.bin", "DID_AUTO.bin"):
            with self.subTest(name):
                self.assertEnvelope(self.select(name), OK)
                self.assertEqual(ACTIVE_EDID.read_bytes(), presets[name])
                self.assertEnvelope(self.readback(), envelope("OK", name))
        # the custom file
        custom = b"\x00\xff\xff\xff\xff\xff\xff\x00" + b"\x42" * 120
        self.assertEnvelope(self.edid(custom), OK)
        self.assertEnvelope(self.select("QX_HDMI_EDID_CSTM.bin"), OK)
        self.assertEnvelope(self.readback(), envelope("OK", "QX_HDMI_EDID_CSTM.bin"))
        # equal to a preset and to the custom file: the preset is named
        self.assertEnvelope(self.edid(presets["EDID_1920x1200P60.bin"]), OK)
        self.assertEnvelope(self.select("QX_HDMI_EDID_CSTM.bin"), OK)
        self.assertEnvelope(self.readback(), envelope("OK", "EDID_1920x1200P60.bin"))
        # an active file equal to nothing
        ACTIVE_EDID.write_bytes(b"something else")
        self.assertEnvelope(self.readback(), NOT_EXIST)

    def test_selection_refusals_keep_the_active_file(self):
        self.sb.install_edid_presets()
        self.assertEnvelope(self.select("EDID_800x600P60.bin"), OK)
        active = ACTIVE_EDID.read_bytes()
        self.assertEnvelope(self.sb.cmd("SetHdmiEdidParameters", raw_query="sessionid=" + self.sid),
                            envelope("Fail", "edid file name cannot be empty", -1))
        for name in ("EDID_missing.bin", "..%2Fapp%2FDID_AUTO.bin", "..", ".", "web_root",
                     "EDID_800x600P60%2Ebin", "x" * 600):
            with self.subTest(name[:40]):
                self.assertEnvelope(self.select(name), UPLOAD_FAILED)
        # a '/' inside the value would move the action name; sent encoded it stays a refusal
        self.assertEnvelope(self.sb.cmd("SetHdmiEdidParameters",
                                        raw_query=f"edidfile=web_root%2Fconfig%2Fauth.txt&sessionid={self.sid}"),
                            UPLOAD_FAILED)
        self.assertEqual(ACTIVE_EDID.read_bytes(), active)
        self.assertEnvelope(self.sb.cmd("SetHdmiEdidParameters", raw_query="edidfile=DID_AUTO.bin"),
                            SESSION_EMPTY)
        self.assertEqual(ACTIVE_EDID.read_bytes(), active)

    def test_readback_without_active_file(self):
        self.sb.install_edid_presets()
        self.assertEnvelope(self.readback(), NOT_EXIST)
        self.assertIn("Read file does not exist", self.sb.server.stderr())
        self.assertEnvelope(self.sb.cmd("GetHdmiEdidParameters", raw_query="sessionid=bad"), SESSION_INVALID)


class FullFileSystemTest(UploadTest):
    def fill(self, path):
        """Fills the file system of `path` with one filler file."""
        fd = os.open(Path(path) / "filler", os.O_WRONLY | os.O_CREAT, 0o600)
        try:
            for _ in range(100000):
                os.write(fd, b"\0" * 4096)
            self.fail("the file system did not fill up")
        except OSError as e:
            self.assertEqual(e.errno, errno.ENOSPC)
        finally:
            os.close(fd)

    def test_full_file_system_keeps_the_edid_and_the_watermark(self):
        presets = self.sb.install_edid_presets(blocks=16)  # 2048 bytes each
        # A small file system over /mnt/app holding the EDID files and the
        # watermark folder, filled up.
        saved = {name: (EDID_DIR / name).read_bytes() for name in presets}
        self.sb.mount_tmpfs(EDID_DIR, size="64k")
        for name, data in saved.items():
            (EDID_DIR / name).write_bytes(data)
        (EDID_DIR / "QX_HDMI_EDID.bin").write_bytes(saved["EDID_640x480P60.bin"])
        (EDID_DIR / "QX_HDMI_EDID_CSTM.bin").write_bytes(b"\x05" * 256)
        WATERMARK_DIR.mkdir(parents=True)
        old_picture = png(20, 20)
        (WATERMARK_DIR / "old.png").write_bytes(old_picture)
        self.fill(EDID_DIR)

        self.assertEnvelope(self.select("EDID_1280x720P60.bin"), UPLOAD_FAILED)
        self.assertEnvelope(self.edid(b"\x09" * 2048), UPLOAD_FAILED)
        self.assertEnvelope(self.picture(png(30, 30, 8192), name="new.png"), UPLOAD_FAILED)
        self.assertIn("cp file failed", self.sb.server.stderr())

        self.assertEqual(ACTIVE_EDID.read_bytes(), saved["EDID_640x480P60.bin"])
        self.assertEqual(CUSTOM_EDID.read_bytes(), b"\x05" * 256)
        self.assertEqual(self.watermark(), ["old.png"])
        self.assertEqual((WATERMARK_DIR / "old.png").read_bytes(), old_picture)
        self.assertEnvelope(self.readback(), envelope("OK", "EDID_640x480P60.bin"))
        # no temporary file left behind
        self.assertEqual(sorted(p.name for p in EDID_DIR.iterdir() if p.name.startswith(".")), [])

        # room again: the same requests succeed
        (EDID_DIR / "filler").unlink()
        self.assertEnvelope(self.select("EDID_1280x720P60.bin"), OK)
        self.assertEnvelope(self.picture(png(30, 30, 8192), name="new.png"), OK)
        self.assertEqual(self.watermark(), ["new.png"])


if __name__ == "__main__":
    unittest.main()
