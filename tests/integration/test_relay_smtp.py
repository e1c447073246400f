"""SMTP relay end to end: Python's smtplib (and raw sockets where the test
needs exact bytes) against the proxy in SMTP mode, aiosmtpd as the upstream
server, fake inspection services on the pipe sockets."""
import glob
import os
import smtplib
import socket
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import EICAR, SLOW, FakeService, file_verdict, free_port, proxy_for, recv_all  # noqa: E402
from mailfakes import SPAM_MARK, RelayTestCase, SmtpSink  # noqa: E402

MSG = (b"From: a@x.test\r\nTo: b@y.test\r\nSubject: hello\r\n\r\n"
       b"first line\r\n.line starting with a dot\r\nDATA\r\nquit\r\nData follows\r\n\r\nlast\r\n")


class Replies:
    """Reads SMTP replies (all lines up to "nnn ") from a socket, one at a time."""

    def __init__(self, sock, timeout=10):
        self.sock = sock
        self.sock.settimeout(timeout * SLOW)
        self.buf = b""

    def __call__(self):
        while True:
            lines = self.buf.split(b"\r\n")
            used = 0
            for line in lines[:-1]:
                used += len(line) + 2
                if len(line) < 4 or line[3:4] == b" ":
                    reply, self.buf = self.buf[:used], self.buf[used:]
                    return reply
            chunk = self.sock.recv(4096)
            if not chunk:
                reply, self.buf = self.buf, b""
                return reply
            self.buf += chunk


