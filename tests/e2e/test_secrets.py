"""No password, digest or session id reaches the server's standard output or
error, whatever path it takes: login, URL credentials, user parameters,
forwarded texts and uploads with credentials."""

import struct

import harness
from harness import ADMIN_DIGEST, md5


class SecretsTest(harness.DeviceTest):
    def test_no_secret_in_the_output(self):
        sb, sid = self.sb, self.sid
        new_password = "Hidden-Pass-77"
        secrets = {"qorvu", ADMIN_DIGEST, sid, new_password, md5(new_password), "SecretRtsp9"}
        sb.cmd("detection_sessionid", {"sessionid": sid})
        sb.cmd("GetVideoOutputDisplayParameter", {"username": "admin", "password": "qorvu"})
        sb.cmd("GetVideoOutputDisplayParameter", {"username": "admin", "password": ADMIN_DIGEST})
        sb.cmd("SetRtspServerParameter", {"sessionid": sid, "AuthPassword": "SecretRtsp9"})
        sb.cmd("login", {"username": "admin", "password": "qorvu"},
               body={"username": "admin", "password": "qorvu", "timeout": 60})
        for op, password in ((0, new_password), (2, md5(new_password)), (1, md5(new_password))):
            self.send("set_user_param", {"operation": op, "user_name": "guest2", "password": password})
        self.send("get_user_param")
        picture = b"\x89PNG\r\n\x1a\n" + struct.pack(">I4sII", 13, b"IHDR", 8, 8) + bytes(2048)
        boundary = "b0undary"
        body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"file\"; filename=\"p\"\r\n"
                "Content-Type: image/png\r\n\r\n").encode() + picture + f"\r\n--{boundary}--\r\n".encode()
        r = sb.http("POST", "/action/device/upload_Image?fileName=p.png&username=admin&password=qorvu", body,
                    headers={"Content-Type": f"multipart/form-data; boundary={boundary}"})
        self.assertEqual(r.status, 200)
        sb.cleanup()  # the server stops: everything it printed is in the files
        output = self.server.stdout() + self.server.stderr()
        self.assertIn("***", output)
        for secret in secrets:
            self.assertNotIn(secret, output)
