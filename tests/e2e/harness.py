"""The real webserver and devsim inside tests/sandbox.sh, driven over HTTP; a fresh device per test."""

import hashlib, http.client, json, os, shlex, shutil, signal, socket, subprocess, time, unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD = REPO / os.environ.get("WS_BUILD_DIR", "build")  # an absolute path stays as it is
WEBSERVER, DEVSIM, CLOCK_SHIM = BUILD / "webserver", BUILD / "devsim", BUILD / "libwsclock.so"
# A command that runs the programs of another architecture, e.g. "qemu-arm-static -L SYSROOT" (scripts/cross.sh).
EXEC_WRAPPER = shlex.split(os.environ.get("WS_EXEC_WRAPPER", ""))
TIME_SCALE = max(1, int(os.environ.get("WS_TIME_SCALE", "1")))  # time limits stretch this much under emulation
WEB_ROOT_SRC = REPO / "web_root"
DATA = Path(__file__).resolve().parent / "data"

MNT, EDID_DIR, DOC_ROOT = Path("/mnt"), Path("/mnt/app"), Path("/mnt/app/web_root")
APP_PARAMS = Path("/mnt/usr/config/app_parameters")
CONFIG_DIR, SD_ROOT, WATERMARK_DIR = DOC_ROOT / "config", DOC_ROOT / "sd", DOC_ROOT / "images" / "watermark"
COMMAND_TABLE, LANGUAGE_FILE = CONFIG_DIR / "command_para", CONFIG_DIR / "language_para"
USER_FILE, PORT_FILE = APP_PARAMS / "usermgnt_para", APP_PARAMS / "WebServerParameter.json"
SD_MARKER = SD_ROOT / "recodefilelist.txt"
ACTIVE_EDID, CUSTOM_EDID = EDID_DIR / "QX_HDMI_EDID.bin", EDID_DIR / "QX_HDMI_EDID_CSTM.bin"
UPGRADE_IMAGE, LOG_DIR, ETH0_ADDR = Path("/tmp/upgrade"), Path("/tmp/ws-logs"), "192.0.2.10"
def md5(text): return hashlib.md5(text.encode()).hexdigest()
ADMIN_DIGEST = md5("qorvu")


def json_print(obj):  # the text cJSON_Print makes of a parsed object (tab indents, "key":<tab>value)
    def emit(v, depth):
        ind = "\t" * depth
        if isinstance(v, dict):
            parts = [ind + "\t" + json.dumps(k, ensure_ascii=False) + ":\t" + emit(x, depth + 1) for k, x in v.items()]
            return "{\n" + ",\n".join(parts) + ("\n" if parts else "") + ind + "}"
        if isinstance(v, list):
            return "[" + ", ".join(emit(x, depth + 1) for x in v) + "]"
        if v is True or v is False or v is None:  # before int: True is an int too
            return json.dumps(v)
        if isinstance(v, (int, float)):
            return str(int(v)) if float(v).is_integer() and abs(v) <= 2147483647 else repr(v)
        return json.dumps(v, ensure_ascii=False)
    return emit(obj, 0)


def envelope(result, reason=None, error_no=None):  # the exact text of a result envelope
    return json_print({"Result": result, **({} if error_no is None else {"ErrorNo": error_no}),
                       **({} if reason is None else {"Reason": reason})})


def params_envelope(reason, raw):  # an OK envelope with the text `raw` as its "Parameters"
    return json_print({"Result": "OK", "Reason": reason})[:-2] + ',\n\t"Parameters":\t' + raw + "\n}"


SESSION_EMPTY = envelope("Fail", "Session ID is empty", -16)
SESSION_INVALID = envelope("Fail", "Invalid session ID", -16)


class Response:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body  # header names in lower case
        self.text = body.decode("utf-8", "replace")
        self.json = lambda: json.loads(body.decode("utf-8"))


def wait_until(predicate, timeout=10, what="condition"):  # polls; returns the predicate's true value
    deadline = time.monotonic() + timeout
    while not (value := predicate()):
        if time.monotonic() > deadline:
            raise AssertionError(f"{what} not reached within {timeout}s")
        time.sleep(0.02)
    return value


class Proc:  # a child process with stdout and stderr in files
    def __init__(self, name, argv, log_dir, env=None):
        self.name, self.logs = name, {"stdout": log_dir / f"{name}.out", "stderr": log_dir / f"{name}.err"}
        with open(self.logs["stdout"], "wb") as out, open(self.logs["stderr"], "wb") as err:
            self.popen = subprocess.Popen([str(a) for a in argv], stdout=out, stderr=err, stdin=subprocess.DEVNULL,
                                          cwd="/", env=env)

    def output(self, stream="stdout"):  # decoded as is: "\r\n" stays
        return self.logs[stream].read_bytes().decode(errors="replace")

    stdout, stderr = output, lambda self: self.output("stderr")
    def alive(self): return self.popen.poll() is None

    def wait_output(self, text, timeout=10, stream="stdout"):  # returns the whole text once `text` is in it
        return wait_until(lambda: text in (got := self.output(stream)) and got, timeout, f"{self.name}: {text!r}")

    def status(self, key):  # a value of /proc/<pid>/status in kB (VmRSS, VmHWM, ...)
        return next(int(s.split()[1]) for s in Path(f"/proc/{self.popen.pid}/status").read_text().splitlines()
                    if s.startswith(key + ":"))

    def stop(self):
        if self.alive():
            self.popen.send_signal(signal.SIGTERM)
            try:
                self.popen.wait(timeout=3)
            except subprocess.TimeoutExpired:
                self.popen.kill()


