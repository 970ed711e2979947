"""scripts/demo.sh run as root: the pages' reboot and clock commands must not reach the machine it runs on."""

import json, os, signal, socket, subprocess, time, unittest
from pathlib import Path

from harness import BUILD, DEVSIM, EXEC_WRAPPER, REPO, WEBSERVER, envelope, raw_request, wait_until

PORT = 8181  # not the default, so PORT is shown to be followed
IN_2036 = {"tm_sec": 0, "tm_min": 0, "tm_hour": 12, "tm_mday": 1, "tm_mon": 0, "tm_year": 136, "tm_wday": 2}


@unittest.skipUnless(WEBSERVER.exists() and DEVSIM.exists(), "needs webserver and devsim")
@unittest.skipIf(EXEC_WRAPPER, "the demo runs the development machine's own build")
class DemoTest(unittest.TestCase):
    def setUp(self):
        self.assertEqual(os.getuid(), 0)  # root of the sandbox, as a person running it as root
        self.outside = sorted(os.listdir("/mnt"))
        self.record = BUILD / "demo" / "stub-calls.log"
        self.out = BUILD / "demo-test.out"
        env = dict(os.environ, PORT=str(PORT), WS_BUILD_DIR=str(BUILD), WS_DEMO_PREBUILT="1")
        env.pop("WS_DEMO_NS", None)
        with open(self.out, "wb") as out:
            self.demo = subprocess.Popen([str(REPO / "scripts" / "demo.sh")], stdout=out, stderr=subprocess.STDOUT,
                                         stdin=subprocess.DEVNULL, env=env, cwd="/")
        self.addCleanup(self.stop)
        # the summary comes once the server listens
        wait_until(lambda: "Ctrl-C" in self.out.read_text() or self.demo.poll() is not None, 30)
        self.assertIsNone(self.demo.poll(), self.out.read_text())

    def stop(self):
        self.demo.send_signal(signal.SIGTERM)
        try:
            self.demo.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.demo.kill()

    def cmd(self, name, query="", body=None, timeout=15):
        data = None if body is None else json.dumps(body).encode()
        with socket.create_connection(("127.0.0.1", PORT), timeout=timeout) as conn:
            path = f"/action/device/{name}" + "?" * bool(query) + query
            return raw_request(conn, "GET" if data is None else "POST", path, data).text

    def test_reboot_and_clock_stay_inside(self):
        self.assertIn(f"http://127.0.0.1:{PORT}/", self.out.read_text())
        r = json.loads(self.cmd("login", body={"username": "admin", "password": "qorvu", "timeout": 600}))
        self.assertEqual(r["Result"], "OK", r)
        sid = f"sessionid={r['sessionid']}"

        # What keeps a real root's clock and init system out of reach: the server runs in a user
        # namespace of its own (and a mount namespace with the stubs), on the caller's network.
        server = next(p for p in Path("/proc").iterdir() if p.name.isdigit() and (p / "comm").exists()
                      and (p / "comm").read_text().strip() == "webserver"
                      and (p / "stat").read_text().split(")")[1].split()[1] == str(self.demo.pid))
        ns = {k: (os.readlink(server / "ns" / k), os.readlink(f"/proc/self/ns/{k}")) for k in ("user", "mnt", "net")}
        self.assertEqual([a == b for a, b in ns.values()], [False, False, True])

        # Years away: the server tries to set the clock and is refused.
        wall, mono = time.time(), time.monotonic()
        self.assertEqual(self.cmd("set_device_localtime", sid, IN_2036), envelope("Fail", "set rtc fail"))
        self.assertLess(abs((time.time() - wall) - (time.monotonic() - mono)), 2)

        self.assertEqual(self.cmd("set_device_reboot", sid, timeout=40), envelope("OK"))
        self.assertEqual(self.record.read_text().split(), ["sync", "reboot", "reboot"])
        self.assertEqual(sorted(os.listdir("/mnt")), self.outside)  # the device's files stayed in the demo
        self.assertIsNone(self.demo.poll())

