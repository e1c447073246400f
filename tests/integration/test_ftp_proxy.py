"""The FTP proxy (-P=4): Python ftplib and curl through the proxy to a real
FTP server (pyftpdlib).  Every data connection runs through the proxy, store
and forward, scanned by a fake virus service; downloads can come from the FTP
cache (-M).  Also FTP through the SOCKS proxy."""
import ftplib
import io
import os
import re
import socket
import subprocess
import unittest

from ftpserver import FtpCase
from proxytest import EICAR, SLOW, free_port_range, ipv6_available

README = b"hello through the ftp proxy\r\n"
FOUND = b"Found Eicar-Test-Signature\r\n"


class FtpProxyTest(FtpCase):
    proxy_args = []
    listen = "127.0.0.1"

    def setUp(self):
        self.blob = os.urandom(1500000)
        self.clients = []
        self.start_ftp({"pub/incoming/": b"", "pub/data.bin": self.blob, "pub/readme.txt": README,
                        "pub/eicar.com": EICAR}, 4, self.proxy_args, listen=self.listen, user="alice:s3cret")

    def tearDown(self):
        for ftp in self.clients:
            try:
                ftp.close()
            except OSError:
                pass

    def login(self, passive=True, user="alice", password="s3cret"):
        ftp = ftplib.FTP()
        self.clients.append(ftp)
        ftp.connect(self.listen, self.proxy.port, timeout=30 * SLOW)
        ftp.login(user, password)
        ftp.set_pasv(passive)
        return ftp

    def download(self, ftp, name):
        out = io.BytesIO()
        ftp.retrbinary("RETR " + name, out.write)
        return out.getvalue()

    def upload(self, ftp, name, data):
        ftp.storbinary("STOR " + name, io.BytesIO(data))
        return self.server_file("pub/incoming/" + name)

    def commands(self, prefix):
        return [c for c in self.server.commands() if c.startswith(prefix)]


class TransferTest(FtpProxyTest):
    def test_passive_session(self):
        with self.assertRaises(ftplib.error_perm):
            self.login(password="nope")
        ftp = self.login()
        ftp.cwd("/pub")
        self.assertEqual(ftp.pwd(), "/pub")
        lines = []
        ftp.retrlines("LIST", lines.append)
        for name in ("data.bin", "readme.txt", "eicar.com", "incoming"):
            self.assertIn(name, " ".join(lines))
        self.assertEqual(sorted(ftp.nlst()), ["data.bin", "eicar.com", "incoming", "readme.txt"])
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        log = self.proxy.log()
        # The client saw the proxy's data port, not the server's.
        self.assertRegex(log, r"\[ServerToClientSession\] \[\d{4}\] \[\d{4}\] to Client=\(127,0,0,1,\d+,\d+\)\r\n")
        self.assertIn("[ClientToServerDataSession] C:recv(", log)
        self.assertIn("VIRUS result [CLEAN]", log)
        self.assertEqual(self.download(ftp, "eicar.com"), FOUND)
        self.assertIn("VIRUS result [Eicar-Test-Signature]", self.proxy.log())
        with self.assertRaises(ftplib.error_perm) as ctx:
            self.download(ftp, "missing.bin")
        self.assertTrue(str(ctx.exception).startswith("550"))
        # The session goes on; a small chunk is written to the debug log as it is, a large one is not.
        self.assertEqual(self.download(ftp, "readme.txt"), README)
        self.put_file("pub/big.txt", b"B" * 300)
        self.assertEqual(self.download(ftp, "big.txt"), b"B" * 300)
        log = self.proxy.log()
        self.assertIn("] hello through the ftp proxy\r\n", log)
        self.assertNotIn("B" * 300, log)
        ftp.cwd("/pub/incoming")
        self.assertEqual(self.upload(ftp, "up.bin", self.blob), self.blob)
        ftp.cwd("/pub")
        ftp.set_pasv(False)
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        ftp.quit()
        self.assertFalse([n for n in os.listdir(self.proxy.path("cache")) if n.endswith((".flg", ".lck"))])

    def test_active_session(self):
        ftp = self.login(passive=False)
        self.assertIn("readme.txt", ftp.nlst("/pub"))
        ftp.cwd("/pub")
        ports = len(self.commands("PORT "))
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        self.assertEqual(ports + 1, len(self.commands("PORT ")))
        self.assertIn("[ServerToClientDataSession] C:send(", self.proxy.log())
        ftp.cwd("/pub/incoming")
        self.assertEqual(self.upload(ftp, "up2.bin", self.blob), self.blob)
        self.assertIn("S:send(", self.proxy.log())
        self.assertEqual(self.upload(ftp, "bad.com", EICAR), FOUND)

    def curl(self, *args, data=b""):
        proc = subprocess.run(["curl", "-s", "-S", "--max-time", str(30 * SLOW), "-u", "alice:s3cret"] + list(args),
                              input=data, capture_output=True, timeout=60 * SLOW)
        return proc.returncode, proc.stdout, proc.stderr.decode(errors="replace")

    def test_curl_epsv_download_listing_and_active_upload(self):
        # curl asks EPSV first: the extended reply must name no address.
        url = "ftp://127.0.0.1:%d/pub/" % self.proxy.port
        rc, out, err = self.curl(url + "data.bin")
        self.assertEqual((rc, out), (0, self.blob), err)
        self.assertIn("EPSV", self.server.commands())
        self.assertRegex(self.proxy.log(), r"to Client=\(\|\|\|\d+\|\)\r\n")
        rc, out, err = self.curl(url)
        self.assertEqual(rc, 0, err)
        self.assertIn(b"readme.txt", out)
        rc, out, err = self.curl("-P", "127.0.0.1", "-T", "-", url + "incoming/c.bin", data=self.blob)
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.server_file("pub/incoming/c.bin"), self.blob)


