"""Login and logout, session time-outs, URL credentials, the web user store and
the interface language, with devsim answering "VerifyPassword"."""

import json
import re
import struct
import time

from harness import (ADMIN_DIGEST, APP_PARAMS, LANGUAGE_FILE, SESSION_INVALID, USER_FILE,
                     DeviceTest, envelope, json_print, md5, params_envelope)

SESSION_ID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")
SET_OK = envelope("OK", "Successfully to set params")
SET_USER_FAIL = envelope("Fail", "set User params fail")
BAD_INPUT = envelope("Fail", "Invalid input params")
BAD_CREDENTIALS = envelope("Fail", "Invalid username or password")
BAD_CREDENTIALS_URL = envelope("Fail", "Invalid username or password", -1)
NO_SUCH_SESSION = envelope("Fail", "Invalid session id")


class AccountsBase(DeviceTest):
    def users(self):
        r = self.send("get_user_param")
        self.assertEqual(r.json()["Result"], "OK", r.text)
        return [(u["user_name"], u["password"]) for u in r.json()["Parameters"]]

    def set_user(self, operation, name, password):
        return self.send("set_user_param", {"operation": operation, "user_name": name, "password": password}).text

    def alive(self, sid):
        text = self.sb.cmd("detection_sessionid", query={"sessionid": sid}).text
        self.assertIn(text, (envelope("OK"), SESSION_INVALID))
        return text == envelope("OK")


