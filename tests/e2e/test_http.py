"""The HTTP layer over raw sockets: framing, safety headers, methods, origins and hosts, documents that need a
session, and slow clients."""

import socket, threading

from harness import DOC_ROOT, EXEC_WRAPPER, SD_ROOT, WEB_ROOT_SRC, SandboxTest, wait_until

LOGIN_PAGE = (WEB_ROOT_SRC / "login.html").read_bytes()


def exchange(sb, data, timeout=5):  # (everything received up to the close or the time-out, closed by the server)
    with socket.create_connection((sb.host, sb.port), timeout=timeout) as s:
        s.sendall(data)
        out = b""
        try:
            while chunk := s.recv(65536):
                out += chunk
            return out, True
        except socket.timeout:
            return out, False
        except ConnectionResetError:
            return out, True


def split_answers(raw):  # (status, headers, body) of each answer in a byte stream (a 304 has no body)
    answers = []
    while raw:
        head, _, raw = raw.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        headers = {k.lower(): v for k, _, v in (line.partition(": ") for line in lines[1:])}
        status = int(lines[0].split()[1])
        length = 0 if status == 304 else int(headers.get("content-length", 0))
        answers.append((status, headers, raw[:length]))
        raw = raw[length:]
    return answers


class HttpTest(SandboxTest):
    def setUp(self):
        super().setUp()
        self.sb.start_devsim()
        self.sb.start_server()

    def test_framing_host_and_request_line_rules(self):
        sb = self.sb
        cases = (  # request, status, closed after the answer
            (b"POST /action/device/login HTTP/1.1\r\nHost: d\r\nTransfer-Encoding: chunked\r\n"
             b"Content-Length: 5\r\n\r\n0\r\n\r\nGET /login.html HTTP/1.1\r\nHost: d\r\n\r\n", 400, True),
            (b"GET /login.html HTTP/1.1\r\n\r\n", 400, False),
            (b"GET /login.html HTTP/1.1\r\nHost: d\r\n\r\n", 200, False),
            (b"GARBAGE\r\n\r\n", 400, True),
            (b"GET /login.html HTTP/1.1\r\nHost: d\r\n\r\nGARBAGE\r\n\r\n", (200, 400), True),
            (b"GET /login.html HTTP/1.0\r\n\r\nGARBAGE\r\n\r\n", 200, True),  # closed after the first
            (b"GET http://127.0.0.1:8080/login.html HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n", 200, False),
            (b"GET /login.html HTTP/1.0\r\n\r\n", 200, True),  # HTTP/1.0 needs no Host
            (b"PUT /action/device/login HTTP/1.0\r\n\r\n", 405, True),  # but the other checks hold
        )
        for request, status, closed in cases:
            if b"GARBAGE" in request and EXEC_WRAPPER:
                continue  # qemu-user answers TCP_INFO with 4 bytes: the layer cannot tell this case there
            raw, was_closed = exchange(sb, request, timeout=3)
            # one answer: nothing read after a refusal
            statuses = list(status) if isinstance(status, tuple) else [status]
            self.assertEqual(([a[0] for a in split_answers(raw)], was_closed), (statuses, closed), request)
        # The absolute form is routed by its path, also for commands.
        r = sb.http("GET", "http://127.0.0.1:8080/action/device/get_login_time")
        self.assertEqual((r.status, r.json()["Result"]), (200, "Fail"))

    def test_not_modified_keeps_the_length_and_earlier_answers_stay(self):
        sb = self.sb
        first = sb.http("GET", "/login.html")
        since = first.headers["last-modified"]
        self.assertEqual((first.status, first.body, first.headers["content-type"]), (200, LOGIN_PAGE, "text/html"))
        # Pipelined on one connection: a 304, a command and the page again, answered in order.
        raw, closed = exchange(sb, b"".join(f"GET {p} HTTP/1.1\r\nHost: device\r\n{h}\r\n".encode() for p, h in (
            ("/login.html", f"If-Modified-Since: {since}\r\n"),
            ("/action/device/detection_sessionid?sessionid=x", ""), ("/login.html", ""))), timeout=2)
        self.assertFalse(closed)
        not_modified, command, again = split_answers(raw)
        self.assertEqual(not_modified[0], 304)
        self.assertIn(not_modified[1].get("content-length"), (None, str(len(LOGIN_PAGE))))
        self.assertEqual((not_modified[1]["last-modified"], not_modified[2]), (since, b""))
        self.assertEqual((command[0], command[1]["content-type"], again[2]), (200, "application/json", LOGIN_PAGE))
        self.assertIn(b'"Invalid session ID"', command[2])

    def test_headers_methods_origins_and_hosts(self):
        sb = self.sb
        page, command = sb.http("GET", "/login.html"), sb.cmd("get_login_time")
        missing = sb.http("GET", "/nothing.html")
        for r in (page, command, missing):
            self.assertEqual((r.headers["x-frame-options"], r.headers["referrer-policy"],
                              r.headers["x-content-type-options"]), ("DENY", "no-referrer", "nosniff"))
            self.assertIn("frame-ancestors 'none'", r.headers["content-security-policy"])
        self.assertIn("default-src 'self'", page.headers["content-security-policy"])
        self.assertEqual((command.headers["cache-control"], page.headers["cache-control"]), ("no-store", "no-cache"))
        (DOC_ROOT / "x.bin").write_bytes(b"<script>")
        for name, ctype in (("x.bin", "application/octet-stream"), ("favicon.svg", "image/svg+xml")):
            self.assertEqual(sb.http("GET", "/" + name).headers["content-type"], ctype)

        for method in ("OPTIONS", "PUT", "TRACE", "HEAD", "FOO"):
            raw, _ = exchange(sb, f"{method} /action/device/get_login_time HTTP/1.1\r\nHost: d\r\n\r\n".encode(), 1)
            status, headers, _ = split_answers(raw)[0]
            self.assertEqual((status, headers.get("allow")), (405, "GET, POST"))

        here = f"http://{sb.host}:{sb.port}"
        refused = ({"Sec-Fetch-Site": "cross-site"}, {"Origin": "http://evil.example"}, {"Origin": "null"},
                   {"Origin": here, "Host": "device"}, {"Host": "rebound.example.com"})
        allowed = ({}, {"Sec-Fetch-Site": "same-origin", "Origin": here, "Host": f"{sb.host}:{sb.port}"},
                   {"Host": "device.local"}, {"Host": "localhost:8080"}, {"Host": "[::1]:8080"})
        for headers in refused + allowed:
            with self.subTest(headers):
                r = sb.cmd("get_login_time", headers=headers)
                want = 200 if headers in allowed else 421 if "example.com" in headers.get("Host", "") else 403
                self.assertEqual(r.status, want)
        self.assertEqual(sb.http("GET", "/login.html", headers={"Host": "rebound.example.com"}).status, 421)

    def test_recordings_need_a_live_session(self):
        sb = self.sb
        (SD_ROOT / "2024").mkdir()
        (SD_ROOT / "2024" / "a.mp4").write_bytes(b"video")
        for path in ("/sd/2024/a.mp4", "/sd/recodefilelist.txt?sessionid=123", "/%73d/2024/a.mp4"):
            self.assertEqual(sb.http("GET", path).status, 403)
        sid = sb.login()
        r = sb.http("GET", f"/sd/2024/a.mp4?sessionid={sid}")
        self.assertEqual((r.status, r.body), (200, b"video"))

    def test_long_queries_get_an_answer(self):
        query = "&".join(f"k{i}=v" for i in range(500)).encode()
        for path in (b"/action/device/get_login_time?", b"/login.html?"):
            raw, closed = exchange(self.sb, b"GET " + path + query + b" HTTP/1.1\r\nHost: d\r\n\r\n", timeout=5)
            self.assertIn(raw[:12], (b"HTTP/1.1 200", b"HTTP/1.1 431"))

    def test_trickling_clients_do_not_lock_others_out(self):
        sb = self.sb
        stop = threading.Event()
        socks = [socket.create_connection((sb.host, sb.port), source_address=(f"127.0.0.{1 + i % 2}", 0))
                 for i in range(64)]  # two addresses

        def trickle():  # one header byte every 4 s on every connection
            for b in b"GET /login.html HTTP/1.1\r\nX-Slow: " + b"a" * 100:
                for s in socks:
                    try:
                        s.send(bytes([b]))
                    except OSError:
                        pass
                if stop.wait(4):
                    return
        t = threading.Thread(target=trickle)
        t.start()
        def served():  # a third client
            try:
                return sb.http("GET", "/login.html", timeout=3).status == 200
            except OSError:
                return False
        try:
            wait_until(served, 22, "a page for a third client")
        finally:
            stop.set()
            t.join()
            for s in socks:
                s.close()