class SmtpRelayTest(RelayTestCase):
    @classmethod
    def setUpClass(cls):
        cls.sink = SmtpSink()

    @classmethod
    def tearDownClass(cls):
        cls.sink.stop()

    def setUp(self):
        self.sink.clear()

    def proxy(self, *args, setup=None):
        p = self.relay(1, self.sink.port, *args)
        if setup:
            setup(p)
        return p.start()

    def send(self, proxy, msg=MSG, sender="a@x.test", rcpts=("b@y.test",)):
        with smtplib.SMTP("127.0.0.1", proxy.port, timeout=15 * SLOW) as s:
            s.ehlo("client.test")
            s.sendmail(sender, list(rcpts), msg)

    def converse(self, proxy, steps):
        """A raw SMTP dialogue: for each (bytes sent, reply prefixes wanted, None: any
        reply) the replies are read one by one.  Returns the socket, still open."""
        s = socket.create_connection(("127.0.0.1", proxy.port), timeout=10 * SLOW)
        self.addCleanup(s.close)
        read_reply = Replies(s)
        self.assertTrue(read_reply().startswith(b"220"))
        for send, wants in steps:
            s.sendall(send)
            for want in wants:
                reply = read_reply()
                self.assertTrue(reply.startswith(want or b""), (send, reply))
        return s

    def test_plain_relay(self):
        p = self.proxy("-U=0")
        self.send(p)
        got = self.sink.wait_messages(1)
        self.assertEqual(1, len(got))
        self.assertEqual(("a@x.test", ["b@y.test"]), got[0][:2])
        # Body lines reading "DATA", "quit" or starting with a dot change nothing.
        self.assertEqual(MSG, got[0][2])
        log = p.wait_log("Close Server socket.")
        self.assertIn("VIRUS result [CLEAN]", log)
        self.assertIn("SPAM result [CLEAN]", log)
        # Two messages and many recipients on one connection; a large message is not cut.
        self.sink.clear()
        with smtplib.SMTP("127.0.0.1", p.port, timeout=15 * SLOW) as s:
            s.helo("client.test")
            s.sendmail("a@x.test", ["b@y.test", "c@y.test"], MSG)
            s.sendmail("d@x.test", ["e@y.test"], b"Subject: two\r\n\r\nsecond\r\n")
        got = self.sink.wait_messages(2)
        self.assertEqual(["b@y.test", "c@y.test"], got[0][1])
        self.assertEqual(b"Subject: two\r\n\r\nsecond\r\n", got[1][2])
        self.sink.clear()
        big = b"Subject: big\r\n\r\n" + b"".join(b"line %06d %s\r\n" % (i, b"x" * 70) for i in range(30000))
        self.send(p, big)
        self.assertEqual(big, self.sink.wait_messages(1, timeout=30)[0][2])
        # Pipelined commands and body are answered one by one, nothing lost.
        self.sink.clear()
        self.converse(p, [(b"EHLO c\r\n", [None]),
                          (b"MAIL FROM:<a@x.test>\r\nRCPT TO:<b@y.test>\r\nDATA\r\n", [b"250", b"250", b"354"]),
                          (b"Subject: p\r\n\r\nbody\r\n.\r\nQUIT\r\n", [b"250", b"221"])]).close()
        self.assertEqual(b"Subject: p\r\n\r\nbody\r\n", self.sink.wait_messages(1)[0][2])

    def test_nothing_is_delivered_without_a_complete_transaction(self):
        p = self.proxy("-U=0")
        # No recipient: the proxy says 354, but the server refuses DATA; the
        # body (which holds a command line) is never sent.
        self.converse(p, [(b"EHLO c\r\n", [None]), (b"MAIL FROM:<a@x.test>\r\n", [None]),
                          (b"DATA\r\n", [b"354"]), (b"Subject: x\r\n\r\nRCPT TO:<evil@y.test>\r\n.\r\n", [b"5"]),
                          (b"NOOP\r\n", [b"250"]), (b"QUIT\r\n", [None])]).close()
        # The client closes inside the body.
        s = self.converse(p, [(b"HELO c\r\n", [None]), (b"MAIL FROM:<a@x.test>\r\n", [None]),
                              (b"RCPT TO:<b@y.test>\r\n", [None]), (b"DATA\r\n", [None]),
                              (b"Subject: cut\r\n\r\nhalf a mess", [])])
        s.close()
        p.wait_log("Close Server socket.", count=2)
        self.assertEqual([], self.sink.wait_messages(1, timeout=0.5))

    def test_trace_header_is_added_before_the_message(self):
        p = self.proxy()
        self.send(p)
        got = self.sink.wait_messages(1)[0][2]
        first, rest = got.split(b"\r\n", 1)
        self.assertTrue(first.startswith(b"Received: from "), first)
        self.assertTrue(first.endswith(b"(Q-RELAY Server);"), first)
        date, body = rest.split(b"\r\n", 1)
        self.assertRegex(date.decode(), r"^\t\w{3}, \d\d \w{3} \d{4} \d\d:\d\d:\d\d ([+-]\d{4}|GMT)$")
        self.assertEqual(MSG, body)

    def test_virus_refused_with_552_and_next_message_accepted(self):
        def setup(p):
            self.service(p, "ruvoavs", file_verdict(b"EICAR-STANDARD", "Eicar-Test-Signature"))
        p = self.proxy("-U=0", setup=setup)
        with smtplib.SMTP("127.0.0.1", p.port, timeout=15 * SLOW) as s:
            s.ehlo("client.test")
            with self.assertRaises(smtplib.SMTPDataError) as cm:
                s.sendmail("a@x.test", ["b@y.test"], b"Subject: v\r\n\r\n" + EICAR + b"\r\n")
            self.assertEqual(552, cm.exception.smtp_code)
            self.assertEqual(b"Requested mail action aborted: Virus found 'Eicar-Test-Signature'.",
                             cm.exception.smtp_error)
            # The refused transaction is over on both sides: a new one works.
            s.sendmail("a@x.test", ["b@y.test"], MSG)
        got = self.sink.wait_messages(1)
        self.assertEqual(1, len(got))
        self.assertEqual(MSG, got[0][2])
        self.assertIn("VIRUS result [Eicar-Test-Signature]", p.log())
        # The virus service got the spool file with the SMTP protocol code.
        self.assertTrue(any(r.endswith("\t3") for r in self.services[0].requests))

    def test_virus_passes_for_a_client_marked_pass(self):
        def setup(p):
            self.service(p, "ruvoavs", file_verdict(b"EICAR-STANDARD", "Eicar-Test-Signature"))
            p.write("smtp-con.ini", "127.0.0.1 pass\n")
        p = self.proxy("-U=0", setup=setup)
        msg = b"Subject: v\r\n\r\n" + EICAR + b"\r\n"
        self.send(p, msg)
        self.assertEqual(msg, self.sink.wait_messages(1)[0][2])

    def test_spam_refused_only_with_J(self):
        def setup(p):
            self.service(p, "ruvospam", file_verdict(SPAM_MARK, "SPAM-TEST"))
            self.service(p, "ruvoavs", lambda text: "")
        msg = b"Subject: buy\r\n\r\n" + SPAM_MARK + b"\r\n"
        p = self.proxy("-U=0", "-J=1", setup=setup)
        with self.assertRaises(smtplib.SMTPDataError) as cm:
            self.send(p, msg)
        self.assertEqual(552, cm.exception.smtp_code)
        self.assertEqual(b"Requested mail action aborted: SPAM found 'SPAM-TEST'.", cm.exception.smtp_error)
        self.assertEqual([], self.sink.wait_messages(1, timeout=0.5))
        # Refused before the virus scan ran.
        self.assertEqual([], self.services[1].requests)
        spam_req = self.services[0].requests[0].split("\t")
        self.assertEqual(["127.0.0.1", "a@x.test"], spam_req[1:])

        p2 = self.proxy("-U=0", setup=setup)
        self.send(p2, msg)
        self.assertEqual(msg, self.sink.wait_messages(1)[0][2])
        self.assertIn("SPAM result [SPAM-TEST]", p2.log())

    def test_backup_copies_of_accepted_and_rejected_messages(self):
        backup = None

        def setup(p):
            nonlocal backup
            backup = os.path.join(p.root, "backup")
            os.makedirs(backup)
            p.args.append("-B=%s" % backup)
        p = self.proxy("-U=0", setup=setup)
        self.send(p, MSG, sender="from@x.test", rcpts=("r1@y.test", "r2@y.test"))
        with self.assertRaises(smtplib.SMTPDataError):
            self.send(p, b"Subject: no\r\n\r\nREJECT-ME\r\n")
        p.wait_log("[CloseClient]")
        time.sleep(0.3)
        emls = glob.glob(os.path.join(backup, "*", "*.EML"))
        rcps = glob.glob(os.path.join(backup, "*", "*.RCP"))
        self.assertEqual(1, len(emls), os.listdir(backup))
        self.assertEqual(1, len(rcps))
        with open(emls[0], "rb") as f:
            self.assertEqual(MSG, f.read())
        ident = os.path.basename(emls[0])[:-4]
        self.assertRegex(ident, r"^\d{17}\.\d{8}$")
        self.assertEqual(ident[:8], os.path.basename(os.path.dirname(emls[0])))
        with open(rcps[0]) as f:
            self.assertEqual("Message-ID: <%s>\nReturn-path: from@x.test\nRecipient: r1@y.test\n"
                             "Recipient: r2@y.test\n" % ident, f.read())
        # Nothing of the rejected message stays behind.
        leftovers = [n for n in glob.glob(os.path.join(backup, "*", "*")) if not n.endswith((".EML", ".RCP"))]
        self.assertEqual([], leftovers)
        self.assertIn("[Backup_Mail]", p.log())
        self.assertIn("Success.", p.log())

    def test_rset_deletes_the_envelope(self):
        backup = None

        def setup(p):
            nonlocal backup
            backup = os.path.join(p.root, "backup")
            os.makedirs(backup)
            p.args.append("-B=%s/" % backup)
        p = self.proxy("-U=0", setup=setup)
        envelopes = lambda: glob.glob(os.path.join(backup, "*", "*.$CP"))
        with socket.create_connection(("127.0.0.1", p.port), timeout=10) as s:
            read_reply = Replies(s)
            read_reply()
            for cmd in (b"HELO c\r\n", b"MAIL FROM:<>\r\n", b"RCPT TO:<b@y.test>\r\n"):
                s.sendall(cmd)
                read_reply()
            self.assertEqual(1, len(envelopes()))
            with open(envelopes()[0]) as f:
                self.assertIn("Return-path: \nRecipient: b@y.test\n", f.read())
            # A second MAIL FROM inside the transaction makes no new envelope.
            s.sendall(b"MAIL FROM:<z@x.test>\r\n")
            read_reply()
            s.sendall(b"RSET \r\n")  # not the whole-line RSET
            read_reply()
            self.assertEqual(1, len(envelopes()))
            s.sendall(b"RSET\r\n")
            read_reply()
            self.assertEqual([], envelopes())
            s.sendall(b"QUIT\r\n")
            read_reply()

    def test_attachment_compression_rewrites_the_message(self):
        def compress(text):
            path = text.split("\t", 1)[0]
            with open(path, "rb") as f:
                data = f.read()
            with open(path, "wb") as f:
                f.write(data.replace(b"BIG-ATTACHMENT", b"ZIPPED"))
            return "compressed"

        def setup(p):
            self.service(p, "qzmail2zip", compress)
            p.write("smtp-zip.db", "127.0.0.1:%d\n" % p.port)
        p = self.proxy("-U=0", setup=setup)
        self.send(p, b"Subject: att\r\n\r\nBIG-ATTACHMENT\r\n")
        self.assertEqual(b"Subject: att\r\n\r\nZIPPED\r\n", self.sink.wait_messages(1)[0][2])
        self.assertIn("[CompressedbyPipe]", p.log())
        # The message went back under its spool name.
        self.assertEqual([], [n for n in glob.glob(os.path.join(p.data, "cache", "*.dat"))
                              if not os.path.basename(n).startswith("req-")])

    def test_upstream_down_closes_without_a_byte(self):
        p = self.relay(1, free_port(), "-$=1").start()
        with socket.create_connection(("127.0.0.1", p.port), timeout=10) as s:
            self.assertEqual(b"", recv_all(s, timeout=10))
        self.assertIn("connect fail.", p.wait_log("connect fail."))


