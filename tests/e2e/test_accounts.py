"""Login and logout, URL credentials, the web user store and the interface
language, against the real server with devsim answering "VerifyPassword"."""

import errno
import hashlib
import json
import os
import re
import struct
import time
import unittest

from harness import (APP_PARAMS, LANGUAGE_FILE, USER_FILE, SandboxTest, envelope, json_print)

SESSION_ID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
ADMIN_DIGEST = hashlib.md5(b"qorvu").hexdigest()


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def params_envelope(reason, params_text):
    """A parameter envelope whose "Parameters" is a text printed on its own."""
    return ("{\n\t\"Result\":\t\"OK\",\n\t\"Reason\":\t" + json.dumps(reason) +
            ",\n\t\"Parameters\":\t" + params_text + "\n}")


def user_table(data):
    """(name, password) of each record of a user file."""
    out = []
    for i in range(16):
        rec = data[128 * i:128 * (i + 1)]
        out.append((rec[:64].split(b"\0")[0].decode(), rec[64:].split(b"\0")[0].decode()))
    return out


SET_OK = envelope("OK", "Successfully to set params")
SET_USER_FAIL = envelope("Fail", "set User params fail")
BAD_INPUT = envelope("Fail", "Invalid input params")
BAD_CREDENTIALS = envelope("Fail", "Invalid username or password")
BAD_CREDENTIALS_URL = envelope("Fail", "Invalid username or password", -1)
SESSION_EMPTY = envelope("Fail", "Session ID is empty", -16)
SESSION_INVALID = envelope("Fail", "Invalid session ID", -16)


class AccountsTest(SandboxTest):
    def start(self, scenario=None):
        if scenario is not None:
            path = self.sb.log_dir / "scenario.json"
            path.write_text(json.dumps(scenario))
            self.sb.start_devsim(scenario=path)
        else:
            self.sb.start_devsim()
        self.sb.start_server()

    def requests(self, command):
        return [r for r in self.sb.devsim_requests() if r.get("Command") == command]

    def users(self, sid):
        r = self.sb.cmd("get_user_param", query={"sessionid": sid})
        self.assertEqual(r.status, 200)
        reply = r.json()
        self.assertEqual(reply["Result"], "OK", r.text)
        return [(u["user_name"], u["password"]) for u in reply["Parameters"]]

    def set_user(self, sid, operation, name, password):
        return self.sb.cmd("set_user_param", query={"sessionid": sid},
                           body={"operation": operation, "user_name": name, "password": password})

    def alive(self, sid):
        r = self.sb.cmd("detection_sessionid", query={"sessionid": sid})
        if r.text == envelope("OK"):
            return True
        self.assertEqual(r.text, SESSION_INVALID)
        return False


