"""The web pages in headless Chromium against the real server and the device
simulator inside the sandbox: every page is opened, its main action is
performed, and the effect is checked where it lands (user file, SD card,
watermark folder, EDID files, language record, simulator requests).

One browser and one device serve the whole class; the tests run in name
order and each one leaves the interface signed in (or signs in again).
Screenshots of every page go to <build dir>/ui-screenshots/.
"""

import hashlib
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib
from pathlib import Path

import harness

try:
    import selenium  # noqa: F401
except ImportError:
    # Debian's python3-selenium, when another interpreter runs the tests.
    sys.path.append("/usr/lib/python3/dist-packages")
try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    HAVE_SELENIUM = True
except ImportError:
    HAVE_SELENIUM = False

CHROMEDRIVER = Path("/usr/bin/chromedriver")
SHOTS = harness.BUILD / "ui-screenshots"
# WS_README_SHOTS=1 also refreshes the README's pictures (a window-sized view).
README_SHOTS = harness.REPO / "docs" / "screenshots" if os.environ.get("WS_README_SHOTS") == "1" else None
README_PAGES = {"overview", "settings-video", "media"}
SCENARIO = harness.REPO / "devsim" / "scenario.json"
FAMILIES = ["video", "encode", "watermark", "audio", "rtsp", "streaming", "wifi", "crontab"]
EDID_PRESETS = ["DID_AUTO.bin", "EDID_1920x1080P60.bin", "EDID_1280x720P60.bin", "EDID_1920x1200P60.bin",
                "EDID_1920x1080i60.bin", "EDID_1024x768P60.bin", "EDID_800x600P60.bin",
                "EDID_640x480P60.bin", "EDID_1280x1024P60.bin"]
EDID_HEADER = bytes([0, 255, 255, 255, 255, 255, 255, 0])


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def png(width, height, seed=1):
    """An uncompressed RGB PNG (so that even small pictures pass 1 KB)."""
    rows = b"".join(b"\x00" + bytes((x * 7 + y * 13 + seed) & 255 for x in range(width * 3)) for y in range(height))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(rows, 0)) + chunk(b"IEND", b""))


def users_in_file():
    """{name: digest} of the 16 records (64-byte name, 64-byte digest) of the user file."""
    data = harness.USER_FILE.read_bytes()
    out = {}
    for i in range(0, len(data), 128):
        name = data[i:i + 64].split(b"\0")[0].decode()
        if name:
            out[name] = data[i + 64:i + 128].split(b"\0")[0].decode()
    return out


class DocumentRootTest(unittest.TestCase):
    """Checks of the document root itself (no browser)."""

    ROOT = harness.WEB_ROOT_SRC

    def files(self):
        return [p for p in self.ROOT.rglob("*") if p.is_file() and "sd" not in p.relative_to(self.ROOT).parts]

    def test_small_and_self_contained(self):
        total = sum(p.stat().st_size for p in self.files())
        self.assertLessEqual(total, 250 * 1024, f"document root is {total} bytes")
        for p in self.files():
            if p.suffix in (".html", ".js", ".css"):
                text = p.read_text()
                # Nothing is fetched from outside the device: no absolute URLs but
                # the SVG name space.
                urls = [u for u in re.findall(r"(?:https?:)?//[\w.-]+\.[a-z]{2,}[^\s'\"]*", text)
                        if "www.w3.org/2000/svg" not in u]
                self.assertEqual(urls, [], f"{p} refers to {urls}")
                self.assertNotIn("@import", text, p)

    def test_pages_use_commands_of_the_protocol_table(self):
        table = {}
        for line in (self.ROOT / "config" / "command_para").read_text().splitlines():
            fields = line.split()
            if len(line) >= 3 and not line.startswith("#") and len(fields) >= 2:
                table[fields[0]] = fields[1]
        catalog = (self.ROOT / "js" / "catalog.js").read_text()
        caps = re.findall(r"'(Get\w+Capability)'", catalog)
        pairs = re.findall(r"pair\('(\w+)'\)", catalog)
        scans = re.findall(r"scan: '(\w+)'", catalog)
        self.assertTrue(caps and pairs and scans)
        for cmd in caps:
            self.assertEqual(table.get(cmd), "device_cap", cmd)
        for name in pairs:
            for cmd in ("Get" + name, "Set" + name):
                self.assertIn(cmd, table)
                self.assertNotEqual(table[cmd], "device_cap", cmd)
        for cmd in scans:
            self.assertIn(cmd, table)
        listed = {c for c, r in table.items() if r == "device_cap"}
        self.assertEqual(listed, set(caps), "every capability document of the table is shown")

    def test_both_languages_have_every_text(self):
        def keys(name):
            text = (self.ROOT / "i18n" / name).read_text()
            return set(re.findall(r"^  '([\w.]+)':", text, re.M))
        en, zh = keys("en.js"), keys("zh.js")
        self.assertGreater(len(en), 100)
        self.assertEqual(en, zh)
        used = set()
        for p in (self.ROOT / "js").rglob("*.js"):
            used |= set(re.findall(r"\bt\('([\w]+\.[\w]+)'", p.read_text()))
        self.assertEqual(used - en, set())


