"""The dispatcher end to end: the dispatch order, the gates, the query conversion as the device
applications receive it, the answer envelopes, the session table and the URL limits."""

import re
import socket
import time

import harness
from harness import SESSION_EMPTY, SESSION_INVALID, envelope, json_print

OK = envelope("OK")
BAD_URL = envelope("Fail", "Invalid URL", -1)
BAD_CREDENTIALS = envelope("Fail", "Invalid username or password", -1)
UNSUPPORTED = "The server does not support this protocol :"


class DispatchTest(harness.DeviceTest):
    def cmd(self, name, raw_query=None, body=None):
        return self.sb.cmd(name, raw_query=raw_query, body=body)

    def logged(self):  # the actions named by the log records received so far
        time.sleep(0.2)
        return [m.group(1) for r in self.sb.log_records()
                if (m := re.fullmatch(r"client\[127\.0\.0\.1\] (.*)", r.get("Content", "")))]

    def in_json_lines(self):  # every in_json text the common section took, in order
        return re.findall(r"in_json=\n(.*?)\n<DEBUG", self.server.stdout() + "\n<DEBUG", re.S)

    def test_each_dispatch_row(self):
        sid = "sessionid=" + self.sid
        # Refusals by the gates are neither logged nor forwarded.
        self.assertEnvelope(self.cmd("GetVideoOutputDisplayParameter", "username=admin&password=wrong"),
                            BAD_CREDENTIALS)
        self.assertEnvelope(self.cmd("GetVideoOutputDisplayParameter", "a=1&"), BAD_URL)
        self.assertEnvelope(self.cmd("GetVideoOutputDisplayParameter"), SESSION_EMPTY)
        # the upload and EDID commands: gate, answered at once, not logged
        for name, query, reason in (("upload_Image", "", "upload file name cannot be empty"),
                                    ("upload_edid", "&fileName=a.bin", "upload file is empty"),
                                    ("SetHdmiEdidParameters", "", "edid file name cannot be empty"),
                                    ("GetHdmiEdidParameters", "", "Read file does not exist")):
            self.assertEnvelope(self.cmd(name), SESSION_EMPTY)
            self.assertEnvelope(self.cmd(name, "sessionid=nope"), SESSION_INVALID)
            self.assertEnvelope(self.cmd(name, sid + query), envelope("Fail", reason, -1))
        # detection_sessionid, even with credentials in the URL
        self.assertEnvelope(self.cmd("detection_sessionid", sid), OK)
        self.assertEnvelope(self.cmd("detection_sessionid", "username=admin&password=qorvu"), SESSION_EMPTY)
        # URL credentials instead of a session, then logged and forwarded
        r = self.cmd("GetVideoOutputDisplayParameter", "username=admin&password=qorvu")
        self.assertEqual(r.json()["Result"], "OK", r.text)
        self.assertEqual(len(self.sb.devsim_requests("GetVideoOutputDisplayParameter")), 1)
        # no gate
        self.assertEqual(self.cmd("get_Language_Format").json()["Result"], "OK")
        self.assertEnvelope(self.cmd("logout", body={"sessionid": "0" * 36}), envelope("Fail", "Invalid session id"))
        # set_login_time
        self.assertEnvelope(self.cmd("set_login_time", sid), OK)
        self.assertEnvelope(self.cmd("set_login_time"), SESSION_EMPTY)
        # everything else passes the session gate
        self.assertEnvelope(self.cmd("get_user_param"), SESSION_EMPTY)
        self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", "sessionid=bad&Brightness=1"), SESSION_INVALID)
        self.assertEqual(self.cmd("get_user_param", sid).json()["Result"], "OK")
        # the capability reader (after the local handlers, before forwarding)
        r = self.cmd("GetDeviceCapability", sid)
        self.assertEqual(r.json()["Result"], "OK", r.text)
        self.assertEqual(self.sb.devsim_requests("GetDeviceCapability"), [])
        self.assertEqual(self.logged(), ["login", "GetVideoOutputDisplayParameter", "get_Language_Format",
                                         "logout", "get_user_param", "GetDeviceCapability"])

    def test_query_typing_as_forwarded(self):
        sid = "sessionid=" + self.sid + "&"
        osd, display = "SetVideoEncodeOSDParameters", "SetVideoOutputDisplayParameter"
        cases = [  # (command, query, the parameters it is forwarded with)
            (osd, "Content=123&Size=24", [{"Content": "123", "Size": 24}]),
            (osd, "Content=%00&Size=%00", [{"Content": "", "Size": 0}]),
            (osd, "ForeColor=%23FFFFFF&BackColor=abc", [{"ForeColor": "#FFFFFF", "BackColor": "abc"}]),
            (display, "BackgroundColor=%23FF8000&Index=-1&Channel=-2",
             {"BackgroundColor": "#FF8000", "Index": -1, "Channel": "-2"}),
            (display, "BackgroundColor=red&WindowBorderColor=%23000000",
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
                before = len(self.sb.devsim_requests(command))
                r = self.cmd(command, (sid + query).rstrip("&"))
                self.assertEqual((r.status, r.json()["Result"]), (200, "OK"), r.text)
                printed = re.sub(r'(Password":\t)"[^"]*"', r'\1"***"', json_print(expected))  # secrets masked
                self.assertEqual(self.in_json_lines()[-1], printed)  # the JSON text that is forwarded
                got = self.sb.devsim_requests(command)
                self.assertEqual((len(got), got[-1]["Parameters"]), (before + 1, expected))
        # duplicate keys are both sent, in query order
        self.cmd("GetVideoEncodeParameters", sid + "A=1&A=x")
        self.assertEqual(self.in_json_lines()[-1], "{\n\t\"A\":\t1,\n\t\"A\":\t\"x\"\n}")
        self.assertIn("\"A\":\t1,\n\t\t\"A\":\t\"x\"", self.server.stdout())

    def test_body_wins_over_the_query_and_large_bodies_are_refused(self):
        body = '{"Brightness": 7, "Name": "x"}'
        r = self.cmd("SetVideoOutputDisplayParameter", f"sessionid={self.sid}&Brightness=1&Other=2", body=body)
        self.assertEqual(r.json()["Result"], "OK", r.text)
        self.assertEqual(self.in_json_lines()[-1], body)
        self.assertEqual(self.sb.devsim_requests("SetVideoOutputDisplayParameter")[-1]["Parameters"],
                         {"Brightness": 7, "Name": "x"})
        # the body text ends at its first NUL byte
        self.cmd("SetVideoOutputDisplayParameter", f"sessionid={self.sid}", body=b'{"A": 1}\0{"B": 2}')
        self.assertEqual(self.in_json_lines()[-1], '{"A": 1}')
        # the query form is checked even so
        self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", f"sessionid={self.sid}&x=", body=body), BAD_URL)
        # outside the upgrade a large body is refused, after the gate
        large = b'{"A": "' + b"x" * (2 * 1024 * 1024) + b'"}'
        self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", f"sessionid={self.sid}", body=large),
                            envelope("Fail", "Invalid params", -1))
        self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", body=large), SESSION_EMPTY)
        self.assertEqual(len(self.sb.devsim_requests("SetVideoOutputDisplayParameter")), 2)

    def test_invalid_query_forms(self):
        for query in ("a=1&", "x=", "=5", "x=&y=1", "Brightness", "sessionid=" + self.sid + "&a"):
            self.assertEnvelope(self.cmd("SetVideoOutputDisplayParameter", query), BAD_URL)
        # also before the gates of the upload commands and of login
        self.assertEnvelope(self.cmd("upload_Image", "fileName="), BAD_URL)
        self.assertEnvelope(self.cmd("login", "x", body={"username": "admin"}), BAD_URL)
        self.assertEqual(self.sb.devsim_requests("SetVideoOutputDisplayParameter"), [])
        self.assertIn("Invalid URL\n", self.server.stderr())

    def test_envelopes_404_and_url_without_action_name(self):
        r = self.cmd("GetNothing", "sessionid=" + self.sid)  # the literal text (the other tests use json_print)
        self.assertEqual((r.status, r.body), (200, ('{\n\t"Result":\t"Fail",\n\t"ErrorNo":\t501,\n\t"Reason":\t"'
                                                    + UNSUPPORTED + 'GetNothing"\n}').encode()))
        self.assertIn("web server not support this protocol! :" + UNSUPPORTED + "GetNothing", self.server.stderr())
        # A path without '/' after the prefix never reaches the dispatcher: 404 from the HTTP layer.
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
        fill = 8192 - len("/action/device/GetNothing?" + prefix)
        self.assertEqual(self.cmd("GetNothing", prefix + "1" * fill).json()["ErrorNo"], 501)  # 8192 characters pass
        self.assertEnvelope(self.cmd("GetNothing", prefix + "1" * (fill + 1)), BAD_URL)
        self.assertEnvelope(self.cmd("G" * 127), SESSION_EMPTY)
        self.assertEnvelope(self.cmd("G" * 128, "sessionid=" + self.sid), BAD_URL)
        self.assertEnvelope(self.cmd("G" * 128, "username=admin&password=qorvu"), BAD_URL)
        self.assertEqual(self.logged(), ["login", "GetNothing"])
        # the unsupported-command reason keeps to 127 characters
        self.assertEnvelope(self.cmd("G" * 127, "sessionid=" + self.sid),
                            envelope("Fail", (UNSUPPORTED + "G" * 127)[:127], 501))

    def test_sixty_five_logins_evict_the_first_slot(self):
        self.sb.cmd("logout", body={"sessionid": self.sid})
        sids = [self.sb.login() for _ in range(64)]
        self.assertEqual(len(set(sids)), 64)
        alive = lambda sid: self.cmd("detection_sessionid", "sessionid=" + sid).text  # noqa: E731
        for sid in (sids[0], sids[63]):
            self.assertEqual(alive(sid), OK)
        newest = self.sb.login()
        self.assertEqual(alive(sids[0]), SESSION_INVALID)
        for sid in (sids[1], sids[63], newest):
            self.assertEqual(alive(sid), OK)

