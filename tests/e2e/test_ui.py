"""The pages in headless Chromium against the real server and devsim: each page's main action and its effect on
the device. One browser and device for the class (tests run in name order); screenshots in <build>/ui-screenshots/."""

import json, os, re, struct, sys, tempfile, unittest
from pathlib import Path

import harness
from harness import md5

sys.path.append("/usr/lib/python3/dist-packages")  # Debian's python3-selenium, whatever the interpreter
try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
    HAVE_SELENIUM = True
except ImportError:
    HAVE_SELENIUM = False

CHROMEDRIVER = Path("/usr/bin/chromedriver")
SHOTS = harness.BUILD / "ui-screenshots"
SOURCE_SHOWN = "return document.querySelector('select[data-key=Source]').selectedOptions[0].text"


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
        # Upgrade progress replies 1.5 s apart: the upgrade lasts long enough to look at other pages.
        cls.sb.start_devsim("--upgrade-pause-ms", "1500", scenario=harness.REPO / "devsim" / "scenario.json")
        cls.sb.start_server()
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

    def tearDown(self):  # a script error or a security policy violation fails the test that caused it
        self.assertEqual([e["message"] for e in self.d.get_log("browser") if e["level"] == "SEVERE" and (
            "Uncaught" in e["message"] or "Content Security Policy" in e["message"])], [])

    def wait(self, condition, timeout=10, message=""):  # an element the page redrew meanwhile is looked for again
        return WebDriverWait(self.d, timeout, 0.1, [StaleElementReferenceException]).until(condition, message)

    def css(self, selector, root=None): return (root or self.d).find_element(By.CSS_SELECTOR, selector)
    def all(self, selector): return self.d.find_elements(By.CSS_SELECTOR, selector)
    def js(self, script): return self.d.execute_script(script)
    def page(self): return self.js("return document.getElementById('main').dataset.page")
    def sid(self): return self.js("return sessionStorage.getItem('ws.sid')")
    def press(self, key): self.d.switch_to.active_element.send_keys(key)
    def closed(self): self.wait(lambda d: not self.all("dialog[open]"))

    def wait_css(self, selector, timeout=10):  # the first element that matches, once there is one
        return self.wait(lambda d: next(iter(self.all(selector)), False), timeout, f"no {selector}")

    def ready(self):  # the page's language is known and it shows no loading notice
        self.wait(lambda d: self.js("return document.readyState === 'complete' && "
                                    "!document.body.classList.contains('pending')"))
        self.wait(lambda d: not self.all("main .notice.busy"), 15, "page still loading")

    def shot(self, name, width=1280):
        self.js("window.scrollTo(0, 0)")
        self.d.set_window_size(width, min(self.js("return Math.max(document.documentElement.scrollHeight, 900)"), 3000))
        self.d.save_screenshot(str(SHOTS / f"{name}.png"))
        self.d.set_window_size(width, 900 if width > 500 else 844)

    def click(self, selector, root=None):  # in the middle of the window; found again if the page redrew it
        def attempt(d):
            el = self.css(selector, root)
            d.execute_script("arguments[0].scrollIntoView({block: 'center'})", el)
            el.click()
            return el
        return self.wait(attempt, 10, f"cannot click {selector}")

    @staticmethod
    def type_into(el, text): el.clear() or el.send_keys(text)

    def open_page(self, page):
        self.click(f'#nav a[data-page="{page}"]')
        self.wait(lambda d: self.page() == page)
        self.ready()

    def login(self, password="qorvu"):
        self.d.get(self.base + "/login.html")
        self.ready()
        self.type_into(self.css("#username"), "admin")
        self.css("#password").send_keys(password)
        self.click("#login-btn")
        if password == "qorvu":
            self.wait(lambda d: "/app.html" in d.current_url, 15, "not signed in")
            self.ready()

    def signed_in(self, page=None):
        if "/app.html" not in self.d.current_url or not self.sid():
            self.login()
        if page:
            self.open_page(page)

    def dialog(self, **values):  # fills in and confirms the open dialog
        dlg = self.wait_css("dialog[open]")
        for name, value in values.items():
            self.type_into(self.css(f'input[name="{name}"]', dlg), value)
        self.click("button[type=submit]", dlg)
        self.closed()

    def choose(self, form, name, data):  # a file of these bytes picked in the form's file input
        (self.sb.log_dir / name).write_bytes(data)
        self.css(f"{form} input[type=file]").send_keys(str(self.sb.log_dir / name))

    def settings(self, fam, command):  # the form of one Set command, loaded
        self.click(f'.tabs a[href="#settings/{fam}"]')
        self.ready()
        return self.wait_css(f'form[data-command="{command}"]:has([data-key])')

    def notice(self, selector, contains=""):  # (classes, text) of a final message: ok, warn or error
        def final(driver):
            el = self.css(selector)
            return {"ok", "warn", "error"} & set(el.get_attribute("class").split()) and contains in el.text and el
        el = self.wait(final, 20, f"no final message in {selector}")
        return el.get_attribute("class").split(), el.text

    def test_01_login_page_follows_the_device_language_and_refuses_a_wrong_password(self):
        self.d.get(self.base + "/")  # a new device keeps "chinese" in its language record
        self.ready()
        self.assertEqual((self.js("return document.documentElement.lang"), self.css("h1").text), ("zh-CN", "登录"))
        self.click('.lang-btn[data-lang="en"]')
        self.wait(lambda d: harness.LANGUAGE_FILE.read_bytes()[:8] == b"english\0")
        self.login("not-the-password")  # the page again, now in English
        self.assertEqual(self.wait(lambda d: self.css("#login-msg.error")).text, "Wrong user name or password.")
        self.assertEqual(("/login.html" in self.d.current_url, self.sid()), (True, None))
        # The password left the browser only as its digest.
        self.assertEqual(self.sb.devsim_requests("VerifyPassword")[-1]["Parameters"]["Password"],
                         md5("not-the-password"))
        self.shot("login")

    def test_03_overview_leads_with_the_device_state(self):
        self.login()
        self.assertEqual(self.page(), "overview")
        for name, text in (("model", "QV-HD200"), ("firmware", "2.4.1"), ("port", "8080"),
                           ("storage", "Card present · 3 recordings")):
            self.wait(lambda d: text in self.css(f'[data-fact="{name}"]').text, 15, name)
        self.assertRegex(self.css('[data-fact="time"]').text, r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")
        self.wait(lambda d: "1920x1080P60" in self.css("#cap-GetVideoCapability").text)
        self.assertFalse(self.all("[id^=cap-] .notice.error"))
        self.assertNotIn("{", self.css("main").text, "documents are shown readably, not as JSON")
        self.shot("overview")

    def test_04_settings_forms_follow_the_capabilities(self):
        self.signed_in("settings")
        for fam in ("video", "encode", "watermark", "audio", "rtsp", "streaming", "wifi", "crontab"):
            self.click(f'.tabs a[href="#settings/{fam}"]')
            self.wait(lambda d: self.css(".tabs a[aria-current=page]").get_attribute("href").endswith(fam))
            self.ready()
            self.assertFalse(self.all("main .notice.error"), fam)
            self.assertTrue(self.all("main form[data-command] [data-key]"), fam)
            self.shot(f"settings-{fam}")
        # Drop-downs hold exactly the capability's values; values by their display names.
        form = self.settings("video", "SetVideoOutputDisplayParameter")
        video = json.loads((harness.REPO / "web_root/config/capabilities/video.json").read_text())
        self.assertEqual([o.get_attribute("value") for o in self.all('select[data-key="Resolution"] option')],
                         video["OutputResolutions"])
        self.assertEqual(self.js(SOURCE_SHOWN), "Streaming input")
        # An out-of-range number is refused next to the field and nothing is sent.
        self.assertFalse(self.css("button[type=submit]", form).is_enabled(), "Save waits for a change")
        self.type_into(self.css('input[data-key="Brightness"]', form), "9999")
        self.click("button[type=submit]", form)
        self.assertEqual(self.css('input[data-key="Brightness"] ~ .field-error', form).text, "From 0 to 100.")
        # Leaving with the unsaved edit asks first; Cancel (focused) keeps the edit.
        self.click('#nav a[data-page="users"]')
        dlg = self.wait_css("dialog[open]")
        self.assertEqual(self.js("return document.activeElement.dataset.action"), "cancel")
        self.click('[data-action="cancel"]', dlg)
        self.assertEqual(self.css('input[data-key="Brightness"]').get_attribute("value"), "9999")
        self.assertFalse(self.sb.devsim_requests("SetVideoOutputDisplayParameter"))
        self.click('#nav a[data-page="users"]')
        self.dialog()  # discard
        self.wait(lambda d: self.page() == "users")
        self.open_page("settings")
        # RTSP: the Set command carries the edited form (the other values as Get answered them).
        form = self.settings("rtsp", "SetRtspServerParameter")
        self.type_into(self.css('input[data-key="Port"]', form), "8554")
        self.click("button[type=submit]", form)
        sent = self.wait(lambda d: self.sb.devsim_requests("SetRtspServerParameter"))[-1]["Parameters"]
        self.assertEqual((sent["Port"], sent["Path"], sent["Transport"]), (8554, "/live/main", "UDP"))
        self.wait(lambda d: self.css(".save-msg.ok", form).text == "Settings saved.")
        self.assertFalse(self.css("button[type=submit]", form).is_enabled(), "nothing left to save")

    def test_05_users_add_and_delete(self):
        self.signed_in("users")
        self.wait_css('tr[data-user="admin"]')
        for name in ("user_name", "password", "confirm"):
            self.css(f'#add-user input[name="{name}"]').send_keys("operator" if name == "user_name" else "op-pass-1")
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
        self.signed_in("storage")
        self.wait_css('tr[data-name="20241206"][data-kind="folder"]')
        self.assertFalse(self.all('tr[data-name="recodefilelist.txt"]'))
        # Enter on a fresh delete dialog deletes nothing; the dialog names what would go.
        self.click('tr[data-name="20241207"] input[type=checkbox]')
        self.click("#delete-selected")
        dlg = self.wait_css("dialog[open]")
        self.wait(lambda d: "folder 20241207 with 1 recording" in dlg.text)
        self.press(Keys.ENTER)
        self.closed()
        self.assertTrue((harness.SD_ROOT / "20241207" / "rec_090000.mp4").exists())
        self.click('tr[data-name="20241207"] input[type=checkbox]')
        self.click('tr[data-name="20241206"] a')
        row = self.wait_css('tr[data-name="rec_100001.mp4"][data-kind="file"]')
        self.assertIn("1.5 MB", row.text)
        self.assertRegex(row.text, r"2024-12-06 \d\d:\d\d:\d\d")
        self.assertTrue(self.css("a", row).get_attribute("href").endswith(
            "/sd/20241206/rec_100001.mp4?sessionid=" + self.sid()))
        self.shot("storage")
        self.click('tr[data-name="rec_100001.mp4"] input[type=checkbox]')
        self.click("#delete-selected")
        self.dialog()
        self.wait(lambda d: not self.all('tr[data-name="rec_100001.mp4"]'))
        self.assertFalse((harness.SD_ROOT / "20241206" / "rec_100001.mp4").exists())
        self.assertEqual(self.css(".summary").text, "0 folders, 1 file, 2 KB")  # rec_110001.mp4 stays

    def test_07_watermark_and_edid(self):
        self.signed_in("media")
        # A picture over the capability's 512 x 512 is refused before anything is sent.
        for name, picture, said in (
                ("wide.bmp", bmp(600, 20), "The picture is 600 × 20 pixels; the device takes at most 512 × 512."),
                ("logo.bmp", bmp(64, 32), "The picture meets the rules and can be uploaded.")):
            self.choose("#watermark", name, picture)
            self.wait(lambda d: self.css("#watermark .notice").text == said)
            self.assertEqual(self.css('#watermark [data-action="upload"]').is_enabled(), name == "logo.bmp")
        self.wait_css("#watermark figure canvas")  # the preview is drawn, not loaded from a blob: address
        self.click('#watermark [data-action="upload"]')
        self.assertIn("ok", self.notice("#watermark .notice", "Watermark stored")[0])
        self.assertEqual([(p.name, p.read_bytes()) for p in harness.WATERMARK_DIR.iterdir()], [("logo.bmp", picture)])
        # EDID: nothing active yet; choose a preset.
        self.wait(lambda d: self.css("#edid .active-edid").text == "Unknown")
        for button in ('input[value="EDID_1280x720P60.bin"]', '[data-action="apply"]'):
            self.click("#edid " + button)
        self.assertIn("ok", self.notice("#edid-status")[0])
        self.assertEqual(harness.ACTIVE_EDID.read_bytes(), (harness.EDID_DIR / "EDID_1280x720P60.bin").read_bytes())
        self.assertEqual(self.css("#edid .active-edid").text, "1280 × 720, 60 Hz")
        self.shot("media")

    def test_08_firmware_checks_the_image_and_the_upgrade_shows_on_every_page(self):
        self.signed_in("firmware")
        self.choose("#upgrade", "notes.txt", b"this is not a firmware image\n")
        self.assertEqual(self.notice("#upgrade .notice")[1],
                         "This file cannot be used: it is a text file, not a firmware image.")
        self.assertFalse(self.css('#upgrade [data-action="start-upgrade"]').is_enabled())
        self.choose("#upgrade", "firmware.img", image := os.urandom(3 * 1024 * 1024))
        self.click('#upgrade [data-action="start-upgrade"]')
        self.dialog()
        # On another page: the banner with the figures, and restart disabled until the upgrade has ended.
        self.click('#nav a[data-page="system"]')
        self.wait(lambda d: self.all("#clock") and self.css("#upgrade-banner").text.startswith(
            "Firmware upgrade in progress: Installing"), 20, "no banner")
        self.assertFalse(self.css('#reboot [data-action="reboot"]').is_enabled())
        self.shot("upgrade-banner")
        self.wait(lambda d: "The upgrade has finished (100%)." in self.css("#upgrade-banner").text, 60)
        self.wait(lambda d: self.css('#reboot [data-action="reboot"]').is_enabled())
        self.open_page("firmware")
        self.assertEqual(self.css("#upgrade .notice").get_attribute("data-final"), "ok")
        self.assertTrue(self.css("#upgrade .phase").text.startswith("Finished"))
        self.assertEqual(harness.UPGRADE_IMAGE.read_bytes(), image)
        self.shot("firmware")

    def test_09_logout_and_an_expired_session_return_to_login(self):
        for how, message in (("button", "You have been logged out."),
                             ("elsewhere", "Your session has ended. Please sign in again.")):
            self.signed_in()
            sid = self.sid()
            if how == "button":
                self.click("#logout")
            else:  # the session ends elsewhere; the next command finds it gone
                self.open_page("storage")
                self.assertEqual(self.sb.cmd("logout", body={"sessionid": sid}).json()["Result"], "OK")
                self.click("#reload")
            self.wait(lambda d: "/login.html" in d.current_url, 10, "not sent back to the login page")
            self.ready()
            self.assertEqual(self.css("#login-msg").text, message)
            self.assertIsNone(self.sid())
        self.login()  # signing in again returns to the page the person was on
        self.assertTrue(self.d.current_url.endswith("/app.html#storage"), self.d.current_url)

    def test_10_phone_width_and_chinese(self):
        self.signed_in()
        self.d.set_window_size(390, 844)
        self.wait(lambda d: self.js("return getComputedStyle(nav).visibility") == "hidden")  # drawer closed
        try:
            self.assertEqual((self.css("#logout").accessible_name, self.css(".topbar .brand").accessible_name),
                             ("Log out", "Device Manager: overview"))
            # The closed drawer's links are out of the tab order; Escape closes the open drawer.
            self.js("document.getElementById('nav-toggle').focus()")
            for _ in range(6):
                self.press(Keys.TAB)
                self.assertEqual(self.js("const a = document.activeElement;"
                                         "return a.closest('#nav') ? a.outerHTML : ''"), "")
            self.click("#nav-toggle")
            self.wait(lambda d: self.js("return !!document.activeElement.closest('#nav')"))
            self.press(Keys.ESCAPE)
            self.wait(lambda d: self.js("return getComputedStyle(nav).visibility") == "hidden")
            self.assertEqual(self.js("return document.activeElement.id"), "nav-toggle")
            self.d.get(self.base + "/app.html#overview")
            self.ready()
            self.assertFalse(self.wait_css("#cap-GetVideoCapability").get_attribute("open"), "collapsed on a phone")
            self.shot("overview-phone", 390)
        finally:
            self.d.set_window_size(1280, 900)
        # Chinese: every label from the dictionary, values by their display names.
        self.click('.lang-btn[data-lang="zh"]')
        self.wait(lambda d: self.js("return document.documentElement.lang") == "zh-CN")
        for page in ("overview", "settings"):
            self.open_page(page)
            self.wait_css({"overview": "#cap-GetStreamCapability dt", "settings": "main label"}[page])
            labels = [e.get_attribute("textContent") for e in self.all(
                "main h1, main h2, main legend, main label, main dt, main th, #nav a")]
            self.assertFalse([x for x in labels if re.search(r"[a-z]{3,}", x.replace("kbps", ""))], page)
        self.assertEqual(self.js(SOURCE_SHOWN), "流媒体输入")
        self.shot("settings-zh")
        self.click('.lang-btn[data-lang="en"]')
        self.wait(lambda d: harness.LANGUAGE_FILE.read_bytes()[:8] == b"english\0")

    def test_11_system_clock_and_port(self):
        self.signed_in("system")
        self.wait(lambda d: re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$", self.css("#clock time").text))
        self.click('#clock [data-action="sync-clock"]')
        self.assertIn("ok", self.notice("#clock .notice")[0])
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
