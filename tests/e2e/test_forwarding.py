"""Forwarding to the device applications (played by devsim), the operation log
channel and the firmware upgrade hand-off, end to end over HTTP."""

import hashlib
import json
import socket
import time
import unittest

import harness
from harness import envelope, json_print

SCENARIO = "forward_scenario.json"
BAD_FORMAT = "The server returned an incorrect format parameter"
REQUEST_FAILED = "Failed to request server"
MIB = 1024 * 1024


def scenario_response(command):
    data = json.loads((harness.DATA / SCENARIO).read_text())
    return data["commands"][command]["Response"]


class ForwardingTest(harness.SandboxTest):
    def start(self, *devsim_args, log_sink=True):
        self.sb.use_table("forward_table")
        self.raw_log = self.sb.log_dir / "log_raw.bin"
        args = ["--upgrade-pause-ms", "100", *devsim_args]
        if log_sink:
            args += ["--log-raw-out", self.raw_log]
        self.sb.start_devsim(*args, scenario=SCENARIO, log_sink=log_sink)
        self.sb.start_server()
        self.sid = self.sb.login()

    def forward(self, command, body=None):
        return self.sb.cmd(command, query={"sessionid": self.sid}, body=body)

    def requests_for(self, command):
        return [r for r in self.sb.devsim_requests() if r.get("Command") == command]

    def wait_log(self, content, timeout=3):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for record in self.sb.log_records():
                if record.get("Content") == content:
                    return record
            time.sleep(0.05)
        self.fail(f"no log record {content!r} in {self.sb.log_records()}")

    # ---- relaying ------------------------------------------------------
    def test_reply_relayed_byte_for_byte_and_request_envelope_exact(self):
        self.start()
        body = {"Channel": 2, "Name": "x y", "Flags": [True, None]}
        before = int(time.time())
        r = self.forward("GetEcho", body)
        self.assertEnvelope(r, json_print(scenario_response("GetEcho")))

        [request] = self.requests_for("GetEcho")
        self.assertEqual(list(request), ["Command", "Sender", "Receiver", "Timestamp", "Parameters"])
        self.assertEqual(request["Sender"], "web_server")
        self.assertEqual(request["Receiver"], "app_system")
        self.assertEqual(request["Parameters"], body)
        self.assertTrue(before <= request["Timestamp"] <= int(time.time()))
        # The debug line shows the whole envelope as it was sent: formatted.
        self.assertIn("http send data:" + json_print(request) + "\n", self.sb.server.stdout())

    def test_reply_checks_answer_their_codes(self):
        self.start()
        cases = [
            ("TestGarbage", 508, BAD_FORMAT),
            ("TestNotObject", 508, BAD_FORMAT),
            ("TestNotObjectText", 508, BAD_FORMAT),
            ("TestWrongCommand", 550, REQUEST_FAILED),
            ("TestLowerCommand", 550, REQUEST_FAILED),
        ]
        for command, code, reason in cases:
            with self.subTest(command):
                self.assertEnvelope(self.forward(command), envelope("Fail", reason, code))
                self.assertEqual(len(self.requests_for(command)), 1)

        # Accepted: "response" in lower case, and a reply without its NUL.
        for command in ("TestLowerResponse", "TestNoNul"):
            with self.subTest(command):
                self.assertEnvelope(self.forward(command), json_print(scenario_response(command)))

        # Progress-shaped replies from any other receiver answer at once.
        self.assertEnvelope(self.forward("TestProgress"), json_print(scenario_response("TestProgress")))

    def test_group_without_address_fails_without_reaching_anyone(self):
        self.start()
        start = time.monotonic()
        r = self.forward("GetNoAddress")
        self.assertLess(time.monotonic() - start, 1.0)
        self.assertEnvelope(r, envelope("Fail", REQUEST_FAILED, 550))
        self.assertEqual(self.requests_for("GetNoAddress"), [])

    def test_silent_application_times_out_after_three_seconds(self):
        self.start()
        start = time.monotonic()
        r = self.forward("TestSilent")
        elapsed = time.monotonic() - start
        self.assertEnvelope(r, envelope("Fail", "Connection service timed out", 504))
        self.assertGreaterEqual(elapsed, 2.9)
        self.assertLessEqual(elapsed, 3.6)
        # The server serves again at once.
        self.assertEnvelope(self.forward("SetEcho"), json_print(scenario_response("SetEcho")))

    def test_command_of_two_receivers_reaches_both_answers_with_the_second(self):
        self.start()
        r = self.forward("SetBoth", {"Value": 7})
        self.assertEnvelope(r, json_print({"Result": "OK", "Reason": "second receiver"}))
        requests = self.requests_for("SetBoth")
        self.assertEqual([q["Receiver"] for q in requests], ["app_first", "app_second"])
        for q in requests:
            self.assertEqual(q["Parameters"], {"Value": 7})

    # ---- log channel ---------------------------------------------------
    def test_log_record_members_and_wire_form(self):
        self.start()
        before = int(time.time())
        self.forward("GetEcho")
        record = self.wait_log("client[127.0.0.1] GetEcho")
        self.assertEqual(list(record), ["Level", "Module", "Timestamp", "Flush", "Content"])
        self.assertEqual(record["Level"], "INFO")
        self.assertEqual(record["Module"], "webserver")
        self.assertIs(record["Flush"], False)
        self.assertTrue(before <= record["Timestamp"] <= int(time.time()))
        self.wait_log("client[127.0.0.1] login")

        # On the wire: the formatted text and one NUL, record after record.
        raw = self.raw_log.read_bytes()
        self.assertTrue(raw.endswith(b"\0"))
        pieces = raw[:-1].split(b"\0")
        self.assertGreaterEqual(len(pieces), 2)
        for piece in pieces:
            self.assertEqual(piece.decode(), json_print(json.loads(piece)))
        self.assertIn(json_print(record).encode() + b"\0", raw)

    def test_no_log_service_answers_stay_prompt(self):
        self.start(log_sink=False)
        for _ in range(5):
            start = time.monotonic()
            r = self.forward("SetEcho", {"A": 1})
            self.assertLess(time.monotonic() - start, 0.5)
            self.assertEnvelope(r, json_print(scenario_response("SetEcho")))
        # Each dropped record is reported (login and five commands).
        self.assertGreaterEqual(self.sb.server.stderr().count("[webserver]nn_send log fail: "), 6)

    # ---- firmware upgrade ----------------------------------------------
    def test_upgrade_progress_ends_in_one_final_answer(self):
        self.start()
        image = b"FIRMWARE\0\x01\x02" + bytes(range(256)) * 8
        start = time.monotonic()
        r = self.forward("StartUpgrade", image)
        elapsed = time.monotonic() - start
        self.assertEnvelope(r, json_print({"Result": "OK", "Reason": "upgrading",
                                           "Parameters": {"UpgradeProgressValue": 100}}))
        self.assertGreaterEqual(elapsed, 0.3)  # three pauses of 100 ms
        self.assertEqual(harness.UPGRADE_IMAGE.read_bytes(), image)
        [request] = self.requests_for("StartUpgrade")
        self.assertEqual(request["Parameters"], {"UpgradeImageFile": "/tmp/upgrade"})
        out = self.sb.server.stdout()
        steps = [out.find(f"http recv ProgressValue->valueint {v}\n") for v in (10, 50, 99, 100)]
        self.assertNotIn(-1, steps)
        self.assertEqual(steps, sorted(steps))
        self.assertIn("http_msg_upgrade_fd timeo=180000", self.sb.server.stderr())

    def test_failed_upgrade_is_answered_when_reported(self):
        self.start("--upgrade-fail-at", "50")
        r = self.forward("StartUpgrade", b"image")
        self.assertEnvelope(r, json_print({"Result": "Fail", "Reason": "upgrade failed",
                                           "Parameters": {"UpgradeProgressValue": 50}}))

    def test_simulator_ends_at_once_while_it_holds_back_a_reply(self):
        self.start("--upgrade-pause-ms", "60000")
        conn = socket.create_connection((self.sb.host, self.sb.port), timeout=5)
        self.addCleanup(conn.close)
        conn.sendall(f"POST /action/device/StartUpgrade?sessionid={self.sid} HTTP/1.1\r\n"
                     "Host: d\r\nContent-Length: 5\r\n\r\nimage".encode())
        self.sb.server.wait_output("http recv ProgressValue->valueint 10\n")
        start = time.monotonic()
        self.sb.devsim.stop()
        self.assertLess(time.monotonic() - start, 1)
        self.assertEqual(self.sb.devsim.popen.returncode, 0)
        self.sb.server.popen.kill()  # it would wait 180 s for the next step

    def test_large_upgrade_keeps_server_memory_flat(self):
        self.start()
        self.forward("StartUpgrade", b"warm-up")
        hwm_before = self.sb.server.status("VmHWM")
        size = 256 * MIB
        head = (f"POST /action/device/StartUpgrade?sessionid={self.sid} HTTP/1.1\r\n"
                f"Host: device\r\nContent-Length: {size}\r\n\r\n").encode()
        block = bytes(range(256)) * 4096  # 1 MiB
        with socket.create_connection(("127.0.0.1", self.sb.port), timeout=60) as conn:
            conn.sendall(head)
            for _ in range(size // len(block)):
                conn.sendall(block)
            r = harness.read_response(conn)
        self.assertEnvelope(r, json_print({"Result": "OK", "Reason": "upgrading",
                                           "Parameters": {"UpgradeProgressValue": 100}}))
        growth_kib = self.sb.server.status("VmHWM") - hwm_before
        self.assertLess(growth_kib, 16 * 1024, f"VmHWM grew by {growth_kib} KiB")
        self.assertEqual(harness.UPGRADE_IMAGE.stat().st_size, size)
        with open(harness.UPGRADE_IMAGE, "rb") as f:
            self.assertEqual(f.read(len(block)), block)
        harness.UPGRADE_IMAGE.unlink()


class SampleDeviceTest(harness.SandboxTest):
    """The sample protocol table and devsim's default scenario, as the demo runs them."""

    SAMPLE_SCENARIO = harness.REPO / "devsim" / "scenario.json"

    def setUp(self):
        super().setUp()
        self.sb.start_devsim(scenario=self.SAMPLE_SCENARIO)
        self.sb.start_server()
        self.sid = self.sb.login()
        self.commands = json.loads(self.SAMPLE_SCENARIO.read_text())["commands"]

    def forward(self, command, body=None):
        return self.sb.cmd(command, query={"sessionid": self.sid}, body=body)

    def test_every_sample_get_is_answered_from_the_scenario(self):
        gets = [c for c in self.commands if c.startswith("Get")]
        self.assertGreaterEqual(len(gets), 12)
        for command in gets:
            with self.subTest(command):
                self.assertEnvelope(self.forward(command), json_print(self.commands[command]["Response"]))

    def test_set_is_read_back_by_its_get(self):
        r = self.forward("SetVideoOutputDisplayParameter", {"Brightness": 70, "Mirror": True})
        self.assertEqual(r.json()["Result"], "OK")
        shown = self.forward("GetVideoOutputDisplayParameter").json()["Parameters"]
        expected = dict(self.commands["GetVideoOutputDisplayParameter"]["Response"]["Parameters"])
        expected.update({"Brightness": 70, "Mirror": True})
        self.assertEqual(shown, expected)
        self.assertEqual(list(shown), list(expected))  # members keep their places

    def test_capability_commands_answer_their_files(self):
        for command, name in [("GetDeviceCapability", "device"), ("GetVideoCapability", "video"),
                              ("GetAudioCapability", "audio"), ("GetNetworkCapability", "network"),
                              ("GetStreamCapability", "stream")]:
            with self.subTest(command):
                reply = self.forward(command).json()
                self.assertEqual(reply["Result"], "OK")
                path = harness.CONFIG_DIR / "capabilities" / f"{name}.json"
                self.assertEqual(reply["Parameters"], json.loads(path.read_text()))

    def test_password_check_against_the_user_file(self):
        r = self.sb.cmd("login", body={"username": "admin", "password": "wrong", "timeout": 60})
        self.assertEnvelope(r, envelope("Fail", "Invalid username or password"))
        r = self.sb.cmd("login", body={"username": "nobody", "password": "qorvu", "timeout": 60})
        self.assertEnvelope(r, envelope("Fail", "Invalid username or password"))
        # A digest text is taken as it is, in either letter case.
        digest = hashlib.md5(b"qorvu").hexdigest().upper()
        r = self.sb.cmd("login", body={"username": "admin", "password": digest, "timeout": 60})
        self.assertEqual(r.json()["Result"], "OK")
        [last] = [q for q in self.sb.devsim_requests() if q["Command"] == "VerifyPassword"][-1:]
        self.assertEqual(last["Parameters"], {"UserName": "admin", "Password": digest, "MD5Password": 1})

        # Users come from the user file as it is when asked.
        table = bytearray(2048)
        for i, (name, password) in enumerate([("admin", b"qorvu"), ("alice", b"s3cret")]):
            table[i * 128:i * 128 + len(name)] = name.encode()
            table[i * 128 + 64:i * 128 + 96] = hashlib.md5(password).hexdigest().encode()
        harness.USER_FILE.write_bytes(bytes(table))
        r = self.sb.cmd("login", body={"username": "alice", "password": "s3cret", "timeout": 60})
        self.assertEqual(r.json()["Result"], "OK")


if __name__ == "__main__":
    unittest.main()
