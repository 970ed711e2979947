"""Process start-up, command line, server thread set-up and the supervision
loop that moves the listener to a new port."""

import signal
import socket
import struct
import time
import unittest
from email.utils import formatdate

import harness
from harness import (ETH0_ADDR, LANGUAGE_FILE, PORT_FILE, COMMAND_TABLE, SandboxTest,
                     envelope, json_print, port_open, raw_request, wait_port)

USAGE = ("---------------------------------------------\n"
         "./webserver \t\t\t:  using function  ==> eth0   80 \n"
         "./webserver 88\t\t\t:  using function  ==> eth0   88 (Custom port) \n"
         "./webserver 88\tlo\t\t:  using function  ==> lo\t  88  127.0.0.1  88(Custom port) \n"
         "---------------------------------------------\n")


def run_to_end(sb, name, *args, timeout=10):
    """Runs the server with arguments and waits for it to end; (status, out, err)."""
    proc = sb.spawn(name, [harness.WEBSERVER, *args])
    status = proc.wait(timeout=timeout)
    return status, proc.stdout(), proc.stderr()


class CommandLineTest(SandboxTest):
    def test_usage_ends_with_status_zero_before_anything_is_read(self):
        COMMAND_TABLE.unlink(missing_ok=True)  # would end start-up with an error line
        for arg in ("h", "help"):
            status, out, err = run_to_end(self.sb, "usage-" + arg, arg)
            self.assertEqual(status, 0)
            self.assertEqual(out, USAGE)
            self.assertEqual(err, "")
        self.assertFalse(LANGUAGE_FILE.exists())

    def test_three_arguments_print_both_values_then_the_usage(self):
        status, out, err = run_to_end(self.sb, "three", "88", "lo", "extra")
        self.assertEqual(status, 0)
        self.assertEqual(out, "http_port 88\r\ninterfaces_name lo\r\n" + USAGE)
        self.assertEqual(err, "")

    def test_missing_protocol_table_ends_with_status_zero_before_listening(self):
        COMMAND_TABLE.unlink(missing_ok=True)
        PORT_FILE.write_text(json_print({"Port": 8080}))
        status, out, err = run_to_end(self.sb, "notable", "8080", "lo")
        self.assertEqual(status, 0)
        self.assertIn(", main>: http read comfig fail\n", err)
        self.assertNotIn("web init port", out)
        self.assertNotIn("Configuration for", out)
        self.assertFalse(LANGUAGE_FILE.exists())


class EndpointTest(SandboxTest):
    def test_lo_listens_on_loopback_only(self):
        srv = self.sb.start_server("8080", "lo")
        out = srv.wait_output("HTTP_WEB_PORT=8080 web_params.http_port=8080\r\n")
        self.assertIn("http_port 8080\r\ninterfaces_name lo\r\n", out)
        self.assertIn("web init port 8080 \n", out)
        self.assertFalse(port_open(8080, ETH0_ADDR))
        self.assertEqual(self.sb.http("GET", "/login.html").status, 200)

    def test_eth0_listens_on_every_address(self):
        self.sb.start_server("8081", "eth0")
        self.assertTrue(port_open(8081, ETH0_ADDR))
        self.assertTrue(port_open(8081, "127.0.0.1"))

    def test_banner_and_order_of_set_up_lines(self):
        srv = self.sb.start_server("8080", "lo")
        out = srv.wait_output("HTTP_WEB_PORT=")
        banner = ["Configuration for Embedthis GoAhead\n",
                  "---------------------------------------------\n",
                  "Version:            4.0.2\n",
                  "Directory:          /\n",
                  "Documents:          /mnt/app/web_root\n"]
        pos = [out.find(line) for line in banner]
        self.assertTrue(all(p >= 0 for p in pos), out)
        self.assertEqual(pos, sorted(pos))

    def test_unknown_interface_name_is_cut_and_replaced_by_eth0(self):
        srv = self.sb.start_server("8082", "wlan0123456", host=ETH0_ADDR)
        out = srv.wait_output("invalid interface name")
        self.assertIn("interfaces_name wlan012\r\n", out)
        self.assertIn("invalid interface name:wlan012   edit default eth0 \n", out)
        self.assertTrue(port_open(8082, ETH0_ADDR))

    def test_interface_without_ipv4_address_opens_no_port(self):
        # The sandbox's eth1 is up and has no IPv4 address.
        srv = self.sb.start_server("8083", "eth1", wait=False)
        srv.wait_output("Cannot ioctl SIOCGIFADDR errno", stream="stderr")
        time.sleep(0.3)
        self.assertFalse(port_open(8083, "127.0.0.1"))
        self.assertTrue(srv.alive())
        self.assertNotIn("Configuration for", srv.stdout())

    def test_missing_route_or_auth_file_ends_the_server_thread_only(self):
        for name, line in (("route.txt", "Cannot initialize server. Exiting."),
                           ("auth.txt", "Cannot load /mnt/app/web_root/config/auth.txt")):
            with self.subTest(name):
                self.sb.cleanup()
                self.sb.reset()
                (harness.CONFIG_DIR / name).unlink()
                srv = self.sb.start_server("8080", "lo", wait=False)
                srv.wait_output(line, stream="stderr")
                self.assertFalse(port_open(8080))
                self.assertTrue(srv.alive())

    def test_port_in_use_leaves_the_process_running(self):
        blocker = socket.socket()
        self.addCleanup(blocker.close)
        blocker.bind(("127.0.0.1", 8084))
        blocker.listen(1)
        srv = self.sb.start_server("8084", "lo", wait=False)
        srv.wait_output("Cannot listen http://127.0.0.1:8084", stream="stderr")
        srv.wait_output("HTTP_WEB_PORT=8084 web_params.http_port=8084\r\n")
        time.sleep(0.5)
        self.assertTrue(srv.alive())