class AccountsTest(AccountsBase):
    def test_login_session_passes_gate_and_logout_ends_it(self):
        r = self.sb.cmd("login", body={"username": "admin", "password": "qorvu", "timeout": 1800})
        sid = r.json()["sessionid"]
        self.assertRegex(sid, SESSION_ID)
        self.assertEnvelope(r, json_print({"Result": "OK", "Reason": "user login successfully", "sessionid": sid}))
        self.assertEqual(self.sb.devsim_requests("VerifyPassword")[-1]["Parameters"],
                         {"UserName": "admin", "Password": "qorvu", "MD5Password": 1})
        self.assertNotEqual(self.sid, sid)
        # The query's sessionid is kept by the dispatcher; the body has none.
        self.assertEqual(self.sb.cmd("logout", query={"sessionid": sid}).text, BAD_INPUT)
        self.assertEqual(self.sb.cmd("logout", body={"sessionid": sid + "x" * 100}).text, NO_SUCH_SESSION)
        self.assertTrue(self.alive(sid))
        self.assertEqual(self.sb.cmd("logout", body={"sessionid": sid}).text, SET_OK)
        self.assertFalse(self.alive(sid))
        self.assertEqual(self.sb.cmd("logout", body={"sessionid": sid}).text, NO_SUCH_SESSION)
        self.assertTrue(self.alive(self.sid))  # another login of the same user stays
        # Refusals (the reader's other refusals are unit-tested).
        for body, answer in [({"username": "admin", "password": "wrong", "timeout": 10}, BAD_CREDENTIALS),
                             ({"username": "nobody", "password": "qorvu", "timeout": 10}, BAD_CREDENTIALS),
                             ({"username": "admin", "password": "qorvu", "timeout": "600"}, BAD_INPUT)]:
            self.assertEqual(self.sb.cmd("login", body=body).text, answer, body)

    def test_pass_validation_zero_refuses_even_the_right_password(self):
        self.sb.devsim.stop()
        (self.sb.log_dir / "scenario.json").write_text(json.dumps({"commands": {"VerifyPassword": {
            "Response": {"Result": "OK", "Parameters": {"PassValidation": 0}}}}}))
        self.sb.start_devsim(scenario=self.sb.log_dir / "scenario.json")
        self.assertEqual(self.sb.cmd("login", body={"username": "admin", "password": "qorvu", "timeout": 10}).text,
                         BAD_CREDENTIALS)
        self.assertEqual(self.sb.cmd("GetCrontabParameters", query={"username": "admin", "password": "qorvu"}).text,
                         BAD_CREDENTIALS_URL)
        self.assertEqual(self.sb.devsim_requests("GetCrontabParameters"), [])

    def test_session_time_outs(self):
        # Whole seconds: a session with time-out T lives T seconds after its last "set", and is gone after T + 1.
        short, default, negative, refreshed = (self.sb.login(timeout=t) for t in (1, 0, -4, 3))
        url = self.sb.cmd("login", query={"username": "admin", "password": "qorvu"}).json()["sessionid"]
        self.assertRegex(url, SESSION_ID)
        # The URL check sends the digest, the login itself the plain text.
        self.assertEqual([q["Parameters"]["Password"] for q in self.sb.devsim_requests("VerifyPassword")][-2:],
                         [ADMIN_DIGEST, "qorvu"])
        self.assertTrue(self.alive(short))
        time.sleep(2.1)
        self.assertFalse(self.alive(short))
        # An unsupported command passes the gate and so refreshes the session.
        self.assertEqual(self.sb.cmd("GetNothing", query={"sessionid": refreshed}).json()["ErrorNo"], 501)
        time.sleep(2)  # past the login's time-out, within the refreshed one
        for sid in (refreshed, default, negative, url):
            self.assertTrue(self.alive(sid))
        time.sleep(2)
        self.assertFalse(self.alive(refreshed))

    def test_url_credentials_for_a_forwarded_command(self):
        for user, password, passes in (("admin", "qorvu", 1), ("admin", ADMIN_DIGEST, 1), ("admin", "nope", 0),
                                       ("admin", md5("nope"), 0), ("eve", "qorvu", 0)):
            with self.subTest(user=user, password=password):
                before = len(self.sb.devsim_requests("GetCrontabParameters"))
                r = self.sb.cmd("GetCrontabParameters", query={"username": user, "password": password})
                self.assertEqual(len(self.sb.devsim_requests("GetCrontabParameters")), before + passes)
                if passes:
                    self.assertEqual(r.json()["Result"], "OK", r.text)
                    self.assertEqual(self.sb.devsim_requests("VerifyPassword")[-1]["Parameters"],
                                     {"UserName": "admin", "Password": ADMIN_DIGEST, "MD5Password": 1})
                else:
                    self.assertEqual(r.text, BAD_CREDENTIALS_URL)
        self.assertIn("Invalid username or password\n", self.sb.server.stderr())

    def test_user_add_list_change_delete(self):
        self.assertFalse(USER_FILE.exists())
        self.assertEnvelope(self.send("get_user_param"), params_envelope(
            "Successfully to get params",
            "[{\n\t\t\"user_name\":\t\"admin\",\n\t\t\"password\":\t\"" + ADMIN_DIGEST + "\"\n\t}]"))
        self.assertEqual(USER_FILE.stat().st_size, 2048)  # default made on first use
        self.assertEqual(self.set_user(0, "bob", md5("bobpw")), SET_OK)
        self.assertEqual(self.set_user(0, "carol", md5("carolpw")), SET_OK)
        self.assertEqual(self.users(), [("admin", ADMIN_DIGEST), ("bob", md5("bobpw")), ("carol", md5("carolpw"))])
        self.assertRegex(self.sb.login("bob", "bobpw"), SESSION_ID)  # devsim checks the same file
        for op, name, password, answer in [(0, "bob", md5("x"), SET_USER_FAIL), (2, "bob", md5("newpw"), SET_OK),
                                           (1, "bob", md5("bobpw"), SET_USER_FAIL), (1, "bob", md5("newpw"), SET_OK)]:
            self.assertEqual(self.set_user(op, name, password), answer, (op, name))
        self.assertEqual(self.users(), [("admin", ADMIN_DIGEST), ("carol", md5("carolpw"))])
        carol = b"carol".ljust(64, b"\0") + md5("carolpw").encode().ljust(64, b"\0")
        self.assertEqual(USER_FILE.read_bytes()[128:], carol.ljust(1920, b"\0"))  # packed on delete
        self.assertEqual(self.set_user(1, "nobody", "x"), SET_OK)
        self.assertEqual(self.set_user(7, "carol", "x"), SET_OK)

    def test_user_failures_and_a_full_table(self):
        self.users()  # makes the default file
        before = USER_FILE.read_bytes()
        for op, name, password in ((1, "admin", ADMIN_DIGEST), (2, "ghost", md5("x")), (0, "admin", md5("x"))):
            self.assertEqual(self.set_user(op, name, password), SET_USER_FAIL, (op, name))
        # (the reader's refusals are unit-tested; an empty new password is one)
        for body in ({"operation": "0", "user_name": "dave", "password": "x"},
                     {"operation": 2, "user_name": "admin", "password": ""}):
            self.assertEqual(self.send("set_user_param", body).text, BAD_INPUT, body)
        self.assertEqual(USER_FILE.read_bytes(), before)
        for i in range(1, 16):
            self.assertEqual(self.set_user(0, f"user{i}", md5(f"pw{i}")), SET_OK)
        before = USER_FILE.read_bytes()
        self.assertEqual(self.set_user(0, "user16", md5("pw16")), SET_USER_FAIL)
        self.assertEqual(USER_FILE.read_bytes(), before)
        self.assertEqual(len(self.users()), 16)

    def test_user_file_of_wrong_size_is_kept_and_replaced(self):
        USER_FILE.write_bytes(b"\x01" * 2047)
        self.assertEqual(self.users(), [("admin", ADMIN_DIGEST)])
        self.assertEqual(USER_FILE.with_name("usermgnt_para.bad").read_bytes(), b"\x01" * 2047)
        self.assertEqual(USER_FILE.stat().st_size, 2048)
        self.assertIn("DEVSDK_Get_CfgFile: USERMGNT_PARA_FILE failed!\n", self.sb.server.stderr())
        self.assertIn("usermgnt_para.bad", self.sb.server.stderr())

    def test_language_get_set_and_refusals(self):
        def language(body=None):
            return self.sb.cmd("set_Language_Format" if body else "get_Language_Format", body=body).text

        def reply(lang, mode):
            return params_envelope("Successfully to get params", json_print({"language": lang, "mode": mode}))
        self.assertEqual(language(), reply("chinese", 0))  # the record made at start
        self.assertEqual(language({"language": "english", "mode": 2}), SET_OK)
        self.assertEqual(language(), reply("english", 2))
        good = b"english".ljust(128, b"\0") + struct.pack("<i", 2) + b"login.html".ljust(128, b"\0")
        self.assertEqual(LANGUAGE_FILE.read_bytes(), good)
        for body, mode in (({"language": "chinese", "mode": True}, 1), ({"language": "chinese", "mode": -5}, -5)):
            self.assertEqual(language(body), SET_OK)
            self.assertEqual(language(), reply("chinese", mode))
        LANGUAGE_FILE.write_bytes(good)
        for body in ({"language": "English", "mode": 1}, {"language": "french", "mode": 1},
                     {"language": "english", "mode": "2"}, {"language": "english"}, "not json"):
            self.assertEqual(language(body), envelope("Fail", "set language params fail"), body)
        self.assertEqual(LANGUAGE_FILE.read_bytes(), good)
        self.assertIn("mode is empty or error value type : 16\n", self.sb.server.stderr())
        for size in (259, 261):
            LANGUAGE_FILE.write_bytes((good + b"\0")[:size])
            self.assertEqual(language(), envelope("Fail", "get language params fail"), size)
        self.assertEqual(language({"language": "english", "mode": 0}), SET_OK)  # a whole record again
        self.assertEqual(language(), reply("english", 0))


