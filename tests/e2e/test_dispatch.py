"""The dispatcher end to end: the dispatch order, the gates, the query
conversion as the device applications receive it, the answer envelopes,
the session table over HTTP, and the URL limits."""

import hashlib
import re
import socket
import time
import unittest

import harness
from harness import SandboxTest, envelope, json_print

OK = "{\n\t\"Result\":\t\"OK\"\n}"
SESSION_EMPTY = envelope("Fail", "Session ID is empty", -16)
SESSION_INVALID = envelope("Fail", "Invalid session ID", -16)
BAD_URL = envelope("Fail", "Invalid URL", -1)
BAD_CREDENTIALS = envelope("Fail", "Invalid username or password", -1)
UNSUPPORTED = "The server does not support this protocol :"
ADMIN_DIGEST = hashlib.md5(b"qorvu").hexdigest()


class DispatchTest(SandboxTest):
    def setUp(self):
        super().setUp()
        self.sb.start_devsim()
        self.sb.start_server()
        self.sid = self.sb.login()

    def cmd(self, name, raw_query=None, body=None, **kw):
        return self.sb.cmd(name, raw_query=raw_query, body=body, **kw)

    def logged(self):
        """The actions named by the log records received so far."""
        time.sleep(0.2)
        out = []
        for record in self.sb.log_records():
            m = re.fullmatch(r"client\[127\.0\.0\.1\] (.*)", record.get("Content", ""))
            if m:
                out.append(m.group(1))
        return out

    def forwarded(self, command):
        return [r for r in self.sb.devsim_requests() if r.get("Command") == command]

    def in_json_lines(self):
        """Every in_json text the common section took, in order."""
        out = self.sb.server.stdout()
        return re.findall(r"in_json=\n(.*?)\n<DEBUG", out + "\n<DEBUG", re.S)

    # ---- dispatch order ------------------------------------------------
    def test_each_dispatch_row(self):
        sid = "sessionid=" + self.sid
        # 1-4: the upload and EDID commands: gate, answered at once, not logged
        for name in ("upload_Image", "upload_edid", "SetHdmiEdidParameters", "GetHdmiEdidParameters"):
            with self.subTest(name):
                self.assertEnvelope(self.cmd(name), SESSION_EMPTY)
                self.assertEnvelope(self.cmd(name, "sessionid=nope"), SESSION_INVALID)
        self.assertEnvelope(self.cmd("upload_Image", sid), envelope("Fail", "upload file name cannot be empty", -1))
        self.assertEnvelope(self.cmd("upload_edid", sid + "&fileName=a.bin"),
                            envelope("Fail", "upload file is empty", -1))
        self.assertEnvelope(self.cmd("SetHdmiEdidParameters", sid),
                            envelope("Fail", "edid file name cannot be empty", -1))
        self.assertEnvelope(self.cmd("GetHdmiEdidParameters", sid),
                            envelope("Fail", "Read file does not exist", -1))
        # 5: detection_sessionid, even with credentials in the URL
        self.assertEnvelope(self.cmd("detection_sessionid", sid), OK)
        self.assertEnvelope(self.cmd("detection_sessionid", "username=admin&password=qorvu"), SESSION_EMPTY)
        # 6: URL credentials instead of a session, then logged and forwarded
        r = self.cmd("GetVideoOutputDisplayParameter", "username=admin&password=qorvu")
        self.assertEqual(r.json()["Result"], "OK", r.text)
        self.assertEqual(len(self.forwarded("GetVideoOutputDisplayParameter")), 1)
        # 7: no gate
        self.assertEqual(self.cmd("get_Language_Format").json()["Result"], "OK")
        self.assertEnvelope(self.cmd("logout", body={"sessionid": "0" * 36}),
                            envelope("Fail", "Invalid session id"))
        # 8: set_login_time
        self.assertEnvelope(self.cmd("set_login_time", sid), OK)
        self.assertEnvelope(self.cmd("set_login_time"), SESSION_EMPTY)
        # 9: everything else passes the session gate
        self.assertEnvelope(self.cmd("get_user_param"), SESSION_EMPTY)
        self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", "sessionid=bad&Brightness=1"),
                            SESSION_INVALID)
        self.assertEqual(self.cmd("get_user_param", sid).json()["Result"], "OK")
        # the capability reader (after the local handlers, before forwarding)
        r = self.cmd("GetDeviceCapability", sid)
        self.assertEqual(r.json()["Result"], "OK", r.text)
        self.assertEqual(self.forwarded("GetDeviceCapability"), [])

        self.assertEqual(self.logged(), ["login", "GetVideoOutputDisplayParameter", "get_Language_Format",
                                         "logout", "get_user_param", "GetDeviceCapability"])

    def test_refused_requests_leave_no_log_record(self):
        self.assertEnvelope(self.cmd("GetVideoOutputDisplayParameter", "username=admin&password=wrong"),
                            BAD_CREDENTIALS)
        self.assertEnvelope(self.cmd("GetVideoOutputDisplayParameter", "a=1&"), BAD_URL)
        self.assertEnvelope(self.cmd("GetVideoOutputDisplayParameter"), SESSION_EMPTY)
        self.assertEqual(self.logged(), ["login"])
        self.assertEqual(self.forwarded("GetVideoOutputDisplayParameter"), [])

    def test_credential_gate_of_the_upload_commands(self):
        # checked against the user file: plain password, digest, wrong one
        for password in ("qorvu", ADMIN_DIGEST):
            with self.subTest(password):
                self.assertEnvelope(self.cmd("GetHdmiEdidParameters", f"username=admin&password={password}"),
                                    envelope("Fail", "Read file does not exist", -1))
        self.assertEnvelope(self.cmd("GetHdmiEdidParameters", "username=admin&password=QORVU"),
                            BAD_CREDENTIALS)
        self.assertEnvelope(self.cmd("GetHdmiEdidParameters", "username=admin&password=" + ADMIN_DIGEST.upper()),
                            BAD_CREDENTIALS)
        self.assertIn("Invalid username or password", self.sb.server.stderr())
        # only one of the two: the session gate decides
        self.assertEnvelope(self.cmd("GetHdmiEdidParameters", "username=admin"), SESSION_EMPTY)
        self.assertIn("sessionId:(null)", self.sb.server.stderr())
        # no VerifyPassword exchange for the upload gate
        before = len(self.forwarded("VerifyPassword"))
        self.cmd("GetHdmiEdidParameters", "username=admin&password=qorvu")
        self.assertEqual(len(self.forwarded("VerifyPassword")), before)

    # ---- the query JSON --------------------------------------------------
    def test_query_typing_as_forwarded(self):
        sid = "sessionid=" + self.sid + "&"
        cases = [
            ("SetVideoEncodeOSDParameters", "Content=123&Size=24", [{"Content": "123", "Size": 24}]),
            ("SetVideoEncodeOSDParameters", "Content=%00&Size=%00", [{"Content": "", "Size": 0}]),
            ("SetVideoEncodeOSDParameters", "ForeColor=%23FFFFFF&BackColor=abc",
             [{"ForeColor": "#FFFFFF", "BackColor": "abc"}]),
            ("SetVideoOutputDisplayParameter", "BackgroundColor=%23FF8000&Index=-1&Channel=-2",
             {"BackgroundColor": "#FF8000", "Index": -1, "Channel": "-2"}),
            ("SetVideoOutputDisplayParameter", "BackgroundColor=red&WindowBorderColor=%23000000",
             {"BackgroundColor": "red", "WindowBorderColor": "#000000"}),
            ("SetRtspServerParameter", "AuthPassword=1234&AuthUsername=007&Port=554",
             {"AuthPassword": "1234", "AuthUsername": "007", "Port": 554}),
            ("SetAudioOutputParameters", "SourceIndex=-1&Volume=-1", [{"SourceIndex": -1, "Volume": "-1"}]),
            ("GetAudioOutputParameters", "SourceIndex=-1", {"SourceIndex": "-1"}),
            ("SetVideoOutputSourceParameters", "CacheTime=-5", [{"CacheTime": -5}]),
            ("SetVideoOutputInterfaceParameters", "UserDefinedScreenSplitModeIndex=-3",
             [{"UserDefinedScreenSplitModeIndex": -3}]),
            ("SetCrontabParameters", "Minute=05&Hour=3&Enable=1", [{"Minute": "05", "Hour": "3", "Enable": 1}]),
            ("SetNetworkWIFIParameters", "SSID=12345&SecurityKey=87654321&Channel=6",
             [{"SSID": "12345", "SecurityKey": "87654321", "Channel": 6}]),
            ("SetStreamingInputParameters", "URL=1&Alias=2&Port=8554", [{"URL": "1", "Alias": "2", "Port": 8554}]),
            ("GetVideoEncodeParameters", "Big=99999999999&Neg=-7&Text=a+b%20c",
             {"Big": 2147483647, "Neg": "-7", "Text": "a+b%20c"}),
            ("SetVideoOutputSourceParameters", "", [{}]),
            ("GetVideoEncodeParameters", "a=1&&b=2", {"a": 1, "&b": 2}),
        ]
        for command, query, expected in cases:
            with self.subTest(command=command, query=query):
                before = len(self.forwarded(command))
                r = self.cmd(command, (sid + query).rstrip("&"))
                self.assertEqual(r.status, 200)
                self.assertEqual(r.json()["Result"], "OK", r.text)
                self.assertEqual(self.in_json_lines()[-1], json_print(expected))
                got = self.forwarded(command)
                self.assertEqual(len(got), before + 1)
                self.assertEqual(got[-1]["Parameters"], expected)

        # duplicate keys are both sent, in query order
        self.cmd("GetVideoEncodeParameters", sid + "A=1&A=x")
        self.assertEqual(self.in_json_lines()[-1], "{\n\t\"A\":\t1,\n\t\"A\":\t\"x\"\n}")
        self.assertIn("\"A\":\t1,\n\t\t\"A\":\t\"x\"", self.sb.server.stdout())

    def test_body_wins_over_the_query(self):
        body = '{"Brightness": 7, "Name": "x"}'
        r = self.cmd("SetVideoOutputDisplayParameter", f"sessionid={self.sid}&Brightness=1&Other=2", body=body)
        self.assertEqual(r.json()["Result"], "OK", r.text)
        self.assertEqual(self.in_json_lines()[-1], body)
        self.assertEqual(self.forwarded("SetVideoOutputDisplayParameter")[-1]["Parameters"],
                         {"Brightness": 7, "Name": "x"})
        # the body text ends at its first NUL byte
        r = self.cmd("SetVideoOutputDisplayParameter", f"sessionid={self.sid}",
                     body=b'{"A": 1}\0{"B": 2}')
        self.assertEqual(self.in_json_lines()[-1], '{"A": 1}')
        # the query form is checked even so
        self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", f"sessionid={self.sid}&x=", body=body),
                            BAD_URL)

    def test_large_body_is_refused_outside_the_upgrade(self):
        body = b'{"A": "' + b"x" * (2 * 1024 * 1024) + b'"}'
        self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", f"sessionid={self.sid}", body=body),
                            envelope("Fail", "Invalid params", -1))
        self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", body=body), SESSION_EMPTY)
        self.assertEqual(self.forwarded("SetVideoOutputDisplayParameter"), [])

    def test_invalid_query_forms(self):
        for query in ("a=1&", "x=", "=5", "x=&y=1", "Brightness", "sessionid=" + self.sid + "&a"):
            with self.subTest(query):
                self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", query), BAD_URL)
        # also before the gates of the upload commands and of login
        self.assertEnvelope(self.cmd("upload_Image", "fileName="), BAD_URL)
        self.assertEnvelope(self.cmd("login", "x", body={"username": "admin"}), BAD_URL)
        self.assertEqual(self.forwarded("SetVideoOutputDisplayParameter"), [])
        self.assertIn("Invalid URL\n", self.sb.server.stderr())

    # ---- envelopes, 404, limits ------------------------------------------
    def test_envelopes_byte_for_byte(self):
        r = self.cmd("detection_sessionid", "sessionid=" + self.sid)
        self.assertEqual(r.status, 200)
        self.assertEqual(r.body, b'{\n\t"Result":\t"OK"\n}')
        r = self.cmd("detection_sessionid")
        self.assertEqual(r.body, b'{\n\t"Result":\t"Fail",\n\t"ErrorNo":\t-16,\n\t"Reason":\t"Session ID is empty"\n}')
        r = self.cmd("GetNothing", "sessionid=" + self.sid)
        self.assertEqual(r.status, 200)
        self.assertEqual(r.body, ('{\n\t"Result":\t"Fail",\n\t"ErrorNo":\t501,\n\t"Reason":\t"'
                                  + UNSUPPORTED + 'GetNothing"\n}').encode())

    def test_url_without_action_name(self):
        # A path without '/' never reaches the dispatcher (its own 404
        # "Missing action name" is covered by the unit tests): the HTTP layer
        # answers 404 itself.
        for line in (b"GET action HTTP/1.1", b"GET /action/device HTTP/1.1"):
            with socket.create_connection((self.sb.host, self.sb.port), timeout=5) as conn:
                conn.sendall(line + b"\r\nHost: device\r\n\r\n")
                self.assertEqual(harness.read_response(conn).status, 404)
        # an empty action name is an unknown command
        self.assertEnvelope(self.sb.http("GET", "/action/device/"), SESSION_EMPTY)
        self.assertEnvelope(self.sb.http("GET", "/action/device/?sessionid=" + self.sid),
                            envelope("Fail", UNSUPPORTED, 501))

    def test_over_long_url_and_action_name(self):
        prefix = f"sessionid={self.sid}&Pad="
        path = "/action/device/GetNothing?" + prefix
        fill = 8192 - len(path)
        r = self.cmd("GetNothing", prefix + "1" * fill)
        self.assertEqual(r.json()["ErrorNo"], 501, "8192 characters are taken")
        self.assertEnvelope(self.cmd("GetNothing", prefix + "1" * (fill + 1)), BAD_URL)
        self.assertEnvelope(self.cmd("G" * 127), SESSION_EMPTY)
        self.assertEnvelope(self.cmd("G" * 128, "sessionid=" + self.sid), BAD_URL)
        self.assertEnvelope(self.cmd("G" * 128, "username=admin&password=qorvu"), BAD_URL)
        self.assertEqual(self.logged(), ["login", "GetNothing"])
        # the unsupported-command reason keeps to 127 characters
        name = "G" * 127
        self.assertEnvelope(self.cmd(name, "sessionid=" + self.sid),
                            envelope("Fail", (UNSUPPORTED + name)[:127], 501))

    # ---- sessions --------------------------------------------------------
    def test_unsupported_command_refreshes_the_session(self):
        r = self.sb.cmd("login", body={"username": "admin", "password": "qorvu", "timeout": 3})
        sid = r.json()["sessionid"]
        time.sleep(2)
        self.assertEnvelope(self.cmd("GetNothing", "sessionid=" + sid),
                            envelope("Fail", UNSUPPORTED + "GetNothing", 501))
        self.assertIn("web server not support this protocol! :" + UNSUPPORTED + "GetNothing",
                      self.sb.server.stderr())
        time.sleep(2)  # past the login's time-out, within the refreshed one
        self.assertEnvelope(self.cmd("detection_sessionid", "sessionid=" + sid), OK)
        time.sleep(4)
        self.assertEnvelope(self.cmd("detection_sessionid", "sessionid=" + sid), SESSION_INVALID)

    def test_sixty_five_logins_evict_the_first_slot(self):
        self.sb.cmd("logout", body={"sessionid": self.sid})
        sids = [self.sb.login() for _ in range(64)]
        self.assertEqual(len(set(sids)), 64)
        for sid in (sids[0], sids[63]):
            self.assertEnvelope(self.cmd("detection_sessionid", "sessionid=" + sid), OK)
        newest = self.sb.login()
        self.assertEnvelope(self.cmd("detection_sessionid", "sessionid=" + sids[0]), SESSION_INVALID)
        for sid in (sids[1], sids[63], newest):
            self.assertEnvelope(self.cmd("detection_sessionid", "sessionid=" + sid), OK)

    def test_keep_alive_serves_several_actions_on_one_connection(self):
        with socket.create_connection((self.sb.host, self.sb.port), timeout=5) as conn:
            for i in range(5):
                r = harness.raw_request(conn, "GET", f"/action/device/detection_sessionid?sessionid={self.sid}")
                self.assertEqual(r.body.decode(), OK)
                r = harness.raw_request(conn, "GET", "/action/device/get_user_param")
                self.assertEqual(r.body.decode(), SESSION_EMPTY)
                r = harness.raw_request(conn, "POST", f"/action/device/SetEcho?sessionid={self.sid}",
                                        body=b'{"i": %d}' % i)
                self.assertEqual(r.json()["ErrorNo"], 501)

    def test_web_server_port_lands_in_the_running_port(self):
        r = self.cmd("SetWebServerParameter", "sessionid=" + self.sid, body={"Port": 8081})
        self.assertEnvelope(r, envelope("OK", "Successfully to set params"))
        self.assertTrue(harness.wait_port(8081, timeout=8))
        r = self.sb.cmd("GetWebServerParameter", query={"sessionid": self.sid}, port=8081)
        self.assertEqual(r.json()["Parameters"], {"Port": 8081})
        # a refused port leaves the listener where it is
        r = self.sb.cmd("SetWebServerParameter", query={"sessionid": self.sid}, body={"Port": "x"}, port=8081)
        self.assertEnvelope(r, envelope("Fail", "Failed to set params"))
        time.sleep(3.5)
        self.assertTrue(harness.port_open(8081))


if __name__ == "__main__":
    unittest.main()