class ConfiguredPortTest(SandboxTest):
    def test_stored_port_beats_the_command_line(self):
        PORT_FILE.write_text(json_print({"Port": 8090}))
        srv = self.sb.start_server("8080", "lo", port=8090)
        out = srv.wait_output("HTTP_WEB_PORT=8090 web_params.http_port=8090\r\n")
        self.assertIn("http_port 8080\r\n", out)
        self.assertIn("web init port 8090 \n", out)
        self.assertFalse(port_open(8080))

    def test_missing_parameter_file_is_created_with_port_80(self):
        srv = self.sb.start_server("8080", "lo", port=80, port_file=False)
        srv.wait_output("web init port 80 \n")
        self.assertEqual(PORT_FILE.read_text(), json_print({"Port": 80}))

    def test_unusable_stored_port_leaves_the_command_line_port(self):
        for stored in ({"Port": 70000}, {"Port": 0}, {"Port": "8090"}):
            with self.subTest(stored=stored):
                self.sb.cleanup()
                self.sb.reset()
                PORT_FILE.write_text(json_print(stored))
                srv = self.sb.start_server("8080", "lo")
                out = srv.wait_output("HTTP_WEB_PORT=8080 web_params.http_port=8080\r\n")
                self.assertNotIn("web init port", out)
                self.assertEqual(PORT_FILE.read_text(), json_print(stored))


class LanguageRecordTest(SandboxTest):
    def check_default_record(self):
        data = LANGUAGE_FILE.read_bytes()
        self.assertEqual(len(data), 260)
        self.assertEqual(data[:128], b"chinese".ljust(128, b"\0"))
        self.assertEqual(struct.unpack("<i", data[128:132])[0], 0)
        self.assertEqual(data[132:], b"login.html".ljust(128, b"\0"))

    def test_missing_record_is_created_before_listening(self):
        LANGUAGE_FILE.unlink(missing_ok=True)
        srv = self.sb.start_server("8080", "lo")
        self.assertIn("ERROR :GET WEB_LANGUAGE_FILE failed!\n", srv.stdout())
        self.check_default_record()

    def test_record_of_wrong_size_is_replaced_and_a_good_one_kept(self):
        LANGUAGE_FILE.write_bytes(b"x" * 259)
        self.sb.start_server("8080", "lo")
        self.check_default_record()
        self.sb.cleanup()

        english = b"english".ljust(128, b"\0") + struct.pack("<i", 2) + b"app.html".ljust(128, b"\0")
        LANGUAGE_FILE.write_bytes(english)
        srv = self.sb.start_server("8080", "lo")
        self.assertNotIn("WEB_LANGUAGE_FILE", srv.stdout())
        self.assertEqual(LANGUAGE_FILE.read_bytes(), english)
        # The index page stays login.html whatever the record names.
        self.assertEqual(self.sb.http("GET", "/").body, (harness.DOC_ROOT / "login.html").read_bytes())

    def test_unwritable_record_is_retried_with_a_pause(self):
        # A folder in the record's place can be neither read nor replaced.
        LANGUAGE_FILE.unlink(missing_ok=True)
        LANGUAGE_FILE.mkdir()
        srv = self.sb.start_server("8080", "lo", wait=False)
        srv.wait_output("WEB_LANGUAGE_FILE failed!\n")
        time.sleep(2.5)
        tries = srv.stdout().splitlines().count("WEB_LANGUAGE_FILE failed!")
        self.assertGreaterEqual(tries, 2)
        self.assertLessEqual(tries, 4)
        self.assertFalse(port_open(8080))

        # Once the place is free the record is written and the server listens.
        LANGUAGE_FILE.rmdir()
        self.assertTrue(wait_port(8080, timeout=5, proc=srv))
        self.check_default_record()

    def test_stop_request_ends_an_endless_record_loop(self):
        LANGUAGE_FILE.unlink(missing_ok=True)
        LANGUAGE_FILE.mkdir()
        srv = self.sb.start_server("8080", "lo", wait=False)
        srv.wait_output("WEB_LANGUAGE_FILE failed!\n")
        t0 = time.monotonic()
        srv.popen.send_signal(signal.SIGTERM)
        self.assertEqual(srv.wait(timeout=5), 0)
        self.assertLess(time.monotonic() - t0, 3)