class CacheAndPortRangeTest(FtpProxyTest):
    def setUp(self):
        self.low = free_port_range(11)
        self.proxy_args = ["-M=10", "-N=%d-%d" % (self.low, self.low + 10)]
        FtpProxyTest.setUp(self)

    def test_cache_and_data_ports(self):
        ftp = self.login()
        ftp.cwd("/pub")
        with self.assertRaises(ftplib.error_perm):
            self.download(ftp, "missing.bin")
        self.assertEqual(os.listdir(self.proxy.path("ftpcache")), [])  # a failure is not cached
        self.assertEqual(self.download(ftp, "readme.txt"), README)
        self.assertEqual(len(os.listdir(self.proxy.path("ftpcache"))), 1)
        self.put_file("pub/readme.txt", b"changed on the server\r\n")
        self.assertEqual(self.download(ftp, "readme.txt"), README)
        self.assertEqual(self.commands(("RETR", "LIST"))[-2:], ["RETR readme.txt", "LIST readme.txt"])
        log = self.proxy.log()
        self.assertIn("[Cache] FTP = using.", log)
        self.assertIn("FTP cash useing.", log)
        # Every passive data port comes from the range, a new one each time.
        ports = [int(a) * 256 + int(b) for a, b in re.findall(r"to Client=\(127,0,0,1,(\d+),(\d+)\)", log)]
        self.assertGreaterEqual(len(ports), 3)
        self.assertTrue(all(self.low <= p <= self.low + 10 for p in ports), ports)
        self.assertTrue(all(a != b for a, b in zip(ports, ports[1:])), ports)
        ftp.set_pasv(False)
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        self.assertIn("LIST data.bin", self.server.commands())


class NoDataPortTest(FtpProxyTest):
    """Every port of the range busy: the passive reply becomes a 425."""

    def setUp(self):
        busy = socket.socket()
        self.addCleanup(busy.close)
        busy.bind(("127.0.0.1", 0))
        busy.listen(1)
        self.proxy_args = ["-N=%d-%d" % (busy.getsockname()[1], busy.getsockname()[1])]
        FtpProxyTest.setUp(self)

    def test_425_and_the_session_goes_on(self):
        ftp = self.login()
        with self.assertRaises(ftplib.error_temp) as ctx:
            ftp.sendcmd("PASV")
        self.assertEqual(str(ctx.exception), "425 Can't open data connection. ")
        self.assertEqual(ftp.pwd(), "/")


@unittest.skipUnless(ipv6_available(), "no IPv6 loopback")
class FamilyConversionTest(FtpProxyTest):
    """An IPv6 client before an IPv4 server with -Q=0: EPSV goes out as
    PASV and the 227 comes back as a 229; EPRT goes out as PORT."""
    listen = "::1"
    proxy_args = ["-i=2", "-Q=0"]

    def test_ipv6_client_passive_download_and_active_upload(self):
        ftp = self.login()
        ftp.cwd("/pub")
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        self.assertIn("PASV", self.server.commands())
        self.assertNotIn("EPSV", self.server.commands())
        log = self.proxy.log()
        self.assertIn("convert=PASV", log)
        self.assertRegex(log, r"to Client=\(\|\|\|\d+\|\)\r\n")
        ftp.set_pasv(False)
        ftp.cwd("/pub/incoming")
        self.assertEqual(self.upload(ftp, "six.bin", self.blob), self.blob)
        self.assertEqual(1, len(self.commands("PORT 127,0,0,1,")))


class SocksFtpTest(FtpCase):
    """FTP through the SOCKS proxy: the control connection is relayed as
    FTP (class 4), each data connection reaches the proxy's data port
    through a second SOCKS connection (class 5) and the SOCKS direction
    file orients it."""

    def test_download_and_upload_through_socks(self):
        blob = os.urandom(400000)
        low = free_port_range(10)
        self.start_ftp({"pub/data.bin": blob}, 5, ["-N=%d-%d" % (low, low + 9)], ptl=4)

        def curl(*args, data=b""):
            proc = subprocess.run(["curl", "-s", "-S", "--max-time", str(30 * SLOW), "--socks5",
                                   "127.0.0.1:%d" % self.proxy.port] + list(args),
                                  input=data, capture_output=True, timeout=60 * SLOW)
            return proc.returncode, proc.stdout, proc.stderr.decode(errors="replace")
        base = "ftp://127.0.0.1:%d/pub/" % self.server.port
        rc, out, err = curl(base + "data.bin")
        self.assertEqual((rc, out), (0, blob), err)
        rc, out, err = curl("-T", "-", base + "up.bin", data=blob[:5000])
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.server_file("pub/up.bin"), blob[:5000])
        log = self.proxy.log()
        flags = [int(p) for p in re.findall(r"_fsopen\(\S+/cache/socks-(\d{5})\.flg", log)]
        self.assertTrue(flags and all(low <= p <= low + 9 for p in flags), flags)
        self.assertIn("[FTPDataDispatch] [", log)


if __name__ == "__main__":
    unittest.main()
