"""Disk and inspection faults: with the data folder on a small tmpfs, an
upload, a download, a mail and an FTP transfer larger than the free space
are refused (never passed on cut short) and the proxy goes on serving; with
inspection mandatory (-I=1) and no inspection service, every protocol
refuses what it cannot have inspected."""
import ftplib
import imaplib
import io
import os
import poplib
import smtplib
import socket
import subprocess
import unittest

import httporigin
from ftpserver import FtpCase
from mailfakes import Dovecot, RelayTestCase, SmtpSink
from proxytest import SLOW, curl, proxy_for, recv_all

BIG = 3 * 1024 * 1024      # larger than the tmpfs below
MSG = b"From: a@x.test\r\nSubject: s\r\n\r\nsmall body\r\n"


def mount_tmpfs(test, path, size="2m"):
    """Mounts a tmpfs of the size on path for the test (skips it when that is not possible)."""
    if os.geteuid() != 0:
        test.skipTest("the disk-fault cases mount a tmpfs and need root")
    r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s,mode=0700" % size, "tmpfs", path],
                       capture_output=True, timeout=30)
    if r.returncode != 0:
        test.skipTest("cannot mount a tmpfs: " + r.stderr.decode(errors="replace"))
    test.addCleanup(subprocess.run, ["umount", "-l", path], capture_output=True, timeout=30)


def http_status(proxy, request):
    with socket.create_connection(("127.0.0.1", proxy.port), timeout=20 * SLOW) as s:
        s.sendall(request)
        return recv_all(s, 20 * SLOW).split(b"\r\n", 1)[0]


class HttpFaultTest(unittest.TestCase):
    def setUp(self):
        self.origin = httporigin.Origin()
        self.addCleanup(self.origin.stop)
        self.base = "http://127.0.0.1:%d" % self.origin.port

    def test_full_disk_refuses_upload_and_download_then_serves(self):
        p = proxy_for(self, 0)
        mount_tmpfs(self, p.data)
        p.start()
        post = b"POST %s/echo HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\n" % (self.base.encode(), BIG)
        self.assertEqual(http_status(p, post + b"u" * BIG), b"HTTP/1.1 507 Insufficient Storage")
        rc, out, err = curl(["-i", "-x", "127.0.0.1:%d" % p.port, self.base + "/chunked/%d" % BIG])
        self.assertTrue(out.startswith(b"HTTP/1.1 507 "), (rc, out[:200], err))
        rc, out, err = curl(["-x", "127.0.0.1:%d" % p.port, self.base + "/size/5000"])
        self.assertEqual((rc, out), (0, httporigin.pattern(5000)), err)

    def test_mandatory_inspection_without_service(self):
        p = proxy_for(self, 0, ["-I=1"]).start()
        # A small response and one announced larger than 2 MiB alike are held.
        for path in ("/size/5000", "/size/3000000"):
            rc, out, err = curl(["-i", "-x", "127.0.0.1:%d" % p.port, self.base + path])
            self.assertTrue(out.startswith(b"HTTP/1.1 503 "), (path, out[:200], err))
        self.assertIn("Inspection            = mandatory", p.log())


class SmtpFaultTest(RelayTestCase):
    def setUp(self):
        self.sink = SmtpSink()
        self.addCleanup(self.sink.stop)

    def send(self, proxy, msg):
        with smtplib.SMTP("127.0.0.1", proxy.port, timeout=20 * SLOW) as s:
            s.sendmail("a@x.test", ["b@y.test"], msg)

    def test_full_disk_refuses_the_message_with_452_then_serves(self):
        p = self.relay(1, self.sink.port)
        mount_tmpfs(self, p.data)
        p.start()
        with self.assertRaises(smtplib.SMTPDataError) as ctx:
            self.send(p, MSG + (b"x" * 998 + b"\r\n") * (BIG // 1000))
        self.assertEqual(ctx.exception.smtp_code, 452)
        self.send(p, MSG)
        messages = self.sink.wait_messages(1)
        self.assertEqual(len(messages), 1)
        self.assertTrue(messages[0][2].endswith(MSG))

    def test_mandatory_inspection_refuses_with_451(self):
        p = self.relay(1, self.sink.port, "-I=1").start()
        with self.assertRaises(smtplib.SMTPDataError) as ctx:
            self.send(p, MSG)
        self.assertEqual(ctx.exception.smtp_code, 451)
        self.assertEqual(self.sink.wait_messages(1, timeout=0.5), [])


class MailboxFaultTest(RelayTestCase):
    @classmethod
    def setUpClass(cls):
        cls.dove = Dovecot()
        cls.dove.set_messages([MSG])
        cls.dove.start()

    @classmethod
    def tearDownClass(cls):
        cls.dove.cleanup()

    def test_mandatory_inspection_pop3_err_and_imap_no(self):
        p = self.relay(2, self.dove.port_pop, "-I=1").start()
        c = poplib.POP3("127.0.0.1", p.port, timeout=15 * SLOW)
        c.user(Dovecot.USER)
        c.pass_(Dovecot.PASSWORD)
        with self.assertRaises(poplib.error_proto) as ctx:
            c.retr(1)
        self.assertTrue(str(ctx.exception).startswith("b'-ERR"), ctx.exception)
        self.assertTrue(c.noop().startswith(b"+OK"))  # the session goes on
        c.quit()
        p = self.relay(3, self.dove.port_imap, "-I=1").start()
        c = imaplib.IMAP4("127.0.0.1", p.port, timeout=15 * SLOW)
        c.login(Dovecot.USER, Dovecot.PASSWORD)
        c.select("INBOX")
        typ, data = c.fetch("1", "(BODY.PEEK[])")
        self.assertEqual(typ, "NO", data)
        self.assertFalse([d for d in data if isinstance(d, tuple)])  # no message data
        self.assertEqual(c.noop()[0], "OK")
        c.logout()


class FtpFaultTest(FtpCase):
    def retr(self, name):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.proxy.port, timeout=30 * SLOW)
        self.addCleanup(ftp.close)
        ftp.login()
        out = io.BytesIO()
        ftp.retrbinary("RETR " + name, out.write)
        return out.getvalue()

    def test_full_disk_refuses_the_transfer_with_451_then_serves(self):
        # Mounted over the data folder before the proxy starts.
        self.start_ftp({"big.bin": b"b" * BIG, "small.txt": b"small"}, 4)
        self.proxy.stop()
        mount_tmpfs(self, self.proxy.data)
        self.proxy.start()
        with self.assertRaises(ftplib.error_temp) as ctx:
            self.retr("big.bin")
        self.assertTrue(str(ctx.exception).startswith("451"), ctx.exception)
        self.assertEqual(self.retr("small.txt"), b"small")

    def test_mandatory_inspection_refuses_with_451(self):
        self.start_ftp({"small.txt": b"small"}, 4, ["-I=1"])
        os.unlink(self.proxy.path("pipe", "ruvoavs"))  # the scanner is gone
        with self.assertRaises(ftplib.error_temp) as ctx:
            self.retr("small.txt")
        self.assertTrue(str(ctx.exception).startswith("451"), ctx.exception)


if __name__ == "__main__":
    unittest.main()
