"""Watermark picture and HDMI EDID uploads (real multipart bodies), EDID selection and readback."""

import errno, struct, subprocess
from pathlib import Path

import harness
from harness import ACTIVE_EDID, ADMIN_DIGEST, CUSTOM_EDID, EDID_DIR, SESSION_EMPTY, WATERMARK_DIR, envelope

def fail(reason): return envelope("Fail", reason, -1)


OK, NAME_ERROR, UPLOAD_FAILED = envelope("OK"), fail("upload file name error"), fail("Upload file failed")


def png(width, height, size=2048):
    data = b"\x89PNG\r\n\x1a\n" + struct.pack(">I4sII", 13, b"IHDR", width, height) + b"\x08\x02\x00\x00\x00"
    return (data + bytes(range(256)) * (size // 256 + 1))[:size]


def jpeg(size=2048): return (b"\xff\xd8\xff\xe0" + b"\x10" * size)[:size]


def bmp(width, height, size=2048):
    return (b"BM" + struct.pack("<IHHIIii", size, 0, 0, 54, 40, width, height) + b"\x11" * size)[:size]


class UploadTest(harness.DeviceTest):
    def picture(self, data, content_type="image/png", name="logo.png", auth=None):
        return self.upload("upload_Image", name, data, content_type, auth).text

    def edid(self, data, name="my.bin"): return self.upload("upload_edid", name, data).text
    def readback(self): return self.send("GetHdmiEdidParameters").text

    def select(self, edidfile):
        return self.sb.cmd("SetHdmiEdidParameters", raw_query=f"edidfile={edidfile}&sessionid={self.sid}").text

    def watermark(self):
        return sorted(p.name for p in WATERMARK_DIR.iterdir()) if WATERMARK_DIR.exists() else []

    def test_picture_bounds(self):
        size_refused = fail("Upload files up to size  MAX:1M  MIN:1K")
        for size, answer in ((1023, size_refused), (1024, OK), (2073600, OK), (2073601, size_refused)):
            self.assertEqual(self.picture(jpeg(size), "image/jpeg", "a.jpg"), answer, size)
        # a BMP stored top-down is refused; a JPEG has any size
        for make, w, h, ctype, taken in [(png, 1920, 1080, "png", True), (png, 1921, 1080, "png", False),
                                         (png, 1920, 1081, "png", False), (bmp, 640, -480, "bmp", False)]:
            dims = fail(f"Upload file failed! MAX picture[1920x1080],Current picture[{w}x{h}] \n")
            self.assertEqual(self.picture(make(w, h), "image/" + ctype, "p." + ctype), OK if taken else dims)

    def test_types_signatures_and_names_that_would_be_served_as_pages(self):
        for ctype in ("image/gif", "text/html", "image/PNG"):
            self.assertEqual(self.picture(png(10, 10), ctype),
                             fail("Invalid upload file type, Only support: .jpg .png .bmp"))
        # Stored under the document root, these would be pages or scripts on the device's origin.
        for name in ("x.html", "x.svg", "x.js", "x.HTM", "x.png.html", "jpg", ".jpg"):
            for data, ctype in ((jpeg(), "image/jpeg"), (png(10, 10), "image/png")):
                self.assertEqual(self.picture(data, ctype, name), NAME_ERROR, (name, ctype))
        for data, ctype, name in ((png(10, 10), "image/jpeg", "x.png"), (bmp(10, 10), "image/bmp", "x.png")):
            self.assertEqual(self.picture(data, ctype, name), NAME_ERROR, name)  # the name says another type
        for data in (png(10, 10), b"<svg>" + b" " * 2048, b"\xff\xd8" + b"j" * 2048):  # no JPEG signature
            self.assertEqual(self.picture(data, "image/jpeg", "x.jpg"), fail("Upload jpeg file failed"))
        for pos, reason in ((2, "Upload file failed! png format error!\n"), (6, "Upload png file failed")):
            self.assertEqual(self.picture(png(10, 10)[:pos] + b"\0" + png(10, 10)[pos + 1:]), fail(reason))
        self.assertEqual(self.watermark(), [])
        for data, ctype, name in ((jpeg(), "image/jpeg", "A.JPEG"), (png(10, 10), "image/png", "b.Png"),
                                  (bmp(10, 10), "image/bmp", "c.BMP"), (jpeg(), "image/jpeg", "d.jPg")):
            self.assertEqual(self.picture(data, ctype, name), OK, name)  # any letter case of the right one
            self.assertEqual(self.watermark(), [name])  # and it replaces the one before

    def test_names_decoding_and_traversal(self):
        for name, stored in (("logo%2Epng", "logo.png"), ("%E5%9B%BE.png", "图.png")):
            self.assertEqual(self.picture(png(10, 10), name=name), OK)
            self.assertEqual(self.watermark(), [stored])
        self.assertEqual(self.picture(png(10, 10), name="n" * 251 + ".png"),
                         fail("upload file name max length!  max length 256 byte"))
        self.assertEqual(self.picture(png(10, 10), name=None), fail("upload file name cannot be empty"))
        tree = lambda: {p: p.read_bytes() for p in Path("/mnt").rglob("*") if p.is_file()}  # noqa: E731
        before = tree()
        for name in ("..%2F..%2Fescape.png", "%2E%2E", "a%2Fb.png", "x%00.png"):
            self.assertEqual(self.picture(png(10, 10), name=name), NAME_ERROR, name)
        self.assertEqual(tree(), before)

    def test_gate_and_refusals_keep_the_picture(self):
        for auth, answer in (("", SESSION_EMPTY), ("username=admin", SESSION_EMPTY),  # without both: session gate
                             ("username=admin&password=bad", fail("Invalid username or password"))):
            self.assertEqual(self.picture(png(10, 10), auth=auth), answer)
        # Checked against the user file, plain or as digest text; no application is asked.
        self.assertEqual(self.picture(png(10, 10), name="a.png", auth="username=admin&password=qorvu"), OK)
        self.assertEqual(self.picture(jpeg(), "image/jpeg", "b.jpg", "username=admin&password=" + ADMIN_DIGEST), OK)
        self.assertEqual(len(self.sb.devsim_requests("VerifyPassword")), 1)  # only the login's
        for data, ctype, name in ((png(10, 10), "image/gif", "x.gif"), (jpeg(100), "image/jpeg", "x.jpg"),
                                  (png(4000, 10), "image/png", "x.png"), (png(10, 10), "image/png", "x.html")):
            self.assertIn('"Fail"', self.picture(data, ctype, name), name)
        self.assertEqual((WATERMARK_DIR / "b.jpg").read_bytes(), jpeg())
        (WATERMARK_DIR / "sub").mkdir()  # other entries than plain files stay
        self.assertEqual(self.picture(png(10, 10), name="c.png"), OK)
        self.assertEqual(self.watermark(), ["c.png", "sub"])

    def test_edid_upload_selection_and_readback(self):
        for size in (0, 127, 129, 2176, 128, 2048):
            self.assertEqual(self.edid(b"\x07" * size), OK if size in (128, 2048) else fail("Invalid EDID file format"))
        self.assertEqual(CUSTOM_EDID.read_bytes(), b"\x07" * 2048)
        self.assertEqual(self.edid(b"\x04" * 128, name="..%2F..%2Fx.bin"), NAME_ERROR)
        presets = self.sb.install_edid_presets()
        self.assertEqual(self.readback(), fail("Read file does not exist"))
        self.assertEqual(self.select("EDID_640x480P60.bin"), OK)
        self.assertEqual(ACTIVE_EDID.read_bytes(), presets["EDID_640x480P60.bin"])
        self.assertEqual(self.readback(), envelope("OK", "EDID_640x480P60.bin"))
        for data, named in ((b"\x00\xff\xff\xff\xff\xff\xff\x00" + b"\x42" * 120, "QX_HDMI_EDID_CSTM.bin"),
                            (presets["EDID_1920x1200P60.bin"], "EDID_1920x1200P60.bin")):  # a preset wins
            self.assertEqual(self.edid(data), OK)
            self.assertEqual(CUSTOM_EDID.read_bytes(), data)
            self.assertEqual(self.select("QX_HDMI_EDID_CSTM.bin"), OK)
            self.assertEqual(self.readback(), envelope("OK", named))
        # (a '/' in the query would move the action name, so it is sent encoded)
        for name in ("EDID_missing.bin", "..%2Fapp%2FDID_AUTO.bin", "..", "web_root", "x" * 600):
            self.assertEqual(self.select(name), UPLOAD_FAILED, name[:40])
        self.assertEqual(ACTIVE_EDID.read_bytes(), presets["EDID_1920x1200P60.bin"])

    def test_full_file_system_keeps_the_edid_and_the_watermark(self):
        # A small tmpfs over /mnt/app (EDID files and the watermark folder), filled up.
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(EDID_DIR)], check=True)
        presets = self.sb.install_edid_presets(blocks=16)  # 2048 bytes each
        ACTIVE_EDID.write_bytes(presets["EDID_640x480P60.bin"])
        WATERMARK_DIR.mkdir(parents=True)
        (WATERMARK_DIR / "old.png").write_bytes(png(20, 20))
        with open(EDID_DIR / "filler", "wb", buffering=0) as f, self.assertRaises(OSError) as full:
            while f.write(b"\0" * 4096):
                pass
        self.assertEqual(full.exception.errno, errno.ENOSPC)
        self.assertEqual(self.select("EDID_1280x720P60.bin"), UPLOAD_FAILED)
        self.assertEqual(self.edid(b"\x09" * 2048), UPLOAD_FAILED)
        self.assertEqual(self.picture(png(30, 30, 8192), name="new.png"), UPLOAD_FAILED)
        self.assertEqual(ACTIVE_EDID.read_bytes(), presets["EDID_640x480P60.bin"])
        self.assertEqual((WATERMARK_DIR / "old.png").read_bytes(), png(20, 20))
        self.assertEqual([p.name for p in EDID_DIR.iterdir() if p.name.startswith(".")], [])  # no temporary file
        (EDID_DIR / "filler").unlink()  # room again: the same request succeeds
        self.assertEqual(self.picture(png(30, 30, 8192), name="new.png"), OK)
        self.assertEqual(self.watermark(), ["new.png"])
