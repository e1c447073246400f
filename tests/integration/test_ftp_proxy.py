"""The FTP proxy (-P=4): Python ftplib through the proxy to a real FTP
server (pyftpdlib).  Every data connection runs through the proxy, store and
forward, scanned by a fake virus service; downloads can come from the FTP
cache (-M)."""
import ftplib
import io
import os
import re
import shutil
import socket
import subprocess
import tempfile
import unittest

import httporigin
from ftpserver import FtpServer
from proxytest import Proxy, SLOW, sanitizer_report, ipv6_available

EICAR = rb"X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"


def virus_verdict(content):
    return "Eicar-Test-Signature" if b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE" in content else ""


class FtpProxyTest(unittest.TestCase):
    proxy_args = []
    listen = "127.0.0.1"

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="ftproot_")
        os.makedirs(os.path.join(self.root, "pub", "incoming"))
        self.blob = os.urandom(1500000)
        self.put_file("pub/data.bin", self.blob)
        self.put_file("pub/readme.txt", b"hello through the ftp proxy\r\n")
        self.put_file("pub/eicar.com", EICAR)
        self.server = FtpServer(self.root, user="alice:s3cret")
        self.proxy = Proxy(mode=4, args=["-S=127.0.0.1 %d" % self.server.port] + list(self.proxy_args),
                           listen=self.listen)
        self.avs = httporigin.FakeService(self.proxy.data, "ruvoavs", 521, virus_verdict)
        self.proxy.start()
        self.clients = []

    def tearDown(self):
        for ftp in self.clients:
            try:
                ftp.close()
            except OSError:
                pass
        self.proxy.stop()
        report = sanitizer_report(self.proxy.stderr())
        self.proxy.cleanup()
        self.avs.stop()
        self.server.cleanup()
        shutil.rmtree(self.root, ignore_errors=True)
        self.assertEqual(report, "")

    def put_file(self, name, data):
        with open(os.path.join(self.root, name), "wb") as f:
            f.write(data)

    def server_file(self, name):
        with open(os.path.join(self.root, name), "rb") as f:
            return f.read()

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


class TransferTest(FtpProxyTest):
    def test_login_directory_and_listing(self):
        ftp = self.login()
        self.assertIn("230", ftp.lastresp if hasattr(ftp, "lastresp") else "230")
        ftp.cwd("/pub")
        self.assertEqual(ftp.pwd(), "/pub")
        lines = []
        ftp.retrlines("LIST", lines.append)
        names = " ".join(lines)
        for name in ("data.bin", "readme.txt", "eicar.com", "incoming"):
            self.assertIn(name, names)
        self.assertEqual(sorted(ftp.nlst()), ["data.bin", "eicar.com", "incoming", "readme.txt"])
        ftp.quit()

    def test_passive_download_byte_exact(self):
        ftp = self.login()
        ftp.cwd("/pub")
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        log = self.proxy.log()
        # The client saw the proxy's data port, not the server's.
        self.assertRegex(log, r"\[ServerToClientSession\] \[\d{4}\] \[\d{4}\] to Client=\(127,0,0,1,\d+,\d+\)\r\n")
        self.assertIn("[FTPDataMain] [", log)
        self.assertIn("[ClientToServerDataSession] C:recv(", log)
        self.assertIn("VIRUS result [CLEAN]", log)

    def test_active_download_byte_exact(self):
        ftp = self.login(passive=False)
        ftp.cwd("/pub")
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        ports = [c for c in self.server.commands() if c.startswith("PORT ")]
        self.assertEqual(len(ports), 1)
        self.assertIn("[ServerToClientDataSession] C:send(", self.proxy.log())

    def test_passive_upload_byte_exact(self):
        ftp = self.login()
        ftp.cwd("/pub/incoming")
        ftp.storbinary("STOR up.bin", io.BytesIO(self.blob))
        self.assertEqual(self.server_file("pub/incoming/up.bin"), self.blob)

    def test_active_upload_byte_exact(self):
        ftp = self.login(passive=False)
        ftp.cwd("/pub/incoming")
        ftp.storbinary("STOR up2.bin", io.BytesIO(self.blob))
        self.assertEqual(self.server_file("pub/incoming/up2.bin"), self.blob)
        self.assertIn("S:send(", self.proxy.log())

    def test_ascii_listing_in_active_mode(self):
        ftp = self.login(passive=False)
        self.assertIn("readme.txt", ftp.nlst("/pub"))

    def test_infected_download_replaced_by_found_line(self):
        ftp = self.login()
        ftp.cwd("/pub")
        self.assertEqual(self.download(ftp, "eicar.com"), b"Found Eicar-Test-Signature\r\n")
        self.assertIn("VIRUS result [Eicar-Test-Signature]", self.proxy.log())

    def test_infected_upload_never_reaches_the_server(self):
        ftp = self.login(passive=False)
        ftp.cwd("/pub/incoming")
        ftp.storbinary("STOR bad.com", io.BytesIO(EICAR))
        self.assertEqual(self.server_file("pub/incoming/bad.com"), b"Found Eicar-Test-Signature\r\n")

    def test_missing_file_refused_and_session_goes_on(self):
        ftp = self.login()
        ftp.cwd("/pub")
        with self.assertRaises(ftplib.error_perm) as ctx:
            self.download(ftp, "missing.bin")
        self.assertTrue(str(ctx.exception).startswith("550"))
        self.assertEqual(self.download(ftp, "readme.txt"), b"hello through the ftp proxy\r\n")
        # A small chunk is written to the debug log as it is; a large one is not.
        log = self.proxy.log()
        self.assertIn("] hello through the ftp proxy\r\n", log)

    def test_large_chunks_stay_out_of_the_log(self):
        ftp = self.login()
        ftp.cwd("/pub")
        self.put_file("pub/big.txt", b"B" * 300)
        self.assertEqual(self.download(ftp, "big.txt"), b"B" * 300)
        log = self.proxy.log()
        self.assertIn("C:recv(", log)
        self.assertNotIn("B" * 300, log)

    def test_wrong_password(self):
        with self.assertRaises(ftplib.error_perm):
            self.login(password="nope")

    def test_several_transfers_in_one_session(self):
        ftp = self.login()
        ftp.cwd("/pub")
        for _ in range(3):
            self.assertEqual(self.download(ftp, "readme.txt"), b"hello through the ftp proxy\r\n")
        ftp.set_pasv(False)
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        ftp.quit()
        self.assertFalse([n for n in os.listdir(self.proxy.path("cache")) if n.endswith((".flg", ".lck"))])