def port_open(port, host="127.0.0.1"):
    try:
        with socket.create_connection((host, port), timeout=0.5):
            return True
    except OSError:
        return False


def wait_port(port, host="127.0.0.1", timeout=10, proc=None):  # False if the time passes or `proc` ends first
    deadline = time.monotonic() + timeout
    while not port_open(port, host) and time.monotonic() < deadline and not (proc and not proc.alive()):
        time.sleep(0.02)
    return port_open(port, host)


def raw_request(conn, method, path, body=None, headers=None):  # on an open socket, which stays open
    hdrs = {"Host": "device", "Connection": "keep-alive", **({"Content-Length": len(body)} if body is not None else {}),
            **(headers or {})}
    head = f"{method} {path} HTTP/1.1\r\n" + "".join(f"{k}: {v}\r\n" for k, v in hdrs.items()) + "\r\n"
    conn.sendall(head.encode("latin-1") + (body or b""))
    return read_response(conn)


def read_response(conn):
    (r := http.client.HTTPResponse(conn)).begin()
    return Response(r.status, {k.lower(): v for k, v in r.getheaders()}, r.read())


def _holds_checkout(path):  # the checkout, the build or a folder above them (under /mnt or /tmp): kept
    return any(kept == path or path in kept.parents for kept in (REPO, BUILD))


def _unmount_below(top):
    mounts = [line.split()[1].replace("\\040", " ") for line in Path("/proc/self/mounts").read_text().splitlines()]
    mounts = [m for m in mounts if m.startswith(str(top) + "/") and not _holds_checkout(Path(m))]
    for mp in sorted(mounts, key=len, reverse=True):
        subprocess.run(["umount", "-l", mp], stderr=subprocess.DEVNULL)


