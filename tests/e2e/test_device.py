"""Device clock ("get_device_localtime", "set_device_localtime"), reboot
("set_device_reboot") and the capability documents."""

import re
import time

from harness import CONFIG_DIR, DeviceTest, envelope, params_envelope

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
        for key, value, name in [("tm_sec", 60, "sec"), ("tm_sec", -1, "sec"), ("tm_min", 60, "min"),
                                 ("tm_hour", 24, "hour"), ("tm_mday", 0, "mday"), ("tm_mday", 32, "mday"),
                                 ("tm_mon", 12, "mon"), ("tm_wday", 7, "wday")]:
            self.assertEnvelope(self.send("set_device_localtime", dict(base, **{key: value})), INVALID)
            self.assertIn(("Invalid params ! <sec>\n" if name == "sec" else f"Invalid params! <{name}>\n"),
                          self.server.stderr())
        for key in base:
            self.assertEnvelope(self.send("set_device_localtime", {k: v for k, v in base.items() if k != key}), INVALID)
            self.assertIn(key + " is empty or error value type : -1\n", self.server.stderr())
        self.assertEnvelope(self.send("set_device_localtime", dict(base, tm_min="5")), INVALID)
        self.assertIn("tm_min is empty or error value type : 16\n", self.server.stderr())
        self.assertEnvelope(self.send("set_device_localtime", "{oops"), INVALID)
        # The year passes the reader but not the action.
        for year in (70, 170):
            self.assertEnvelope(self.send("set_device_localtime", dict(base, tm_year=year)),
                                envelope("Fail", "set rtc fail"))
        self.assertIn("parma is invailed:\n", self.server.stderr())
        self.assertIn("set rtc fail! return : -2\n", self.server.stderr())
        self.assertIn("day=%d,mon=%d,year=170;tm_wday=%d\n" % (base["tm_mday"], base["tm_mon"], base["tm_wday"]),
                      self.server.stdout())

    def test_set_within_two_seconds_succeeds_and_a_real_change_is_refused_here(self):
        with open("/proc/self/uid_map") as f:
            if f.read().split() == ["0", "0", "4294967295"]:
                self.skipTest("would set the host clock")
        self.assertEnvelope(self.send("set_device_localtime", tm_fields(time.localtime())),
                            envelope("OK", "Successfully to set params"))
        self.assertNotIn("set rtc fail", self.server.stderr())
        # An hour away needs the clock call, which the sandbox forbids.
        before = time.time()
        r = self.send("set_device_localtime", tm_fields(time.localtime(time.time() + 3600)))
        self.assertEnvelope(r, envelope("Fail", "set rtc fail"))
        self.assertIn("set rtc fail! return : -1\n", self.server.stderr())
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
            self.assertIn("open %s failed use default para\n" % (caps / f"{name}.json"), self.server.stdout())
        self.assertFalse((caps / "audio.json").exists())
