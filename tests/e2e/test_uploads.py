"""Watermark picture and HDMI EDID uploads, EDID selection and readback, with
real multipart uploads."""

import struct
from pathlib import Path

import harness
from harness import (ACTIVE_EDID, ADMIN_DIGEST, CUSTOM_EDID, EDID_DIR, SESSION_EMPTY, USER_FILE, WATERMARK_DIR,
                     envelope)

OK = envelope("OK")
SIZE_REFUSED = envelope("Fail", "Upload files up to size  MAX:1M  MIN:1K", -1)
TYPE_REFUSED = envelope("Fail", "Invalid upload file type, Only support: .jpg .png .bmp", -1)
NAME_ERROR = envelope("Fail", "upload file name error", -1)
UPLOAD_FAILED = envelope("Fail", "Upload file failed", -1)
NOT_EXIST = envelope("Fail", "Read file does not exist", -1)


def dims_refused(w, h):
    return envelope("Fail", f"Upload file failed! MAX picture[1920x1080],Current picture[{w}x{h}] \n", -1)


def png(width, height, size=2048):
    data = b"\x89PNG\r\n\x1a\n" + struct.pack(">I4sII", 13, b"IHDR", width, height) + b"\x08\x02\x00\x00\x00"
    return (data + bytes(range(256)) * (size // 256 + 1))[:size]


def jpeg(size):
    return (b"\xff\xd8\xff\xe0" + b"\x10" * size)[:size]


def bmp(width, height, size=2048):
    return (b"BM" + struct.pack("<IHHIIii", size, 0, 0, 54, 40, width, height) + b"\x11" * size)[:size]


class UploadTest(harness.DeviceTest):
    def post(self, command, query, data, content_type, boundary="----wsBoundary7MA4YWxkTrZu0gW"):
        """A multipart/form-data request with one file part."""
        body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"file\"; filename=\"pic\"\r\n"
                f"Content-Type: {content_type}\r\n\r\n").encode() + data + f"\r\n--{boundary}--\r\n".encode()
        return self.sb.http("POST", f"/action/device/{command}?{query}", body,
                            headers={"Content-Type": f"multipart/form-data; boundary={boundary}"})

    def picture(self, data, content_type="image/png", name="logo.png", auth=None):
        auth = "sessionid=" + self.sid if auth is None else auth
        query = "&".join(q for q in (name is not None and f"fileName={name}", auth) if q)
        return self.post("upload_Image", query, data, content_type)

    def edid(self, data, name="my.bin"):
        return self.post("upload_edid", f"fileName={name}&sessionid={self.sid}", data, "application/octet-stream")

    def select(self, edidfile):
        return self.sb.cmd("SetHdmiEdidParameters", raw_query=f"edidfile={edidfile}&sessionid={self.sid}")

    def readback(self):
        return self.sb.cmd("GetHdmiEdidParameters", raw_query="sessionid=" + self.sid)

    def watermark(self):
        return sorted(p.name for p in WATERMARK_DIR.iterdir()) if WATERMARK_DIR.exists() else []

    def test_picture_size_and_dimension_bounds(self):
        for size, answer in ((1023, SIZE_REFUSED), (1024, OK), (2073600, OK), (2073601, SIZE_REFUSED)):
            with self.subTest(size=size):
                self.assertEnvelope(self.picture(jpeg(size), "image/jpeg", "a.jpg"), answer)
        self.assertEqual((WATERMARK_DIR / "a.jpg").stat().st_size, 2073600)
        # a BMP stored top-down is refused; a JPEG has any size
        for make, w, h, ctype, taken in [(png, 1920, 1080, "png", True), (png, 1921, 1080, "png", False),
                                         (png, 1920, 1081, "png", False), (bmp, 1920, 1080, "bmp", True),
                                         (bmp, 640, -480, "bmp", False)]:
            with self.subTest(ctype=ctype, w=w, h=h):
                self.assertEnvelope(self.picture(make(w, h), "image/" + ctype, "p." + ctype),
                                    OK if taken else dims_refused(w, h))

    def test_types_signatures_and_names_that_would_be_served_as_pages(self):
        for ctype in ("image/gif", "text/html", "image/PNG"):
            self.assertEnvelope(self.picture(png(10, 10), ctype), TYPE_REFUSED)
        # Stored under the document root, these would be pages or scripts on the device's origin.
        for name in ("x.html", "x.svg", "x.js", "x.HTM", "x.png.html", "x.jpg%00.html", "jpg", ".jpg"):
            for data, ctype in ((jpeg(2048), "image/jpeg"), (png(10, 10), "image/png")):
                self.assertEqual(self.picture(data, ctype, name).text, NAME_ERROR, (name, ctype))
        for data, ctype, name in ((png(10, 10), "image/jpeg", "x.png"), (jpeg(2048), "image/png", "x.jpg"),
                                  (bmp(10, 10), "image/bmp", "x.png")):  # the name says another type
            self.assertEqual(self.picture(data, ctype, name).text, NAME_ERROR, (name, ctype))
        self.assertEqual(self.watermark(), [])
        # A JPEG must start with its signature; a PNG with its own.
        for data in (png(10, 10), b"<svg>" + b" " * 2048, b"\xff\xd8" + b"j" * 2048):
            self.assertEnvelope(self.picture(data, "image/jpeg", "x.jpg"), envelope("Fail", "Upload jpeg file failed", -1))
        bad = bytearray(png(10, 10))
        bad[2] = 0
        self.assertEnvelope(self.picture(bytes(bad)), envelope("Fail", "Upload file failed! png format error!\n", -1))
        self.assertEqual(self.watermark(), [])
        # Any letter case of the right extension is taken.
        for data, ctype, name in ((jpeg(2048), "image/jpeg", "A.JPEG"), (png(10, 10), "image/png", "b.Png"),
                                  (bmp(10, 10), "image/bmp", "c.BMP"), (jpeg(2048), "image/jpeg", "d.jPg")):
            self.assertEqual(self.picture(data, ctype, name).text, OK, name)
            self.assertEqual(self.watermark(), [name])
        r = self.sb.http("POST", f"/action/device/upload_Image?fileName=a.png&sessionid={self.sid}", b"")
        self.assertEnvelope(r, envelope("Fail", "upload file is empty", -1))

    def test_names_decoding_and_traversal(self):
        for name, stored in (("logo%2Epng", "logo.png"), ("%E5%9B%BE.png", "图.png"),
                             ("n" * 250 + ".png", "n" * 250 + ".png")):
            self.assertEnvelope(self.picture(png(10, 10), name=name), OK)
            self.assertEqual(self.watermark(), [stored])
        self.assertEnvelope(self.picture(png(10, 10), name="n" * 251 + ".png"),
                            envelope("Fail", "upload file name max length!  max length 256 byte", -1))
        self.assertEnvelope(self.picture(png(10, 10), name=None),
                            envelope("Fail", "upload file name cannot be empty", -1))
        tree = lambda: {p: p.read_bytes() for p in Path("/mnt").rglob("*") if p.is_file()}  # noqa: E731
        before = tree()
        for name in ("..%2F..%2Fescape.png", "%2E%2E", "a%2Fb.png", "%2Fmnt%2Fescape.png", "x%00.png"):
            with self.subTest(name):
                self.assertEnvelope(self.picture(png(10, 10), name=name), NAME_ERROR)
        self.assertEqual(tree(), before)

    def test_gate(self):
        data = png(10, 10)
        USER_FILE.unlink(missing_ok=True)
        for auth in ("", "username=admin"):  # without both credentials the session gate decides
            self.assertEnvelope(self.picture(data, auth=auth), SESSION_EMPTY)
        for password in ("bad", ADMIN_DIGEST.upper()):
            self.assertEnvelope(self.picture(data, auth="username=admin&password=" + password),
                                envelope("Fail", "Invalid username or password", -1))
        # The credentials are checked against the user file (made with its default on first use).
        self.assertEnvelope(self.picture(data, name="a.png", auth="username=admin&password=qorvu"), OK)
        self.assertEnvelope(self.picture(data, name="b.png", auth="username=admin&password=" + ADMIN_DIGEST), OK)
        self.assertEqual(self.watermark(), ["b.png"])
        self.assertEqual(len(self.sb.devsim_requests("VerifyPassword")), 1)  # only the login's

    def test_second_upload_replaces_the_first_and_refusals_keep_it(self):
        self.assertEnvelope(self.picture(png(100, 50), name="first.png"), OK)
        second = jpeg(4000)
        self.assertEnvelope(self.picture(second, "image/jpeg", "second.jpg"), OK)
        self.assertEqual(self.watermark(), ["second.jpg"])
        for data, ctype, name in ((png(10, 10), "image/gif", "x.gif"), (jpeg(100), "image/jpeg", "x.jpg"),
                                  (png(4000, 10), "image/png", "x.png"), (png(10, 10), "image/png", "x.html")):
            self.assertEqual(self.picture(data, ctype, name).json()["Result"], "Fail", name)
        self.assertEqual((WATERMARK_DIR / "second.jpg").read_bytes(), second)
        (WATERMARK_DIR / "sub").mkdir()  # other entries than plain files stay
        self.assertEnvelope(self.picture(png(10, 10), name="third.png"), OK)
        self.assertEqual(self.watermark(), ["sub", "third.png"])

    def test_edid_upload_sizes_and_names(self):
        for size in (0, 127, 129, 2176):
            self.assertEnvelope(self.edid(b"\x00" * size), envelope("Fail", "Invalid EDID file format", -1))
        for size in (128, 2048):
            data = bytes((i * 7) & 0xFF for i in range(size))
            self.assertEnvelope(self.edid(data), OK)
            self.assertEqual(CUSTOM_EDID.read_bytes(), data)
        self.assertFalse(ACTIVE_EDID.exists(), "an upload does not change the active EDID")
        self.assertEnvelope(self.edid(b"\x04" * 128, name="..%2F..%2Fx.bin"), NAME_ERROR)
        self.assertEqual(CUSTOM_EDID.read_bytes(), data)

    def test_selection_and_readback(self):
        presets = self.sb.install_edid_presets()
        self.assertEnvelope(self.readback(), NOT_EXIST)
        for name in ("EDID_640x480P60.bin", "DID_AUTO.bin"):
            self.assertEnvelope(self.select(name), OK)
            self.assertEqual(ACTIVE_EDID.read_bytes(), presets[name])
            self.assertEnvelope(self.readback(), envelope("OK", name))
        self.assertEnvelope(self.edid(b"\x00\xff\xff\xff\xff\xff\xff\x00" + b"\x42" * 120), OK)
        self.assertEnvelope(self.select("QX_HDMI_EDID_CSTM.bin"), OK)
        self.assertEnvelope(self.readback(), envelope("OK", "QX_HDMI_EDID_CSTM.bin"))
        # equal to a preset and to the custom file: the preset is named
        self.assertEnvelope(self.edid(presets["EDID_1920x1200P60.bin"]), OK)
        self.assertEnvelope(self.select("QX_HDMI_EDID_CSTM.bin"), OK)
        self.assertEnvelope(self.readback(), envelope("OK", "EDID_1920x1200P60.bin"))
        # refusals keep the active file (a '/' in the query would move the action name, so it is sent encoded)
        for name in ("EDID_missing.bin", "..%2Fapp%2FDID_AUTO.bin", "..", "web_root", "x" * 600):
            self.assertEnvelope(self.select(name), UPLOAD_FAILED)
        self.assertEqual(ACTIVE_EDID.read_bytes(), presets["EDID_1920x1200P60.bin"])
        ACTIVE_EDID.write_bytes(b"something else")  # equal to nothing
        self.assertEnvelope(self.readback(), NOT_EXIST)

    def test_full_file_system_keeps_the_edid_and_the_watermark(self):
        self.sb.mount_tmpfs(EDID_DIR, size="64k")  # over /mnt/app: EDID files and the watermark folder
        presets = self.sb.install_edid_presets(blocks=16)  # 2048 bytes each
        ACTIVE_EDID.write_bytes(presets["EDID_640x480P60.bin"])
        WATERMARK_DIR.mkdir(parents=True)
        (WATERMARK_DIR / "old.png").write_bytes(png(20, 20))
        self.fill_up(EDID_DIR)
        self.assertEnvelope(self.select("EDID_1280x720P60.bin"), UPLOAD_FAILED)
        self.assertEnvelope(self.edid(b"\x09" * 2048), UPLOAD_FAILED)
        self.assertEnvelope(self.picture(png(30, 30, 8192), name="new.png"), UPLOAD_FAILED)
        self.assertEqual(ACTIVE_EDID.read_bytes(), presets["EDID_640x480P60.bin"])
        self.assertEqual((WATERMARK_DIR / "old.png").read_bytes(), png(20, 20))
        self.assertEqual([p.name for p in EDID_DIR.iterdir() if p.name.startswith(".")], [])  # no temporary file
        (EDID_DIR / "filler").unlink()  # room again: the same request succeeds
        self.assertEnvelope(self.picture(png(30, 30, 8192), name="new.png"), OK)
        self.assertEqual(self.watermark(), ["new.png"])
