"""The web pages in headless Chromium against the real server and devsim: every page is opened, its main
action performed and the effect checked on the device. One browser and device serve the class (tests run in
name order). Screenshots of every page go to <build dir>/ui-screenshots/."""

import os
import re
import struct
import sys
import tempfile
import unittest
from pathlib import Path

import harness
from harness import md5

sys.path.append("/usr/lib/python3/dist-packages")  # Debian's python3-selenium, whatever the interpreter
try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    HAVE_SELENIUM = True
except ImportError:
    HAVE_SELENIUM = False

CHROMEDRIVER = Path("/usr/bin/chromedriver")
SHOTS = harness.BUILD / "ui-screenshots"


def bmp(width, height):  # a 24-bit picture the browser can show
    pixels = bytes((x * 7 + y * 13) & 255 for y in range(height) for x in range(width * 3))
    return b"BM" + struct.pack("<IHHIIiiHHIIiiII", 54 + len(pixels), 0, 0, 54, 40, width, height, 1, 24, 0,
                               len(pixels), 2835, 2835, 0, 0) + pixels


def users_in_file():
    data = harness.USER_FILE.read_bytes()
    return {data[i:i + 64].rstrip(b"\0").decode(): data[i + 64:i + 128].rstrip(b"\0").decode()
            for i in range(0, len(data), 128) if data[i]}


