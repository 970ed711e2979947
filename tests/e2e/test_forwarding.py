"""Forwarding to the device applications (devsim), the operation log channel and the upgrade hand-off."""

import json, os, shutil, socket, time

import harness
from harness import envelope, json_print

SCENARIO = "forward_scenario.json"
BAD_FORMAT = "The server returned an incorrect format parameter"
REQUEST_FAILED = "Failed to request server"
UPGRADED = json_print({"Result": "OK", "Reason": "upgrading", "Parameters": {"UpgradeProgressValue": 100}})


def scenario_reply(command):
    return json_print(json.loads((harness.DATA / SCENARIO).read_text())["commands"][command]["Response"])


class ForwardingTest(harness.SandboxTest):
    def start(self, *devsim_args, log_sink=True):
        shutil.copyfile(harness.DATA / "forward_table", harness.COMMAND_TABLE)
        self.raw_log = self.sb.log_dir / "log_raw.bin"
        args = ["--upgrade-pause-ms", "100", *devsim_args] + (["--log-raw-out", self.raw_log] if log_sink else [])
        self.sb.start_devsim(*args, scenario=SCENARIO, log_sink=log_sink)
        self.sb.start_server()
        self.sid = self.sb.login()

    def forward(self, command, body=None): return self.sb.cmd(command, query={"sessionid": self.sid}, body=body)

    def wait_log(self, content):
        return harness.wait_until(lambda: [r for r in self.sb.log_records() if r.get("Content") == content],
                                  3, f"log record {content!r}")[0]

    def test_reply_relayed_byte_for_byte_and_request_envelope_exact(self):
        self.start()
        body = {"Channel": 2, "Name": "x y", "Flags": [True, None]}
        before = int(time.time())
        self.assertEnvelope(self.forward("GetEcho", body), scenario_reply("GetEcho"))
        [request] = self.sb.devsim_requests("GetEcho")
        self.assertEqual(list(request), ["Command", "Sender", "Receiver", "Timestamp", "Parameters"])
        self.assertEqual((request["Sender"], request["Receiver"], request["Parameters"]),
                         ("web_server", "app_system", body))
        self.assertTrue(before <= request["Timestamp"] <= int(time.time()))
        # Accepted too: "response" in lower case, a reply without its NUL, and
        # progress-shaped replies from any receiver but the upgrade's.
        for command in ("TestLowerResponse", "TestNoNul", "TestProgress"):
            self.assertEnvelope(self.forward(command), scenario_reply(command))
        # A command of two receivers reaches both and is answered with the second reply.
        self.assertEnvelope(self.forward("SetBoth", {"Value": 7}),
                            json_print({"Result": "OK", "Reason": "second receiver"}))
        self.assertEqual([(q["Receiver"], q["Parameters"]) for q in self.sb.devsim_requests("SetBoth")],
                         [("app_first", {"Value": 7}), ("app_second", {"Value": 7})])

    def test_failure_codes_and_time_out(self):
        self.start()
        for command, code, reason in [("TestGarbage", 508, BAD_FORMAT), ("TestNotObject", 508, BAD_FORMAT),
                                      ("TestNotObjectText", 508, BAD_FORMAT), ("TestWrongCommand", 550, REQUEST_FAILED),
                                      ("TestLowerCommand", 550, REQUEST_FAILED), ("GetNoAddress", 550, REQUEST_FAILED)]:
            start = time.monotonic()
            self.assertEnvelope(self.forward(command), envelope("Fail", reason, code))
            self.assertLess(time.monotonic() - start, 1.0)
            self.assertEqual(len(self.sb.devsim_requests(command)), command != "GetNoAddress")
        start = time.monotonic()
        self.assertEnvelope(self.forward("TestSilent"), envelope("Fail", "Connection service timed out", 504))
        self.assertTrue(2.9 <= time.monotonic() - start <= 3.6, time.monotonic() - start)
        self.assertEnvelope(self.forward("SetEcho"), scenario_reply("SetEcho"))  # serves again at once

    def test_log_record_members_and_wire_form(self):
        self.start()
        before = int(time.time())
        self.forward("GetEcho")
        record = self.wait_log("client[127.0.0.1] GetEcho")
        self.assertEqual(list(record), ["Level", "Module", "Timestamp", "Flush", "Content"])
        self.assertEqual((record["Level"], record["Module"], record["Flush"]), ("INFO", "webserver", False))
        self.assertTrue(before <= record["Timestamp"] <= int(time.time()))
        self.wait_log("client[127.0.0.1] login")
        # On the wire: the formatted text and one NUL, record after record.
        raw = self.raw_log.read_bytes()
        *pieces, last = raw.split(b"\0")
        self.assertEqual(([p.decode() for p in pieces], last), ([json_print(json.loads(p)) for p in pieces], b""))
        self.assertIn(json_print(record).encode() + b"\0", raw)

    def test_no_log_service_answers_stay_prompt(self):
        self.start(log_sink=False)
        for _ in range(5):
            start = time.monotonic()
            self.assertEnvelope(self.forward("SetEcho", {"A": 1}), scenario_reply("SetEcho"))
            self.assertLess(time.monotonic() - start, 0.5)

    def test_upgrade_progress_ends_in_one_final_answer_and_memory_stays_flat(self):
        self.start()
        image = b"FIRMWARE\0\x01\x02" + bytes(range(256)) * 8
        start = time.monotonic()
        self.assertEnvelope(self.forward("StartUpgrade", image), UPGRADED)
        self.assertGreaterEqual(time.monotonic() - start, 0.3)  # three pauses of 100 ms
        self.assertEqual(harness.UPGRADE_IMAGE.read_bytes(), image)
        self.assertEqual([r["Parameters"] for r in self.sb.devsim_requests("StartUpgrade")],
                         [{"UpgradeImageFile": "/tmp/upgrade"}])
        # A 256 MiB image passes without the server's memory growing with it.
        hwm_before, size, block = self.sb.server.status("VmHWM"), 256 * 1024 * 1024, bytes(range(256)) * 4096
        with socket.create_connection(("127.0.0.1", self.sb.port), timeout=60) as conn:
            conn.sendall(f"POST /action/device/StartUpgrade?sessionid={self.sid} HTTP/1.1\r\n"
                         f"Host: device\r\nContent-Length: {size}\r\n\r\n".encode())
            for _ in range(size // len(block)):
                conn.sendall(block)
            r = harness.read_response(conn)
        self.assertEnvelope(r, UPGRADED)
        growth_kib = self.sb.server.status("VmHWM") - hwm_before
        self.assertLess(growth_kib, 16 * 1024, f"VmHWM grew by {growth_kib} KiB")
        with open(harness.UPGRADE_IMAGE, "rb") as f:
            self.assertEqual((os.fstat(f.fileno()).st_size, f.read(len(block))), (size, block))
        harness.UPGRADE_IMAGE.unlink()

    def test_failed_upgrade_is_answered_when_reported(self):
        self.start("--upgrade-fail-at", "50")
        self.assertEnvelope(self.forward("StartUpgrade", b"image"),
                            json_print({"Result": "Fail", "Reason": "upgrade failed",
                                        "Parameters": {"UpgradeProgressValue": 50}}))

