"""POP3 and IMAP4 relay end to end: poplib and imaplib against the proxy,
a private Dovecot instance as the mail server, a fake virus scanner on the
pipe socket.  Infected messages reach the client as the virus alert mail."""
import email
import os
import poplib
import imaplib
import socket
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import EICAR, SLOW, file_verdict, make_certificate  # noqa: E402
from mailfakes import Dovecot, RelayTestCase  # noqa: E402

CLEAN = b"From: a@x.test\r\nSubject: clean one\r\n\r\nhello\r\n.dotted line\r\nline 3\r\nline 4\r\n"
INFECTED = (b"From: b@x.test\r\nSubject: infected\r\n  folded subject\r\nContent-Type: text/plain\r\n\r\n"
            b"see attachment\r\n" + EICAR + b"\r\n")
THIRD = b"From: c@x.test\r\nSubject: third\r\n\r\nbody three\r\n"


class MailboxRelayTest(RelayTestCase):
    @classmethod
    def setUpClass(cls):
        cls.dove = Dovecot()
        cls.dove.set_messages([CLEAN, INFECTED, THIRD])
        cls.dove.start()

    @classmethod
    def tearDownClass(cls):
        cls.dove.cleanup()

    def proxy(self, mode, *args, scanner=True):
        p = self.relay(mode, self.dove.port_pop if mode == 2 else self.dove.port_imap, *args)
        if scanner:
            self.service(p, "ruvoavs", file_verdict(b"EICAR-STANDARD", "Eicar-Test-Signature"))
        return p.start()

    def pop(self, p):
        c = poplib.POP3("127.0.0.1", p.port, timeout=15 * SLOW)
        c.user(Dovecot.USER)
        c.pass_(Dovecot.PASSWORD)
        return c

    def imap(self, p):
        c = imaplib.IMAP4("127.0.0.1", p.port, timeout=15 * SLOW)
        c.login(Dovecot.USER, Dovecot.PASSWORD)
        return c

    @staticmethod
    def pop_message(lines):
        return b"".join(l + b"\r\n" for l in lines)

    # ---- POP3 --------------------------------------------------------------

    def test_pop3_clean_messages_list_uidl_and_top(self):
        p = self.proxy(2)
        c = self.pop(p)
        resp, listing, _ = c.list()
        self.assertEqual(3, len(listing))
        self.assertEqual(3, len(c.uidl()[1]))
        self.assertEqual(b"+OK", c.list(1)[:3])
        resp, lines, octets = c.retr(1)
        self.assertEqual(CLEAN, self.pop_message(lines))
        resp, lines, _ = c.retr(3)
        self.assertEqual(THIRD, self.pop_message(lines))
        with self.assertRaises(poplib.error_proto):
            c.retr(9)
        # TOP is fetched whole (RETR) and cut.
        resp, lines, _ = c.top(1, 2)
        self.assertEqual([b"From: a@x.test", b"Subject: clean one", b"", b"hello", b".dotted line"], lines)
        resp, lines, _ = c.top(3, 10)
        self.assertEqual(THIRD, self.pop_message(lines))
        c.quit()
        log = p.wait_log("Close Server socket.")
        self.assertIn("VIRUS result [CLEAN]", log)
        self.assertIn("SPAM result [CLEAN]", log)
        self.assertIn("RETR 1", log)

    def check_alert(self, raw, whole):
        msg = email.message_from_bytes(raw)
        self.assertEqual("Virus alert [Eicar-Test-Signature]", msg["Subject"])
        self.assertEqual("b@x.test", msg["From"])
        self.assertTrue(msg.is_multipart())
        parts = msg.get_payload()
        self.assertEqual("'Eicar-Test-Signature' was found.\r\n", parts[0].get_payload())
        self.assertEqual("message/rfc822", parts[1].get_content_type())
        header = raw.split(b"\r\n\r\n", 1)[0]
        self.assertEqual(1, header.count(b"Subject:"))
        self.assertNotIn(b"folded subject", header, "a folded subject is replaced as a whole")
        self.assertIn(b"Subject: infected\r\n  folded subject\r\n", raw)
        self.assertEqual(whole, EICAR in raw)
        self.assertEqual(not whole, b"Sorry, deleted body..." in raw)

    def test_pop3_infected_message_becomes_the_alert(self):
        p = self.proxy(2)
        c = self.pop(p)
        resp, lines, octets = c.retr(2)
        raw = self.pop_message(lines)
        self.check_alert(raw, whole=False)
        # The status line announces the size of everything that follows it,
        # the terminating ".\r\n" included (no line here is dot-stuffed).
        self.assertRegex(resp.decode(), r"^\+OK \d+ octets$")
        self.assertEqual(int(resp.split()[1]), octets + 3)
        c.quit()
        self.assertIn("VIRUS result [Eicar-Test-Signature]", p.log())

    def test_pop3_infected_message_kept_whole_with_D(self):
        p = self.proxy(2, "-D=1")
        c = self.pop(p)
        self.check_alert(self.pop_message(c.retr(2)[1]), whole=True)
        c.quit()

    def test_pop3_stls_without_certificate_is_refused(self):
        p = self.proxy(2, scanner=False)
        with socket.create_connection(("127.0.0.1", p.port), timeout=10 * SLOW) as s, s.makefile("rb") as f:
            self.assertTrue(f.readline().startswith(b"+OK"))
            s.sendall(b"STLS\r\nNOOP\r\n")
            self.assertEqual(b"-ERR TLS not available\r\n", f.readline())
            # The command behind STLS is still served (in the clear).
            self.assertTrue(f.readline().startswith(b"-ERR"))
            s.sendall(b"QUIT\r\n")
            self.assertTrue(f.readline().startswith(b"+OK"))

    def test_pop3_stls_answered_by_the_proxy(self):
        import shutil
        import ssl
        import tempfile
        certdir = tempfile.mkdtemp(prefix="poptls")
        self.addCleanup(shutil.rmtree, certdir, True)
        cert, key = make_certificate(certdir)
        p = self.relay(2, self.dove.port_pop)
        p.write("pop3.ini", "127.0.0.1 %d-%s\t%s\n" % (p.port, cert, key))
        p.start()
        ctx = ssl.create_default_context()
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        with socket.create_connection(("127.0.0.1", p.port), timeout=10 * SLOW) as raw:
            with raw.makefile("rb") as f:
                self.assertTrue(f.readline().startswith(b"+OK"))
                raw.sendall(b"STLS\r\n")
                self.assertEqual(b"+OK  Begin TLS negotiation\r\n", f.readline())
            with ctx.wrap_socket(raw, server_hostname="localhost") as tls, tls.makefile("rb") as f:
                for cmd in (b"USER alice\r\n", b"PASS secret-pw\r\n"):
                    tls.sendall(cmd)
                    self.assertTrue(f.readline().startswith(b"+OK"), cmd)
                tls.sendall(b"STAT\r\n")
                self.assertTrue(f.readline().startswith(b"+OK 3 "))
                tls.sendall(b"QUIT\r\n")
                self.assertTrue(f.readline().startswith(b"+OK"))
        self.assertIn("SSL_accept() success.", p.log())

    # ---- IMAP4 -------------------------------------------------------------

    def test_imap_fetch_clean_and_infected(self):
        p = self.proxy(3)
        c = self.imap(p)
        typ, data = c.select("INBOX")
        self.assertEqual(("OK", [b"3"]), (typ, data))
        typ, data = c.fetch("1:3", "(BODY.PEEK[])")
        self.assertEqual("OK", typ)
        bodies = [item[1] for item in data if isinstance(item, tuple)]
        self.assertEqual(3, len(bodies))
        self.assertEqual(CLEAN, bodies[0])
        self.assertEqual(THIRD, bodies[2])
        # The alert stands in for the infected message; IMAP attaches it whole.
        self.check_alert(bodies[1], whole=True)
        typ, data = c.uid("FETCH", "1", "(BODY.PEEK[])")
        self.assertEqual(CLEAN, data[0][1])
        self.assertEqual("BYE", c.logout()[0])
        log = p.wait_log("Close Server socket.")
        self.assertIn("VIRUS result [Eicar-Test-Signature]", log)
        self.assertIn("[MakeMail] Start.", log)

    def test_imap_append_literals(self):
        p = self.proxy(3)
        c = self.imap(p)
        c.create("Saved%d" % p.port)
        box = "Saved%d" % p.port
        big = b"Subject: appended\r\n\r\n" + b"".join(b"line %05d a FETCH 1\r\n" % i for i in range(3000))
        typ, data = c.append(box, None, None, big)
        self.assertEqual("OK", typ, data)
        # The next command has a tag of its own again.
        self.assertEqual("OK", c.noop()[0])
        typ, data = c.select(box)
        self.assertEqual([b"1"], data)
        typ, data = c.fetch("1", "(BODY.PEEK[])")
        self.assertEqual(big, data[0][1])
        c.logout()
        # A non-synchronizing literal arrives with its command in one go.
        with socket.create_connection(("127.0.0.1", p.port), timeout=10 * SLOW) as s, s.makefile("rb") as f:
            f.readline()
            s.sendall(b"t1 LOGIN alice secret-pw\r\n")
            while not f.readline().startswith(b"t1 "):
                pass
            msg = b"Subject: plus\r\n\r\nbody\r\n"
            s.sendall(b"t2 APPEND %s {%d+}\r\n%s\r\nt3 NOOP\r\n" % (box.encode(), len(msg), msg))
            line = f.readline()
            while not line.startswith(b"t2 "):
                line = f.readline()
            self.assertTrue(line.startswith(b"t2 OK"), line)
            line = f.readline()
            while not line.startswith(b"t3 "):
                line = f.readline()
            self.assertTrue(line.startswith(b"t3 OK"), line)

    def test_imap_other_commands_pass(self):
        p = self.proxy(3)
        c = self.imap(p)
        self.assertEqual("OK", c.noop()[0])
        typ, data = c.list()
        self.assertEqual("OK", typ)
        c.select("INBOX", readonly=True)
        typ, data = c.search(None, "ALL")
        self.assertEqual([b"1 2 3"], data)
        typ, data = c.fetch("3", "(FLAGS RFC822.SIZE)")
        self.assertEqual("OK", typ)
        c.logout()


if __name__ == "__main__":
    unittest.main()