class LoginTest(AccountsTest):
    def test_login_session_passes_gate_and_logout_ends_it(self):
        self.start()
        r = self.sb.cmd("login", body={"username": "admin", "password": "qorvu", "timeout": 1800})
        self.assertEqual(r.status, 200)
        sid = r.json()["sessionid"]
        self.assertRegex(sid, SESSION_ID)
        self.assertEqual(r.text, json_print({"Result": "OK", "Reason": "user login successfully",
                                             "sessionid": sid}))
        verify = self.requests("VerifyPassword")
        self.assertEqual(verify[-1]["Parameters"],
                         {"UserName": "admin", "Password": "qorvu", "MD5Password": 1})

        other = self.sb.login()
        self.assertNotEqual(other, sid)
        self.assertTrue(self.alive(sid))
        self.assertEqual(self.users(sid), [("admin", ADMIN_DIGEST)])

        self.assertEqual(self.sb.cmd("logout", body={"sessionid": sid}).text, SET_OK)
        self.assertFalse(self.alive(sid))
        self.assertEqual(self.sb.cmd("get_user_param", query={"sessionid": sid}).text, SESSION_INVALID)
        self.assertEqual(self.sb.cmd("logout", body={"sessionid": sid}).text,
                         envelope("Fail", "Invalid session id"))
        self.assertTrue(self.alive(other))  # another login of the same user stays

    def test_logout_refusals(self):
        self.start()
        sid = self.sb.login()
        # The query's sessionid is kept by the dispatcher; the body has none.
        self.assertEqual(self.sb.cmd("logout", query={"sessionid": sid}).text, BAD_INPUT)
        self.assertEqual(self.sb.cmd("logout", body={"sessionid": sid + "x" * 100}).text,
                         envelope("Fail", "Invalid session id"))
        self.assertTrue(self.alive(sid))

    def test_wrong_password_and_refused_verification(self):
        self.start()
        r = self.sb.cmd("login", body={"username": "admin", "password": "wrong", "timeout": 10})
        self.assertEqual(r.text, BAD_CREDENTIALS)
        r = self.sb.cmd("login", body={"username": "nobody", "password": "qorvu", "timeout": 10})
        self.assertEqual(r.text, BAD_CREDENTIALS)
        for body in ({"username": "admin", "password": "qorvu"},
                     {"username": 5, "password": "qorvu", "timeout": 1},
                     {"username": "admin", "password": "qorvu", "timeout": "600"},
                     {"username": "admin", "password": "p" * 64, "timeout": 1}):
            with self.subTest(body=body):
                self.assertEqual(self.sb.cmd("login", body=body).text, BAD_INPUT)

    def test_pass_validation_zero_refuses_even_the_right_password(self):
        self.start({"commands": {"VerifyPassword": {
            "Response": {"Result": "OK", "Parameters": {"PassValidation": 0}}}}})
        r = self.sb.cmd("login", body={"username": "admin", "password": "qorvu", "timeout": 10})
        self.assertEqual(r.text, BAD_CREDENTIALS)
        r = self.sb.cmd("GetCrontabParameters", query={"username": "admin", "password": "qorvu"})
        self.assertEqual(r.text, BAD_CREDENTIALS_URL)
        self.assertEqual(self.requests("GetCrontabParameters"), [])

    def test_body_timeout_rule(self):
        self.start()
        short = self.sb.login(timeout=1)
        default = self.sb.login(timeout=0)
        negative = self.sb.login(timeout=-4)
        self.assertTrue(self.alive(short))
        time.sleep(2.2)  # live up to one second past creation, expired after
        self.assertFalse(self.alive(short))
        self.assertTrue(self.alive(default))
        self.assertTrue(self.alive(negative))

    def test_login_with_url_credentials(self):
        self.start()
        r = self.sb.cmd("login", query={"username": "admin", "password": "qorvu"})
        sid = r.json()["sessionid"]
        self.assertRegex(sid, SESSION_ID)
        # The URL check sends the digest, the login itself the plain text.
        sent = [req["Parameters"]["Password"] for req in self.requests("VerifyPassword")]
        self.assertEqual(sent, [ADMIN_DIGEST, "qorvu"])
        time.sleep(2.2)
        self.assertTrue(self.alive(sid))


class UrlCredentialsTest(AccountsTest):
    def test_forwarded_command_with_plain_and_digest_password(self):
        self.start()
        for password in ("qorvu", ADMIN_DIGEST):
            with self.subTest(password=password):
                before = len(self.requests("GetCrontabParameters"))
                r = self.sb.cmd("GetCrontabParameters", query={"username": "admin", "password": password})
                self.assertEqual(r.status, 200)
                self.assertEqual(r.json()["Result"], "OK", r.text)
                self.assertEqual(len(self.requests("GetCrontabParameters")), before + 1)
                self.assertEqual(self.requests("VerifyPassword")[-1]["Parameters"],
                                 {"UserName": "admin", "Password": ADMIN_DIGEST, "MD5Password": 1})

    def test_forwarded_command_with_wrong_credentials(self):
        self.start()
        for query in ({"username": "admin", "password": "nope"},
                      {"username": "admin", "password": md5("nope")},
                      {"username": "eve", "password": "qorvu"}):
            with self.subTest(query=query):
                r = self.sb.cmd("GetCrontabParameters", query=query)
                self.assertEqual(r.text, BAD_CREDENTIALS_URL)
        self.assertEqual(self.requests("GetCrontabParameters"), [])
        self.assertIn("Invalid username or password\n", self.sb.server.stderr())

    def test_upload_style_gate_checks_the_user_file(self):
        self.start()
        self.assertFalse(USER_FILE.exists())
        passed = envelope("Fail", "Read file does not exist", -1)  # gate passed, no active EDID
        for password in ("qorvu", ADMIN_DIGEST):
            with self.subTest(password=password):
                r = self.sb.cmd("GetHdmiEdidParameters", query={"username": "admin", "password": password})
                self.assertEqual(r.text, passed)
        # The first check made the default user file.
        self.assertEqual(USER_FILE.stat().st_size, 2048)
        self.assertEqual(user_table(USER_FILE.read_bytes())[0], ("admin", ADMIN_DIGEST))
        for password in ("qorvu1", ADMIN_DIGEST.upper(), ""):
            with self.subTest(password=password):
                r = self.sb.cmd("GetHdmiEdidParameters", query={"username": "admin", "password": password})
                self.assertIn(r.text, (BAD_CREDENTIALS_URL, envelope("Fail", "Invalid URL", -1)))
        self.assertEqual(self.sb.cmd("GetHdmiEdidParameters").text, SESSION_EMPTY)
        # The gate asks the user file, not the device application.
        self.assertEqual(self.requests("VerifyPassword"), [])

