"""STARTTLS mediation and the raw tunnel of the SMTP relay: smtplib and
openssl s_client against the proxy, aiosmtpd (with or without STARTTLS) as
the upstream server."""
import os
import smtplib
import socket
import ssl
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import EICAR, SLOW, file_verdict, make_certificate  # noqa: E402
from mailfakes import RelayTestCase, SmtpSink  # noqa: E402
from test_relay_smtp import MSG, Replies  # noqa: E402


def client_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def server_context(cert, key):
    ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ctx.load_cert_chain(cert, key)
    return ctx


class StartTlsTest(RelayTestCase):
    @classmethod
    def setUpClass(cls):
        import tempfile
        cls.certdir = tempfile.mkdtemp(prefix="relaytls")
        cls.cert, cls.key = make_certificate(cls.certdir)
        cls.plain = SmtpSink()
        cls.tls = SmtpSink(server_context(cls.cert, cls.key))

    @classmethod
    def tearDownClass(cls):
        cls.plain.stop()
        cls.tls.stop()
        import shutil
        shutil.rmtree(cls.certdir, ignore_errors=True)

    def setUp(self):
        self.plain.clear()
        self.tls.clear()

    def proxy(self, sink, offer=False, server_tls=False, pass_through=False, args=()):
        p = self.relay(1, sink.port, "-U=0", *args)
        # One settings line serves both lookups: the TLS entry (up to "=")
        # and the connect-table entry of the listener.
        line = "127.0.0.1 %d" % p.port
        if offer:
            line += "-%s\t%s" % (self.cert, self.key)
        if server_tls or pass_through:
            # The test server's certificate is self-signed: "!" leaves it unchecked.
            line += "=,127.0.0.1 %d%s,upstream" % (sink.port, "*" if pass_through else "-!")
        if offer or server_tls or pass_through:
            p.write("smtp.ini", line + "\n")
        return p.start()

    def test_proxy_offers_starttls_to_the_client(self):
        p = self.proxy(self.plain, offer=True)
        self.check_openssl_s_client(p)
        self.check_commands_sent_with_starttls_are_dropped(p)
        with smtplib.SMTP("127.0.0.1", p.port, timeout=15 * SLOW) as s:
            code, text = s.ehlo("client.test")
            self.assertEqual(250, code)
            lines = text.split(b"\n")
            self.assertEqual(b"STARTTLS", lines[-1])
            self.assertTrue(s.has_extn("starttls"))
            self.assertEqual(220, s.starttls(context=client_context())[0])
            s.ehlo("client.test")
            s.sendmail("a@x.test", ["b@y.test"], MSG)
        self.assertEqual(MSG, self.plain.wait_messages(1)[0][2])
        log = p.log()
        self.assertIn("SSL_accept() success.", log)

    def check_openssl_s_client(self, p):
        proc = subprocess.run(["openssl", "s_client", "-starttls", "smtp", "-connect", "127.0.0.1:%d" % p.port,
                               "-quiet", "-ign_eof"], input=b"EHLO again\r\nQUIT\r\n", capture_output=True,
                              timeout=30 * SLOW)
        out = proc.stdout
        self.assertIn(b"250", out)
        self.assertIn(b"221", out)
        self.assertIn("SSL_accept() success.", p.wait_log("Close Server socket."))

    def check_commands_sent_with_starttls_are_dropped(self, p):
        raw = socket.create_connection(("127.0.0.1", p.port), timeout=10 * SLOW)
        read = Replies(raw)
        self.assertTrue(read().startswith(b"220"))
        raw.sendall(b"EHLO c\r\n")
        self.assertIn(b"STARTTLS", read())
        raw.sendall(b"STARTTLS\r\nRSET\r\n")
        self.assertEqual(b"220 Ready to start TLS\r\n", read())
        tls = client_context().wrap_socket(raw, server_hostname="localhost")
        tread = Replies(tls)
        tls.sendall(b"HELP\r\n")
        # The first reply in TLS answers HELP: the RSET sent in the clear
        # beside STARTTLS was never run.
        first = tread()
        self.assertTrue(first.startswith(b"250 Supported commands"), first)
        tls.sendall(b"QUIT\r\n")
        self.assertTrue(tread().startswith(b"221"))
        tls.close()

    def test_starttls_towards_the_server_only(self):
        p = self.proxy(self.tls, server_tls=True)
        with smtplib.SMTP("127.0.0.1", p.port, timeout=15 * SLOW) as s:
            code, text = s.ehlo("client.test")
            self.assertEqual(250, code)
            s.sendmail("a@x.test", ["b@y.test"], MSG)
        got = self.tls.wait_messages(1)
        self.assertEqual(MSG, got[0][2])
        self.assertTrue(got[0][3], "the message reached the server over TLS")
        self.assertIn("SSL_connect() success.", p.log())
        # HELO towards a STARTTLS server gets one line.
        with smtplib.SMTP("127.0.0.1", p.port, timeout=15 * SLOW) as s:
            code, text = s.helo("client.test")
            self.assertEqual(250, code)
            self.assertNotIn(b"\n", text)
            s.sendmail("a@x.test", ["b@y.test"], MSG)
        self.assertEqual(MSG, self.tls.wait_messages(2)[1][2])

    def test_starttls_on_both_sides(self):
        p = self.proxy(self.tls, offer=True, server_tls=True)
        with smtplib.SMTP("127.0.0.1", p.port, timeout=15 * SLOW) as s:
            s.ehlo("client.test")
            self.assertTrue(s.has_extn("starttls"))
            self.assertEqual(220, s.starttls(context=client_context())[0])
            s.ehlo("client.test")
            s.sendmail("a@x.test", ["b@y.test"], MSG)
        got = self.tls.wait_messages(1)
        self.assertEqual(MSG, got[0][2])
        self.assertTrue(got[0][3])
        log = p.log()
        self.assertIn("SSL_accept() success.", log)
        self.assertIn("SSL_connect() success.", log)

    def test_implicit_tls_on_both_sides(self):
        smtps = SmtpSink(server_context(self.cert, self.key), implicit=True)
        self.addCleanup(smtps.stop)
        p = self.relay(1, smtps.port, "-U=0")
        p.write("smtp.ini", "127.0.0.1 %d+%s\t%s=,127.0.0.1 %d+!,smtps\n" % (p.port, self.cert, self.key, smtps.port))
        p.start()
        with smtplib.SMTP_SSL("127.0.0.1", p.port, timeout=15 * SLOW, context=client_context()) as s:
            s.ehlo("client.test")
            s.sendmail("a@x.test", ["b@y.test"], MSG)
        # The server speaks only TLS, so the message came over TLS.
        self.assertEqual([MSG], [m[2] for m in smtps.wait_messages(1)])
        log = p.log()
        self.assertIn("SSL_accept() success.", log)
        self.assertIn("SSL_connect() success.", log)

    def test_pass_through_is_not_inspected(self):
        p = self.relay(1, self.plain.port)
        p.write("smtp.ini", "127.0.0.1 %d=,127.0.0.1 %d*,raw\n" % (p.port, self.plain.port))
        avs = self.service(p, "ruvoavs", file_verdict(b"EICAR-STANDARD", "Eicar"))
        p.start()
        msg = b"Subject: v\r\n\r\n" + EICAR + b"\r\n"
        with smtplib.SMTP("127.0.0.1", p.port, timeout=15 * SLOW) as s:
            s.ehlo("c")
            s.sendmail("a@x.test", ["b@y.test"], msg)
        self.assertEqual(msg, self.plain.wait_messages(1)[0][2])
        log = p.wait_log("Close Server socket.")
        self.assertNotIn("VIRUS result", log)
        self.assertIn("[ClientSession]", log)
        self.assertEqual([], avs.requests)


if __name__ == "__main__":
    unittest.main()
