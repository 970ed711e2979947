"""Device clock, reboot, the capability documents and EDID writes through links."""

import os, re, time

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

    def test_set_refusals(self):  # out-of-range fields, unreadable JSON, years the clock refuses
        base = tm_fields(time.localtime())
        for body, answer in ((dict(base, tm_sec=60), INVALID), (dict(base, tm_wday=7), INVALID), ("{oops", INVALID),
                             (dict(base, tm_year=70), envelope("Fail", "set rtc fail")),
                             (dict(base, tm_year=170), envelope("Fail", "set rtc fail"))):
            self.assertEnvelope(self.send("set_device_localtime", body), answer)

    def test_set_within_two_seconds_succeeds_and_a_real_change_is_refused_here(self):
        if open("/proc/self/uid_map").read().split() == ["0", "0", "4294967295"]:
            self.skipTest("would set the host clock")
        self.assertEnvelope(self.send("set_device_localtime", tm_fields(time.localtime())),
                            envelope("OK", "Successfully to set params"))
        # An hour away needs the clock call, which the sandbox forbids.
        before = time.time()
        self.assertEnvelope(self.send("set_device_localtime", tm_fields(time.localtime(time.time() + 3600))),
                            envelope("Fail", "set rtc fail"))
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
        self.assertEnvelope(self.upload("upload_edid", "e.bin", b"\1" * 256), envelope("OK"))
        self.assertEnvelope(self.sb.cmd("SetHdmiEdidParameters",
                                        query={"sessionid": self.sid, "edidfile": "DID_AUTO.bin"}),
                            envelope("OK"))
        for link, mode, data in ((ACTIVE_EDID, 0o600, presets["DID_AUTO.bin"]), (CUSTOM_EDID, 0o640, b"\1" * 256)):
            self.assertTrue(link.is_symlink())
            self.assertEqual(((store / link.name).read_bytes(), os.stat(link).st_mode & 0o777), (data, mode))
        self.assertEqual(sorted(p.name for p in store.iterdir()), sorted([ACTIVE_EDID.name, CUSTOM_EDID.name]))
