"""ftp:// URLs through the HTTP proxy: curl -x against a real FTP server
(pyftpdlib).  The proxy answers with the file or listing itself (no HTTP
header), a refusal with the server's reply line, and an infected file with
one "Found" line."""
import os
import shutil
import subprocess
import tempfile
import unittest

import httporigin
from ftpserver import FtpServer
from proxytest import Proxy, SLOW, ipv6_available, sanitizer_report


def virus_verdict(content):
    return "Eicar-Test-Signature" if b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE" in content else ""


EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


class FtpUrlTest(unittest.TestCase):
    server_options = {}
    proxy_args = []

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="ftproot_")
        os.makedirs(os.path.join(self.root, "pub", "my dir"))
        self.blob = os.urandom(700000)
        self.write("pub/data.bin", self.blob)
        self.write("pub/readme.txt", b"hello over ftp\r\n")
        self.write("pub/my dir/note.txt", b"blank in the path\n")
        self.write("pub/eicar.com", EICAR)
        self.server = FtpServer(self.root, **self.server_options)
        self.proxy = Proxy(args=list(self.proxy_args))
        self.avs = httporigin.FakeService(self.proxy.data, "ruvoavs", 521, virus_verdict)
        self.proxy.start()

    def tearDown(self):
        self.proxy.stop()
        report = sanitizer_report(self.proxy.stderr())
        self.proxy.cleanup()
        self.avs.stop()
        self.server.cleanup()
        shutil.rmtree(self.root, ignore_errors=True)
        self.assertEqual(report, "")

    def write(self, name, data):
        with open(os.path.join(self.root, name), "wb") as f:
            f.write(data)

    def url(self, path, auth=""):
        return "ftp://%s127.0.0.1:%d%s" % (auth, self.server.port, path)

    def fetch(self, path, auth=""):
        """The proxy's answer for a GET of the ftp URL (raw bytes, no header)."""
        proc = subprocess.run(["curl", "-s", "-S", "--http0.9", "--max-time", str(30 * SLOW),
                               "-x", "http://127.0.0.1:%d" % self.proxy.port, self.url(path, auth)],
                              capture_output=True, timeout=60 * SLOW)
        return proc.stdout

    def commands(self):
        return [c.split(" ")[0].upper() for c in self.server.commands()]


class PassiveTest(FtpUrlTest):
    def test_binary_file_byte_exact(self):
        self.assertEqual(self.fetch("/pub/data.bin"), self.blob)
        cmds = self.server.commands()
        self.assertIn("TYPE I", cmds)
        self.assertIn("PASV", cmds)
        self.assertIn("RETR data.bin", cmds)
        self.assertEqual(cmds[-1], "QUIT")
        log = self.proxy.log()
        self.assertRegex(log, r"\[FtpDataByPASV\] S:recv\(\d{4}\):\d+ bytes\. \n")
        self.assertIn("[FtpClient] [", log)
        self.assertIn("VIRUS result [CLEAN]", log)

    def test_listing(self):
        body = self.fetch("/pub/").decode("utf-8", "replace")
        for name in ("data.bin", "readme.txt", "eicar.com", "my dir"):
            self.assertIn(name, body)
        self.assertIn("\r\n", body)
        self.assertIn("TYPE A", self.server.commands())
        self.assertIn("LIST", self.commands())

    def test_missing_file_gets_the_refusal(self):
        body = self.fetch("/pub/missing.txt")
        self.assertTrue(body.startswith(b"550 "), body)
        self.assertTrue(body.endswith(b"\r\n"))
        self.assertEqual(self.commands()[-1], "QUIT")

    def test_missing_directory_is_not_listed_elsewhere(self):
        body = self.fetch("/nowhere/")
        self.assertTrue(body.startswith(b"550 "), body)
        self.assertNotIn("LIST", self.commands())

    def test_anonymous_login_defaults(self):
        self.assertEqual(self.fetch("/pub/readme.txt"), b"hello over ftp\r\n")
        cmds = self.server.commands()
        self.assertEqual(cmds[0], "USER anonymous")
        self.assertEqual(cmds[1], "PASS Q-RELAY@")
        self.assertEqual(cmds[2], "SYST")
        self.assertEqual(cmds[3], "CWD /pub/")

    def test_percent_encoded_blank(self):
        self.assertEqual(self.fetch("/pub/my%20dir/note.txt"), b"blank in the path\n")
        self.assertIn("CWD /pub/my dir/", self.server.commands())

    def test_virus_replaced_by_found_line(self):
        self.assertEqual(self.fetch("/pub/eicar.com"), b"Found Eicar-Test-Signature\r\n")
        self.assertIn("VIRUS result [Eicar-Test-Signature]", self.proxy.log())

    def test_two_fetches_on_one_proxy(self):
        self.assertEqual(self.fetch("/pub/readme.txt"), b"hello over ftp\r\n")
        self.assertEqual(self.fetch("/pub/data.bin"), self.blob)