@unittest.skipUnless(HAVE_SELENIUM and CHROMEDRIVER.exists(), "needs chromium, chromium-driver and python3-selenium")
class UiTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.require_sandbox()
        cls.sb = harness.Sandbox("ui")
        try:
            cls.prepare_device()
            cls.sb.start_devsim(scenario=SCENARIO)
            cls.sb.start_server("8080", "lo")
            cls.base = f"http://127.0.0.1:{harness.DEFAULT_PORT}"
            SHOTS.mkdir(parents=True, exist_ok=True)
            cls.files = cls.sb.log_dir / "files"
            cls.files.mkdir(exist_ok=True)
            opts = webdriver.ChromeOptions()
            for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                        "--disable-background-networking", "--disable-component-update", "--disable-sync",
                        "--disable-dev-shm-usage", "--window-size=1280,900",
                        "--user-data-dir=" + tempfile.mkdtemp(dir=cls.sb.log_dir)):
                opts.add_argument(arg)
            opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
            cls.driver = webdriver.Chrome(service=Service(str(CHROMEDRIVER)), options=opts)
            cls.driver.set_page_load_timeout(20)
        except Exception:
            cls.sb.cleanup()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.driver.quit()
        finally:
            cls.sb.cleanup()

    @classmethod
    def prepare_device(cls):
        for i, name in enumerate(EDID_PRESETS):
            (harness.EDID_DIR / name).write_bytes(EDID_HEADER + bytes([i + 1]) * 120)
        day1 = harness.SD_ROOT / "20241206"
        day2 = harness.SD_ROOT / "20241207"
        day1.mkdir()
        day2.mkdir()
        (day1 / "rec_100001.mp4").write_bytes(b"\1" * 1572864)
        (day1 / "rec_110001.mp4").write_bytes(b"\2" * 2048)
        (day2 / "rec_090000.mp4").write_bytes(b"\3" * 4096)

    def tearDown(self):
        # A script error on any page fails the test that caused it.
        errors = [e["message"] for e in self.driver.get_log("browser")
                  if e["level"] == "SEVERE" and "Uncaught" in e["message"]]
        self.assertEqual(errors, [])

    # ---- helpers ---------------------------------------------------------
    @property
    def d(self):
        return self.driver

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

    def js(self, script, *args):
        return self.d.execute_script(script, *args)

    def ready(self):
        """The page's language is known and it shows no loading notice."""
        self.wait(lambda d: self.js("return document.readyState === 'complete' && !document.body.classList.contains('pending')"))

    def settled(self, timeout=15):
        self.ready()
        self.wait(lambda d: not self.all("main .notice.busy"), timeout, "page still loading")

    def shot(self, name):
        self.js("window.scrollTo(0, 0)")
        if README_SHOTS and name in README_PAGES:
            README_SHOTS.mkdir(parents=True, exist_ok=True)
            self.d.set_window_size(1200, 760)
            time.sleep(0.3)
            target = README_SHOTS / f"{name}.png"
            self.d.save_screenshot(str(target))
            if shutil.which("pngquant"):
                subprocess.run(["pngquant", "--force", "--skip-if-larger", "--output", str(target), "64", str(target)],
                               check=False)
        height = self.js("return Math.max(document.documentElement.scrollHeight, 900)")
        self.d.set_window_size(1280, min(height, 3000))
        try:
            self.d.save_screenshot(str(SHOTS / f"{name}.png"))
        finally:
            self.d.set_window_size(1280, 900)

    def click(self, selector, root=None):
        """Clicks an element after bringing it to the middle of the window."""
        el = self.css(selector, root) if isinstance(selector, str) else selector
        self.js("arguments[0].scrollIntoView({block: 'center'})", el)
        el.click()
        return el

    def open_page(self, page):
        self.click(f'#nav a[data-page="{page}"]')
        self.wait(lambda d: self.js("return document.getElementById('main').dataset.page") == page)
        self.settled()

    def login(self, user="admin", password="qorvu", base=None):
        self.d.get((base or self.base) + "/login.html")
        self.ready()
        self.css("#username").clear()
        self.css("#username").send_keys(user)
        self.css("#password").send_keys(password)
        self.click("#login-btn")
        self.wait(lambda d: "/app.html" in d.current_url, 15, "not signed in")
        self.settled()

    def signed_in(self):
        if "/app.html" not in self.d.current_url or not self.js("return sessionStorage.getItem('ws.sid')"):
            self.login()

    def dialog(self, **values):
        dlg = self.wait_css("dialog[open]")
        for name, value in values.items():
            field = self.css(f'input[name="{name}"]', dlg)
            field.clear()
            field.send_keys(value)
        self.click("button[type=submit]", dlg)
        self.wait(lambda d: not self.all("dialog[open]"))

    def requests(self, command):
        return [r for r in self.sb.devsim_requests() if r.get("Command") == command]

    def wait_request(self, command, count):
        self.wait(lambda d: len(self.requests(command)) >= count, 10, f"{command} not received")
        return self.requests(command)[-1]

    def notice(self, selector, contains=""):
        """Waits for a final message (ok, warn or error) in the notice; returns its classes and text."""
        def final(driver):
            el = self.css(selector)
            kinds = set(el.get_attribute("class").split())
            return el if kinds & {"ok", "warn", "error"} and contains in el.text else False
        el = self.wait(final, 20, f"no final message in {selector}")
        return el.get_attribute("class").split(), el.text

    # ---- the tests -------------------------------------------------------
    def test_01_language_is_the_devices(self):
        # A new device keeps "chinese" in its language record.
        self.d.get(self.base + "/")
        self.ready()
        self.assertEqual(self.js("return document.documentElement.lang"), "zh-CN")
        self.assertEqual(self.css("h1").text, "登录")
        self.shot("login-zh")
        self.click('.lang-btn[data-lang="en"]')
        self.wait(lambda d: harness.LANGUAGE_FILE.read_bytes()[:8] == b"english\0")
        self.assertEqual(len(harness.LANGUAGE_FILE.read_bytes()), 260)
        self.d.refresh()
        self.ready()
        self.assertEqual(self.js("return document.documentElement.lang"), "en")
        self.assertEqual(self.css("h1").text, "Sign in")
        self.shot("login")

    def test_02_wrong_password_is_refused(self):
        self.d.get(self.base + "/login.html")
        self.ready()
        self.css("#username").send_keys("admin")
        self.css("#password").send_keys("not-the-password")
        self.click("#login-btn")
        msg = self.wait(lambda d: self.css("#login-msg.error"))
        self.assertEqual(msg.text, "Wrong user name or password.")
        self.assertIn("/login.html", self.d.current_url)
        self.assertIsNone(self.js("return sessionStorage.getItem('ws.sid')"))
        # The password left the browser only as its digest.
        verify = self.requests("VerifyPassword")[-1]["Parameters"]
        self.assertEqual(verify["Password"], md5("not-the-password"))

    def test_03_overview_shows_capabilities(self):
        self.login()
        self.assertEqual(self.js("return document.getElementById('main').dataset.page"), "overview")
        self.wait(lambda d: "QV-HD200" in self.css("#cap-GetDeviceCapability").text)
        for cmd in ("GetVideoCapability", "GetAudioCapability", "GetNetworkCapability", "GetStreamCapability"):
            card = self.css(f"#cap-{cmd}")
            self.assertFalse(card.find_elements(By.CSS_SELECTOR, ".notice.error"), cmd)
            self.assertNotIn("{", card.text, "a document is shown readably, not as JSON")
        self.assertIn("1920x1080P60", self.css("#cap-GetVideoCapability").text)
        self.assertIn("8080", self.css(".facts").text)
        self.shot("overview")

    def test_04_settings_read_edit_save(self):
        self.signed_in()
        self.open_page("settings")
        for fam in FAMILIES:
            self.click(f'.tabs a[href="#settings/{fam}"]')
            self.wait(lambda d: self.css(".tabs a[aria-current=page]").get_attribute("href").endswith(fam))
            self.settled()
            self.assertFalse(self.all("main .notice.error"), fam)
            self.assertTrue(self.all("main form[data-command] [data-path]"), fam)
            self.shot(f"settings-{fam}")

        # RTSP: change the port; the Set command carries the edited form.
        self.click('.tabs a[href="#settings/rtsp"]')
        port = self.wait_css('form[data-command="SetRtspServerParameter"] input[data-path="Port"]')
        self.assertEqual(port.get_attribute("value"), "554")
        port.clear()
        port.send_keys("8554")
        self.click('form[data-command="SetRtspServerParameter"] button[type=submit]')
        sent = self.wait_request("SetRtspServerParameter", 1)["Parameters"]
        self.assertEqual(sent, {"Enable": True, "Port": 8554, "Path": "/live/main", "Transport": "UDP",
                                "Authentication": True, "UserName": "viewer", "MaxSessions": 4})
        kind, text = self.notice("main section.card > .notice", "Saved")
        self.assertIn("ok", kind)

        # Scheduled tasks: a list inside a list item.
        self.click('.tabs a[href="#settings/crontab"]')
        days = self.wait_css('input[data-path="Tasks.1.Days"]')
        self.assertEqual(days.get_attribute("value"), "Mon, Tue, Wed, Thu, Fri")
        days.clear()
        days.send_keys("Mon, Wed")
        self.click('input[data-path="Tasks.0.Enable"]')
        self.click('form[data-command="SetCrontabParameters"] button[type=submit]')
        tasks = self.wait_request("SetCrontabParameters", 1)["Parameters"]["Tasks"]
        self.assertEqual(tasks[1]["Days"], ["Mon", "Wed"])
        self.assertEqual(tasks[0], {"Enable": False, "Action": "Reboot", "Days": ["Sun"], "Time": "03:30"})

        # WiFi: scan (slow), take a network from the list, save.
        self.click('.tabs a[href="#settings/wifi"]')
        self.settled()
        self.click('#scan [data-action="scan"]')
        self.wait(lambda d: self.all("#scan .notice.busy"), 5, "no working state while scanning")
        row = self.wait_css('#scan tr[data-ssid="office-2g"]', 20)
        self.shot("settings-wifi-scan")
        self.click("button", row)
        ssid = self.css('form[data-command="SetNetworkWIFIParameters"] input[data-path="SSID"]')
        self.assertEqual(ssid.get_attribute("value"), "office-2g")
        self.click('form[data-command="SetNetworkWIFIParameters"] button[type=submit]')
        self.assertEqual(self.wait_request("SetNetworkWIFIParameters", 1)["Parameters"]["SSID"], "office-2g")

    def test_05_users_add_change_delete(self):
        self.signed_in()
        self.open_page("users")
        self.wait_css('tr[data-user="admin"]')
        form = self.css("#add-user")
        self.css('input[name="user_name"]', form).send_keys("operator")
        self.css('input[name="password"]', form).send_keys("op-pass-1")
        self.css('input[name="confirm"]', form).send_keys("op-pass-1")
        self.click("button[type=submit]", form)
        self.wait_css('tr[data-user="operator"]')
        self.assertEqual(users_in_file().get("operator"), md5("op-pass-1"))
        self.shot("users")

        self.click('tr[data-user="operator"] [data-action="change"]')
        self.dialog(pw="op-pass-2", again="op-pass-2")
        self.wait(lambda d: users_in_file().get("operator") == md5("op-pass-2"))

        # Deleting needs the user's own password.
        self.click('tr[data-user="operator"] [data-action="delete"]')
        self.dialog(pw="op-pass-1")
        toast = self.wait_css(".toast.error")
        self.assertIn("password does not match", toast.text)
        self.assertIn("operator", users_in_file())
        self.click('tr[data-user="operator"] [data-action="delete"]')
        self.dialog(pw="op-pass-2")
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
        row = self.wait_css('tr[data-name="rec_100001.mp4"][data-kind="file"]')
        self.assertIn("1.5 MB", row.text)
        self.assertIn("2 KB", self.css('tr[data-name="rec_110001.mp4"]').text)
        self.shot("storage")
        self.click('tr[data-name="rec_100001.mp4"] input[type=checkbox]')
        self.click("#delete-selected")
        self.dialog()
        self.wait(lambda d: not self.all('tr[data-name="rec_100001.mp4"]'))
        self.assertFalse((harness.SD_ROOT / "20241206" / "rec_100001.mp4").exists())
        self.assertTrue((harness.SD_ROOT / "20241206" / "rec_110001.mp4").exists())

        # A whole folder from the card's top level.
        self.click(".crumbs a")
        self.click(self.wait_css('tr[data-name="20241207"] input[type=checkbox]'))
        self.click("#delete-selected")
        self.dialog()
        self.wait(lambda d: not self.all('tr[data-name="20241207"]'))
        self.assertFalse((harness.SD_ROOT / "20241207").exists())

    def test_07_watermark_and_edid(self):
        self.signed_in()
        self.open_page("media")
        # A picture too wide is refused before anything is sent.
        wide = self.files / "wide.png"
        wide.write_bytes(png(2000, 10))
        self.css("#watermark input[type=file]").send_keys(str(wide))
        kind, text = self.notice("#watermark .notice")
        self.assertIn("error", kind)
        self.assertIn("2000 × 10", text)
        self.assertFalse(self.css('#watermark [data-action="upload"]').is_enabled())

        logo = self.files / "logo.png"
        picture = png(64, 32)
        logo.write_bytes(picture)
        self.css("#watermark input[type=file]").send_keys(str(logo))
        self.wait(lambda d: self.css('#watermark [data-action="upload"]').is_enabled())
        self.wait_css("#watermark figure img")
        self.click('#watermark [data-action="upload"]')
        kind, text = self.notice("#watermark .notice", "Watermark stored")
        self.assertIn("ok", kind, text)
        self.assertEqual((harness.WATERMARK_DIR / "logo.png").read_bytes(), picture)

        # EDID: nothing active yet; choose a preset, then upload a custom one.
        self.wait(lambda d: self.css("#edid .active-edid").text != "…")
        self.assertEqual(self.css("#edid .active-edid").text, "Unknown")
        self.click('#edid input[value="EDID_1280x720P60.bin"]')
        self.click('#edid [data-action="apply"]')
        kind, _ = self.notice("#edid-status")
        self.assertIn("ok", kind)
        self.assertEqual(harness.ACTIVE_EDID.read_bytes(), (harness.EDID_DIR / "EDID_1280x720P60.bin").read_bytes())
        self.assertEqual(self.css("#edid .active-edid").text, "1280 × 720, 60 Hz")

        custom = EDID_HEADER + bytes(range(248))
        path = self.files / "monitor.bin"
        path.write_bytes(custom)
        self.css("#edid input[type=file]").send_keys(str(path))
        self.wait(lambda d: self.css('#edid [data-action="upload"]').is_enabled())
        self.click('#edid [data-action="upload"]')
        kind, _ = self.notice("#edid-upload-status", "Custom EDID stored")
        self.assertIn("ok", kind)
        self.assertEqual(harness.CUSTOM_EDID.read_bytes(), custom)
        self.click('#edid [data-action="apply"]')
        self.wait(lambda d: self.css("#edid .active-edid").text == "Custom (uploaded)")
        self.assertEqual(harness.ACTIVE_EDID.read_bytes(), custom)
        self.shot("media")

    def test_08_firmware_upgrade_and_reboot(self):
        self.signed_in()
        self.open_page("firmware")
        image = os.urandom(3 * 1024 * 1024)
        path = self.files / "firmware.img"
        path.write_bytes(image)
        # Record every text of the progress line while the upgrade runs.
        self.js("""window.phases = [];
            new MutationObserver(() => { const t = document.querySelector('#upgrade .phase').textContent;
              if (t && window.phases[window.phases.length - 1] !== t) window.phases.push(t); })
            .observe(document.querySelector('#upgrade'), {subtree: true, childList: true, characterData: true});""")
        self.css("#upgrade input[type=file]").send_keys(str(path))
        self.click('#upgrade [data-action="start-upgrade"]')
        self.dialog()
        self.wait(lambda d: self.css("#upgrade .notice").get_attribute("data-final"), 60, "no final answer")
        status = self.css("#upgrade .notice")
        self.assertEqual(status.get_attribute("data-final"), "ok", status.text)
        self.assertIn("The upgrade has finished (100%).", status.text)
        phases = self.js("return window.phases")
        self.assertTrue(any(p.startswith("Sending the image") for p in phases), phases)
        self.assertTrue(any(p.startswith("Installing") for p in phases), phases)
        self.assertTrue(phases[-1].startswith("Finished"), phases)
        self.assertEqual(harness.UPGRADE_IMAGE.read_bytes(), image)
        self.assertEqual(self.requests("StartUpgrade")[-1]["Parameters"], {"UpgradeImageFile": "/tmp/upgrade"})
        self.shot("firmware")

        # Restart: working state, the answer after the flush, then reconnect.
        self.click('#reboot [data-action="reboot"]')
        self.dialog()
        self.wait(lambda d: "Restarting" in self.css("#reboot .notice").text, 5)
        self.wait(lambda d: self.css("#reboot .notice").get_attribute("data-final"), 60, "no reconnect")
        self.assertEqual(self.css("#reboot .notice").get_attribute("data-final"), "alive")
        self.assertIn("Device Start Restart", self.sb.server.stdout())

    def restore_port(self):
        if harness.port_open(harness.DEFAULT_PORT):
            return
        r = self.sb.cmd("login", body={"username": "admin", "password": md5("qorvu"), "timeout": 60}, port=8081)
        sid = r.json()["sessionid"]
        self.sb.cmd("SetWebServerParameter", query={"sessionid": sid}, body={"Port": harness.DEFAULT_PORT}, port=8081)
        harness.wait_port(harness.DEFAULT_PORT, timeout=10)

    def test_09_system_clock_port_language(self):
        self.addCleanup(self.restore_port)
        self.signed_in()
        self.open_page("system")
        self.wait(lambda d: re.match(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$", self.css("#clock time").text))
        self.click('#clock [data-action="sync-clock"]')
        kind, text = self.notice("#clock .notice")
        self.assertIn("ok", kind, text)
        self.shot("system")

        # Language through the System page, stored on the device.
        self.click('#language input[value="zh"]')
        self.wait(lambda d: harness.LANGUAGE_FILE.read_bytes()[:8] == b"chinese\0")
        self.wait(lambda d: self.css('#nav a[data-page="overview"]').text == "概览")
        self.shot("system-zh")
        self.click('#language input[value="en"]')
        self.wait(lambda d: harness.LANGUAGE_FILE.read_bytes()[:8] == b"english\0")
        self.wait(lambda d: self.css('#nav a[data-page="overview"]').text == "Overview")

        # Web port: probe, move to 8081 (the page follows), and back.
        port = self.wait_css('#port input[name="port"]')
        self.wait(lambda d: port.get_attribute("value") == "8080")
        port.clear()
        port.send_keys("8081")
        self.click('#port [data-action="check-port"]')
        kind, text = self.notice("#port .notice")
        self.assertEqual((kind, text), (["notice", "ok"], "Port 8081 is free."))
        for target in (8081, 8080):
            port = self.wait_css('#port input[name="port"]')
            port.clear()
            port.send_keys(str(target))
            self.click('#port [data-action="apply-port"]')
            self.dialog()
            self.wait(lambda d: f"127.0.0.1:{target}/login.html" in d.current_url, 20, "page did not follow")
            self.assertEqual(json.loads(harness.PORT_FILE.read_text())["Port"], target)
            self.ready()
            self.assertIn("now answers on this port", self.css("#login-msg").text)
            self.login(base=f"http://127.0.0.1:{target}")
            if target == 8081:
                self.open_page("system")

    def test_10_expired_session_returns_to_login(self):
        self.signed_in()
        sid = self.js("return sessionStorage.getItem('ws.sid')")
        # The session ends elsewhere; the next command finds it gone.
        reply = self.sb.cmd("logout", body={"sessionid": sid}).json()
        self.assertEqual(reply["Result"], "OK")
        self.click('#nav a[data-page="users"]')
        self.wait(lambda d: "/login.html" in d.current_url, 10, "not sent back to the login page")
        self.ready()
        self.assertEqual(self.css("#login-msg").text, "Your session has ended. Please sign in again.")
        self.assertIsNone(self.js("return sessionStorage.getItem('ws.sid')"))

    def test_11_logout(self):
        self.login()
        sid = self.js("return sessionStorage.getItem('ws.sid')")
        self.click("#logout")
        self.wait(lambda d: "/login.html" in d.current_url)
        self.ready()
        self.assertEqual(self.css("#login-msg").text, "You have been logged out.")
        reply = self.sb.cmd("detection_sessionid", query={"sessionid": sid}).json()
        self.assertEqual(reply.get("ErrorNo"), -16)


if __name__ == "__main__":
    unittest.main()