class UserStoreTest(AccountsTest):
    def test_add_list_change_delete(self):
        self.start()
        sid = self.sb.login()
        self.assertFalse(USER_FILE.exists())
        r = self.sb.cmd("get_user_param", query={"sessionid": sid})
        self.assertEqual(r.text, params_envelope(
            "Successfully to get params",
            "[{\n\t\t\"user_name\":\t\"admin\",\n\t\t\"password\":\t\"" + ADMIN_DIGEST + "\"\n\t}]"))
        self.assertEqual(USER_FILE.stat().st_size, 2048)  # default made on first use

        self.assertEqual(self.set_user(sid, 0, "bob", md5("bobpw")).text, SET_OK)
        self.assertEqual(self.set_user(sid, 0, "carol", md5("carolpw")).text, SET_OK)
        self.assertEqual(self.users(sid), [("admin", ADMIN_DIGEST), ("bob", md5("bobpw")),
                                           ("carol", md5("carolpw"))])
        # devsim checks logins against the same file.
        self.assertRegex(self.sb.login("bob", "bobpw"), SESSION_ID)

        self.assertEqual(self.set_user(sid, 0, "bob", md5("x")).text, SET_USER_FAIL)
        self.assertEqual(self.set_user(sid, 2, "bob", md5("newpw")).text, SET_OK)
        self.assertEqual(self.set_user(sid, 1, "bob", md5("bobpw")).text, SET_USER_FAIL)
        self.assertEqual(self.set_user(sid, 1, "bob", md5("newpw")).text, SET_OK)
        self.assertEqual(self.users(sid), [("admin", ADMIN_DIGEST), ("carol", md5("carolpw"))])
        table = user_table(USER_FILE.read_bytes())
        self.assertEqual(table[1], ("carol", md5("carolpw")))
        self.assertEqual(table[2:], [("", "")] * 14)
        self.assertEqual(self.set_user(sid, 1, "nobody", "x").text, SET_OK)
        self.assertEqual(self.set_user(sid, 7, "carol", "x").text, SET_OK)

    def test_failures(self):
        self.start()
        sid = self.sb.login()
        self.users(sid)
        before = USER_FILE.read_bytes()
        self.assertEqual(self.set_user(sid, 1, "admin", ADMIN_DIGEST).text, SET_USER_FAIL)
        self.assertEqual(self.set_user(sid, 2, "ghost", md5("x")).text, SET_USER_FAIL)
        self.assertEqual(self.set_user(sid, 0, "admin", md5("x")).text, SET_USER_FAIL)
        for body in ({"operation": "0", "user_name": "dave", "password": "x"},
                     {"operation": 0, "user_name": "dave"},
                     {"operation": 0, "user_name": "dave", "password": ""},
                     {"operation": 2, "user_name": "admin", "password": ""},
                     {"operation": 0, "user_name": "", "password": "x"}):
            with self.subTest(body=body):
                r = self.sb.cmd("set_user_param", query={"sessionid": sid}, body=body)
                self.assertEqual(r.text, BAD_INPUT)
        self.assertEqual(USER_FILE.read_bytes(), before)
        self.assertEqual(self.sb.cmd("get_user_param").text, SESSION_EMPTY)
        self.assertEqual(self.sb.cmd("set_user_param",
                                     body={"operation": 0, "user_name": "x", "password": "y"}).text,
                         SESSION_EMPTY)

    def test_full_table_refuses_a_seventeenth_user(self):
        self.start()
        sid = self.sb.login()
        for i in range(1, 16):
            self.assertEqual(self.set_user(sid, 0, f"user{i}", md5(f"pw{i}")).text, SET_OK)
        before = USER_FILE.read_bytes()
        self.assertEqual(self.set_user(sid, 0, "user16", md5("pw16")).text, SET_USER_FAIL)
        self.assertEqual(USER_FILE.read_bytes(), before)
        self.assertEqual(len(self.users(sid)), 16)

    def test_wrong_size_file_is_kept_and_replaced(self):
        self.start()
        sid = self.sb.login()
        old = b"\x01" * 2047
        USER_FILE.write_bytes(old)
        self.assertEqual(self.users(sid), [("admin", ADMIN_DIGEST)])
        self.assertEqual(USER_FILE.with_name("usermgnt_para.bad").read_bytes(), old)
        self.assertEqual(USER_FILE.stat().st_size, 2048)
        err = self.sb.server.stderr()
        self.assertIn("DEVSDK_Get_CfgFile: USERMGNT_PARA_FILE failed!\n", err)
        self.assertIn("usermgnt_para.bad", err)

    def test_full_file_system_leaves_every_user_in_place(self):
        self.sb.mount_tmpfs(APP_PARAMS, size="12k")
        self.start()
        sid = self.sb.login()
        for name in ("bob", "carol"):
            self.assertEqual(self.set_user(sid, 0, name, md5(name)).text, SET_OK)
        before = USER_FILE.read_bytes()

        filler = APP_PARAMS / "filler"
        fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            for _ in range(64):
                os.write(fd, b"\0" * 4096)
        except OSError as e:
            self.assertEqual(e.errno, errno.ENOSPC)
        else:
            self.fail("the small file system did not fill up")
        finally:
            os.close(fd)

        self.assertEqual(self.set_user(sid, 2, "admin", md5("changed")).text, SET_USER_FAIL)
        self.assertEqual(self.set_user(sid, 0, "dave", md5("dave")).text, SET_USER_FAIL)
        self.assertEqual(self.set_user(sid, 1, "bob", md5("bob")).text, SET_USER_FAIL)
        self.assertEqual(USER_FILE.read_bytes(), before)
        self.assertEqual(self.users(sid), [("admin", ADMIN_DIGEST), ("bob", md5("bob")),
                                           ("carol", md5("carol"))])
        leftovers = sorted(p.name for p in APP_PARAMS.iterdir())
        self.assertEqual(leftovers, sorted(["filler", "usermgnt_para", "WebServerParameter.json"]))
        self.assertRegex(self.sb.login("admin", "qorvu"), SESSION_ID)

        filler.unlink()
        self.assertEqual(self.set_user(sid, 2, "admin", md5("changed")).text, SET_OK)
        self.assertEqual(self.users(sid)[0], ("admin", md5("changed")))


