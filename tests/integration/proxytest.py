"""Shared helpers of the integration tests: a temporary data folder named by
an environment variable, the proxy started with switches on a free port,
the dated debug and access logs, and clean stopping."""
import datetime
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

BIN = os.environ.get("PROXY_BIN", os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../build/ruvohprx"))
SANITIZE = os.environ.get("PROXY_SANITIZE", "OFF").upper() in ("ON", "1", "TRUE")
# Everything takes longer under the sanitizers.
SLOW = 4 if SANITIZE else 1


def free_port(host="127.0.0.1"):
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


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
        self.port = free_port(listen)
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

    def wait_log(self, text, timeout=10.0):
        """Waits until the debug log holds text; returns the log."""
        deadline = time.time() + timeout * SLOW
        while time.time() < deadline:
            log = self.log()
            if text in log:
                return log
            time.sleep(0.05)
        return self.log()
