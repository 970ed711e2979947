"""Start-up, command line, the language record, and the supervision loop that moves the listener."""

import contextlib, signal, socket, struct, time

import harness
from harness import (COMMAND_TABLE, DOC_ROOT, ETH0_ADDR, LANGUAGE_FILE, PORT_FILE, SandboxTest, envelope, json_print,
                     port_open, raw_request, wait_port)

DEFAULT_RECORD = b"chinese".ljust(128, b"\0") + struct.pack("<i", 0) + b"login.html".ljust(128, b"\0")


class SpineTest(SandboxTest):
    def test_command_lines_that_end_before_listening(self):
        COMMAND_TABLE.unlink()  # read only after the usage checks
        PORT_FILE.write_text(json_print({"Port": 8080}))
        for args in (("h",), ("help",), ("8080", "lo"), ("88", "lo", "extra")):
            proc = self.sb.spawn("run" + "-".join(args), [harness.WEBSERVER, *args])
            self.assertEqual(proc.popen.wait(timeout=10), 0, args)
            self.assertEqual("./webserver 88\tlo" in proc.stdout(), args != ("8080", "lo"), args)  # the usage
        self.assertFalse(LANGUAGE_FILE.exists() or port_open(8080))

    def test_port_in_use_leaves_the_process_running(self):
        self.addCleanup(socket.create_server(("127.0.0.1", 8084)).close)
        srv = self.sb.start_server("8084", "lo", wait=False)
        srv.wait_output("Cannot listen http://127.0.0.1:8084", stream="stderr")
        self.assertTrue(srv.alive())

    def test_stored_port_rules_on_the_lo_endpoint(self):
        # (stored, the port used): an unusable stored port leaves the command line's
        for stored, port in (({"Port": 8090}, 8090), (None, 80), ({"Port": 70000}, 8080), ({"Port": 0}, 8080),
                             ({"Port": "8090"}, 8080), ({"port": 8090}, 8080)):
            with self.subTest(stored=stored):
                self.sb.cleanup()
                self.sb.reset()
                stored and PORT_FILE.write_text(json_print(stored))
                self.sb.start_server("8080", "lo", port=port, port_file=False)
                self.assertEqual(PORT_FILE.read_text(), json_print(stored or {"Port": 80}))
                self.assertEqual(port_open(8080), port == 8080)
                self.assertFalse(port_open(port, ETH0_ADDR))

    def test_missing_or_wrong_size_record_is_replaced_and_a_good_one_kept(self):
        english = b"english".ljust(128, b"\0") + struct.pack("<i", 2) + b"app.html".ljust(128, b"\0")
        for before, after in ((None, DEFAULT_RECORD), (b"x" * 259, DEFAULT_RECORD), (english, english)):
            self.sb.cleanup()
            LANGUAGE_FILE.unlink(missing_ok=True)
            before and LANGUAGE_FILE.write_bytes(before)
            self.sb.start_server()
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
        self.assertEqual((srv.popen.wait(timeout=5), time.monotonic() - t0 < 1), (0, True))
        srv = self.sb.start_server("8080", "lo", wait=False)
        srv.wait_output("WEB_LANGUAGE_FILE failed!\n")
        LANGUAGE_FILE.rmdir()  # once the place is free the record is written
        self.assertTrue(wait_port(8080, timeout=5, proc=srv))
        self.assertEqual(LANGUAGE_FILE.read_bytes(), DEFAULT_RECORD)

    def test_port_change_moves_the_listener_and_stops_idle_connections_promptly(self):
        self.sb.start_devsim()
        srv = self.sb.start_server("8080", "wlan0123456", host=ETH0_ADDR)
        sid = self.sb.login()
        self.assertTrue(port_open(8080, "127.0.0.1"))  # an unknown interface is replaced by eth0: every address
        idle = [socket.create_connection((ETH0_ADDR, 8080), timeout=5) for _ in range(5)]
        for conn in idle:
            self.addCleanup(conn.close)
            self.assertEqual(raw_request(conn, "GET", "/login.html").status, 200)
        for body in ({"Port": 70000}, {"port": 8087}):  # "port" in lower case is no "Port"
            self.assertEnvelope(self.sb.cmd("SetWebServerParameter", query={"sessionid": sid}, body=body),
                                envelope("Fail", "Failed to set params"))
        self.assertEqual(PORT_FILE.read_text(), json_print({"Port": 8080}))
        t0 = time.monotonic()
        self.assertEnvelope(self.sb.cmd("SetWebServerParameter", query={"sessionid": sid}, body={"Port": 8086}),
                            envelope("OK", "Successfully to set params"))
        self.assertEqual(PORT_FILE.read_text(), json_print({"Port": 8086}))
        self.assertTrue(wait_port(8086, host=ETH0_ADDR, timeout=6, proc=srv))
        self.assertLess(time.monotonic() - t0, 5.5)
        self.assertEqual((port_open(8080, ETH0_ADDR), port_open(8086)), (False, True))  # still every address
        for conn in idle:  # closed by the stop
            conn.settimeout(2)
            with contextlib.suppress(ConnectionResetError):
                self.assertEqual(conn.recv(1), b"")
        r = self.sb.cmd("GetWebServerParameter", query={"sessionid": sid}, port=8086)  # the session survives
        self.assertEqual(r.json()["Parameters"], {"Port": 8086})
