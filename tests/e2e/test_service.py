"""The staged install layout, the systemd unit (systemd-analyze), and the configured init script driving the real
server (start, status, restart, stop within 2 s) with Debian's and, where installed, BusyBox's start-stop-daemon."""

import os, re, shutil, subprocess, time, unittest
from pathlib import Path

import harness
from harness import PORT_FILE, WEBSERVER, json_print, port_open, wait_port, wait_until

INIT_SCRIPT = harness.BUILD / "packaging" / "webserver.init"
PIDFILE = Path("/tmp/run/webserver.pid")


def gone(pid):  # ended (perhaps not yet collected by its new parent)
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


@unittest.skipUnless(INIT_SCRIPT.exists(), "needs the configured init script in the build folder")
class InitScriptTest(harness.SandboxTest):
    def setUp(self):
        super().setUp()
        work = Path("/tmp/service")
        work.mkdir()
        PIDFILE.parent.mkdir()
        daemon = WEBSERVER
        if harness.EXEC_WRAPPER:  # another architecture: a wrapper of the same name runs it
            daemon = work / "webserver"
            daemon.write_text("#!/bin/sh\nexec " + " ".join(harness.EXEC_WRAPPER) + f' {WEBSERVER} "$@"\n')
            daemon.chmod(0o755)
        self.log = self.sb.log_dir / "service.log"
        settings = {"DAEMON": str(daemon), "DAEMON_ARGS": '"8080 lo"', "PIDFILE": str(PIDFILE), "LOG": str(self.log)}
        text = INIT_SCRIPT.read_text()
        for key, value in settings.items():  # the settings at the top of the script
            text, n = re.subn(rf"^{key}=.*$", f"{key}={value}", text, count=1, flags=re.M)
            self.assertEqual(n, 1, key)
        self.script = work / "webserver.init"
        self.script.write_text(text)
        PORT_FILE.write_text(json_print({"Port": 8080}))
        self.addCleanup(self.kill_left_over)

    def kill_left_over(self):
        PIDFILE.exists() and subprocess.run(["kill", "-9", PIDFILE.read_text().strip()], stderr=subprocess.DEVNULL)

    def check(self, shell):
        def service(action, rc=0):
            r = subprocess.run([*shell, str(self.script), action], capture_output=True, text=True, timeout=20)
            self.assertEqual(r.returncode, rc, f"{action}: {r.stdout}{r.stderr}")

        def answering():
            self.assertTrue(wait_port(8080, timeout=20))
            self.assertEqual(self.sb.http("GET", "/login.html").status, 200)
            pid = int(PIDFILE.read_text())  # the program, not a shell:
            wait_until(lambda: Path(f"/proc/{pid}/comm").read_text().strip() == "webserver")
            return pid

        service("status", 3)
        service("start")
        pid = answering()
        service("status")
        service("start")  # already running: nothing new
        self.assertEqual(int(PIDFILE.read_text()), pid)
        service("restart")
        new_pid = answering()
        self.assertTrue(new_pid != pid and gone(pid))
        started = time.monotonic()
        service("stop")
        self.assertLess(time.monotonic() - started, 2 * harness.TIME_SCALE)
        self.assertTrue(gone(new_pid))
        self.assertFalse(port_open(8080) or PIDFILE.exists())
        service("status", 3)
        service("stop")
        self.assertIn("HTTP_WEB_PORT=8080", self.log.read_text())  # the program's output reached the log

    def test_debian_start_stop_daemon(self):
        self.check(["sh"])

    @unittest.skipUnless(shutil.which("busybox"), "needs busybox")
    def test_busybox(self):
        applets = Path("/tmp/service/busybox")
        applets.mkdir()
        for applet in ("start-stop-daemon", "sleep", "kill", "rm", "cat"):
            (applets / applet).symlink_to(shutil.which("busybox"))
        self.check(["env", f"PATH={applets}:/usr/sbin:/usr/bin:/sbin:/bin", "busybox", "sh"])


class InstallTest(harness.SandboxTest):
    def test_staged_layout_and_unit(self):
        stage = Path("/tmp/stage")
        for component in ([], ["--component", "devsim"]):
            r = subprocess.run(["cmake", "--install", str(harness.BUILD), *component], capture_output=True, text=True,
                               env={**os.environ, "DESTDIR": str(stage)})
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        files = {str(p.relative_to(stage)) for p in stage.rglob("*") if p.is_file() and "web_root" not in p.parts}
        self.assertEqual(files, {"usr/sbin/webserver", "usr/bin/devsim", "usr/lib/systemd/system/webserver.service",
                                 "etc/init.d/webserver"})
        self.assertTrue(os.access(stage / "etc/init.d/webserver", os.X_OK))
        shipped = stage / "usr/share/webserver/web_root"
        self.assertEqual(sorted(p.relative_to(shipped) for p in shipped.rglob("*")),
                         sorted(p.relative_to(harness.WEB_ROOT_SRC) for p in harness.WEB_ROOT_SRC.rglob("*")))
        unit = (stage / "usr/lib/systemd/system/webserver.service").read_text()
        self.assertIn("\nExecStart=/usr/sbin/webserver\n", unit)
        self.assertIn("\nDAEMON=/usr/sbin/webserver\n", (stage / "etc/init.d/webserver").read_text())
        if not shutil.which("systemd-analyze"):
            self.skipTest("needs systemd-analyze")
        # verify wants the program on this machine: the unit as it would start the staged one.
        checked = Path("/tmp/webserver.service")
        checked.write_text(unit.replace("/usr/sbin/webserver", str(stage / "usr/sbin/webserver")))
        r = subprocess.run(["systemd-analyze", "verify", str(checked)], capture_output=True, text=True)
        self.assertEqual((r.returncode, r.stdout + r.stderr), (0, ""))