class CacheTest(FtpProxyTest):
    proxy_args = ["-M=10"]

    def test_second_download_comes_from_the_cache(self):
        ftp = self.login()
        ftp.cwd("/pub")
        self.assertEqual(self.download(ftp, "readme.txt"), b"hello through the ftp proxy\r\n")
        self.assertEqual(len(os.listdir(self.proxy.path("ftpcache"))), 1)
        self.put_file("pub/readme.txt", b"changed on the server\r\n")
        self.assertEqual(self.download(ftp, "readme.txt"), b"hello through the ftp proxy\r\n")
        cmds = self.server.commands()
        self.assertEqual([c for c in cmds if c.startswith(("RETR", "LIST"))], ["RETR readme.txt", "LIST readme.txt"])
        log = self.proxy.log()
        self.assertIn("[Cache] FTP = using.", log)
        self.assertIn("FTP cash useing.", log)

    def test_active_cached_copy(self):
        ftp = self.login(passive=False)
        ftp.cwd("/pub")
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        self.assertIn("LIST data.bin", self.server.commands())

    def test_failed_download_is_not_cached(self):
        ftp = self.login()
        ftp.cwd("/pub")
        with self.assertRaises(ftplib.error_perm):
            self.download(ftp, "missing.bin")
        self.assertEqual(os.listdir(self.proxy.path("ftpcache")), [])


class PortRangeTest(FtpProxyTest):
    proxy_args = ["-N=42100-42110"]

    def test_data_ports_from_the_range(self):
        ftp = self.login()
        ftp.cwd("/pub")
        for _ in range(2):
            self.download(ftp, "readme.txt")
        ports = [int(a) * 256 + int(b) for a, b in
                 re.findall(r"to Client=\(127,0,0,1,(\d+),(\d+)\)", self.proxy.log())]
        self.assertEqual(len(ports), 2)
        for port in ports:
            self.assertTrue(42100 <= port <= 42110, port)
        self.assertNotEqual(ports[0], ports[1])


