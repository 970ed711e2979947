"""The dispatcher end to end: gates, queries as forwarded, envelopes, sessions, URL limits, large bodies
refused unread, and commands that wait without stalling the server."""

import re, socket, threading, time

import harness
from harness import SESSION_EMPTY, SESSION_INVALID, envelope, wait_until

OK = envelope("OK")
BAD_URL = envelope("Fail", "Invalid URL", -1)
BAD_PARAMS = envelope("Fail", "Invalid params", -1)
BAD_CREDENTIALS = envelope("Fail", "Invalid username or password", -1)
UNSUPPORTED = "The server does not support this protocol :"


class DispatchTest(harness.DeviceTest):
    def cmd(self, name, raw_query=None, body=None): return self.sb.cmd(name, raw_query=raw_query, body=body)

    def logged(self, count):  # the actions named by the log records, once `count` have arrived
        wait_until(lambda: len(self.sb.log_records()) >= count, what=f"{count} log records")
        return [re.fullmatch(r"client\[127\.0\.0\.1\] (.*)", r["Content"]).group(1) for r in self.sb.log_records()]

    def test_each_gate_of_the_table(self):
        sid = "sessionid=" + self.sid
        # Refusals by the gates are neither logged nor forwarded.
        self.assertEnvelope(self.cmd("GetVideoOutputDisplayParameter", "username=admin&password=wrong"),
                            BAD_CREDENTIALS)
        self.assertEnvelope(self.cmd("GetVideoOutputDisplayParameter"), SESSION_EMPTY)
        # the upload and EDID commands: credential gate, not logged
        for name, query, reason in (("upload_Image", "", "upload file name cannot be empty"),
                                    ("upload_edid", "&fileName=a.bin", "upload file is empty"),
                                    ("SetHdmiEdidParameters", "", "edid file name cannot be empty"),
                                    ("GetHdmiEdidParameters", "", "Read file does not exist")):
            self.assertEnvelope(self.cmd(name), SESSION_EMPTY)
            self.assertEnvelope(self.cmd(name, "sessionid=nope"), SESSION_INVALID)
            self.assertEnvelope(self.cmd(name, sid + query), envelope("Fail", reason, -1))
        # detection_sessionid ignores credentials in the URL
        self.assertEnvelope(self.cmd("detection_sessionid", sid), OK)
        self.assertEnvelope(self.cmd("detection_sessionid", "username=admin&password=qorvu"), SESSION_EMPTY)
        # URL credentials instead of a session, then logged and forwarded; no gate
        for name, query in (("GetVideoOutputDisplayParameter", "username=admin&password=qorvu"),
                            ("get_Language_Format", None)):
            self.assertEqual(self.cmd(name, query).json()["Result"], "OK", name)
        self.assertEnvelope(self.cmd("logout", body={"sessionid": "0" * 36}), envelope("Fail", "Invalid session id"))
        for name, query, answer in (("set_login_time", sid, OK), ("set_login_time", None, SESSION_EMPTY),
                                    ("SetVideoOutputDisplayParameter", "sessionid=bad&Brightness=1", SESSION_INVALID)):
            self.assertEnvelope(self.cmd(name, query), answer)
        for name in ("get_user_param", "GetDeviceCapability"):  # the capability reader answers from its file
            self.assertEqual(self.cmd(name, sid).json()["Result"], "OK", name)
        self.assertEqual([r["Command"] for r in self.sb.devsim_requests()],
                         ["VerifyPassword", "VerifyPassword", "VerifyPassword", "GetVideoOutputDisplayParameter"])
        self.assertEqual(self.logged(6), ["login", "GetVideoOutputDisplayParameter", "get_Language_Format",
                                          "logout", "get_user_param", "GetDeviceCapability"])

    def test_query_typing_as_forwarded(self):
        sid = "sessionid=" + self.sid + "&"
        osd, display = "SetVideoEncodeOSDParameters", "SetVideoOutputDisplayParameter"
        cases = [  # (command, query, the parameters it is forwarded with); the typing rules: dispatch_query_test
            (osd, "Content=123&Size=24", [{"Content": "123", "Size": 24}]),
            (display, "BackgroundColor=%23FF8000&Index=-1&Channel=-2",
             {"BackgroundColor": "#FF8000", "Index": -1, "Channel": "-2"}),
            ("SetVideoOutputSourceParameters", "", [{}]),
        ]
        for command, query, expected in cases:
            self.assertEqual(self.cmd(command, (sid + query).rstrip("&")).json()["Result"], "OK")
            self.assertEqual(self.sb.devsim_requests(command)[-1]["Parameters"], expected)
        self.cmd("GetVideoEncodeParameters", sid + "A=1&A=x")  # duplicate keys are both sent, in query order
        raw = (self.sb.log_dir / "devsim_requests.jsonl").read_text().splitlines()[-1]
        self.assertIn('"Parameters":{"A":1,"A":"x"}', raw)

    def test_bodies(self):
        body = '{"Brightness": 7, "Name": "x"}'
        self.cmd("SetVideoOutputDisplayParameter", f"sessionid={self.sid}&Brightness=1&Other=2", body=body)
        self.cmd("SetVideoOutputDisplayParameter", f"sessionid={self.sid}", body=b'{"A": 1}\0{"B": 2}')
        self.assertEqual([q["Parameters"] for q in self.sb.devsim_requests("SetVideoOutputDisplayParameter")],
                         [{"Brightness": 7, "Name": "x"}, {"A": 1}])  # body wins; its text ends at a NUL
        self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", f"sessionid={self.sid}&x=", body=body), BAD_URL)
        # A large body is refused outside the upgrade, without being read or stored.
        for name, query, answer in (("SetVideoOutputDisplayParameter", "", SESSION_EMPTY),
                                    ("StartUpgrade", "sessionid=made-up", SESSION_INVALID),
                                    ("upload_Image", "username=admin&password=x", BAD_CREDENTIALS),
                                    ("login", "", BAD_PARAMS),  # a live session: refused before it is read
                                    ("SetVideoOutputDisplayParameter", f"sessionid={self.sid}", BAD_PARAMS)):
            with self.subTest(name), socket.create_connection((self.sb.host, self.sb.port), timeout=10) as conn:
                conn.sendall(f"POST /action/device/{name}{'?' * bool(query)}{query} HTTP/1.1\r\nHost: device\r\n"
                             f"Content-Length: {64 * 1024 * 1024}\r\n\r\n".encode())
                self.assertEnvelope(harness.read_response(conn), answer)
                self.assertEqual([p.name for p in harness.Path("/tmp").iterdir() if p.is_file()], [])
        self.assertEqual(len(self.sb.devsim_requests("SetVideoOutputDisplayParameter")), 2)

    def test_invalid_urls_and_unknown_commands(self):
        for query in ("a=1&", "x=", "=5", "x=&y=1", "Brightness", "sessionid=" + self.sid + "&a"):
            self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", query), BAD_URL)
        self.assertEnvelope(self.cmd("upload_Image", "fileName="), BAD_URL)  # before the gates too
        self.assertEnvelope(self.cmd("login", "x", body={"username": "admin"}), BAD_URL)
        r = self.cmd("GetNothing", "sessionid=" + self.sid)  # the literal text (the other tests use json_print)
        self.assertEqual((r.status, r.body), (200, ('{\n\t"Result":\t"Fail",\n\t"ErrorNo":\t501,\n\t"Reason":\t"'
                                                    + UNSUPPORTED + 'GetNothing"\n}').encode()))
        self.assertEqual(self.sb.http("GET", "/action/device").status, 404)  # from the HTTP layer
        self.assertEnvelope(self.sb.http("GET", "/action/device/"), SESSION_EMPTY)
        self.assertEnvelope(self.sb.http("GET", "/action/device/?sessionid=" + self.sid),
                            envelope("Fail", UNSUPPORTED, 501))
        # 8192 characters pass, one more is refused; action names up to 127 characters
        prefix = f"sessionid={self.sid}&Pad="
        fill = 8192 - len("/action/device/GetNothing?" + prefix)
        self.assertEqual(self.cmd("GetNothing", prefix + "1" * fill).json()["ErrorNo"], 501)
        self.assertEnvelope(self.cmd("GetNothing", prefix + "1" * (fill + 1)), BAD_URL)
        self.assertEnvelope(self.cmd("G" * 128, "username=admin&password=qorvu"), BAD_URL)
        self.assertEnvelope(self.cmd("G" * 127, "sessionid=" + self.sid),
                            envelope("Fail", (UNSUPPORTED + "G" * 127)[:127], 501))
        self.assertEqual(self.sb.devsim_requests("SetVideoOutputDisplayParameter"), [])


