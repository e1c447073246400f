"""ftp:// URLs through the HTTP proxy: curl -x against a real FTP server
(pyftpdlib).  The proxy answers with the file or listing itself (no HTTP
header), a refusal with the server's reply line, and an infected file with
one "Found" line."""
import os
import subprocess
import unittest

from ftpserver import FtpCase
from proxytest import EICAR, SLOW, free_port, free_port_range, ipv6_available

README = b"hello over ftp\r\n"


class FtpUrlTest(FtpCase):
    def start(self, args=(), **server_options):
        self.host = server_options.get("host", "127.0.0.1")
        self.blob = os.urandom(700000)
        self.start_ftp({"pub/data.bin": self.blob, "pub/readme.txt": README,
                        "pub/my dir/note.txt": b"blank in the path\n", "pub/eicar.com": EICAR},
                       0, args, **server_options)
        self.mark = 0

    def fetch(self, path, auth="", port=None):
        """The proxy's answer for a GET of the ftp URL (raw bytes, no header)."""
        self.mark = len(self.server.commands())
        host = "[%s]" % self.host if ":" in self.host else self.host
        url = "ftp://%s%s:%d%s" % (auth, host, port or self.server.port, path)
        proc = subprocess.run(["curl", "-s", "-S", "--http0.9", "--max-time", str(30 * SLOW),
                               "-x", "http://127.0.0.1:%d" % self.proxy.port, url],
                              capture_output=True, timeout=60 * SLOW)
        return proc.stdout

    def commands(self):
        """The server's commands of the last fetch."""
        return self.server.commands()[self.mark:]

    def verbs(self):
        return [c.split(" ")[0].upper() for c in self.commands()]

    def test_line_end_in_the_url_reaches_no_server(self):
        self.start()
        for path in ("/pub%0d%0aDELE%20readme.txt/", "/pub/%00/readme.txt"):
            with self.subTest(path=path):
                # Refused as a bad ftp URL before any connection to the server.
                self.assertNotIn(README, self.fetch(path))
                self.assertEqual([], self.commands())
        self.assertEqual(README, self.server_file("pub/readme.txt"))

    def test_passive_fetches(self):
        # -M=10: ftp answers are still never cached.
        self.start(["-M=10", "-$=2"], user="alice:s3cret")
        self.assertEqual(self.fetch("/pub/data.bin"), self.blob)
        cmds = self.commands()
        for cmd in ("TYPE I", "PASV", "RETR data.bin"):
            self.assertIn(cmd, cmds)
        self.assertEqual(cmds[-1], "QUIT")
        log = self.proxy.log()
        self.assertRegex(log, r"\[FtpDataByPASV\] S:recv\(\d{4}\):\d+ bytes\. \n")
        self.assertIn("[FtpClient] [", log)
        self.assertIn("VIRUS result [CLEAN]", log)
        body = self.fetch("/pub/").decode("utf-8", "replace")
        for name in ("data.bin", "readme.txt", "eicar.com", "my dir", "\r\n"):
            self.assertIn(name, body)
        self.assertIn("TYPE A", self.commands())
        self.assertIn("LIST", self.verbs())
        # Anonymous login by default, the account of the URL otherwise.
        self.assertEqual(self.fetch("/pub/readme.txt"), README)
        self.assertEqual(self.commands()[:4], ["USER anonymous", "PASS Q-RELAY@", "SYST", "CWD /pub/"])
        self.assertEqual(self.fetch("/pub/readme.txt", "alice:s3cret@"), README)
        self.assertEqual(self.commands()[:2], ["USER alice", "PASS s3cret"])
        self.assertEqual(self.fetch("/pub/my%20dir/note.txt"), b"blank in the path\n")
        self.assertIn("CWD /pub/my dir/", self.commands())
        self.assertEqual(self.fetch("/pub/eicar.com"), b"Found Eicar-Test-Signature\r\n")
        self.assertIn("VIRUS result [Eicar-Test-Signature]", self.proxy.log())
        self.put_file("pub/readme.txt", b"changed\r\n")
        self.assertEqual(self.fetch("/pub/readme.txt"), b"changed\r\n")
        for folder in ("ftpcache", "httpcache"):
            self.assertEqual(os.listdir(self.proxy.path(folder)), [])
        self.assertNotIn("cash", self.proxy.log())

    def test_refusals_are_the_server_reply_line(self):
        self.start(["-$=2"], user="alice:s3cret")
        cases = [
            # (path, account, reply, verb that must not be sent)
            ("/pub/missing.txt", "", b"550 ", None),
            ("/nowhere/", "", b"550 ", "LIST"),      # a missing folder is not listed elsewhere
            ("/pub/readme.txt", "alice:wrong@", b"530 ", "RETR"),
        ]
        for path, auth, reply, never in cases:
            with self.subTest(path=path, auth=auth):
                body = self.fetch(path, auth)
                self.assertTrue(body.startswith(reply) and body.endswith(b"\r\n"), body)
                self.assertNotIn(never, self.verbs())
                if never != "LIST":
                    self.assertEqual(self.verbs()[-1], "QUIT")
        # No server at all: an empty answer, and the proxy lives on.
        self.assertEqual(self.fetch("/x.txt", port=free_port()), b"")
        self.assertIn("[FtpClient] connect failed. WSAGetLastError() = 111", self.proxy.log())
        self.assertIsNone(self.proxy.proc.poll())

    def test_active_fallback_and_code_page(self):
        low = free_port_range(10)
        self.start(["-N=%d-%d" % (low, low + 9)], no_pasv=True, encoding="cp932")
        self.assertEqual(self.fetch("/pub/data.bin"), self.blob)
        ports = [c for c in self.commands() if c.startswith("PORT ")]
        self.assertEqual(len(ports), 1)
        numbers = [int(n) for n in ports[0][5:].split(",")]
        self.assertEqual(numbers[:4], [127, 0, 0, 1])
        self.assertTrue(low <= numbers[4] * 256 + numbers[5] <= low + 9)
        self.assertIn("[FtpDataByPORT] S:recv(", self.proxy.log())
        self.assertIn(b"readme.txt", self.fetch("/pub/"))
        # A UTF-8 folder name the server does not know is retried in cp932.
        self.put_file("日本/f.txt", b"sjis folder\n")
        self.assertEqual(self.fetch("/%E6%97%A5%E6%9C%AC/f.txt"), b"sjis folder\n")
        self.assertEqual([c for c in self.commands() if c.startswith("CWD")][1:], ["CWD /日本/"])

    @unittest.skipUnless(ipv6_available(), "no IPv6 loopback")
    def test_ipv6_server_epsv(self):
        self.start(host="::1")
        self.assertEqual(self.fetch("/pub/data.bin"), self.blob)
        self.assertIn(b"readme.txt", self.fetch("/pub/"))
        self.assertIn("EPSV", self.commands())
        self.assertNotIn("PASV", self.commands())

    @unittest.skipUnless(ipv6_available(), "no IPv6 loopback")
    def test_ipv6_server_eprt(self):
        self.start(host="::1", no_pasv=True)
        self.assertEqual(self.fetch("/pub/data.bin"), self.blob)
        eprt = [c for c in self.commands() if c.startswith("EPRT ")]
        self.assertEqual(len(eprt), 1)
        self.assertTrue(eprt[0].startswith("EPRT |2|::1|"), eprt)


if __name__ == "__main__":
    unittest.main()
