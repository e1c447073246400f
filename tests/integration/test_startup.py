"""Start-up of the real binary: title on standard output, settings summary in
the dated debug log and on standard error, refused switch values."""
import datetime
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

BIN = os.environ.get("PROXY_BIN", os.path.join(os.path.dirname(__file__), "../../build/ruvohprx"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.5):
            return True
    except OSError:
        return False


class StartupTest(unittest.TestCase):
    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="startup_")
        self.env = dict(os.environ, STARTUP_HOME=self.home)
        self.data = os.path.join(self.home, "TORV")
        os.makedirs(self.data)

    def tearDown(self):
        shutil.rmtree(self.home, ignore_errors=True)

    def start(self, args, name=BIN):
        """Runs the program until its summary is complete (it may go on to
        listen), then stops it.  Returns (stdout, stderr, exit code)."""
        port = free_port()
        proc = subprocess.Popen([name, "-E=STARTUP_HOME"] + args + ["-L=127.0.0.1 %d" % port],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=self.env)
        deadline = time.time() + 20
        while time.time() < deadline and proc.poll() is None:
            if "Log Folder" in self.log_text() or listening(port):
                time.sleep(0.2)
                break
            time.sleep(0.05)
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=20)
        return out.decode(), err.decode(), proc.returncode

    def log_text(self, folder="httplog"):
        name = os.path.join(self.data, folder, datetime.date.today().strftime("%Y%m%d.log"))
        try:
            with open(name) as f:
                return f.read()
        except OSError:
            return ""

    def test_summary_in_dated_log_file(self):
        out, _, _ = self.start(["-P=0", "-W", "-C=0", "-N=20000-20100", "-M=5"])
        self.assertTrue(out.startswith(BIN.lower() + "\n"), out)
        self.assertTrue(out.endswith("HTTP PROXY"), out)
        log = self.log_text()
        self.assertIn(" v1.38 ", log)
        for line in ["SOCKET Con-Rty Time   = 10", "Keep-Alive            = off",
                     "Connection            = 0", "IP version            = IPv4",
                     "Proxy Auth            = no", "Timeout Client(Plain) = 5",
                     "Timeout Client(SSL)   = 10", "Timeout Server(Plain) = 3500",
                     "Timeout Server(SSL)   = 50", "FTP  PortRange        = 20000 - 20100",
                     "HTTP  Cache time      = 5 min.", "Scan Max file size    = 0",
                     "Log Folder            = %s/httplog" % self.data]:
            pattern = r"(?m)^\[\d\d:\d\d:\d\d:\d\d\d\] " + re_escape(line) + "$"
            self.assertRegex(log, pattern)
        for folder in ["cache", "httpcache", "ftpcache", "httplog", "ncsalog"]:
            self.assertTrue(os.path.isdir(os.path.join(self.data, folder)), folder)

    def test_console_only_writes_no_file(self):
        _, err, _ = self.start(["-P=2", "-V", "-T=7,8"])
        self.assertIn("Timeout Client(Plain) = 7\n", err)
        self.assertIn("Timeout Server(Plain) = 8\n", err)
        self.assertIn("Virus Mail deleted    = On.\n", err)
        self.assertNotIn("Proxy Auth", err)
        self.assertFalse(os.listdir(os.path.join(self.data, "pop3log")))

    def test_title_follows_lower_cased_program_name(self):
        link = os.path.join(self.home, "RUVOCPRX")
        os.symlink(os.path.abspath(BIN), link)
        out, err, _ = self.start(["-P=0", "-V"], name=link)
        self.assertEqual(link.lower() + "\nSOCKS PROXY", out)
        self.assertIn("Proxy Auth", err)  # still the HTTP instance

    def test_refused_values_exit_2(self):
        for args in (["-P=6"], ["-E=STARTUP_NO_SUCH_VARIABLE", "-P=0"]):
            proc = subprocess.run([BIN] + args, capture_output=True, env=self.env, timeout=20)
            self.assertEqual(2, proc.returncode, args)
            self.assertTrue(proc.stderr, args)


def re_escape(text):
    import re
    return re.escape(text)


if __name__ == "__main__":
    unittest.main()
