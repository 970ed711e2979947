"""No password, digest or session id reaches the server's stdout or stderr, whatever path it takes."""

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
        r = self.upload("upload_Image", "p.png", picture, "image/png", auth="username=admin&password=qorvu")
        self.assertEqual(r.status, 200)
        sb.cleanup()  # the server stops: everything it printed is in the files
        output = self.server.stdout() + self.server.stderr()
        self.assertIn("***", output)
        for secret in secrets:
            self.assertNotIn(secret, output)
