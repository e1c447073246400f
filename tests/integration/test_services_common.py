"""What every inspection service shares, tried on the content filter and the
compressor: the socket under pipe/, stale and live socket files, short,
slow, unterminated and empty requests, more clients than the pool holds,
one log line per request, the daily log file, SIGTERM, the command line,
and scripts/run_services.sh."""
import datetime
import os
import signal
import socket
import subprocess
import time
import unittest

from servicetest import (BUILD, ENV_NAME, SLOW, DataFolder, Service, call, finish_call, raw_call, request,
                         service_bin, start_call)

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../..")
HAVE_CWFS = os.path.exists(service_bin("ruvocwfs"))
HAVE_ZIP = os.path.exists(service_bin("qzmail2zip"))


@unittest.skipUnless(HAVE_CWFS, "ruvocwfs not built")
class ServiceFrameTest(unittest.TestCase):
    def setUp(self):
        self.folder = DataFolder()
        self.folder.write("cwfs-words.db", b"casino\n")
        self.page = self.folder.write("page.dat", b"HTTP/1.1 200 OK\r\n\r\nplay casino")
        self.services = []

    def tearDown(self):
        for svc in self.services:
            svc.kill()
        self.folder.cleanup()

    def start(self, args=(), wait=True):
        svc = Service(self.folder, "ruvocwfs", args, wait)
        self.services.append(svc)
        return svc

    def test_sigterm_removes_socket_and_exits_zero(self):
        svc = self.start()
        self.assertTrue(os.path.isdir(self.folder.path("pipe")))
        self.assertEqual(call(self.folder, "http", self.page)[:2], (1, "casino"))
        self.assertEqual(svc.stop(), 0)
        self.assertFalse(os.path.exists(svc.sock))
        self.assertIn("stopped", svc.log())
        # With the service gone the proxy's client lets content pass.
        self.assertEqual(call(self.folder, "http", self.page)[:2], (0, ""))

    def test_stale_and_live_socket_files(self):
        os.makedirs(self.folder.path("pipe"))
        stale = socket.socket(socket.AF_UNIX)
        stale.bind(self.folder.path("pipe", "ruvocwfs"))
        stale.close()  # the file stays, nobody listens
        first = self.start()
        self.assertEqual(call(self.folder, "http", self.page)[:2], (1, "casino"))
        second = self.start(wait=False)
        self.assertEqual(second.proc.wait(timeout=20 * SLOW), 3)
        self.assertIn("already serves", second.log())
        # The live instance keeps its socket and serves on.
        self.assertEqual(call(self.folder, "http", self.page)[:2], (1, "casino"))
        self.assertEqual(first.stop(), 0)

    def test_other_file_in_the_way_is_left_alone(self):
        self.folder.write("pipe/ruvocwfs", b"not a socket")
        svc = self.start(wait=False)
        self.assertEqual(svc.proc.wait(timeout=20 * SLOW), 1)
        with open(self.folder.path("pipe", "ruvocwfs"), "rb") as f:
            self.assertEqual(f.read(), b"not a socket")

    def test_bad_requests_get_no_verdict_and_one_line_each(self):
        svc = self.start(["-T=400"])
        cases = [
            ("short then closed", request("x", 100), b"", "closed after 100 of 1041 bytes"),
            ("unterminated", b"a" * 1041, b"", "request text not terminated"),
            ("empty", b"\0" * 1041, b"", "empty request"),
            ("folder name only", request(self.folder.data, 1041), b"", "not a regular file"),
        ]
        for label, payload, want, note in cases:
            with self.subTest(label):
                if len(payload) < 1041:
                    with socket.socket(socket.AF_UNIX) as s:
                        s.connect(svc.sock)
                        s.sendall(payload)
                        s.shutdown(socket.SHUT_WR)
                        s.settimeout(10)
                        self.assertEqual(s.recv(100), want)
                else:
                    self.assertEqual(raw_call(svc.sock, payload), want)
                svc.wait_log(note)
        # A request larger than designed: the surplus is never read as a
        # second request.
        self.assertEqual(raw_call(svc.sock, request(self.page, 1041) + b"more bytes"), b"casino")
        lines = [l for l in svc.wait_log("casino (").splitlines() if "[ruvocwfs] [" in l]
        self.assertEqual(len(lines), len(cases) + 1, lines)

    def test_silent_client_does_not_hold_up_others(self):
        svc = self.start(["-T=500", "-C=2"])
        silent = [socket.socket(socket.AF_UNIX) for _ in range(3)]
        for s in silent:
            s.connect(svc.sock)
            s.sendall(b"/partial")
        start = time.time()
        # The pool holds two; the others wait in the queue until the silent
        # ones time out, and then all are served.
        procs = [start_call(self.folder, "http", self.page) for _ in range(6)]
        for p in procs:
            self.assertEqual(finish_call(p), (1, "casino"))
        self.assertLess(time.time() - start, 15 * SLOW)
        for s in silent:
            s.settimeout(10)
            self.assertEqual(s.recv(10), b"")  # closed without a verdict
            s.close()
        svc.wait_log("timed out after 8 of 1041 bytes")

    def test_many_concurrent_clients(self):
        svc = self.start()
        clean = self.folder.write("clean.dat", b"HTTP/1.1 200 OK\r\n\r\nnothing")
        procs = [(start_call(self.folder, "http", self.page if i % 2 else clean), "casino" if i % 2 else "")
                 for i in range(40)]
        for p, want in procs:
            self.assertEqual(finish_call(p), (1, want))
        self.assertEqual(svc.stop(), 0)
        self.assertEqual(svc.log().count(" --- "), 40)

    def test_daily_log_file(self):
        svc = self.start(["-W"])
        call(self.folder, "http", self.page)
        svc.stop()
        name = self.folder.path("ruvocwfslog", datetime.date.today().strftime("%Y%m%d.log"))
        with open(name) as f:
            self.assertIn(self.page + " --- casino", f.read())

    def test_command_line_refusals(self):
        env = dict(self.folder.env)
        env.pop("SVCTEST_UNSET", None)
        # A data folder whose socket path does not fit a socket address.
        long_dir = os.path.join(self.folder.home, "d" * 100)
        os.makedirs(long_dir)
        with open(os.path.join(long_dir, "cwfs-words.db"), "w") as f:
            f.write("casino\n")
        cases = [
            ([], "no data folder"),
            (["-E=SVCTEST_UNSET"], "is not set"),
            (["-E=" + ENV_NAME, "-T=abc"], "-T"),
            (["-E=" + ENV_NAME, "-K=0"], "-K"),
            (["-Z=" + long_dir], "too long"),
        ]
        for args, text in cases:
            with self.subTest(args):
                p = subprocess.run([service_bin("ruvocwfs")] + args, env=env, capture_output=True, timeout=20)
                self.assertNotEqual(p.returncode, 0)
                self.assertIn(text, p.stderr.decode())


