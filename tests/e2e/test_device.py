"""Device clock ("get_device_localtime", "set_device_localtime"), reboot
("set_device_reboot") and the capability documents."""

import os
import re
import time

from harness import ACTIVE_EDID, CONFIG_DIR, CUSTOM_EDID, DeviceTest, envelope, params_envelope

BANNER = ("\n_________________________________________________________________\n"
          "|                Device Start Restart <system>                  |\n"
          "|_______________________________________________________________|\n")
INVALID = envelope("Fail", "Invalid input params")


def tm_fields(t):
    return {"tm_sec": t.tm_sec, "tm_min": t.tm_min, "tm_hour": t.tm_hour, "tm_mday": t.tm_mday,
            "tm_mon": t.tm_mon - 1, "tm_year": t.tm_year - 1900, "tm_wday": (t.tm_wday + 1) % 7}


class DeviceActionsTest(DeviceTest):
    def test_get_answers_the_local_time_text(self):
        before = time.time()
        r = self.send("get_device_localtime")
        m = re.fullmatch(r'\{\n\t"Result":\t"OK",\n\t"Reason":\t"Successfully to get params",\n'
                         r'\t"Parameters":\t\{\n\t"local_time":\t"(\d{4}/\d\d/\d\d_\d\d:\d\d:\d\d)"\n\}\n\}', r.text)
        self.assertIsNotNone(m, r.text)
        shown = time.mktime(time.strptime(m.group(1), "%Y/%m/%d_%H:%M:%S"))
        self.assertTrue(int(before) - 1 <= shown <= time.time() + 1)

    def test_set_checks_every_field(self):
        base = tm_fields(time.localtime())
        bad = [dict(base, **{key: value}) for key, value in [("tm_sec", 60), ("tm_sec", -1), ("tm_min", 60),
               ("tm_hour", 24), ("tm_mday", 0), ("tm_mday", 32), ("tm_mon", 12), ("tm_wday", 7), ("tm_min", "5")]]
        bad += [{k: v for k, v in base.items() if k != key} for key in base] + ["{oops"]
        for body in bad:
            self.assertEnvelope(self.send("set_device_localtime", body), INVALID)
        # The year passes the reader but not the action.
        for year in (70, 170):
            self.assertEnvelope(self.send("set_device_localtime", dict(base, tm_year=year)),
                                envelope("Fail", "set rtc fail"))

    def test_set_within_two_seconds_succeeds_and_a_real_change_is_refused_here(self):
        with open("/proc/self/uid_map") as f:
            if f.read().split() == ["0", "0", "4294967295"]:
                self.skipTest("would set the host clock")
        self.assertEnvelope(self.send("set_device_localtime", tm_fields(time.localtime())),
                            envelope("OK", "Successfully to set params"))
        # An hour away needs the clock call, which the sandbox forbids.
        before = time.time()
        r = self.send("set_device_localtime", tm_fields(time.localtime(time.time() + 3600)))
        self.assertEnvelope(r, envelope("Fail", "set rtc fail"))
        self.assertLess(abs(time.time() - before), 5)

    def test_reboot_sequence_and_late_answer(self):
        start = time.monotonic()
        self.assertEnvelope(self.send("set_device_reboot", timeout=40), envelope("OK"))
        self.assertTrue(11.0 <= time.monotonic() - start < 20.0)
        # The stubs over sync and reboot print "STUB <name> <arguments>".
        out = self.server.stdout()
        steps = [m.group(1) or "banner" for m in re.finditer(r"STUB (sync|reboot) *\n|" + re.escape(BANNER), out)]
        self.assertEqual(steps, ["sync", "banner", "reboot", "reboot"], out[-2000:])

    def test_capability_documents_present_missing_and_empty(self):
        caps, names = CONFIG_DIR / "capabilities", ("device", "video", "audio", "network", "stream")
        (caps / "video.json").write_text('{ "odd" :  [1,2 ,3],\n"x":"\u00e9"}  \n')  # relayed unparsed
        for name in names:
            self.assertEnvelope(self.send(f"Get{name.capitalize()}Capability"),
                                params_envelope("Successfully to get params", (caps / f"{name}.json").read_text()))
        (caps / "audio.json").unlink()
        (caps / "stream.json").write_text("")
        for name in ("audio", "stream"):
            self.assertEnvelope(self.send(f"Get{name.capitalize()}Capability"),
                                envelope("Fail", "Failed to get params"))
        self.assertFalse((caps / "audio.json").exists())

    def test_edid_writes_keep_the_mode_and_the_link(self):
        # On a device the EDID files are often links into a writable partition.
        presets = self.sb.install_edid_presets()
        store = ACTIVE_EDID.parent / "rw"
        store.mkdir()
        for link, mode in ((ACTIVE_EDID, 0o600), (CUSTOM_EDID, 0o640)):
            (store / link.name).write_bytes(b"old")
            os.chmod(store / link.name, mode)
            link.symlink_to(store / link.name)
        boundary = "----wsEdid"
        upload = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"file\"; filename=\"e\"\r\n"
                  "Content-Type: application/octet-stream\r\n\r\n").encode() + b"\1" * 256 + \
            f"\r\n--{boundary}--\r\n".encode()
        r = self.sb.cmd("upload_edid", query={"sessionid": self.sid, "fileName": "e.bin"}, body=upload,
                        headers={"Content-Type": f"multipart/form-data; boundary={boundary}"})
        self.assertEnvelope(r, envelope("OK"))
        self.assertEnvelope(self.sb.cmd("SetHdmiEdidParameters",
                                        query={"sessionid": self.sid, "edidfile": "DID_AUTO.bin"}),
                            envelope("OK"))
        for link, mode, data in ((ACTIVE_EDID, 0o600, presets["DID_AUTO.bin"]), (CUSTOM_EDID, 0o640, b"\1" * 256)):
            self.assertTrue(link.is_symlink())
            self.assertEqual(((store / link.name).read_bytes(), os.stat(link).st_mode & 0o777), (data, mode))
        self.assertEqual(sorted(p.name for p in store.iterdir()), sorted([ACTIVE_EDID.name, CUSTOM_EDID.name]))