class Sandbox:
    EDID_PRESETS = ["DID_AUTO.bin"] + [f"EDID_{m}.bin" for m in (
        "1920x1080P60 1280x720P60 1920x1200P60 1920x1080i60 1024x768P60 800x600P60 640x480P60 1280x1024P60").split()]

    def __init__(self, name="test"):
        if os.environ.get("WS_SANDBOX") != "1":
            raise unittest.SkipTest("end-to-end tests run only inside tests/sandbox.sh")
        self.procs, self.server, self.devsim = [], None, None
        self.port, self.host = 8080, "127.0.0.1"
        self.reset()
        self.log_dir = LOG_DIR / name
        self.log_dir.mkdir(parents=True, exist_ok=True)

    def reset(self):
        _unmount_below(MNT)
        for entry in [*MNT.iterdir(), *Path("/tmp").iterdir()]:
            if entry == LOG_DIR or entry.name.startswith(".sbin-") or _holds_checkout(entry):
                continue
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry, ignore_errors=True)
            else:
                entry.unlink(missing_ok=True)
        shutil.copytree(WEB_ROOT_SRC, DOC_ROOT, symlinks=True)
        for folder in (APP_PARAMS, SD_ROOT, Path("/tmp/ipc")):
            folder.mkdir(parents=True, exist_ok=True)
        SD_MARKER.write_text("")

    def install_edid_presets(self, blocks=2):  # the nine preset EDID files, each its own bytes: {name: bytes}
        head = b"\x00\xff\xff\xff\xff\xff\xff\x00"
        files = {name: head + bytes((i * 31 + n * 17) & 0xFF for i in range(8, 128 * blocks))
                 for n, name in enumerate(self.EDID_PRESETS, start=1)}
        return {name: data for name, data in files.items() if (EDID_DIR / name).write_bytes(data)}

    def spawn(self, name, argv, env=None):
        if argv[0] in (WEBSERVER, DEVSIM):
            argv = [*EXEC_WRAPPER, *argv]
        self.procs.append(Proc(name, argv, self.log_dir, env))
        return self.procs[-1]

    def advance_clock(self, seconds):  # moves the monotonic clock of a server started with clock=True
        self.clock_file.write_text(str(int(self.clock_file.read_text()) + seconds))

    def start_devsim(self, *extra, scenario=None, log_sink=True):  # scenario: a file in tests/e2e/data, or a path
        self.devsim = self.spawn("devsim", [
            DEVSIM, "--table", COMMAND_TABLE, "--requests-out", self.log_dir / "devsim_requests.jsonl",
            "--log-out", self.log_dir / "log_records.jsonl", *(["--scenario", DATA / scenario] if scenario else []),
            *([] if log_sink else ["--no-log"]), *extra])
        # Ready once every socket of the table (and the log sink) exists.
        paths = {f[6:] for f in COMMAND_TABLE.read_text(errors="replace").split() if f.startswith("ipc://")}
        paths |= {"/tmp/ipc/log"} if log_sink else set()
        wait_until(lambda: all(Path(p).exists() for p in paths) or not self.devsim.alive(), what="devsim sockets")
        if not self.devsim.alive():
            raise AssertionError(f"devsim did not bind {paths}:\n" + self.devsim.stderr()[-3000:])

    def start_server(self, *args, port=None, host=None, wait=True, port_file=True, clock=False):
        # The stored port wins over the command line: unless port_file is False, a missing file gets the one asked for.
        args = args or ("8080", "lo")
        self.port = port or int(args[0])
        if port_file and not PORT_FILE.exists():
            PORT_FILE.write_text(json_print({"Port": self.port}))
        self.host = host or ("127.0.0.1" if args[1:2] == ("lo",) else ETH0_ADDR)
        env = None
        if clock:  # the test clock: advance_clock() moves the server's monotonic clock
            self.clock_file = self.log_dir / "clock_shift"
            self.clock_file.write_text("0")
            env = dict(os.environ, LD_PRELOAD=str(CLOCK_SHIM), WS_TEST_CLOCK_FILE=str(self.clock_file))
        self.server = self.spawn("webserver", [WEBSERVER, *args], env)
        if wait and not wait_port(self.port, self.host, proc=self.server):
            raise AssertionError(f"server not listening on {self.host}:{self.port}\n"
                                 f"stdout:\n{self.server.stdout()[-3000:]}\nstderr:\n{self.server.stderr()[-3000:]}")
        return self.server

    def cleanup(self):
        while self.procs:
            self.procs.pop().stop()
        _unmount_below(MNT)

    def http(self, method, path, body=None, headers=None, port=None, host=None, timeout=15):
        with socket.create_connection((host or self.host, port or self.port), timeout=timeout) as conn:
            return raw_request(conn, method, path, body, headers)

    def cmd(self, name, query=None, body=None, raw_query=None, **kw):  # query: a dict, sent unencoded; body: POST
        if query:
            raw_query = "&".join(f"{k}={v}" for k, v in query.items())
        body = json.dumps(body) if isinstance(body, (dict, list)) else body
        body = body.encode() if isinstance(body, str) else body
        path = "/action/device/" + name + ("" if raw_query is None else "?" + raw_query)
        return self.http("GET" if body is None else "POST", path, body, **kw)

    def login(self, user="admin", password="qorvu", timeout=1800):  # the session id
        r = self.cmd("login", body={"username": user, "password": password, "timeout": timeout})
        assert r.json().get("Result") == "OK", f"login failed: {r.text}"
        return r.json()["sessionid"]

    def _jsonl(self, name):
        path = self.log_dir / name
        return [json.loads(s) for s in path.read_text().splitlines() if s.strip()] if path.exists() else []

    def devsim_requests(self, command=None):  # requests devsim received (all, or those of one command)
        return [r for r in self._jsonl("devsim_requests.jsonl") if command in (None, r.get("Command"))]

    def log_records(self): return self._jsonl("log_records.jsonl")


class SandboxTest(unittest.TestCase):  # a fresh device (self.sb) per test
    def setUp(self):
        self.sb = Sandbox(self.id().replace("__main__.", ""))
        self.addCleanup(self.sb.cleanup)

    def assertEnvelope(self, response, text):  # HTTP 200 with exactly this body
        self.assertEqual((response.status, response.text), (200, text))

@unittest.skipUnless(DEVSIM.exists(), "needs devsim")
class DeviceTest(SandboxTest):
    """devsim and the server on 8080 lo after prepare(); a session in self.sid."""
    def prepare(self): pass

    def setUp(self):
        super().setUp()
        self.prepare()
        self.sb.start_devsim()
        self.server = self.sb.start_server()
        self.sid = self.sb.login()

    def send(self, name, body=None, **kw):
        return self.sb.cmd(name, query={"sessionid": self.sid}, body=body, **kw)

    def upload(self, command, name, data, ctype="application/octet-stream", auth=None, b="----wsBoundary7MA4YWxk"):
        """A multipart upload of `data` as fileName=`name` (None: no name) with the session, or `auth`."""
        auth = "sessionid=" + self.sid if auth is None else auth
        query = "&".join(q for q in (name is not None and f"fileName={name}", auth) if q)
        body = (f'--{b}\r\nContent-Disposition: form-data; name="file"; filename="pic"\r\nContent-Type: {ctype}'
                "\r\n\r\n").encode() + data + f"\r\n--{b}--\r\n".encode()
        return self.sb.http("POST", f"/action/device/{command}?{query}", body,
                            headers={"Content-Type": f"multipart/form-data; boundary={b}"})