class CurlTest(FtpProxyTest):
    """curl asks EPSV first: the extended reply must name no address."""

    def curl(self, *args, data=b""):
        proc = subprocess.run(["curl", "-s", "-S", "--max-time", str(30 * SLOW), "-u", "alice:s3cret"] + list(args),
                              input=data, capture_output=True, timeout=60 * SLOW)
        return proc.returncode, proc.stdout, proc.stderr.decode(errors="replace")

    def test_curl_epsv_download_and_listing(self):
        url = "ftp://127.0.0.1:%d/pub/" % self.proxy.port
        rc, out, err = self.curl(url + "data.bin")
        self.assertEqual(rc, 0, err)
        self.assertEqual(out, self.blob)
        self.assertIn("EPSV", self.server.commands())
        self.assertRegex(self.proxy.log(), r"to Client=\(\|\|\|\d+\|\)\r\n")
        rc, out, err = self.curl(url)
        self.assertEqual(rc, 0, err)
        self.assertIn(b"readme.txt", out)

    def test_curl_active_upload(self):
        rc, out, err = self.curl("-P", "127.0.0.1", "-T", "-", "ftp://127.0.0.1:%d/pub/incoming/c.bin" % self.proxy.port,
                                 data=self.blob)
        self.assertEqual(rc, 0, err)
        self.assertEqual(self.server_file("pub/incoming/c.bin"), self.blob)


class NoDataPortTest(FtpProxyTest):
    """Every port of the range busy: the passive reply becomes a 425."""

    def setUp(self):
        self.busy = socket.socket()
        self.busy.bind(("127.0.0.1", 0))
        self.busy.listen(1)
        port = self.busy.getsockname()[1]
        self.proxy_args = ["-N=%d-%d" % (port, port)]
        FtpProxyTest.setUp(self)

    def tearDown(self):
        self.busy.close()
        FtpProxyTest.tearDown(self)

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

    def test_ipv6_client_passive_download(self):
        ftp = self.login()
        ftp.cwd("/pub")
        self.assertEqual(self.download(ftp, "data.bin"), self.blob)
        cmds = self.server.commands()
        self.assertIn("PASV", cmds)
        self.assertNotIn("EPSV", cmds)
        log = self.proxy.log()
        self.assertIn("convert=PASV", log)
        self.assertRegex(log, r"to Client=\(\|\|\|\d+\|\)\r\n")

    def test_ipv6_client_active_upload(self):
        ftp = self.login(passive=False)
        ftp.cwd("/pub/incoming")
        ftp.storbinary("STOR six.bin", io.BytesIO(self.blob))
        self.assertEqual(self.server_file("pub/incoming/six.bin"), self.blob)
        ports = [c for c in self.server.commands() if c.startswith("PORT 127,0,0,1,")]
        self.assertEqual(len(ports), 1)


class SocksFtpTest(unittest.TestCase):
    """FTP through the SOCKS proxy: the control connection is relayed as
    FTP (class 4), each data connection reaches the proxy's data port
    through a second SOCKS connection (class 5) and the SOCKS direction
    file orients it."""

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="ftproot_")
        os.makedirs(os.path.join(self.root, "pub"))
        self.blob = os.urandom(400000)
        with open(os.path.join(self.root, "pub", "data.bin"), "wb") as f:
            f.write(self.blob)
        self.server = FtpServer(self.root)
        self.proxy = Proxy(mode=5, args=["-N=43000-43050"])
        self.proxy.write("socks-ptl.ini", "%d,4\n" % self.server.port)
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

    def curl(self, *args, data=b""):
        proc = subprocess.run(["curl", "-s", "-S", "--max-time", str(30 * SLOW), "--socks5",
                               "127.0.0.1:%d" % self.proxy.port] + list(args),
                              input=data, capture_output=True, timeout=60 * SLOW)
        return proc.returncode, proc.stdout, proc.stderr.decode(errors="replace")

    def test_download_and_upload_through_socks(self):
        base = "ftp://127.0.0.1:%d/pub/" % self.server.port
        rc, out, err = self.curl(base + "data.bin")
        self.assertEqual(rc, 0, err)
        self.assertEqual(out, self.blob)
        rc, out, err = self.curl("-T", "-", base + "up.bin", data=self.blob[:5000])
        self.assertEqual(rc, 0, err)
        with open(os.path.join(self.root, "pub", "up.bin"), "rb") as f:
            self.assertEqual(f.read(), self.blob[:5000])
        log = self.proxy.log()
        self.assertRegex(log, r"_fsopen\(\S+/cache/socks-430\d\d\.flg")
        self.assertIn("[FTPDataDispatch] [", log)


if __name__ == "__main__":
    unittest.main()
