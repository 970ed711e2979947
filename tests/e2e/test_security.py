"""Guessing slowed down per client address; ports another program holds."""

import socket

from harness import ETH0_ADDR, PORT_FILE, DeviceTest, SandboxTest, envelope, json_print, wait_port, wait_until

SET_FAILED, SET_OK = envelope("Fail", "Failed to set params"), envelope("OK", "Successfully to set params")
BAD_LOGIN = envelope("Fail", "Invalid username or password")
BAD_URL_LOGIN = envelope("Fail", "Invalid username or password", -1)


def hold_port(test, port):  # a listener of another program on every address
    test.addCleanup(socket.create_server(("0.0.0.0", port)).close)


class PortTest(DeviceTest):
    def set_port(self, port):
        return self.sb.cmd("SetWebServerParameter", query={"sessionid": self.sid}, body={"Port": port})

    def test_busy_port_refused_and_a_port_lost_after_the_change_is_given_back(self):
        hold_port(self, 8090)
        # 8080 is our own port; 8091 is taken by another program between the answer and the restart.
        for port, answer in ((8090, SET_FAILED), (8080, SET_OK), (8091, SET_OK)):
            self.assertEnvelope(self.set_port(port), answer)
        hold_port(self, 8091)
        wait_until(lambda: PORT_FILE.read_text() == json_print({"Port": 8080}))  # back to 8080, stored again
        self.assertTrue(wait_port(8080, proc=self.server))
        self.assertEqual(self.sb.cmd("detection_sessionid", query={"sessionid": self.sid}).text, envelope("OK"))


class StartPortTest(SandboxTest):
    def test_stored_port_that_cannot_be_bound_falls_back_to_the_command_line(self):
        hold_port(self, 8092)
        PORT_FILE.write_text(json_print({"Port": 8092}))
        self.sb.start_server("8080", "lo", port=8080)
        self.assertEqual(self.sb.http("GET", "/login.html").status, 200)


class ThrottleTest(DeviceTest):
    def setUp(self):
        super().setUp()
        # Serve every address, so 127.0.0.1 and 192.0.2.10 are two clients.
        self.sb.server.stop()
        self.server = self.sb.start_server("8080", "eth0")

    def login(self, body, host="127.0.0.1"): return self.sb.cmd("login", body=body, host=host)
    def asked(self): return len(self.sb.devsim_requests("VerifyPassword"))  # password checks devsim answered

    def test_wrong_password_bursts_are_throttled_per_address(self):
        wrong = {"username": "admin", "password": "wrong", "timeout": 10}
        right = dict(wrong, password="qorvu")
        for _ in range(5):
            self.assertEqual(self.login(wrong).text, BAD_LOGIN)
        # Wrong passwords through the first window (1 s): the first one checked again opens a 2 s window.
        before = self.asked()
        wait_until(lambda: self.login(wrong).text == BAD_LOGIN and self.asked() > before, 6)
        asked = self.asked()
        # Within it every check from this address is refused, the right password too, and nobody is asked.
        self.assertEqual(self.login(right).text, BAD_LOGIN)
        self.assertEqual(self.sb.cmd("GetCrontabParameters", query={"username": "admin", "password": "qorvu"},
                                     host="127.0.0.1").text, BAD_URL_LOGIN)
        upload = "/action/device/upload_Image?fileName=a.png&username=admin&password=qorvu"
        self.assertEqual(self.sb.http("POST", upload, b"", host="127.0.0.1").text, BAD_URL_LOGIN)
        self.assertEqual(self.asked(), asked)
        self.assertEqual(self.login(right, host=ETH0_ADDR).json()["Result"], "OK")  # another address
        # After the window the right password is taken and ends the back-off.
        wait_until(lambda: self.login(right).json()["Result"] == "OK", 6)
        for _ in range(4):
            self.assertEqual(self.login(wrong).text, BAD_LOGIN)
        self.assertEqual(self.login(right).json()["Result"], "OK")
