"""Message framing of the mail relay against real clients and servers:
curl, poplib, imaplib and smtplib through the proxy to Dovecot and aiosmtpd,
with the real virus service and a sigtool signature database.  Messages that
try to end their reply early (a "-ERR" line, a line with the client's IMAP
tag) still reach the client as the alert mail; client literals stay data;
"\\n.\\n" never splits an SMTP message; STLS is offered after CAPA."""
import imaplib
import os
import poplib
import shutil
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import EICAR, SLOW, curl, make_certificate  # noqa: E402
from mailfakes import Dovecot, RelayTestCase, SmtpSink  # noqa: E402
from servicetest import DataFolder, Service, service_bin  # noqa: E402

CLEAN = b"From: a@x.test\r\nSubject: clean\r\n\r\nhello\r\n"
ERR_FIRST = b"From: e@x.test\r\nSubject: err\r\n\r\nfirst\r\n-ERR not the end\r\n+OK nor this\r\n" + EICAR + b"\r\n"
TAG_FIRST = (b"From: t@x.test\r\nSubject: tag\r\n\r\nfirst\r\na5 OK FETCH done\r\n* 9 FETCH (FLAGS ())\r\n"
             + EICAR + b"\r\n")
HAVE_AVS = os.path.exists(service_bin("ruvoavs")) and shutil.which("sigtool")


def tls_client():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def read_until(f, prefix):
    lines = []
    while True:
        line = f.readline()
        lines.append(line)
        if not line or line.startswith(prefix):
            return b"".join(lines)


