"""The HTTP layer over raw sockets: framing and request-line rules, the
headers every answer carries, which methods, origins and host names reach a
command, documents that need a session, and slow clients."""

import socket
import threading
import time

from harness import DOC_ROOT, SD_ROOT, WEB_ROOT_SRC, SandboxTest, raw_request

LOGIN_PAGE = (WEB_ROOT_SRC / "login.html").read_bytes()


def exchange(sb, data, timeout=5, source=None):
    """Sends raw bytes on a new connection; returns everything received up to
    the server's close (or the time-out) and whether the server closed."""
    with socket.socket() as s:
        s.settimeout(timeout)
        if source:
            s.bind((source, 0))
        s.connect((sb.host, sb.port))
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


def status_of(raw):
    return int(raw.split(b" ", 2)[1]) if raw.startswith(b"HTTP/1.1 ") else 0


def split_answers(raw):
    """(status, headers, body) of each answer in a byte stream (a 304 has no body)."""
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
            (b"GET http://127.0.0.1:8080/login.html HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n", 200, False),
            (b"GET /login.html HTTP/1.0\r\n\r\n", 200, True),  # HTTP/1.0 needs no Host
            (b"PUT /action/device/login HTTP/1.0\r\n\r\n", 405, True),  # but the other checks hold
        )
        for request, status, closed in cases:
            with self.subTest(request):
                raw, was_closed = exchange(sb, request, timeout=3)
                answers = split_answers(raw)
                self.assertEqual(answers[0][0], status, raw[:200])
                self.assertEqual(len(answers), 1)  # nothing read after a refusal
                self.assertEqual(was_closed, closed)
        # The absolute form is routed by its path, also for commands.
        with socket.create_connection((sb.host, sb.port)) as conn:
            r = raw_request(conn, "GET", "http://127.0.0.1:8080/action/device/get_login_time")
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
        self.assertEqual((command[0], command[1]["content-type"]), (200, "application/json"))
        self.assertIn(b'"Invalid session ID"', command[2])
        self.assertEqual(again[2], LOGIN_PAGE)

    def test_headers_methods_origins_and_hosts(self):
        sb = self.sb
        page = sb.http("GET", "/login.html")
        command = sb.cmd("get_login_time")
        missing = sb.http("GET", "/nothing.html")
        for r in (page, command, missing):
            self.assertEqual((r.headers["x-frame-options"], r.headers["referrer-policy"],
                              r.headers["x-content-type-options"]), ("DENY", "no-referrer", "nosniff"))
            self.assertIn("frame-ancestors 'none'", r.headers["content-security-policy"])
        self.assertIn("default-src 'self'", page.headers["content-security-policy"])
        self.assertEqual(command.headers["cache-control"], "no-store")
        self.assertNotIn("cache-control", page.headers)
        (DOC_ROOT / "x.bin").write_bytes(b"<script>")
        for name, ctype in (("x.bin", "application/octet-stream"), ("favicon.svg", "image/svg+xml")):
            self.assertEqual(sb.http("GET", "/" + name).headers["content-type"], ctype)

        for method in ("OPTIONS", "PUT", "TRACE", "HEAD", "FOO"):
            r = sb.http(method, "/action/device/get_login_time") if method != "HEAD" else None
            if r is None:  # HEAD: no body to read
                raw, _ = exchange(sb, b"HEAD /action/device/get_login_time HTTP/1.1\r\nHost: d\r\n\r\n", 1)
                self.assertEqual(status_of(raw), 405)
                continue
            self.assertEqual((r.status, r.headers["allow"]), (405, "GET, POST"), method)

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
        self.assertEqual(sb.http("GET", "/sd/2024/a.mp4").status, 403)
        self.assertEqual(sb.http("GET", "/sd/recodefilelist.txt?sessionid=123").status, 403)
        self.assertEqual(sb.http("GET", "/%73d/2024/a.mp4").status, 403)
        sid = sb.login()
        r = sb.http("GET", f"/sd/2024/a.mp4?sessionid={sid}")
        self.assertEqual((r.status, r.body), (200, b"video"))

    def test_long_queries_get_an_answer(self):
        query = "&".join(f"k{i}=v" for i in range(500)).encode()
        for path in (b"/action/device/get_login_time?", b"/login.html?"):
            raw, closed = exchange(self.sb, b"GET " + path + query + b" HTTP/1.1\r\nHost: d\r\n\r\n", timeout=5)
            self.assertIn(status_of(raw), (200, 431))

    def test_trickling_clients_do_not_lock_others_out(self):
        sb = self.sb
        stop = threading.Event()
        socks = []
        for i in range(64):
            s = socket.socket()
            s.bind(("127.0.0.1" if i % 2 else "127.0.0.2", 0))
            s.connect((sb.host, sb.port))
            socks.append(s)

        def trickle():  # one header byte every 4 s on every connection
            text = b"GET /login.html HTTP/1.1\r\nX-Slow: " + b"a" * 100
            for b in text:
                for s in socks:
                    try:
                        s.send(bytes([b]))
                    except OSError:
                        pass
                if stop.wait(4):
                    return
        t = threading.Thread(target=trickle)
        t.start()
        try:
            start = time.monotonic()
            status = 0
            while status != 200 and time.monotonic() - start < 25:
                try:
                    status = sb.http("GET", "/login.html", timeout=3).status
                except OSError:
                    pass
            self.assertEqual(status, 200)
            self.assertLess(time.monotonic() - start, 22)
        finally:
            stop.set()
            t.join()
            for s in socks:
                s.close()
