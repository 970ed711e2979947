"""Start-up, command line, server thread set-up, the language record, static
documents and the supervision loop that moves the listener to a new port."""

import contextlib
import signal
import socket
import struct
import time

import harness
from harness import (COMMAND_TABLE, DOC_ROOT, ETH0_ADDR, LANGUAGE_FILE, PORT_FILE, SandboxTest, envelope, json_print,
                     port_open, raw_request, wait_port)

USAGE = ("---------------------------------------------\n"
         "./webserver \t\t\t:  using function  ==> eth0   80 \n"
         "./webserver 88\t\t\t:  using function  ==> eth0   88 (Custom port) \n"
         "./webserver 88\tlo\t\t:  using function  ==> lo\t  88  127.0.0.1  88(Custom port) \n"
         "---------------------------------------------\n")
DEFAULT_RECORD = b"chinese".ljust(128, b"\0") + struct.pack("<i", 0) + b"login.html".ljust(128, b"\0")


class SpineTest(SandboxTest):
    def test_command_lines_that_end_before_listening(self):
        COMMAND_TABLE.unlink()  # read only after the usage checks
        PORT_FILE.write_text(json_print({"Port": 8080}))
        for args, out in ((("h",), USAGE), (("help",), USAGE), (("8080", "lo"), None),
                          (("88", "lo", "extra"), "http_port 88\r\ninterfaces_name lo\r\n" + USAGE)):
            with self.subTest(args):
                proc = self.sb.spawn("run" + "-".join(args), [harness.WEBSERVER, *args])
                self.assertEqual(proc.popen.wait(timeout=10), 0)
                if out is None:  # without the protocol table start-up ends before listening
                    self.assertIn(", main>: http read comfig fail\n", proc.stderr())
                    for text in ("web init port", "Configuration for"):
                        self.assertNotIn(text, proc.stdout())
                else:
                    self.assertEqual((proc.stdout(), proc.stderr()), (out, ""))
        self.assertFalse(LANGUAGE_FILE.exists())

    def test_port_in_use_leaves_the_process_running(self):
        blocker = socket.socket()
        self.addCleanup(blocker.close)
        blocker.bind(("127.0.0.1", 8084))
        blocker.listen(1)
        srv = self.sb.start_server("8084", "lo", wait=False)
        srv.wait_output("Cannot listen http://127.0.0.1:8084", stream="stderr")
        srv.wait_output("HTTP_WEB_PORT=8084 web_params.http_port=8084\r\n")
        self.assertTrue(srv.alive())

    def test_stored_port_rules_on_the_lo_endpoint(self):
        # (stored, the port used, its "web init" line): an unusable stored port leaves the command line's
        for stored, port, line in (({"Port": 8090}, 8090, "web init port 8090 \n"), (None, 80, "web init port 80 \n"),
                                   ({"Port": 70000}, 8080, None), ({"Port": 0}, 8080, None),
                                   ({"Port": "8090"}, 8080, None), ({"port": 8090}, 8080, None)):
            with self.subTest(stored=stored):
                self.sb.cleanup()
                self.sb.reset()
                if stored:
                    PORT_FILE.write_text(json_print(stored))
                srv = self.sb.start_server("8080", "lo", port=port, port_file=False)
                out = srv.wait_output(f"HTTP_WEB_PORT={port} web_params.http_port={port}\r\n")
                self.assertIn("http_port 8080\r\ninterfaces_name lo\r\n", out)
                self.assertEqual(line in out if line else "web init port" in out, bool(line))
                self.assertEqual(PORT_FILE.read_text(), json_print(stored or {"Port": 80}))
                self.assertEqual(port_open(8080), port == 8080)
                self.assertFalse(port_open(port, ETH0_ADDR))

    def test_missing_or_wrong_size_record_is_replaced_and_a_good_one_kept(self):
        english = b"english".ljust(128, b"\0") + struct.pack("<i", 2) + b"app.html".ljust(128, b"\0")
        for before, after in ((None, DEFAULT_RECORD), (b"x" * 259, DEFAULT_RECORD), (english, english)):
            with self.subTest(before=before):
                self.sb.cleanup()
                LANGUAGE_FILE.unlink(missing_ok=True)
                if before:
                    LANGUAGE_FILE.write_bytes(before)
                srv = self.sb.start_server("8080", "lo")
                complaint = "ERROR :GET WEB_LANGUAGE_FILE failed!\n" if after != before else "WEB_LANGUAGE_FILE"
                self.assertEqual(complaint in srv.stdout(), after != before)
                self.assertEqual(LANGUAGE_FILE.read_bytes(), after)
        # The index page stays login.html whatever the record names.
        self.assertEqual(self.sb.http("GET", "/").body, (DOC_ROOT / "login.html").read_bytes())

    def test_unwritable_record_is_retried_with_a_pause_until_stop_or_success(self):
        LANGUAGE_FILE.unlink(missing_ok=True)
        LANGUAGE_FILE.mkdir()  # a folder in the record's place can be neither read nor replaced
        srv = self.sb.start_server("8080", "lo", wait=False)
        t0 = time.monotonic()
        harness.wait_until(lambda: srv.stdout().splitlines().count("WEB_LANGUAGE_FILE failed!") >= 2)
        self.assertGreaterEqual(time.monotonic() - t0, 0.9)  # a pause between tries
        self.assertFalse(port_open(8080))
        t0 = time.monotonic()
        srv.popen.send_signal(signal.SIGTERM)
        self.assertEqual(srv.popen.wait(timeout=5), 0)
        self.assertLess(time.monotonic() - t0, 1)
        srv = self.sb.start_server("8080", "lo", wait=False)
        srv.wait_output("WEB_LANGUAGE_FILE failed!\n")
        LANGUAGE_FILE.rmdir()  # once the place is free the record is written
        self.assertTrue(wait_port(8080, timeout=5, proc=srv))
        self.assertEqual(LANGUAGE_FILE.read_bytes(), DEFAULT_RECORD)

    def test_port_change_moves_the_listener_and_stops_idle_connections_promptly(self):
        self.sb.start_devsim()
        srv = self.sb.start_server("8080", "wlan0123456", host=ETH0_ADDR)
        sid = self.sb.login()
        # An unknown interface name is cut and replaced by eth0, which listens on every address.
        self.assertIn("interfaces_name wlan012\r\n", srv.stdout())
        self.assertIn("invalid interface name:wlan012   edit default eth0 \n", srv.stdout())
        self.assertTrue(port_open(8080, "127.0.0.1"))
        idle = [socket.create_connection((ETH0_ADDR, 8080), timeout=5) for _ in range(5)]
        for conn in idle:
            self.addCleanup(conn.close)
            self.assertEqual(raw_request(conn, "GET", "/login.html").status, 200)

        def set_port(port):
            return self.sb.cmd("SetWebServerParameter", query={"sessionid": sid}, body={"Port": port})
        for refused in (70000, None):  # None: "port" in lower case is no "Port"
            r = self.sb.cmd("SetWebServerParameter", query={"sessionid": sid},
                            body={"Port": refused} if refused else {"port": 8087})
            self.assertEnvelope(r, envelope("Fail", "Failed to set params"))
        self.assertEqual(PORT_FILE.read_text(), json_print({"Port": 8080}))
        r = set_port(8086)
        t0 = time.monotonic()
        self.assertEnvelope(r, envelope("OK", "Successfully to set params"))
        self.assertEqual(PORT_FILE.read_text(), json_print({"Port": 8086}))
        self.assertTrue(wait_port(8086, host=ETH0_ADDR, timeout=6, proc=srv))
        self.assertLess(time.monotonic() - t0, 5.5)
        self.assertFalse(port_open(8080, ETH0_ADDR))
        for conn in idle:  # closed by the stop
            conn.settimeout(2)
            with contextlib.suppress(ConnectionResetError):
                self.assertEqual(conn.recv(1), b"")
        out = srv.stdout()
        self.assertIn("HTTP_WEB_PORT=8086 web_params.http_port=8080\r\n", out)
        self.assertIn("Instructed to exit\n", out)
        self.assertEqual(out.count("invalid interface name:"), 1)  # the corrected name survives
        r = self.sb.cmd("GetWebServerParameter", query={"sessionid": sid}, port=8086)  # so does the session
        self.assertEqual(r.json()["Parameters"], {"Port": 8086})

