"""Harness for end-to-end tests: the real webserver (and the device simulator)
inside the sandbox of tests/sandbox.sh, driven over HTTP.

Every test gets a fresh device: /mnt and /tmp emptied, the sample document
root copied to /mnt/app/web_root, an SD card with its marker file, and the
configuration folder /mnt/usr/config/app_parameters.

    class MyTest(harness.SandboxTest):
        def test_x(self):
            self.sb.start_devsim()
            self.sb.start_server("8080", "lo")
            sid = self.sb.login()
            reply = self.sb.cmd("get_user_param", query={"sessionid": sid})
"""

import json
import os
import shutil
import signal
import socket
import subprocess
import time
import unittest
import urllib.parse
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
_build = Path(os.environ.get("WS_BUILD_DIR", "build"))
BUILD = _build if _build.is_absolute() else REPO / _build
WEBSERVER = BUILD / "webserver"
DEVSIM = BUILD / "devsim"
WEB_ROOT_SRC = REPO / "web_root"
DATA = Path(__file__).resolve().parent / "data"

MNT = Path("/mnt")
DOC_ROOT = Path("/mnt/app/web_root")
CONFIG_DIR = DOC_ROOT / "config"
COMMAND_TABLE = CONFIG_DIR / "command_para"
LANGUAGE_FILE = CONFIG_DIR / "language_para"
APP_PARAMS = Path("/mnt/usr/config/app_parameters")
USER_FILE = APP_PARAMS / "usermgnt_para"
PORT_FILE = APP_PARAMS / "WebServerParameter.json"
SD_ROOT = DOC_ROOT / "sd"
SD_MARKER = SD_ROOT / "recodefilelist.txt"
WATERMARK_DIR = DOC_ROOT / "images" / "watermark"
EDID_DIR = Path("/mnt/app")
ACTIVE_EDID = EDID_DIR / "QX_HDMI_EDID.bin"
CUSTOM_EDID = EDID_DIR / "QX_HDMI_EDID_CSTM.bin"
UPGRADE_IMAGE = Path("/tmp/upgrade")
LOG_DIR = Path("/tmp/ws-logs")

DEFAULT_PORT = 8080
ETH0_ADDR = "192.0.2.10"


def require_sandbox():
    if os.environ.get("WS_SANDBOX") != "1":
        raise unittest.SkipTest("end-to-end tests run only inside tests/sandbox.sh")


def json_print(obj):
    """The text cJSON_Print makes of a parsed object (tabs, "key":\\tvalue)."""
    def emit(v, depth):
        ind = "\t" * depth
        if isinstance(v, dict):
            if not v:
                return "{\n" + ind + "}"
            parts = []
            for k, x in v.items():
                parts.append(ind + "\t" + json.dumps(k, ensure_ascii=False) + ":\t" + emit(x, depth + 1))
            return "{\n" + ",\n".join(parts) + "\n" + ind + "}"
        if isinstance(v, list):
            if not v:
                return "[]"
            return "[" + ", ".join(emit(x, depth + 1) for x in v) + "]"
        if v is True:
            return "true"
        if v is False:
            return "false"
        if v is None:
            return "null"
        if isinstance(v, (int, float)):
            if float(v).is_integer() and abs(v) <= 2147483647:
                return str(int(v))
            return repr(v)
        return json.dumps(v, ensure_ascii=False)
    return emit(obj, 0)


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    @property
    def text(self):
        return self.body.decode("utf-8", "replace")

    def json(self):
        return json.loads(self.body.decode("utf-8"))

    def header(self, name):
        for k, v in self.headers:
            if k.lower() == name.lower():
                return v
        return None