class StaticDocumentTest(SandboxTest):
    def test_pages_index_and_conditional_requests(self):
        self.sb.start_server("8080", "lo")
        page = (harness.DOC_ROOT / "login.html").read_bytes()
        r = self.sb.http("GET", "/login.html")
        self.assertEqual(r.status, 200)
        self.assertEqual(r.body, page)
        self.assertTrue(r.header("Content-Type").startswith("text/html"))
        self.assertEqual(self.sb.http("GET", "/").body, page)

        modified = r.header("Last-Modified")
        self.assertIsNotNone(modified)
        self.assertEqual(self.sb.http("GET", "/login.html", headers={"If-Modified-Since": modified}).status, 304)
        old = formatdate(time.time() - 86400 * 400, usegmt=True)
        self.assertEqual(self.sb.http("GET", "/login.html", headers={"If-Modified-Since": old}).status, 200)
        self.assertEqual(self.sb.http("GET", "/no-such-page.html").status, 404)

    def test_paths_out_of_the_document_root_are_refused(self):
        secret = harness.MNT / "app" / "secret.txt"
        secret.write_text("SECRET-OUTSIDE")
        (harness.DOC_ROOT / "out").symlink_to(secret)
        self.sb.start_server("8080", "lo")
        for path in ("/../secret.txt", "/%2e%2e/secret.txt", "/css/..%2f..%2fsecret.txt",
                     "/%2E%2E%2Fsecret.txt", "/out", "/../../etc/passwd"):
            with self.subTest(path=path):
                r = self.sb.http("GET", path)
                self.assertIn(r.status, (400, 403, 404))
                self.assertNotIn(b"SECRET-OUTSIDE", r.body)
                self.assertNotIn(b"root:", r.body)


@unittest.skipUnless(harness.DEVSIM.exists(), "needs build/devsim for the login")
class PortChangeTest(SandboxTest):
    def set_port(self, sid, port, **kw):
        return self.sb.cmd("SetWebServerParameter", query={"sessionid": sid}, body={"Port": port}, **kw)

    def test_port_change_moves_the_listener(self):
        self.sb.start_devsim()
        srv = self.sb.start_server("8080", "lo")
        sid = self.sb.login()

        r = self.set_port(sid, 70000)
        self.assertEnvelope(r, envelope("Fail", "Failed to set params"))
        self.assertEqual(PORT_FILE.read_text(), json_print({"Port": 8080}))

        r = self.set_port(sid, 8086)
        t0 = time.monotonic()
        self.assertEnvelope(r, envelope("OK", "Successfully to set params"))
        self.assertEqual(PORT_FILE.read_text(), json_print({"Port": 8086}))
        self.assertTrue(wait_port(8086, timeout=6, proc=srv))
        self.assertLess(time.monotonic() - t0, 5.5)
        self.assertFalse(port_open(8080))
        out = srv.stdout()
        self.assertIn("HTTP_WEB_PORT=8086 web_params.http_port=8080\r\n", out)
        self.assertIn("Instructed to exit\n", out)
        # The session survives the restart of the server thread.
        r = self.sb.cmd("GetWebServerParameter", query={"sessionid": sid}, port=8086)
        self.assertEqual(r.json()["Parameters"], {"Port": 8086})

    def test_stop_is_prompt_with_idle_keep_alive_connections(self):
        self.sb.start_devsim()
        srv = self.sb.start_server("8080", "wlan0", host=ETH0_ADDR)
        sid = self.sb.login()
        idle = []
        for _ in range(5):
            conn = socket.create_connection((ETH0_ADDR, 8080), timeout=5)
            self.addCleanup(conn.close)
            self.assertEqual(raw_request(conn, "GET", "/login.html").status, 200)
            idle.append(conn)
        r = self.set_port(sid, 8087)
        t0 = time.monotonic()
        self.assertEqual(r.json()["Result"], "OK")
        self.assertTrue(wait_port(8087, host=ETH0_ADDR, timeout=6, proc=srv))
        self.assertLess(time.monotonic() - t0, 5.5)
        # The idle connections were closed by the stop.
        for conn in idle:
            conn.settimeout(2)
            try:
                self.assertEqual(conn.recv(1), b"")
            except ConnectionResetError:
                pass
        # The corrected interface name survives the restart.
        self.assertEqual(srv.stdout().count("invalid interface name:"), 1)


class SupervisionTest(SandboxTest):
    def test_supervision_line_every_three_seconds_and_clean_stop(self):
        srv = self.sb.start_server("8080", "lo")
        time.sleep(3.5)
        lines = srv.stdout().count("HTTP_WEB_PORT=8080 web_params.http_port=8080\r\n")
        self.assertIn(lines, (2, 3))
        t0 = time.monotonic()
        srv.popen.send_signal(signal.SIGTERM)
        self.assertEqual(srv.wait(timeout=5), 0)
        self.assertLess(time.monotonic() - t0, 2)
        self.assertIn("Instructed to exit\n", srv.stdout())


if __name__ == "__main__":
    unittest.main()