@unittest.skipUnless(HAVE_SELENIUM and CHROMEDRIVER.exists(), "needs chromium, chromium-driver and python3-selenium")
class UiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb = harness.Sandbox("ui")
        cls.addClassCleanup(cls.sb.cleanup)
        cls.sb.install_edid_presets()
        for name, size in (("20241206/rec_100001.mp4", 1572864), ("20241206/rec_110001.mp4", 2048),
                           ("20241207/rec_090000.mp4", 4096)):
            (harness.SD_ROOT / name).parent.mkdir(exist_ok=True)
            (harness.SD_ROOT / name).write_bytes(b"\1" * size)
        cls.sb.start_devsim(scenario=harness.REPO / "devsim" / "scenario.json")
        cls.sb.start_server("8080", "lo")
        cls.base = "http://127.0.0.1:8080"
        SHOTS.mkdir(parents=True, exist_ok=True)
        opts = webdriver.ChromeOptions()
        for arg in ("headless", "no-sandbox", "disable-gpu", "disable-quic", "no-first-run", "disable-sync",
                    "disable-background-networking", "disable-component-update", "disable-dev-shm-usage",
                    "window-size=1280,900", "user-data-dir=" + tempfile.mkdtemp(dir=cls.sb.log_dir)):
            opts.add_argument("--" + arg)
        opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        cls.d = webdriver.Chrome(service=Service(str(CHROMEDRIVER)), options=opts)
        cls.addClassCleanup(cls.d.quit)
        cls.d.set_page_load_timeout(20)

    def tearDown(self):  # a script error on any page fails the test that caused it
        self.assertEqual([e["message"] for e in self.d.get_log("browser")
                          if e["level"] == "SEVERE" and "Uncaught" in e["message"]], [])

    # ---- helpers ---------------------------------------------------------
    def wait(self, condition, timeout=10, message=""):
        def probe(driver):
            try:
                return condition(driver)
            except StaleElementReferenceException:
                return False
        return WebDriverWait(self.d, timeout, poll_frequency=0.1).until(probe, message)

    def css(self, selector, root=None):
        return (root or self.d).find_element(By.CSS_SELECTOR, selector)

    def all(self, selector):
        return self.d.find_elements(By.CSS_SELECTOR, selector)

    def wait_css(self, selector, timeout=10):
        return self.wait(lambda d: self.all(selector) and self.all(selector)[0], timeout, f"no {selector}")

    def js(self, script):
        return self.d.execute_script(script)

    def ready(self):  # the page's language is known and it shows no loading notice
        self.wait(lambda d: self.js("return document.readyState === 'complete' && "
                                    "!document.body.classList.contains('pending')"))
        self.wait(lambda d: not self.all("main .notice.busy"), 15, "page still loading")

    def shot(self, name):
        self.js("window.scrollTo(0, 0)")
        self.d.set_window_size(1280, min(self.js("return Math.max(document.documentElement.scrollHeight, 900)"), 3000))
        self.d.save_screenshot(str(SHOTS / f"{name}.png"))
        self.d.set_window_size(1280, 900)

    def click(self, selector, root=None):  # in the middle of the window; found again if the page redrew it
        def attempt(d):
            el = self.css(selector, root)
            d.execute_script("arguments[0].scrollIntoView({block: 'center'})", el)
            el.click()
            return el
        return self.wait(attempt, 10, f"cannot click {selector}")

    @staticmethod
    def type_into(el, text):
        el.clear()
        el.send_keys(text)

    def open_page(self, page):
        self.click(f'#nav a[data-page="{page}"]')
        self.wait(lambda d: self.js("return document.getElementById('main').dataset.page") == page)
        self.ready()

    def sid(self):
        return self.js("return sessionStorage.getItem('ws.sid')")

    def login(self, password="qorvu"):
        self.d.get(self.base + "/login.html")
        self.ready()
        self.type_into(self.css("#username"), "admin")
        self.css("#password").send_keys(password)
        self.click("#login-btn")
        if password == "qorvu":
            self.wait(lambda d: "/app.html" in d.current_url, 15, "not signed in")
            self.ready()

    def signed_in(self):
        if "/app.html" not in self.d.current_url or not self.sid():
            self.login()

    def dialog(self, **values):
        dlg = self.wait_css("dialog[open]")
        for name, value in values.items():
            self.type_into(self.css(f'input[name="{name}"]', dlg), value)
        self.click("button[type=submit]", dlg)
        self.wait(lambda d: not self.all("dialog[open]"))

    def notice(self, selector, contains=""):  # (classes, text) of a final message: ok, warn or error
        def final(driver):
            el = self.css(selector)
            return {"ok", "warn", "error"} & set(el.get_attribute("class").split()) and contains in el.text and el
        el = self.wait(final, 20, f"no final message in {selector}")
        return el.get_attribute("class").split(), el.text

    # ---- the tests -------------------------------------------------------
    def test_01_login_page_follows_and_sets_the_device_language(self):
        self.d.get(self.base + "/")  # a new device keeps "chinese" in its language record
        self.ready()
        self.assertEqual((self.js("return document.documentElement.lang"), self.css("h1").text), ("zh-CN", "登录"))
        self.shot("login-zh")
        self.click('.lang-btn[data-lang="en"]')
        self.wait(lambda d: harness.LANGUAGE_FILE.read_bytes()[:8] == b"english\0")
        self.assertEqual(len(harness.LANGUAGE_FILE.read_bytes()), 260)
        self.d.refresh()
        self.ready()
        self.assertEqual((self.js("return document.documentElement.lang"), self.css("h1").text), ("en", "Sign in"))
        self.shot("login")

    def test_02_wrong_password_is_refused(self):
        self.login("not-the-password")
        self.assertEqual(self.wait(lambda d: self.css("#login-msg.error")).text, "Wrong user name or password.")
        self.assertIn("/login.html", self.d.current_url)
        self.assertIsNone(self.sid())
        # The password left the browser only as its digest.
        self.assertEqual(self.sb.devsim_requests("VerifyPassword")[-1]["Parameters"]["Password"],
                         md5("not-the-password"))

    def test_03_overview_shows_capabilities(self):
        self.login()
        self.assertEqual(self.js("return document.getElementById('main').dataset.page"), "overview")
        self.wait(lambda d: "QV-HD200" in self.css("#cap-GetDeviceCapability").text)
        self.assertFalse(self.all("[id^=cap-] .notice.error"))
        self.assertNotIn("{", self.css("main").text, "documents are shown readably, not as JSON")
        self.assertIn("1920x1080P60", self.css("#cap-GetVideoCapability").text)
        self.assertIn("8080", self.css(".facts").text)
        self.shot("overview")

    def test_04_settings_read_edit_save(self):
        self.signed_in()
        self.open_page("settings")
        for fam in ("video", "encode", "watermark", "audio", "rtsp", "streaming", "wifi", "crontab"):
            self.click(f'.tabs a[href="#settings/{fam}"]')
            self.wait(lambda d: self.css(".tabs a[aria-current=page]").get_attribute("href").endswith(fam))
            self.ready()
            self.assertFalse(self.all("main .notice.error"), fam)
            self.assertTrue(self.all("main form[data-command] [data-path]"), fam)
            self.shot(f"settings-{fam}")
        # RTSP: change the port; the Set command carries the edited form.
        self.click('.tabs a[href="#settings/rtsp"]')
        port = self.wait_css('form[data-command="SetRtspServerParameter"] input[data-path="Port"]')
        self.assertEqual(port.get_attribute("value"), "554")
        self.type_into(port, "8554")
        self.click('form[data-command="SetRtspServerParameter"] button[type=submit]')
        self.wait(lambda d: self.sb.devsim_requests("SetRtspServerParameter"), 10, "no Set command")
        self.assertEqual(self.sb.devsim_requests("SetRtspServerParameter")[-1]["Parameters"],
                         {"Enable": True, "Port": 8554, "Path": "/live/main", "Transport": "UDP",
                          "Authentication": True, "UserName": "viewer", "MaxSessions": 4})
        self.assertIn("ok", self.notice("main section.card > .notice", "Saved")[0])

    def test_05_users_add_and_delete(self):
        self.signed_in()
        self.open_page("users")
        self.wait_css('tr[data-user="admin"]')
        for name, value in (("user_name", "operator"), ("password", "op-pass-1"), ("confirm", "op-pass-1")):
            self.css(f'#add-user input[name="{name}"]').send_keys(value)
        self.click("#add-user button[type=submit]")
        self.wait_css('tr[data-user="operator"]')
        self.assertEqual(users_in_file().get("operator"), md5("op-pass-1"))
        self.shot("users")
        self.click('tr[data-user="operator"] [data-action="delete"]')
        self.dialog(pw="op-pass-1")  # deleting needs the user's own password
        self.wait(lambda d: not self.all('tr[data-user="operator"]'))
        self.assertEqual(list(users_in_file()), ["admin"])
        self.assertFalse(self.all('tr[data-user="admin"] [data-action="delete"]'), "admin cannot be deleted")

    def test_06_storage_browse_and_delete(self):
        self.signed_in()
        self.open_page("storage")
        self.wait_css('tr[data-name="20241206"][data-kind="folder"]')
        self.assertTrue(self.all('tr[data-name="20241207"][data-kind="folder"]'))
        self.assertFalse(self.all('tr[data-name="recodefilelist.txt"]'))
        self.click('tr[data-name="20241206"] a')
        self.assertIn("1.5 MB", self.wait_css('tr[data-name="rec_100001.mp4"][data-kind="file"]').text)
        self.assertIn("2 KB", self.css('tr[data-name="rec_110001.mp4"]').text)
        self.shot("storage")
        self.click('tr[data-name="rec_100001.mp4"] input[type=checkbox]')
        self.click("#delete-selected")
        self.dialog()
        self.wait(lambda d: not self.all('tr[data-name="rec_100001.mp4"]'))
        self.assertFalse((harness.SD_ROOT / "20241206" / "rec_100001.mp4").exists())
        self.assertTrue((harness.SD_ROOT / "20241206" / "rec_110001.mp4").exists())

    def test_07_watermark_and_edid(self):
        self.signed_in()
        self.open_page("media")
        picture = bmp(64, 32)
        (self.sb.log_dir / "logo.bmp").write_bytes(picture)
        self.css("#watermark input[type=file]").send_keys(str(self.sb.log_dir / "logo.bmp"))
        self.wait(lambda d: self.css('#watermark [data-action="upload"]').is_enabled())
        self.wait_css("#watermark figure img")
        self.click('#watermark [data-action="upload"]')
        kind, text = self.notice("#watermark .notice", "Watermark stored")
        self.assertIn("ok", kind, text)
        self.assertEqual((harness.WATERMARK_DIR / "logo.bmp").read_bytes(), picture)
        # EDID: nothing active yet; choose a preset.
        self.wait(lambda d: self.css("#edid .active-edid").text != "…")
        self.assertEqual(self.css("#edid .active-edid").text, "Unknown")
        self.click('#edid input[value="EDID_1280x720P60.bin"]')
        self.click('#edid [data-action="apply"]')
        self.assertIn("ok", self.notice("#edid-status")[0])
        self.assertEqual(harness.ACTIVE_EDID.read_bytes(), (harness.EDID_DIR / "EDID_1280x720P60.bin").read_bytes())
        self.assertEqual(self.css("#edid .active-edid").text, "1280 × 720, 60 Hz")
        self.shot("media")

    def test_08_firmware_upgrade_progress_ends_in_the_final_answer(self):
        self.signed_in()
        self.open_page("firmware")
        image = os.urandom(3 * 1024 * 1024)
        (self.sb.log_dir / "firmware.img").write_bytes(image)
        # Record every text of the progress line while the upgrade runs.
        self.js("""window.phases = [];
            new MutationObserver(() => { const t = document.querySelector('#upgrade .phase').textContent;
              if (t && window.phases[window.phases.length - 1] !== t) window.phases.push(t); })
            .observe(document.querySelector('#upgrade'), {subtree: true, childList: true, characterData: true});""")
        self.css("#upgrade input[type=file]").send_keys(str(self.sb.log_dir / "firmware.img"))
        self.click('#upgrade [data-action="start-upgrade"]')
        self.dialog()
        self.wait(lambda d: self.css("#upgrade .notice").get_attribute("data-final"), 60, "no final answer")
        status = self.css("#upgrade .notice")
        self.assertEqual(status.get_attribute("data-final"), "ok", status.text)
        self.assertIn("The upgrade has finished (100%).", status.text)
        phases = self.js("return window.phases")
        for start in ("Sending the image", "Installing"):
            self.assertTrue(any(p.startswith(start) for p in phases), phases)
        self.assertTrue(phases[-1].startswith("Finished"), phases)
        self.assertEqual(harness.UPGRADE_IMAGE.read_bytes(), image)
        self.assertEqual(self.sb.devsim_requests("StartUpgrade")[-1]["Parameters"],
                         {"UpgradeImageFile": "/tmp/upgrade"})
        self.shot("firmware")

    def test_09_logout_and_an_expired_session_return_to_login(self):
        for how, message in (("button", "You have been logged out."),
                             ("elsewhere", "Your session has ended. Please sign in again.")):
            self.signed_in()
            sid = self.sid()
            if how == "button":
                self.click("#logout")
            else:  # the session ends elsewhere; the next command finds it gone
                self.assertEqual(self.sb.cmd("logout", body={"sessionid": sid}).json()["Result"], "OK")
                # On a slow device a command the page still had under way may find it gone first.
                for nav in self.all('#nav a[data-page="users"]'):
                    try:
                        nav.click()
                    except StaleElementReferenceException:
                        pass
            self.wait(lambda d: "/login.html" in d.current_url, 10, "not sent back to the login page")
            self.ready()
            self.assertEqual(self.css("#login-msg").text, message)
            self.assertIsNone(self.sid())
            self.assertEqual(self.sb.cmd("detection_sessionid", query={"sessionid": sid}).json().get("ErrorNo"), -16)

    def test_10_system_clock_and_port(self):
        self.signed_in()
        self.open_page("system")
        self.wait(lambda d: re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$", self.css("#clock time").text))
        self.click('#clock [data-action="sync-clock"]')
        kind, text = self.notice("#clock .notice")
        self.assertIn("ok", kind, text)
        self.shot("system")
        # Web port: probe, then move to 8081; the page follows (the last test: the server stays there).
        port = self.wait_css('#port input[name="port"]')
        self.wait(lambda d: port.get_attribute("value") == "8080")
        self.type_into(port, "8081")
        self.click('#port [data-action="check-port"]')
        self.assertEqual(self.notice("#port .notice"), (["notice", "ok"], "Port 8081 is free."))
        self.click('#port [data-action="apply-port"]')
        self.dialog()
        self.wait(lambda d: "127.0.0.1:8081/login.html" in d.current_url, 20, "page did not follow")
        self.assertEqual(harness.PORT_FILE.read_text(), harness.json_print({"Port": 8081}))
        self.ready()
        self.assertIn("now answers on this port", self.css("#login-msg").text)