class ClockTest(harness.SandboxTest):
    def test_session_time_out_follows_the_clock_and_refreshes(self):
        self.sb.start_devsim()
        self.sb.start_server(clock=True)
        sid = self.sb.login(timeout=100)
        alive = lambda: self.sb.cmd("detection_sessionid", query={"sessionid": sid}).text  # noqa: E731
        self.sb.advance_clock(90)
        self.assertEqual(self.sb.cmd("set_login_time", query={"sessionid": sid}).text, OK)  # refreshed
        self.sb.advance_clock(90)
        self.assertEqual(alive(), OK)  # checking does not refresh
        self.sb.advance_clock(11)
        self.assertEqual(alive(), SESSION_INVALID)


class WaitingTest(harness.SandboxTest):
    """A command waiting on a device application never stalls the server."""

    def setUp(self):
        super().setUp()
        self.sb.start_devsim(scenario="wait_scenario.json")
        self.server = self.sb.start_server()
        self.sid = self.sb.login()

    def background(self, name, results, body=None):
        def run():
            try:
                results.append(self.sb.cmd(name, query={"sessionid": self.sid}, body=body, timeout=60))
            except OSError as e:  # the server ended first
                results.append(e)
        (t := threading.Thread(target=run)).start()
        self.addCleanup(t.join)

    def test_server_answers_during_a_30_s_scan_and_queued_commands_keep_their_order(self):
        scan, second = [], []
        start = time.monotonic()
        self.background("GetScanWIFIHotspot", scan)
        wait_until(lambda: self.sb.devsim_requests("GetScanWIFIHotspot"), what="scan sent")
        self.background("GetCrontabParameters", second)  # queued behind the scan
        for request in (lambda: self.sb.http("GET", "/login.html"), lambda: self.sb.http("GET", "/css/app.css"),
                        lambda: self.sb.cmd("GetCrontabParameters")):
            t0 = time.monotonic()
            r = request()
            self.assertLess(time.monotonic() - t0, 1.0)
            self.assertEqual(r.status, 200)
        self.assertEnvelope(r, SESSION_EMPTY)
        self.assertEqual(self.sb.devsim_requests("GetCrontabParameters"), [])  # still waiting its turn
        wait_until(lambda: scan and second, timeout=40, what="both answers")
        self.assertGreaterEqual(time.monotonic() - start, 29)
        self.assertEqual((scan[0].json()["Result"], second[0].json()["Result"]), ("OK", "OK"))
        self.assertEqual([r["Command"] for r in self.sb.devsim_requests()][-2:],
                         ["GetScanWIFIHotspot", "GetCrontabParameters"])

    def test_sigterm_during_the_upgrade_wait_ends_at_once(self):
        results = []
        self.background("StartUpgrade", results, body=b"IMAGE")
        wait_until(lambda: self.sb.devsim_requests("StartUpgrade"), what="upgrade sent")
        t0 = time.monotonic()
        self.server.popen.send_signal(harness.signal.SIGTERM)
        self.assertEqual((self.server.popen.wait(timeout=5), time.monotonic() - t0 < 1.0), (0, True))
        self.assertEqual(harness.UPGRADE_IMAGE.read_bytes(), b"IMAGE")
        self.assertEqual([p.name for p in harness.Path("/tmp").iterdir() if p.is_file()], ["upgrade"])
