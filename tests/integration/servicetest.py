"""Helpers for the inspection-service tests: a temporary data folder named
by an environment variable, a service started on it with its log on a file,
calls through the proxy's own client code (the scan_call tool) or through a
raw socket, and a clean stop."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

BUILD = os.environ.get("PROXY_BUILD", os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../build"))
SERVICES = os.path.join(BUILD, "services")
SCAN_CALL = os.path.join(SERVICES, "scan_call")
ENV_NAME = "SVCTEST_HOME"
# Under the sanitizers everything runs several times slower.
SLOW = 3 if os.environ.get("PROXY_SANITIZE") == "ON" else 1


def service_bin(name):
    return os.path.join(SERVICES, name)


class DataFolder:
    """$SVCTEST_HOME/TORV/ in a fresh temporary folder."""

    def __init__(self):
        # Socket paths are limited to 107 characters: keep the folder short.
        self.home = tempfile.mkdtemp(prefix="svc", dir="/tmp")
        self.data = os.path.join(self.home, "TORV") + "/"
        os.makedirs(self.data)
        self.env = dict(os.environ, **{ENV_NAME: self.home})

    def path(self, *names):
        return os.path.join(self.data, *names)

    @classmethod
    def of_proxy_home(cls, home):
        """The data folder of a proxytest.Proxy, to start services beside a proxy."""
        folder = cls.__new__(cls)
        folder.home = home.root
        folder.data = os.path.join(home.root, "TORV") + "/"
        folder.env = home.env()
        folder.env_name = home.var
        return folder

    def write(self, name, data):
        full = self.path(name)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data if isinstance(data, bytes) else data.encode())
        return full

    def cleanup(self):
        shutil.rmtree(self.home, ignore_errors=True)


class Service:
    """One running service process; its standard error goes to a file."""

    def __init__(self, folder, name, args=(), wait=True):
        self.folder = folder
        self.name = name
        self.sock = folder.path("pipe", name)
        self.logname = os.path.join(folder.home, name + ".stderr")
        self.logfile = open(self.logname, "wb")
        self.proc = subprocess.Popen([service_bin(name), "-E=" + getattr(folder, "env_name", ENV_NAME)] + list(args),
                                     stdout=subprocess.DEVNULL, stderr=self.logfile, env=folder.env)
        if wait:
            self.wait_listening()

    def wait_listening(self, timeout=20):
        deadline = time.time() + timeout * SLOW
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise AssertionError("%s exited with %d: %s" % (self.name, self.proc.returncode, self.log()))
            if "listening on" in self.log():
                return
            time.sleep(0.02)
        raise AssertionError("%s did not start listening: %s" % (self.name, self.log()))

    def log(self):
        with open(self.logname, "rb") as f:
            return f.read().decode(errors="replace")

    def wait_log(self, text, timeout=10):
        deadline = time.time() + timeout * SLOW
        while time.time() < deadline:
            if text in self.log():
                return self.log()
            time.sleep(0.02)
        raise AssertionError("%r not in the log of %s: %s" % (text, self.name, self.log()))

    def stop(self, timeout=15):
        """SIGTERM; returns the exit code."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=timeout * SLOW)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self.logfile.close()

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.logfile.close()


class ServiceCase(unittest.TestCase):
    """One service (name, args) on a data folder of its own for the whole
    class; files are written before it starts.  At the end it must exit 0
    with no sanitizer report in its log."""
    name, args, files = None, (), {}

    @classmethod
    def setUpClass(cls):
        cls.folder = DataFolder()
        for name, data in cls.files.items():
            cls.folder.write(name, data)
        cls.svc = Service(cls.folder, cls.name, cls.args)

    @classmethod
    def tearDownClass(cls):
        rc = cls.svc.stop()
        log = cls.svc.log()
        cls.folder.cleanup()
        assert rc == 0, "exit code %d" % rc
        assert "ERROR: AddressSanitizer" not in log and "runtime error" not in log, log


def call(folder, *args, timeout=60):
    """One call through the proxy's client code.  Returns (result, reply,
    client stderr)."""
    p = subprocess.run([SCAN_CALL, folder.data] + list(args), capture_output=True, timeout=timeout * SLOW)
    line = p.stdout.decode(errors="replace").rstrip("\n")
    rc, _, reply = line.partition("\t")
    return int(rc), reply, p.stderr.decode(errors="replace")


def start_call(folder, *args):
    """The same call started in the background (for concurrency tests)."""
    return subprocess.Popen([SCAN_CALL, folder.data] + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def finish_call(proc, timeout=60):
    out, err = proc.communicate(timeout=timeout * SLOW)
    rc, _, reply = out.decode(errors="replace").rstrip("\n").partition("\t")
    return int(rc), reply


def raw_call(sock_path, payload, timeout=10):
    """Writes payload as is and reads the reply until the service closes."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout * SLOW)
        s.connect(sock_path)
        s.sendall(payload)
        reply = b""
        while True:
            d = s.recv(4096)
            if not d:
                return reply
            reply += d


def request(text, size):
    """A zero-filled request buffer as the proxy writes it."""
    data = text.encode() if isinstance(text, str) else text
    return data + b"\0" * (size - len(data))