class RunServicesScriptTest(unittest.TestCase):
    def setUp(self):
        self.folder = DataFolder()

    def tearDown(self):
        self.folder.cleanup()

    def run_script(self, wait_for):
        log = open(os.path.join(self.folder.home, "run.log"), "wb")
        proc = subprocess.Popen([os.path.join(ROOT, "scripts/run_services.sh"), BUILD, ENV_NAME],
                                env=self.folder.env, stdout=log, stderr=log, start_new_session=True)
        try:
            deadline = time.time() + 20 * SLOW
            while time.time() < deadline and not all(os.path.exists(self.folder.path("pipe", n)) for n in wait_for):
                time.sleep(0.05)
            time.sleep(1.5)  # the script reports after one second
            self.assertTrue(all(os.path.exists(self.folder.path("pipe", n)) for n in wait_for))
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(timeout=30 * SLOW), 0)
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            log.close()
        with open(log.name) as f:
            return f.read()

    @unittest.skipUnless(HAVE_CWFS and HAVE_ZIP, "services not built")
    def test_starts_and_stops_the_built_services(self):
        self.folder.write("cwfs-words.db", b"casino\n")
        out = self.run_script(["ruvocwfs", "qzmail2zip"])
        self.assertIn("ruvocwfs running", out)
        self.assertIn("qzmail2zip running", out)
        for name in ("ruvocwfs", "qzmail2zip"):
            self.assertFalse(os.path.exists(self.folder.path("pipe", name)), name)
        for name in ("ruvoavs", "ruvospam"):
            self.assertIn(name, out)  # running, skipped or not built: always reported

    @unittest.skipUnless(HAVE_CWFS and HAVE_ZIP, "services not built")
    def test_service_without_data_is_skipped(self):
        out = self.run_script(["qzmail2zip"])
        self.assertIn("ruvocwfs skipped", out)
        self.assertIn("no word list", out)


if __name__ == "__main__":
    unittest.main()
