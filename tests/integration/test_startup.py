"""Start-up of the real binary: title on standard output, settings summary in
the dated debug log and on standard error, refused switch values.  The
summary's lines themselves are checked by the settings unit tests."""
import os
import shutil
import subprocess
import tempfile
import unittest

from proxytest import BIN, proxy_for, wait_until


class StartupTest(unittest.TestCase):
    def test_summary_in_dated_log_file_and_folders(self):
        p = proxy_for(self, 0, ["-C=0", "-N=20000-20100", "-M=5"], prefix="startup_").start()
        out = p.stdout()
        self.assertTrue(out.startswith(BIN.lower() + "\n"), out)
        self.assertIn("HTTP PROXY", out)
        log = p.log()
        self.assertIn(" v1.38 ", log)
        self.assertRegex(log, r"(?m)^\[\d\d:\d\d:\d\d:\d\d\d\] HTTP  Cache time      = 5 min\.$")
        self.assertRegex(log, r"(?m)^\[\d\d:\d\d:\d\d:\d\d\d\] Log Folder            = %s/httplog$" % p.data)
        for folder in ["cache", "httpcache", "ftpcache", "httplog", "ncsalog"]:
            self.assertTrue(os.path.isdir(p.path(folder)), folder)

    def test_console_only_writes_no_file_and_title_follows_the_name(self):
        # Started through a link named for SOCKS: only the title changes.
        home = proxy_for(self, 2, ["-V", "-T=7,8"], prefix="startup_")
        link = os.path.join(home.root, "RUVOCPRX")
        os.symlink(os.path.abspath(BIN), link)
        home.program = link
        home.args.remove("-W")
        home.start(wait_listening=False)
        self.assertTrue(wait_until(lambda: "Timeout Server(SSL)" in home.stderr(), 20))
        err = home.stderr()
        self.assertIn("Timeout Client(Plain) = 7\n", err)
        self.assertIn("Timeout Server(Plain) = 8\n", err)
        self.assertIn("Virus Mail deleted    = On.\n", err)
        self.assertNotIn("Proxy Auth", err)
        self.assertFalse(os.listdir(home.path("pop3log")))
        self.assertTrue(wait_until(lambda: "SOCKS PROXY" in home.stdout(), 5))
        self.assertTrue(home.stdout().startswith(link.lower() + "\nSOCKS PROXY"), home.stdout())

    def test_refused_values_exit_2(self):
        for args in (["-P=6"], ["-E=STARTUP_NO_SUCH_VARIABLE", "-P=0"]):
            proc = subprocess.run([BIN] + args, capture_output=True, timeout=20)
            self.assertEqual(2, proc.returncode, args)
            self.assertTrue(proc.stderr, args)

    def test_help_and_version_answer_without_starting(self):
        home = tempfile.mkdtemp(prefix="startup_")
        self.addCleanup(shutil.rmtree, home, True)
        env = dict(os.environ, STARTUP_HOME=home)
        for args, expected in ((["-h"], "usage: ruvohprx "), (["-E=STARTUP_HOME", "-P=0", "--help"], "-P=n"),
                               (["--version"], "ruvohprx v1.38\n")):
            proc = subprocess.run([BIN] + args, capture_output=True, timeout=20, env=env)
            self.assertEqual(0, proc.returncode, args)
            self.assertIn(expected, proc.stdout.decode(), args)
        # Nothing was started: no folder was made.
        self.assertEqual([], os.listdir(home))

    def test_unwritable_data_folder_is_refused(self):
        # Root writes through permission bits, so the cases use what stops
        # everybody: a missing folder, a file where a folder should be.
        home = tempfile.mkdtemp(prefix="startup_")
        self.addCleanup(shutil.rmtree, home, True)
        cases = (("missing", None), ("data folder is a file", "TORV"), ("cache is a file", "TORV/cache"))
        for name, file_name in cases:
            shutil.rmtree(os.path.join(home, "TORV"), ignore_errors=True)
            if os.path.exists(os.path.join(home, "TORV")):
                os.remove(os.path.join(home, "TORV"))
            if file_name:
                os.makedirs(os.path.dirname(os.path.join(home, file_name)), exist_ok=True)
                open(os.path.join(home, file_name), "w").close()
            proc = subprocess.run([BIN, "-E=STARTUP_HOME", "-P=0", "-L=127.0.0.1 1"], capture_output=True,
                                  timeout=20, env=dict(os.environ, STARTUP_HOME=home))
            self.assertEqual(2, proc.returncode, name)
            self.assertIn(b"the data folder cannot be written: ", proc.stderr, name)


if __name__ == "__main__":
    unittest.main()
