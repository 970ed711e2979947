"""Device clock ("get_device_localtime", "set_device_localtime"), reboot
("set_device_reboot") and the capability documents."""

import json
import os
import re
import time
import unittest

import harness
from harness import CONFIG_DIR, SandboxTest, envelope, json_print

BANNER = ("\n"
          "_________________________________________________________________\n"
          "|                Device Start Restart <system>                  |\n"
          "|_______________________________________________________________|\n")


def params_envelope(reason, raw):
    head = json_print({"Result": "OK", "Reason": reason})
    return head[:-2] + ',\n\t"Parameters":\t' + raw + "\n}"


def own_user_namespace():
    """True when this process is not in the host's user namespace, where
    setting the clock is refused whatever our ids are."""
    with open("/proc/self/uid_map") as f:
        return f.read().split() != ["0", "0", "4294967295"]


def tm_fields(t):
    """struct tm members of a time.struct_time."""
    return {"tm_sec": t.tm_sec, "tm_min": t.tm_min, "tm_hour": t.tm_hour, "tm_mday": t.tm_mday,
            "tm_mon": t.tm_mon - 1, "tm_year": t.tm_year - 1900, "tm_wday": (t.tm_wday + 1) % 7}


@unittest.skipUnless(harness.DEVSIM.exists(), "needs build/devsim for the login")
class DeviceTestBase(SandboxTest):
    def setUp(self):
        super().setUp()
        self.sb.start_devsim()
        self.server = self.sb.start_server()
        self.sid = self.sb.login()

    def send(self, name, body=None, **kw):
        return self.sb.cmd(name, query={"sessionid": self.sid}, body=body, **kw)


class LocalTimeTest(DeviceTestBase):
    def test_get_answers_the_local_time_text(self):
        before = time.time()
        r = self.send("get_device_localtime")
        after = time.time()
        m = re.fullmatch(r'\{\n\t"Result":\t"OK",\n\t"Reason":\t"Successfully to get params",\n'
                         r'\t"Parameters":\t\{\n\t"local_time":\t"(\d{4}/\d\d/\d\d_\d\d:\d\d:\d\d)"\n\}\n\}', r.text)
        self.assertIsNotNone(m, r.text)
        shown = time.mktime(time.strptime(m.group(1), "%Y/%m/%d_%H:%M:%S"))
        self.assertGreaterEqual(shown, int(before) - 1)
        self.assertLessEqual(shown, after + 1)

    def test_set_checks_every_field(self):
        base = tm_fields(time.localtime())
        invalid = envelope("Fail", "Invalid input params")
        cases = [("tm_sec", 60, "Invalid params ! <sec>\n"), ("tm_sec", -1, "Invalid params ! <sec>\n"),
                 ("tm_min", 60, "Invalid params! <min>\n"), ("tm_hour", 24, "Invalid params! <hour>\n"),
                 ("tm_mday", 0, "Invalid params! <mday>\n"), ("tm_mday", 32, "Invalid params! <mday>\n"),
                 ("tm_mon", 12, "Invalid params! <mon>\n"), ("tm_wday", 7, "Invalid params! <wday>\n")]
        for key, value, message in cases:
            r = self.send("set_device_localtime", dict(base, **{key: value}))
            self.assertEnvelope(r, invalid)
            self.assertIn(message, self.server.stderr())
        for key in base:
            body = dict(base)
            del body[key]
            self.assertEnvelope(self.send("set_device_localtime", body), invalid)
            self.assertIn(key + " is empty or error value type : -1\n", self.server.stderr())
        self.assertEnvelope(self.send("set_device_localtime", dict(base, tm_min="5")), invalid)
        self.assertIn("tm_min is empty or error value type : 16\n", self.server.stderr())
        self.assertEnvelope(self.send("set_device_localtime", "{oops"), invalid)

        # The year passes the reader but not the action.
        for year in (70, 170):
            r = self.send("set_device_localtime", dict(base, tm_year=year))
            self.assertEnvelope(r, envelope("Fail", "set rtc fail"))
        err = self.server.stderr()
        self.assertIn("parma is invailed:\n", err)
        self.assertIn("set rtc fail! return : -2\n", err)
        out = self.server.stdout()
        self.assertIn("day=%d,mon=%d,year=170;tm_wday=%d\n" % (base["tm_mday"], base["tm_mon"], base["tm_wday"]),
                      out)

    def test_set_within_two_seconds_succeeds_and_a_real_change_is_refused_here(self):
        if not own_user_namespace():
            self.skipTest("would set the host clock")
        r = self.send("set_device_localtime", tm_fields(time.localtime()))
        self.assertEnvelope(r, envelope("OK", "Successfully to set params"))
        self.assertNotIn("set rtc fail", self.server.stderr())

        # An hour away needs the clock call, which the sandbox forbids.
        before = time.time()
        r = self.send("set_device_localtime", tm_fields(time.localtime(time.time() + 3600)))
        self.assertEnvelope(r, envelope("Fail", "set rtc fail"))
        self.assertIn("set rtc fail! return : -1\n", self.server.stderr())
        self.assertLess(abs(time.time() - before), 5)


class RebootTest(DeviceTestBase):
    def test_sequence_and_late_answer(self):
        start = time.monotonic()
        r = self.send("set_device_reboot", timeout=40)
        took = time.monotonic() - start
        self.assertEnvelope(r, envelope("OK"))
        self.assertGreaterEqual(took, 11.0)
        self.assertLess(took, 20.0)
        # The stubs over sync and reboot print "STUB <name> <arguments>".
        out = self.server.stdout()
        markers = [(m.start(), m.group(0)) for m in re.finditer(r"STUB (sync|reboot) *\n|" + re.escape(BANNER), out)]
        self.assertEqual([text.split()[1] if text.startswith("STUB") else "banner" for _, text in markers],
                         ["sync", "banner", "reboot", "reboot"], out[-2000:])


class CapabilityTest(DeviceTestBase):
    def test_documents_present_missing_and_empty(self):
        caps = CONFIG_DIR / "capabilities"
        for name, file in (("GetDeviceCapability", "device.json"), ("GetVideoCapability", "video.json"),
                           ("GetAudioCapability", "audio.json"), ("GetNetworkCapability", "network.json"),
                           ("GetStreamCapability", "stream.json")):
            text = (caps / file).read_text()
            json.loads(text)
            self.assertEnvelope(self.send(name), params_envelope("Successfully to get params", text))

        # Relayed byte for byte, unparsed.
        odd = '{ "odd" :  [1,2 ,3],\n"x":"\u00e9"}  \n'
        (caps / "video.json").write_text(odd)
        self.assertEnvelope(self.send("GetVideoCapability"), params_envelope("Successfully to get params", odd))

        failed = envelope("Fail", "Failed to get params")
        (caps / "audio.json").unlink()
        self.assertEnvelope(self.send("GetAudioCapability"), failed)
        self.assertIn("open %s failed use default para\n" % (caps / "audio.json"), self.server.stdout())
        (caps / "stream.json").write_text("")
        self.assertEnvelope(self.send("GetStreamCapability"), failed)
        self.assertIn("open %s failed use default para\n" % (caps / "stream.json"), self.server.stdout())
        self.assertFalse((caps / "audio.json").exists())


if __name__ == "__main__":
    unittest.main()