class LanguageTest(AccountsTest):
    def get_language(self):
        return self.sb.cmd("get_Language_Format")

    @staticmethod
    def language_reply(language, mode):
        return params_envelope("Successfully to get params",
                               json_print({"language": language, "mode": mode}))

    def test_default_record_made_at_start(self):
        self.assertFalse(LANGUAGE_FILE.exists())
        self.start()
        data = LANGUAGE_FILE.read_bytes()
        self.assertEqual(len(data), 260)
        self.assertEqual(data[:8], b"chinese\0")
        self.assertEqual(self.get_language().text, self.language_reply("chinese", 0))

    def test_set_then_get(self):
        self.start()
        r = self.sb.cmd("set_Language_Format", body={"language": "english", "mode": 2})
        self.assertEqual(r.text, SET_OK)
        self.assertEqual(self.get_language().text, self.language_reply("english", 2))
        data = LANGUAGE_FILE.read_bytes()
        self.assertEqual(len(data), 260)
        self.assertEqual(data[:128], b"english".ljust(128, b"\0"))
        self.assertEqual(struct.unpack("<i", data[128:132])[0], 2)
        self.assertEqual(data[132:], b"login.html".ljust(128, b"\0"))

        for body, mode in (({"language": "chinese", "mode": True}, 1),
                           ({"language": "chinese", "mode": -5}, -5)):
            self.assertEqual(self.sb.cmd("set_Language_Format", body=body).text, SET_OK)
            self.assertEqual(self.get_language().text, self.language_reply("chinese", mode))

    def test_refusals_leave_the_record(self):
        self.start()
        self.sb.cmd("set_Language_Format", body={"language": "english", "mode": 3})
        before = LANGUAGE_FILE.read_bytes()
        fail = envelope("Fail", "set language params fail")
        for body in ({"language": "English", "mode": 1}, {"language": "french", "mode": 1},
                     {"language": "english", "mode": "2"}, {"language": "english"}, "not json"):
            with self.subTest(body=body):
                self.assertEqual(self.sb.cmd("set_Language_Format", body=body).text, fail)
        self.assertEqual(LANGUAGE_FILE.read_bytes(), before)
        self.assertIn("mode is empty or error value type : 16\n", self.sb.server.stderr())

    def test_wrong_size_record_cannot_be_read(self):
        self.start()
        good = LANGUAGE_FILE.read_bytes()
        for size in (259, 261):
            with self.subTest(size=size):
                LANGUAGE_FILE.write_bytes((good + b"\0")[:size])
                self.assertEqual(self.get_language().text, envelope("Fail", "get language params fail"))
        # A set writes a whole record again.
        self.assertEqual(self.sb.cmd("set_Language_Format", body={"language": "english", "mode": 0}).text,
                         SET_OK)
        self.assertEqual(self.get_language().text, self.language_reply("english", 0))


if __name__ == "__main__":
    unittest.main()