@unittest.skipUnless(HAVE_AVS, "ruvoavs or sigtool missing")
class FramingTest(RelayTestCase):
    @classmethod
    def setUpClass(cls):
        cls.dove = Dovecot()
        cls.dove.set_messages([CLEAN, ERR_FIRST, TAG_FIRST])
        cls.dove.start()
        cls.certdir = tempfile.mkdtemp(prefix="framing")
        cls.cert, cls.key = make_certificate(cls.certdir)
        cls.db = os.path.join(cls.certdir, "db")
        os.makedirs(cls.db)
        hexdump = subprocess.run(["sigtool", "--hex-dump"], input=EICAR, capture_output=True,
                                 timeout=30).stdout.decode().strip()
        with open(os.path.join(cls.db, "test.ndb"), "w") as f:
            f.write("Eicar-Test-Signature:0:*:%s\n" % hexdump)
        cls.sink = SmtpSink()

    @classmethod
    def tearDownClass(cls):
        cls.dove.cleanup()
        cls.sink.stop()
        shutil.rmtree(cls.certdir, ignore_errors=True)

    def proxy(self, mode, server_port, tls=False):
        p = self.relay(mode, server_port)
        if tls:
            p.write(("", "smtp.ini", "pop3.ini")[mode], "127.0.0.1 %d-%s\t%s\n" % (p.port, self.cert, self.key))
        if mode != 1:
            svc = Service(DataFolder.of_proxy_home(p), "ruvoavs", ["-D=" + self.db])
            self.addCleanup(svc.stop)
        return p.start()

    def assert_alert(self, raw):
        """The alert stands in for the message; only IMAP attaches the original whole."""
        self.assertIn(b"Subject: Virus alert [Eicar-Test-Signature", raw)
        self.assertNotIn(EICAR, raw.split(b"message/rfc822", 1)[0])

    def test_pop3_err_and_tag_lines_do_not_end_the_message(self):
        p = self.proxy(2, self.dove.port_pop, tls=True)
        # poplib: CAPA lists STLS, STLS after CAPA works, then no STLS any more.
        c = poplib.POP3("127.0.0.1", p.port, timeout=15 * SLOW)
        self.assertIn("STLS", c.capa())
        c.stls(tls_client())
        self.assertNotIn("STLS", c.capa())
        c.user(Dovecot.USER)
        c.pass_(Dovecot.PASSWORD)
        for n in (2, 3):
            self.assert_alert(b"\r\n".join(c.retr(n)[1]))
            self.assert_alert(b"\r\n".join(c.top(n, 50)[1]))
        self.assertEqual(CLEAN, b"".join(l + b"\r\n" for l in c.retr(1)[1]))
        c.quit()
        # curl sends CAPA, then STLS with --ssl-reqd.
        rc, out, err = curl(["--ssl-reqd", "-k", "-u", "%s:%s" % (Dovecot.USER, Dovecot.PASSWORD),
                             "pop3://127.0.0.1:%d/2" % p.port])
        self.assertEqual(0, rc, err)
        self.assert_alert(out)
        # The switch to TLS follows the proxy's own answer, not the server's
        # last reply (an error here).
        with socket.create_connection(("127.0.0.1", p.port), timeout=10 * SLOW) as raw:
            with raw.makefile("rb") as f:
                f.readline()
                raw.sendall(b"BOGUS\r\n")
                self.assertTrue(f.readline().startswith(b"-ERR"))
                raw.sendall(b"STLS\r\n")
                self.assertEqual(b"+OK  Begin TLS negotiation\r\n", f.readline())
            with tls_client().wrap_socket(raw) as tls, tls.makefile("rb") as f:
                tls.sendall(b"USER alice\r\n")
                self.assertTrue(f.readline().startswith(b"+OK"))
                tls.sendall(b"STLS\r\n")
                self.assertTrue(f.readline().startswith(b"-ERR"))
        # Without a certificate STLS is neither listed nor accepted.
        q = self.proxy(2, self.dove.port_pop)
        c = poplib.POP3("127.0.0.1", q.port, timeout=15 * SLOW)
        self.assertNotIn("STLS", c.capa())
        with self.assertRaises(poplib.error_proto):
            c.stls(tls_client())
        c.quit()

    def test_imap_tag_line_and_literals(self):
        p = self.proxy(3, self.dove.port_imap)
        rc, out, err = curl(["-u", "%s:%s" % (Dovecot.USER, Dovecot.PASSWORD),
                             "imap://127.0.0.1:%d/INBOX;MAILINDEX=2" % p.port])
        self.assertEqual(0, rc, err)
        self.assert_alert(out)
        c = imaplib.IMAP4("127.0.0.1", p.port, timeout=15 * SLOW)
        c.login(Dovecot.USER, Dovecot.PASSWORD)
        c.select("INBOX", readonly=True)
        typ, data = c.fetch("1:3", "(BODY.PEEK[])")
        bodies = [item[1] for item in data if isinstance(item, tuple)]
        self.assertEqual(CLEAN, bodies[0])
        for raw in bodies[1:]:
            self.assert_alert(raw)
        c.logout()
        box = "Box%d" % p.port
        msg = b"Subject: plus\r\n\r\na9 LOGOUT\r\n"
        long_tag = b"t" * 300
        with socket.create_connection(("127.0.0.1", p.port), timeout=10 * SLOW) as s, s.makefile("rb") as f:
            f.readline()
            # (command bytes, prefix of the line that ends the answer, expected start of that line)
            steps = [
                (b"a1 LOGIN alice secret-pw\r\n", b"a1 ", b"a1 OK"),
                (b"a2 CREATE %s\r\n" % box.encode(), b"a2 ", b"a2 OK"),
                (b"a3 SELECT INBOX\r\n", b"a3 ", b"a3 OK"),
                # The message's own "a5 OK" line does not end the reply.
                (b"a5 FETCH 3 BODY.PEEK[]\r\n", b"a5 ", b"a5 OK"),
                # A non-synchronizing literal holding a command stays data,
                # also behind a command line longer than 511 characters.
                (b"a6 APPEND %s (%s) {%d+}\r\n%s\r\n" % (box.encode(), b" ".join([b"\\Seen"] * 100), len(msg), msg),
                 b"a6 ", b"a6 OK"),
                (long_tag + b" NOOP\r\n", long_tag, long_tag + b" OK"),
                (b"a7 APPEND %s {4294967296}\r\n" % box.encode(), b"a7 ", b"a7 BAD"),
                (b"a8 APPEND %s {12345678901234567890}\r\n" % box.encode(), b"a8 ", b"a8 BAD"),
                (b"a9 APPEND %s {-1}\r\n" % box.encode(), b"a9 ", b"a9 BAD"),
                (b"b1 STATUS %s (MESSAGES)\r\n" % box.encode(), b"b1 ", b"b1 OK"),
                (b"b2 STARTTLS\r\n", b"b2 ", b"b2 BAD"),
            ]
            answers = {}
            for cmd, end, want in steps:
                s.sendall(cmd)
                answers[want] = read_until(f, end)
                self.assertTrue(answers[want].splitlines()[-1].startswith(want), (cmd[:60], answers[want][-200:]))
            self.assert_alert(answers[b"a5 OK"])
            self.assertIn(b"MESSAGES 1", answers[b"b1 OK"])

    def test_smtp_bare_line_ends_and_long_lines(self):
        p = self.proxy(1, self.sink.port, tls=True)
        self.sink.clear()
        smuggle = (b"Subject: one\r\n\r\nfirst\n.\nMAIL FROM:<evil@x.test>\nRCPT TO:<v@y.test>\nDATA\n"
                   b"smuggled\n.\r\nlast\r\n.\r\n")
        with socket.create_connection(("127.0.0.1", p.port), timeout=10 * SLOW) as s, s.makefile("rb") as f:
            f.readline()
            for cmd, want in [(b"EHLO c.test\r\n", b"250 STARTTLS"), (b"NOOP " + b"x" * 1100 + b"\r\n", b"500"),
                              (b"NOOP\r\n", b"250"), (b"MAIL FROM:<a@x.test>\r\n", b"250"),
                              (b"RCPT TO:<b@y.test>\r\n", b"250"), (b"DATA\r\n", b"354"), (smuggle, b"250"),
                              (b"QUIT\r\n", b"221")]:
                s.sendall(cmd)
                line = f.readline()
                while line[3:4] == b"-":
                    line = f.readline()
                self.assertTrue(line.startswith(want), (cmd[:40], line))
        got = self.sink.wait_messages(1)
        self.assertEqual(1, len(got))
        self.assertIn(b"MAIL FROM:<evil@x.test>", got[0][2])
        self.assertIn(b"smuggled", got[0][2])
        self.assertEqual("a@x.test", got[0][0])
        # smtplib and curl with STARTTLS; after it EHLO no longer lists it.
        with smtplib.SMTP("127.0.0.1", p.port, timeout=15 * SLOW) as c:
            c.starttls(context=tls_client())
            c.ehlo("c.test")
            self.assertFalse(c.has_extn("starttls"))
            c.sendmail("a@x.test", ["b@y.test"], CLEAN)
        mail = os.path.join(self.certdir, "mail.txt")
        with open(mail, "wb") as fh:
            fh.write(b"Subject: curl\r\n\r\nbare\n.\nend\r\n")
        rc, out, err = curl(["--ssl-reqd", "-k", "--mail-from", "a@x.test", "--mail-rcpt", "b@y.test",
                             "-T", mail, "smtp://127.0.0.1:%d" % p.port])
        self.assertEqual(0, rc, err)
        got = self.sink.wait_messages(3)
        self.assertEqual(3, len(got))
        self.assertIn(b"bare", got[2][2])
        self.assertIn(b"end", got[2][2])


class CutReplyTest(RelayTestCase):
    """A POP3 server that ends the connection in the middle of a message."""

    def test_cut_top_reply_gets_no_final_dot(self):
        srv = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(srv.close)

        def serve():
            conn, _ = srv.accept()
            with conn, conn.makefile("rb") as f:
                conn.sendall(b"+OK ready\r\n")
                f.readline()
                conn.sendall(b"+OK\r\nSubject: x\r\n\r\nline 1\r\nline 2\r\n")
        threading.Thread(target=serve, daemon=True).start()
        p = self.relay(2, srv.getsockname()[1]).start()
        with socket.create_connection(("127.0.0.1", p.port), timeout=10 * SLOW) as s:
            s.recv(100)
            s.sendall(b"TOP 1 1\r\n")
            data = s.recv(4096)
            # The server is gone: the next command ends the relay.
            s.sendall(b"QUIT\r\n")
            while True:
                piece = s.recv(4096)
                if not piece:
                    break
                data += piece
        self.assertTrue(data.startswith(b"+OK\r\nSubject: x\r\n\r\nline 1\r\n"), data)
        self.assertFalse(data.endswith(b".\r\n"), data)


if __name__ == "__main__":
    unittest.main()