class Proc:
    """A child process with stdout and stderr in files."""

    def __init__(self, name, argv, log_dir, env=None):
        self.name = name
        self.argv = [str(a) for a in argv]
        self.out_path = log_dir / f"{name}.out"
        self.err_path = log_dir / f"{name}.err"
        self._out = open(self.out_path, "wb")
        self._err = open(self.err_path, "wb")
        self.started = time.monotonic()
        self.popen = subprocess.Popen(self.argv, stdout=self._out, stderr=self._err,
                                      stdin=subprocess.DEVNULL, env=env, cwd="/")

    @property
    def pid(self):
        return self.popen.pid

    def stdout(self):
        return self.out_path.read_bytes().decode("utf-8", "replace")

    def stderr(self):
        return self.err_path.read_bytes().decode("utf-8", "replace")

    def alive(self):
        return self.popen.poll() is None

    def wait(self, timeout=10):
        return self.popen.wait(timeout=timeout)

    def wait_output(self, text, timeout=10, stream="stdout"):
        """Waits until `text` appears in stdout (or stderr); returns the whole text."""
        deadline = time.monotonic() + timeout
        while True:
            got = self.stdout() if stream == "stdout" else self.stderr()
            if text in got:
                return got
            if time.monotonic() > deadline:
                raise AssertionError(f"{self.name}: {text!r} not seen within {timeout}s in {stream}:\n{got[-3000:]}")
            time.sleep(0.05)

    def status(self, key):
        """A line of /proc/<pid>/status in kB (VmRSS, VmHWM, ...)."""
        for line in Path(f"/proc/{self.pid}/status").read_text().splitlines():
            if line.startswith(key + ":"):
                return int(line.split()[1])
        raise KeyError(key)

    def fd_count(self):
        return len(os.listdir(f"/proc/{self.pid}/fd"))

    def stop(self):
        if self.alive():
            self.popen.send_signal(signal.SIGTERM)
            try:
                self.popen.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self.popen.kill()
                self.popen.wait(timeout=5)
        self._out.close()
        self._err.close()


