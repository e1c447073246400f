"""Generic helpers for integration tests of the real proxy binary.

A Proxy is one instance of the binary with its own temporary data folder:
it runs the binary with switches, waits until its listener is up, reads the
dated debug logs and stops it; proxy_for() ties one to a test case.  Also
clients (curl, recv_all), a fake inspection service and a TCP echo server.
Everything here is bounded in time.
"""
import glob
import os
import random
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

BIN = os.environ.get("PROXY_BIN", os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                               "../../build/ruvohprx"))
SANITIZE = os.environ.get("PROXY_SANITIZE", "OFF").upper() in ("ON", "1", "TRUE", "YES")

# Debug-log folder of each -P mode.
LOG_FOLDERS = {0: "httplog", 1: "smtplog", 2: "pop3log", 3: "imap4log", 4: "ftplog", 5: "sockslog"}


def free_port(family=socket.AF_INET):
    """A TCP port that is free on loopback right now."""
    host = "::1" if family == socket.AF_INET6 else "127.0.0.1"
    with socket.socket(family, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def free_port_range(count, family=socket.AF_INET):
    """The first of count consecutive TCP ports that are all free right now
    (for -N).  Chosen at random below the system's ephemeral range, so that
    neither outgoing connections nor a range of another test running at the
    same time are likely to meet it; a port only in TIME_WAIT counts as busy."""
    low, high = 32768, 60999
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(n) for n in f.read().split())
    except (OSError, ValueError):
        pass
    # Below the ephemeral range if there is room, else above it.
    first, last = (10000, low - count) if low - count > 10000 else (high + 1, 65535 - count)
    if first > last:
        first, last = 1024, 65535 - count
    host = "::" if family == socket.AF_INET6 else "0.0.0.0"
    rng = random.SystemRandom()
    for _ in range(500):
        base = rng.randint(first, last)
        try:
            socks = []
            for port in range(base, base + count):
                s = socket.socket(family, socket.SOCK_STREAM)
                socks.append(s)
                s.bind((host, port))
            return base
        except OSError:
            continue
        finally:
            for s in socks:
                s.close()
    raise RuntimeError("no %d free consecutive ports" % count)


def ipv6_available():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def stop_process(proc, timeout=10):
    """SIGTERM, then SIGKILL if the process has not ended within timeout seconds."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=10)


def wait_until(predicate, timeout=10.0, step=0.02):
    """Polls predicate() until it is true or the time is up; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


# Everything takes longer under the sanitizers.
SLOW = 4 if SANITIZE else 1


