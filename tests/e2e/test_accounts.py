"""Login and logout, URL credentials, the web user store and the language, devsim answering "VerifyPassword"."""

import re, struct

from harness import (ADMIN_DIGEST, LANGUAGE_FILE, USER_FILE, DeviceTest, envelope, json_print, md5, params_envelope)

SESSION_ID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
SET_OK = envelope("OK", "Successfully to set params")
SET_USER_FAIL = envelope("Fail", "set User params fail")
BAD_INPUT = envelope("Fail", "Invalid input params")
BAD_CREDENTIALS = envelope("Fail", "Invalid username or password")
NO_SUCH_SESSION = envelope("Fail", "Invalid session id")


class AccountsTest(DeviceTest):
    def users(self):
        r = self.send("get_user_param")
        self.assertEqual(r.json()["Result"], "OK", r.text)
        return [(u["user_name"], u["password"]) for u in r.json()["Parameters"]]

    def set_user(self, operation, name, password):
        return self.send("set_user_param", {"operation": operation, "user_name": name, "password": password}).text

    def alive(self, sid): return self.sb.cmd("detection_sessionid", query={"sessionid": sid}).text == envelope("OK")

    def test_login_and_logout(self):
        r = self.sb.cmd("login", body={"username": "admin", "password": "qorvu", "timeout": 1800})
        sid = r.json()["sessionid"]
        self.assertRegex(sid, SESSION_ID)
        self.assertEnvelope(r, json_print({"Result": "OK", "Reason": "user login successfully", "sessionid": sid}))
        self.assertEqual(self.sb.devsim_requests("VerifyPassword")[-1]["Parameters"],
                         {"UserName": "admin", "Password": "qorvu", "MD5Password": 1})
        # The query's sessionid is kept by the dispatcher; the body has none.
        self.assertEqual(self.sb.cmd("logout", query={"sessionid": sid}).text, BAD_INPUT)
        self.assertEqual(self.sb.cmd("logout", body={"sessionid": sid}).text, SET_OK)
        self.assertFalse(self.alive(sid))
        self.assertEqual(self.sb.cmd("logout", body={"sessionid": sid}).text, NO_SUCH_SESSION)
        self.assertTrue(self.alive(self.sid))  # another login of the same user stays
        for body, answer in [({"username": "admin", "password": "wrong", "timeout": 10}, BAD_CREDENTIALS),
                             ({"username": "admin", "password": "qorvu", "timeout": "600"}, BAD_INPUT)]:
            self.assertEqual(self.sb.cmd("login", body=body).text, answer, body)

    def test_url_credentials(self):
        for user, password, passes in (("admin", "qorvu", 1), ("admin", ADMIN_DIGEST, 1), ("admin", "nope", 0),
                                       ("eve", "qorvu", 0)):
            before = len(self.sb.devsim_requests("GetCrontabParameters"))
            r = self.sb.cmd("GetCrontabParameters", query={"username": user, "password": password})
            self.assertEqual(len(self.sb.devsim_requests("GetCrontabParameters")), before + passes)
            if passes:  # the URL check sends the digest
                self.assertEqual(self.sb.devsim_requests("VerifyPassword")[-1]["Parameters"]["Password"], ADMIN_DIGEST)
            else:
                self.assertEqual(r.text, envelope("Fail", "Invalid username or password", -1))
        # A URL login: the check sends the digest, the login itself the plain text.
        sid = self.sb.cmd("login", query={"username": "admin", "password": "qorvu"}).json()["sessionid"]
        self.assertTrue(self.alive(sid))
        self.assertEqual([q["Parameters"]["Password"] for q in self.sb.devsim_requests("VerifyPassword")][-2:],
                         [ADMIN_DIGEST, "qorvu"])

    def test_user_add_list_change_delete(self):
        self.assertEqual(self.users(), [("admin", ADMIN_DIGEST)])  # default made on first use
        for name in ("bob", "carol"):
            self.assertEqual(self.set_user(0, name, md5(name)), SET_OK)
        self.assertRegex(self.sb.login("bob", "bob"), SESSION_ID)  # devsim checks the same file
        for op, name, password, answer in [(0, "bob", md5("x"), SET_USER_FAIL), (2, "bob", md5("new"), SET_OK),
                                           (1, "bob", md5("bob"), SET_USER_FAIL), (1, "bob", md5("new"), SET_OK),
                                           (1, "admin", ADMIN_DIGEST, SET_USER_FAIL)]:
            self.assertEqual(self.set_user(op, name, password), answer, (op, name))
        self.assertEqual(self.users(), [("admin", ADMIN_DIGEST), ("carol", md5("carol"))])
        # A name that is not UTF-8 would make the listing invalid JSON: refused like any bad parameter.
        for name in (b"\xff", b"a\xe5\x9b", b"\xed\xa0\x80"):
            body = b'{"operation": 0, "user_name": "' + name + b'", "password": "x"}'
            self.assertEqual(self.send("set_user_param", body).text, BAD_INPUT, name)
        self.assertEqual(self.set_user(0, "图", md5("x")), SET_OK)
        self.assertEqual(self.users()[-1], ("图", md5("x")))
        self.assertEqual(len(USER_FILE.read_bytes()), 2048)

    def test_language(self):
        def language(body=None):
            return self.sb.cmd("set_Language_Format" if body else "get_Language_Format", body=body).text

        def reply(lang, mode):
            return params_envelope("Successfully to get params", json_print({"language": lang, "mode": mode}))
        self.assertEqual(language(), reply("chinese", 0))  # the record made at start
        self.assertEqual(language({"language": "english", "mode": 2}), SET_OK)
        self.assertEqual(language(), reply("english", 2))
        good = b"english".ljust(128, b"\0") + struct.pack("<i", 2) + b"login.html".ljust(128, b"\0")
        self.assertEqual(LANGUAGE_FILE.read_bytes(), good)
        # The same content again is not written (each write wears the flash); a change is.
        inode = LANGUAGE_FILE.stat().st_ino
        self.assertEqual(language({"language": "english", "mode": 2}), SET_OK)
        self.assertEqual(LANGUAGE_FILE.stat().st_ino, inode)
        self.assertEqual(language({"language": "english", "mode": True}), SET_OK)
        self.assertEqual((LANGUAGE_FILE.stat().st_ino != inode, language()), (True, reply("english", 1)))
        for body in ({"language": "English", "mode": 1}, {"language": "english", "mode": "2"}, "not json"):
            self.assertEqual(language(body), envelope("Fail", "set language params fail"), body)
        LANGUAGE_FILE.write_bytes(good[:259])
        self.assertEqual(language(), envelope("Fail", "get language params fail"))
        self.assertEqual(language({"language": "english", "mode": 2}), SET_OK)
        self.assertEqual(LANGUAGE_FILE.read_bytes(), good)