def wait_port(port, host="127.0.0.1", timeout=10, proc=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            if proc is not None and not proc.alive():
                return False
            time.sleep(0.02)
    return False


def port_open(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


def multipart(field, filename, content, content_type, boundary="----wsBoundary7MA4YWxkTrZu0gW"):
    """A multipart/form-data body with one file part; returns (body, content-type header)."""
    head = (f"--{boundary}\r\n"
            f"Content-Disposition: form-data; name=\"{field}\"; filename=\"{filename}\"\r\n"
            f"Content-Type: {content_type}\r\n\r\n").encode()
    tail = f"\r\n--{boundary}--\r\n".encode()
    return head + content + tail, f"multipart/form-data; boundary={boundary}"


class Sandbox:
    def __init__(self, name="test"):
        require_sandbox()
        self.name = name
        self.procs = []
        self.server = None
        self.devsim = None
        self.port = DEFAULT_PORT
        self.host = "127.0.0.1"
        self.reset()
        self.log_dir = LOG_DIR / name
        self.log_dir.mkdir(parents=True, exist_ok=True)

    # ---- the device's file systems -------------------------------------
    def reset(self):
        _unmount_below(MNT)
        for top in (MNT, Path("/tmp")):
            for entry in top.iterdir():
                if entry == LOG_DIR or entry.name.startswith(".sbin-") or _holds_checkout(entry):
                    continue
                if entry.is_dir() and not entry.is_symlink():
                    shutil.rmtree(entry, ignore_errors=True)
                else:
                    entry.unlink(missing_ok=True)
        shutil.copytree(WEB_ROOT_SRC, DOC_ROOT, symlinks=True)
        APP_PARAMS.mkdir(parents=True, exist_ok=True)
        SD_ROOT.mkdir(parents=True, exist_ok=True)
        SD_MARKER.write_text("")
        Path("/tmp/ipc").mkdir(parents=True, exist_ok=True)

    def use_table(self, path):
        """Installs another protocol table (a path, or a file name in tests/e2e/data)."""
        src = Path(path)
        if not src.is_absolute():
            src = DATA / src
        shutil.copyfile(src, COMMAND_TABLE)

    EDID_PRESETS = ["DID_AUTO.bin", "EDID_1920x1080P60.bin", "EDID_1280x720P60.bin",
                    "EDID_1920x1200P60.bin", "EDID_1920x1080i60.bin", "EDID_1024x768P60.bin",
                    "EDID_800x600P60.bin", "EDID_640x480P60.bin", "EDID_1280x1024P60.bin"]

    def install_edid_presets(self, blocks=2):
        """Writes the nine preset EDID files under /mnt/app, each with its own
        bytes; returns {file name: bytes}."""
        files = {}
        for n, name in enumerate(self.EDID_PRESETS, start=1):
            data = bytearray(128 * blocks)
            data[0:8] = b"\x00\xff\xff\xff\xff\xff\xff\x00"
            for i in range(8, len(data)):
                data[i] = (i * 31 + n * 17) & 0xFF
            (EDID_DIR / name).write_bytes(bytes(data))
            files[name] = bytes(data)
        return files

    def mount_tmpfs(self, path, size="64k"):
        """A small file system at `path` (to make writes fail when it is full)."""
        path = Path(path)
        path.mkdir(parents=True, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", str(path)], check=True)
        return path

    # ---- processes ------------------------------------------------------
    def spawn(self, name, argv, env=None):
        p = Proc(name, argv, self.log_dir, env=env)
        self.procs.append(p)
        return p

    def start_devsim(self, *extra, scenario=None, table=None, log_sink=True, wait=True):
        argv = [DEVSIM, "--table", table or COMMAND_TABLE,
                "--requests-out", self.log_dir / "devsim_requests.jsonl",
                "--log-out", self.log_dir / "log_records.jsonl"]
        if scenario:
            s = Path(scenario)
            argv += ["--scenario", s if s.is_absolute() else DATA / s]
        if not log_sink:
            argv.append("--no-log")
        argv += list(extra)
        self.devsim = self.spawn("devsim", argv)
        if wait:
            self._wait_ipc_sockets(table or COMMAND_TABLE, log_sink)
        return self.devsim

    def _wait_ipc_sockets(self, table, log_sink, timeout=10):
        paths = set()
        for line in Path(table).read_text(errors="replace").splitlines():
            for field in line.split():
                if field.startswith("ipc://"):
                    paths.add(field[len("ipc://"):])
        if log_sink:
            paths.add("/tmp/ipc/log")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if all(Path(p).exists() for p in paths):
                time.sleep(0.05)
                return
            if not self.devsim.alive():
                raise AssertionError("devsim ended:\n" + self.devsim.stderr()[-3000:])
            time.sleep(0.02)
        missing = [p for p in paths if not Path(p).exists()]
        raise AssertionError(f"devsim did not bind {missing}")

    def start_server(self, *args, port=None, host=None, wait=True, name="webserver", port_file=True):
        """Starts build/webserver with the given arguments (default: 8080 lo).

        The stored port wins over the command line, and a device without the
        parameter file gets {"Port": 80}; so unless port_file is False, a
        missing parameter file is first written with the port asked for."""
        if not args:
            args = (str(DEFAULT_PORT), "lo")
        self.port = port if port is not None else (int(args[0]) if args and args[0].isdigit() else DEFAULT_PORT)
        if port_file and not PORT_FILE.exists():
            PORT_FILE.write_text(json_print({"Port": self.port}))
        self.host = host or ("127.0.0.1" if len(args) < 2 or args[1] == "lo" else ETH0_ADDR)
        self.server = self.spawn(name, [WEBSERVER, *args])
        if wait and not wait_port(self.port, self.host, timeout=10, proc=self.server):
            raise AssertionError(f"server not listening on {self.host}:{self.port}\n"
                                 f"stdout:\n{self.server.stdout()[-3000:]}\nstderr:\n{self.server.stderr()[-3000:]}")
        return self.server

    def cleanup(self):
        for p in reversed(self.procs):
            try:
                p.stop()
            except Exception:
                pass
        self.procs.clear()
        _unmount_below(MNT)

    # ---- HTTP -----------------------------------------------------------
    def http(self, method, path, body=None, headers=None, port=None, host=None, timeout=15):
        conn = socket.create_connection((host or self.host, port or self.port), timeout=timeout)
        try:
            return raw_request(conn, method, path, body, headers)
        finally:
            conn.close()

    def cmd(self, name, query=None, body=None, method=None, raw_query=None, **kw):
        """Sends /action/device/<name>; query is a dict (urlencoded) or raw_query a text
        sent as is; body a dict (JSON), str or bytes. Returns the Response."""
        path = "/action/device/" + name
        if raw_query is not None:
            path += "?" + raw_query
        elif query:
            path += "?" + "&".join(f"{k}={v}" for k, v in query.items())
        if isinstance(body, (dict, list)):
            body = json.dumps(body).encode()
        elif isinstance(body, str):
            body = body.encode()
        return self.http(method or ("POST" if body is not None else "GET"), path, body, **kw)

    def login(self, user="admin", password="qorvu", timeout=1800):
        """Logs in through "login" (verified by devsim) and returns the session id."""
        r = self.cmd("login", body={"username": user, "password": password, "timeout": timeout})
        reply = r.json()
        if reply.get("Result") != "OK":
            raise AssertionError(f"login failed: {r.text}")
        return reply["sessionid"]

    # ---- what the simulator saw ------------------------------------------
    def devsim_requests(self):
        """Requests devsim received, as recorded by it (a list of dicts)."""
        path = self.log_dir / "devsim_requests.jsonl"
        if not path.exists():
            return []
        return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]

    def log_records(self):
        path = self.log_dir / "log_records.jsonl"
        if not path.exists():
            return []
        return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


def raw_request(conn, method, path, body=None, headers=None):
    """One HTTP/1.1 request on an open socket; returns a Response (keeps the socket open)."""
    hdrs = {"Host": "device", "Connection": "keep-alive"}
    if body is not None:
        hdrs["Content-Length"] = str(len(body))
    for k, v in (headers or {}).items():
        hdrs[k] = v
    head = f"{method} {path} HTTP/1.1\r\n" + "".join(f"{k}: {v}\r\n" for k, v in hdrs.items()) + "\r\n"
    conn.sendall(head.encode("latin-1") + (body or b""))
    return read_response(conn, head_only=(method == "HEAD"))


def read_response(conn, head_only=False):
    buf = b""
    while b"\r\n\r\n" not in buf:
        chunk = conn.recv(65536)
        if not chunk:
            raise ConnectionError("connection closed before the response head")
        buf += chunk
    head, rest = buf.split(b"\r\n\r\n", 1)
    lines = head.decode("latin-1").split("\r\n")
    status = int(lines[0].split()[1])
    headers = []
    for line in lines[1:]:
        k, _, v = line.partition(":")
        headers.append((k.strip(), v.strip()))
    hmap = {k.lower(): v for k, v in headers}
    if head_only or status in (204, 304):
        return Response(status, headers, b"")
    if "content-length" in hmap:
        n = int(hmap["content-length"])
        while len(rest) < n:
            chunk = conn.recv(65536)
            if not chunk:
                break
            rest += chunk
        return Response(status, headers, rest[:n])
    if hmap.get("transfer-encoding", "").lower() == "chunked":
        body = b""
        while True:
            while b"\r\n" not in rest:
                rest += conn.recv(65536)
            size_line, rest = rest.split(b"\r\n", 1)
            size = int(size_line.split(b";")[0], 16)
            while len(rest) < size + 2:
                chunk = conn.recv(65536)
                if not chunk:
                    break
                rest += chunk
            if size == 0:
                return Response(status, headers, body)
            body += rest[:size]
            rest = rest[size + 2:]
    while True:
        chunk = conn.recv(65536)
        if not chunk:
            return Response(status, headers, rest)
        rest += chunk


def _holds_checkout(path):
    """True for the checkout or build folder, or a folder above them (when
    the checkout itself lives under /mnt or /tmp)."""
    for kept in (REPO, BUILD):
        if kept == path or path in kept.parents:
            return True
    return False


def _unmount_below(top):
    mounts = []
    for line in Path("/proc/self/mounts").read_text().splitlines():
        mp = line.split()[1].replace("\\040", " ")
        if mp.startswith(str(top) + "/") and not _holds_checkout(Path(mp)):
            mounts.append(mp)
    for mp in sorted(mounts, key=len, reverse=True):
        subprocess.run(["umount", "-l", mp], stderr=subprocess.DEVNULL)


class SandboxTest(unittest.TestCase):
    """A test case with a fresh device (self.sb) per test."""

    def setUp(self):
        self.sb = Sandbox(self.id().replace("__main__.", ""))
        self.addCleanup(self.sb.cleanup)

    def assertEnvelope(self, response, text):
        """The body is exactly `text` (an envelope text) with HTTP 200."""
        self.assertEqual(response.status, 200)
        self.assertEqual(response.text, text)


def envelope(result, reason=None, error_no=None):
    """The exact text of a result envelope."""
    obj = {"Result": result}
    if error_no is not None:
        obj["ErrorNo"] = error_no
    if reason is not None:
        obj["Reason"] = reason
    return json_print(obj)