class SocksMailRelayTest(unittest.TestCase):
    """A SOCKS 5 destination classified as SMTP goes through the inspecting relay."""

    def setUp(self):
        self.sink = SmtpSink()
        self.addCleanup(self.sink.stop)
        self.proxy = proxy_for(self, 5)
        self.proxy.write("socks-ptl.ini", "%d,1\n" % self.sink.port)
        self.scanner = FakeService(self.proxy.data, "ruvoavs", file_verdict(b"EICAR-STANDARD", "Eicar-Test"))
        self.addCleanup(self.scanner.stop)

    def socks_connect(self):
        import struct
        s = socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10 * SLOW)
        s.sendall(b"\x05\x01\x00")
        self.assertEqual(b"\x05\x00", s.recv(2))
        s.sendall(b"\x05\x01\x00\x01\x7f\x00\x00\x01" + struct.pack(">H", self.sink.port))
        reply = b""
        while len(reply) < 10:
            chunk = s.recv(10 - len(reply))
            if not chunk:
                break
            reply += chunk
        return s, reply

    def test_infected_message_refused_clean_one_delivered(self):
        self.proxy.start()
        s, reply = self.socks_connect()
        with s:
            self.assertEqual(b"\x05\x00", reply[:2])
            read = Replies(s)
            self.assertTrue(read().startswith(b"220"))
            for cmd in (b"HELO c\r\n", b"MAIL FROM:<a@x.test>\r\n", b"RCPT TO:<b@y.test>\r\n", b"DATA\r\n"):
                s.sendall(cmd)
                read()
            s.sendall(b"Subject: v\r\n\r\n" + EICAR + b"\r\n.\r\n")
            self.assertEqual(b"552 Requested mail action aborted: Virus found 'Eicar-Test'.\r\n", read())
            for cmd in (b"MAIL FROM:<a@x.test>\r\n", b"RCPT TO:<b@y.test>\r\n", b"DATA\r\n"):
                s.sendall(cmd)
                read()
            s.sendall(b"Subject: ok\r\n\r\nfine\r\n.\r\n")
            self.assertTrue(read().startswith(b"250"))
            s.sendall(b"QUIT\r\n")
            self.assertTrue(read().startswith(b"221"))
        got = self.sink.wait_messages(1)
        self.assertEqual(1, len(got))
        self.assertTrue(got[0][2].endswith(b"Subject: ok\r\n\r\nfine\r\n"))
        # The scan ran with the SMTP protocol code of the destination's class.
        self.assertTrue(any(r.endswith("\t3") for r in self.scanner.requests))

    def test_black_listed_destination_is_refused(self):
        self.proxy.write("black.db", "127.0.0.1,socks,tcp,127.0.0.1,%d\n" % self.sink.port)
        self.proxy.start()
        s, reply = self.socks_connect()
        with s:
            self.assertEqual(b"\x05\x02\x00\x01" + b"\x00" * 6, reply)
            self.assertEqual(b"", recv_all(s, timeout=5))
        self.assertIn("[TelnetDispatch]", self.proxy.wait_log("QueryDBList("))
        self.assertIn("blacklist [127.0.0.1 %d]" % self.sink.port, self.proxy.log())


if __name__ == "__main__":
    unittest.main()