class FullFileSystemTest(AccountsBase):
    def prepare(self):
        self.sb.mount_tmpfs(APP_PARAMS, size="12k")

    def test_full_file_system_leaves_every_user_in_place(self):
        for name in ("bob", "carol"):
            self.assertEqual(self.set_user(0, name, md5(name)), SET_OK)
        before = USER_FILE.read_bytes()
        self.fill_up(APP_PARAMS)
        for op, name, password in ((2, "admin", md5("changed")), (0, "dave", md5("dave")), (1, "bob", md5("bob"))):
            self.assertEqual(self.set_user(op, name, password), SET_USER_FAIL, (op, name))
        self.assertEqual(USER_FILE.read_bytes(), before)
        self.assertEqual(self.users(), [("admin", ADMIN_DIGEST), ("bob", md5("bob")), ("carol", md5("carol"))])
        self.assertEqual(sorted(p.name for p in APP_PARAMS.iterdir()),
                         ["WebServerParameter.json", "filler", "usermgnt_para"])
        self.assertRegex(self.sb.login("admin", "qorvu"), SESSION_ID)
        (APP_PARAMS / "filler").unlink()
        self.assertEqual(self.set_user(2, "admin", md5("changed")), SET_OK)
        self.assertEqual(self.users()[0], ("admin", md5("changed")))