class AccountTest(FtpUrlTest):
    server_options = {"user": "alice:s3cret"}

    def test_user_and_password_from_url(self):
        self.assertEqual(self.fetch("/pub/readme.txt", "alice:s3cret@"), b"hello over ftp\r\n")
        self.assertEqual(self.server.commands()[:2], ["USER alice", "PASS s3cret"])

    def test_wrong_password_answer_is_the_530_line(self):
        body = self.fetch("/pub/readme.txt", "alice:wrong@")
        self.assertTrue(body.startswith(b"530 "), body)
        self.assertNotIn("RETR", self.commands())
        self.assertEqual(self.commands()[-1], "QUIT")


class ActiveTest(FtpUrlTest):
    server_options = {"no_pasv": True}
    proxy_args = ["-N=41000-41050"]

    def test_refused_pasv_switches_to_port(self):
        self.assertEqual(self.fetch("/pub/data.bin"), self.blob)
        ports = [c for c in self.server.commands() if c.startswith("PORT ")]
        self.assertEqual(len(ports), 1)
        numbers = [int(n) for n in ports[0][5:].split(",")]
        self.assertEqual(numbers[:4], [127, 0, 0, 1])
        self.assertTrue(41000 <= numbers[4] * 256 + numbers[5] <= 41050)
        self.assertIn("[FtpDataByPORT] S:recv(", self.proxy.log())

    def test_active_listing(self):
        self.assertIn(b"readme.txt", self.fetch("/pub/"))


class CacheTest(FtpUrlTest):
    proxy_args = ["-M=10"]

    def test_ftp_answers_are_not_cached(self):
        self.assertEqual(self.fetch("/pub/readme.txt"), b"hello over ftp\r\n")
        self.write("pub/readme.txt", b"changed\r\n")
        self.assertEqual(self.fetch("/pub/readme.txt"), b"changed\r\n")
        self.assertEqual(self.commands().count("RETR"), 2)
        for folder in ("ftpcache", "httpcache"):
            self.assertEqual(os.listdir(self.proxy.path(folder)), [])
        self.assertNotIn("cash", self.proxy.log())


class CodePageTest(FtpUrlTest):
    server_options = {"encoding": "cp932"}

    def test_directory_retried_in_cp932(self):
        os.makedirs(os.path.join(self.root, "日本"))
        self.write("日本/f.txt", b"sjis folder\n")
        self.assertEqual(self.fetch("/%E6%97%A5%E6%9C%AC/f.txt"), b"sjis folder\n")
        cwd = [c for c in self.server.commands() if c.startswith("CWD")]
        self.assertEqual(len(cwd), 2)
        self.assertEqual(cwd[1], "CWD /日本/")


@unittest.skipUnless(ipv6_available(), "no IPv6 loopback")
class Ipv6Test(FtpUrlTest):
    server_options = {"host": "::1"}

    def url(self, path, auth=""):
        return "ftp://%s[::1]:%d%s" % (auth, self.server.port, path)

    def test_epsv_download_and_listing(self):
        self.assertEqual(self.fetch("/pub/data.bin"), self.blob)
        self.assertIn(b"readme.txt", self.fetch("/pub/"))
        self.assertIn("EPSV", self.server.commands())
        self.assertNotIn("PASV", self.server.commands())


@unittest.skipUnless(ipv6_available(), "no IPv6 loopback")
class Ipv6ActiveTest(Ipv6Test):
    server_options = {"host": "::1", "no_pasv": True}

    def test_epsv_download_and_listing(self):
        self.assertEqual(self.fetch("/pub/data.bin"), self.blob)
        eprt = [c for c in self.server.commands() if c.startswith("EPRT ")]
        self.assertEqual(len(eprt), 1)
        self.assertTrue(eprt[0].startswith("EPRT |2|::1|"), eprt)


class UnreachableTest(unittest.TestCase):
    def test_no_server_gives_empty_answer_and_proxy_lives(self):
        proxy = Proxy(args=["-$=2"])
        proxy.start()
        try:
            import socket
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                dead = s.getsockname()[1]
            proc = subprocess.run(["curl", "-s", "--http0.9", "--max-time", "30", "-x",
                                   "http://127.0.0.1:%d" % proxy.port, "ftp://127.0.0.1:%d/x.txt" % dead],
                                  capture_output=True, timeout=60)
            self.assertEqual(proc.stdout, b"")
            self.assertIn("[FtpClient] connect failed. WSAGetLastError() = 111", proxy.log())
            self.assertIsNone(proxy.proc.poll())
        finally:
            proxy.cleanup()


if __name__ == "__main__":
    unittest.main()