class Proxy:
    """One proxy instance with its own data folder $VAR/TORV/ (VAR a fresh
    environment variable, the program's -E switch).  Files can be put there
    before start(); start() may follow stop() to run again on the same folder.

    listen: the -L address ("127.0.0.1", "::1") on the free port self.port,
    or None when args name the listener themselves.  wrapper: a command
    prefix that execs the binary; nofile: a descriptor limit for it;
    program: another name (a link) for the binary."""

    def __init__(self, mode=0, args=(), listen="127.0.0.1", prefix="proxytest_", wrapper=None,
                 nofile=None, program=None):
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.data = os.path.join(self.root, "TORV")
        os.makedirs(self.data)
        self.var = "PROXYTEST_HOME_%d_%d" % (os.getpid(), id(self))
        self.mode = mode
        self.port = free_port(socket.AF_INET6 if listen and ":" in listen else socket.AF_INET)
        self.args = ["-E=%s" % self.var, "-P=%d" % mode, "-W"] + list(args)
        if listen:
            self.args.append("-L=%s %d" % (listen, self.port))
        self.wrapper = list(wrapper or [])
        self.program = program or BIN
        self.nofile = nofile
        self.proc = None
        self.stdout_path = os.path.join(self.root, "stdout.txt")
        self.stderr_path = os.path.join(self.root, "stderr.txt")

    def path(self, *names):
        return os.path.join(self.data, *names)

    def write(self, name, text, mode="w"):
        """Writes a file of the data folder (text as given, no newline translation)."""
        full = self.path(name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, mode, **({} if "b" in mode else {"newline": ""})) as f:
            f.write(text)
        return full

    def env(self):
        env = dict(os.environ)
        env[self.var] = self.root
        if SANITIZE:
            env.setdefault("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=0")
            env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
        return env

    def start(self, wait_listening=True, timeout=15):
        """Runs the binary; waits until its listener is up (raises if it is not)."""
        def limits():
            if self.nofile:
                resource.setrlimit(resource.RLIMIT_NOFILE, (self.nofile, self.nofile))
        self.stop()
        self._out = open(self.stdout_path, "wb")
        self._err = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(self.wrapper + [self.program] + self.args, stdout=self._out, stderr=self._err,
                                     env=self.env(), preexec_fn=limits)
        if wait_listening:
            ok = wait_until(lambda: "[AcceptClients] wait select()" in self.log() or
                            self.proc.poll() is not None, timeout * SLOW)
            if self.proc.poll() is not None or not ok:
                self.stop()
                raise AssertionError("proxy did not start listening:\n" + self.log()[-3000:] +
                                     self.stderr())
        return self

    def stop(self):
        """Stops the process; returns its standard error (sanitizer reports land there)."""
        if self.proc is None:
            return ""
        stop_process(self.proc, 10 * SLOW)
        self._out.close()
        self._err.close()
        self.proc = None
        return self.stderr()

    def cleanup(self):
        """Stops the process and removes the folder; returns the standard error."""
        err = self.stop() or self.stderr()
        shutil.rmtree(self.root, ignore_errors=True)
        return err

    def wait_exit(self, timeout=15):
        return self.proc.wait(timeout=timeout)

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.proc.pid))

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    @staticmethod
    def _read(name):
        try:
            with open(name, "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def stdout(self):
        return self._read(self.stdout_path)

    def stderr(self):
        return self._read(self.stderr_path)

    def log(self, folder=None):
        """The debug log of the mode's folder (every dated file, in date order)."""
        folder = folder or LOG_FOLDERS.get(self.mode, "httplog")
        return "".join(self._read(n) for n in sorted(glob.glob(self.path(folder, "*.log"))))

    def access_log(self):
        return self.log("ncsalog")

    def log_lines(self, pattern):
        """Log lines (time stamp removed) that match the regular expression."""
        bodies = (re.sub(r"^\[\d\d:\d\d:\d\d:\d\d\d\] ", "", l) for l in self.log().splitlines())
        return [b for b in bodies if re.search(pattern, b)]

    def wait_log(self, text, timeout=10.0, count=1, folder=None):
        """Waits until text occurs count times in the log; returns the log, or "" if it never did."""
        found = wait_until(lambda: self.log(folder).count(text) >= count, timeout * SLOW)
        return self.log(folder) if found else ""

    def wait_access(self, text, timeout=10.0):
        """Waits until the access log holds text; returns the access log."""
        wait_until(lambda: text in self.access_log(), timeout * SLOW)
        return self.access_log()


def proxy_for(test, *args, **kw):
    """A Proxy (not started) that ends with the test: stopped, its folder
    removed, and the test failed if the sanitizers reported anything."""
    proxy = Proxy(*args, **kw)

    def finish():
        err = proxy.cleanup()
        test.assertEqual("", sanitizer_report(err), err[-4000:])
    test.addCleanup(finish)
    return proxy


def sanitizer_report(text):
    """The first sanitizer report in a text, or ""."""
    m = re.search(r"(==\d+==ERROR: \w+Sanitizer.*|runtime error:.*)", text)
    return m.group(0) if m else ""


def recv_all(sock, timeout=10.0):
    """Reads until the peer closes (or the time is up); returns the bytes."""
    sock.settimeout(timeout)
    chunks = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            data = sock.recv(65536)
        except socket.timeout:
            break
        except ConnectionResetError:
            break
        if not data:
            break
        chunks.append(data)
    return b"".join(chunks)


def exchange(port, data, timeout=10.0, host="127.0.0.1"):
    """Connects, sends data and returns what comes back until the peer closes (or the time is up)."""
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(data)
        return recv_all(s, timeout)


def curl(args, timeout=20):
    """Runs curl; returns (exit code, stdout bytes, stderr text)."""
    proc = subprocess.run(["curl", "-s", "-S", "--max-time", str(timeout)] + list(args),
                          capture_output=True, timeout=timeout + 10)
    return proc.returncode, proc.stdout, proc.stderr.decode(errors="replace")


def make_certificate(folder, name="proxy"):
    """A self-signed certificate and key made by the openssl command; returns (cert, key)."""
    cert = os.path.join(folder, name + "-cert.pem")
    key = os.path.join(folder, name + "-key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                   check=True, capture_output=True, timeout=60)
    return cert, key


def wait_port(port, host="127.0.0.1", timeout=20.0):
    """Waits until something accepts on host:port."""
    deadline = time.time() + timeout * SLOW
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    while time.time() < deadline:
        with socket.socket(family) as s:
            s.settimeout(0.5)
            try:
                s.connect((host, port))
                return True
            except OSError:
                time.sleep(0.05)
    return False


EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


class FakeService:
    """A fake inspection service on the pipe socket `name` of a data folder:
    reads the zero-filled request (size bytes), records its text (requests)
    and the named file with its content (calls), answers verdict(text) (bytes
    or str) and closes."""

    def __init__(self, data_dir, name, verdict, size=521):
        self.path = os.path.join(data_dir, "pipe", name)
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self.requests = []
        self.calls = []
        self.verdict = verdict
        self.size = size
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.bind(self.path)
        self.sock.listen(16)
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with conn:
                conn.settimeout(5)
                data = b""
                try:
                    while len(data) < self.size:
                        chunk = conn.recv(self.size - len(data))
                        if not chunk:
                            break
                        data += chunk
                except OSError:
                    pass
                text = data.split(b"\0", 1)[0].decode("latin-1")
                name = text.split("\t", 1)[0]
                self.requests.append(text)
                self.calls.append((name, read_bytes(name)))
                answer = self.verdict(text)
                try:
                    conn.sendall(answer.encode() if isinstance(answer, str) else answer or b"")
                except OSError:
                    pass

    def stop(self):
        self.running = False
        self.sock.close()
        self.thread.join(timeout=5)
        try:
            os.unlink(self.path)
        except OSError:
            pass


def read_bytes(name):
    try:
        with open(name, "rb") as f:
            return f.read()
    except OSError:
        return b""


def file_verdict(marker, name):
    """A verdict: name when the requested file (the text up to the first TAB)
    holds marker, else clean."""
    return lambda text: name if marker in read_bytes(text.split("\t", 1)[0]) else ""


class EchoServer:
    """TCP echo on loopback: sends back every byte, closes when the peer does."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._echo, args=(conn,), daemon=True).start()

    @staticmethod
    def _echo(conn):
        conn.settimeout(60 * SLOW)
        with conn:
            try:
                while True:
                    data = conn.recv(65536)
                    if not data:
                        return
                    conn.sendall(data)
            except OSError:
                return

    def stop(self):
        self.sock.close()
