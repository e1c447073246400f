"""Generic helpers for integration tests of the real proxy binary.

A ProxyHome is a temporary data folder reached through an environment
variable (the program's -E switch); ProxyProcess runs the binary with
switches, waits until its listener is up, reads the dated debug log and
stops it.  Everything here is bounded in time.
"""
import datetime
import glob
import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
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


def ipv6_available():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def wait_until(predicate, timeout=10.0, step=0.02):
    """Polls predicate() until it is true or the time is up; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


class ProxyHome:
    """A temporary data folder: $VAR/TORV/ with VAR unique per instance."""

    def __init__(self, prefix="proxytest_"):
        self.root = tempfile.mkdtemp(prefix=prefix)
        self.var = "PROXYTEST_HOME_%d_%d" % (os.getpid(), id(self))
        self.data = os.path.join(self.root, "TORV")
        os.makedirs(self.data)

    def path(self, name):
        return os.path.join(self.data, name)

    def write(self, name, text, mode="w"):
        """Writes a file of the data folder (text written as given, no newline translation)."""
        with open(self.path(name), mode, newline="") as f:
            f.write(text)
        return self.path(name)

    def env(self):
        env = dict(os.environ)
        env[self.var] = self.root
        if SANITIZE:
            env.setdefault("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=0")
            env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
        return env

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


class ProxyProcess:
    """One running proxy instance.  Use start(); always stop() (tearDown)."""

    def __init__(self, home, args, mode=0, nofile=None, wrapper=None):
        self.home = home
        self.wrapper = list(wrapper or [])  # command prefix that execs the binary
        self.mode = mode
        self.args = ["-E=%s" % home.var, "-P=%d" % mode, "-W"] + list(args)
        self.proc = None
        self.nofile = nofile
        self.stderr_path = os.path.join(home.root, "stderr.txt")
        self.stdout_path = os.path.join(home.root, "stdout.txt")

    def start(self, wait_listening=True, timeout=15):
        def limits():
            if self.nofile:
                resource.setrlimit(resource.RLIMIT_NOFILE, (self.nofile, self.nofile))
        self._out = open(self.stdout_path, "wb")
        self._err = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(self.wrapper + [BIN] + self.args, stdout=self._out, stderr=self._err,
                                     env=self.home.env(), preexec_fn=limits)
        if wait_listening:
            ok = wait_until(lambda: "[AcceptClients] wait select()" in self.log() or
                            self.proc.poll() is not None, timeout)
            if self.proc.poll() is not None or not ok:
                raise AssertionError("proxy did not start listening:\n" + self.log()[-3000:] +
                                     self.stderr())
        return self

    def log(self):
        """The debug log of the mode's folder (every dated file, in date order)."""
        text = []
        pattern = os.path.join(self.home.data, LOG_FOLDERS.get(self.mode, "httplog"), "*.log")
        for name in sorted(glob.glob(pattern)):
            with open(name, errors="replace") as f:
                text.append(f.read())
        return "".join(text)

    def log_lines(self, pattern):
        """Log lines (time stamp removed) that match the regular expression."""
        out = []
        for line in self.log().splitlines():
            body = re.sub(r"^\[\d\d:\d\d:\d\d:\d\d\d\] ", "", line)
            if re.search(pattern, body):
                out.append(body)
        return out

    def wait_log(self, text, timeout=10.0, count=1):
        """Waits until text occurs count times in the log; returns whether it did."""
        return wait_until(lambda: self.log().count(text) >= count, timeout)

    def stdout(self):
        with open(self.stdout_path, errors="replace") as f:
            return f.read()

    def stderr(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()

    def pid(self):
        return self.proc.pid

    def threads(self):
        return len(os.listdir("/proc/%d/task" % self.proc.pid))

    def fds(self):
        return len(os.listdir("/proc/%d/fd" % self.proc.pid))

    def wait_exit(self, timeout=15):
        return self.proc.wait(timeout=timeout)

    def stop(self):
        """Stops the process; returns its standard error (sanitizer reports land there)."""
        if self.proc is None:
            return ""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self._out.close()
        self._err.close()
        return self.stderr()


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


def today_log_name():
    return datetime.date.today().strftime("%Y%m%d.log")


# ---- One object per instance: data folder, process and logs together ----
# Everything takes longer under the sanitizers.
SLOW = 4 if SANITIZE else 1


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


class Proxy:
    """One proxy instance with its own data folder.

    The data folder is $VAR/TORV/ with VAR a fresh environment variable;
    files can be put there before start() (lists, settings, templates)."""

    def __init__(self, mode=0, args=(), env_name="RUVO_TEST_HOME", listen="127.0.0.1"):
        self.home = tempfile.mkdtemp(prefix="proxytest_")
        self.data = os.path.join(self.home, "TORV")
        os.makedirs(self.data)
        self.env_name = env_name
        self.mode = mode
        self.args = list(args)
        self.listen = listen
        self.port = free_port(socket.AF_INET6 if ":" in listen else socket.AF_INET)
        self.proc = None
        self.stdout_path = os.path.join(self.home, "stdout.txt")
        self.stderr_path = os.path.join(self.home, "stderr.txt")

    def path(self, *names):
        return os.path.join(self.data, *names)

    def write(self, name, text, mode="w"):
        full = self.path(name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, mode) as f:
            f.write(text)
        return full

    def start(self):
        env = dict(os.environ)
        env[self.env_name] = self.home
        if SANITIZE:
            env.setdefault("ASAN_OPTIONS", "detect_leaks=0:abort_on_error=0")
            env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
        cmd = [BIN, "-E=%s" % self.env_name, "-P=%d" % self.mode,
               "-L=%s %d" % (self.listen, self.port), "-W"] + self.args
        self._out = open(self.stdout_path, "wb")
        self._err = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(cmd, stdout=self._out, stderr=self._err, env=env)
        if not wait_port(self.port, self.listen):
            self.stop()
            raise RuntimeError("proxy did not listen: %s" % self.stderr())
        return self

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10 * SLOW)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        if self.proc is not None:
            self._out.close()
            self._err.close()
        self.proc = None

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.home, ignore_errors=True)

    def _read(self, name):
        try:
            with open(name, "rb") as f:
                return f.read().decode("latin-1")
        except OSError:
            return ""

    def stdout(self):
        return self._read(self.stdout_path)

    def stderr(self):
        return self._read(self.stderr_path)

    def log_folder(self):
        return {0: "httplog", 1: "smtplog", 2: "pop3log", 3: "imap4log", 4: "ftplog", 5: "sockslog"}[self.mode]

    def log(self):
        """Text of today's debug log."""
        day = datetime.date.today().strftime("%Y%m%d.log")
        return self._read(self.path(self.log_folder(), day))

    def access_log(self):
        day = datetime.date.today().strftime("%Y%m%d.log")
        return self._read(self.path("ncsalog", day))

    def wait_access(self, text, timeout=10.0):
        """Waits until the access log holds text; returns the access log."""
        deadline = time.time() + timeout * SLOW
        while time.time() < deadline:
            log = self.access_log()
            if text in log:
                return log
            time.sleep(0.05)
        return self.access_log()

    def wait_log(self, text, timeout=10.0):
        """Waits until the debug log holds text; returns the log."""
        deadline = time.time() + timeout * SLOW
        while time.time() < deadline:
            log = self.log()
            if text in log:
                return log
            time.sleep(0.05)
        return self.log()
