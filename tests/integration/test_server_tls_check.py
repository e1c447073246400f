"""The relay's TLS towards servers: SNI and the certificate check.  An
implicit-TLS SMTP server (aiosmtpd) shows certificates of a test CA that the
proxy trusts through SSL_CERT_FILE; the connect-table flag "!" turns the
check off for one entry."""
import os
import shutil
import smtplib
import ssl
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from proxytest import SLOW  # noqa: E402
from mailfakes import RelayTestCase, SmtpSink  # noqa: E402

MSG = b"Subject: t\r\n\r\nbody\r\n"


def openssl(*args):
    subprocess.run(["openssl"] + list(args), check=True, capture_output=True, timeout=60)


def make_ca(folder):
    key, cert = os.path.join(folder, "ca-key.pem"), os.path.join(folder, "ca.pem")
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Test CA",
            "-keyout", key, "-out", cert)
    return cert, key


def issue(folder, ca, name, alt):
    """A server certificate for CN name with subjectAltName alt, signed by ca
    (or self-signed when ca is None).  Returns (cert, key)."""
    key, cert = os.path.join(folder, name + "-key.pem"), os.path.join(folder, name + ".pem")
    ext = os.path.join(folder, name + ".ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=%s\n" % alt)
    if ca is None:
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=" + name,
                "-addext", "subjectAltName=" + alt, "-keyout", key, "-out", cert)
        return cert, key
    csr = os.path.join(folder, name + ".csr")
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name, "-keyout", key, "-out", csr)
    openssl("x509", "-req", "-in", csr, "-CA", ca[0], "-CAkey", ca[1], "-CAcreateserial", "-days", "2",
            "-extfile", ext, "-out", cert)
    return cert, key


class ServerCertificateTest(RelayTestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="srvtls")
        cls.ca = make_ca(cls.dir)
        cls.certs = {
            "localhost": issue(cls.dir, cls.ca, "localhost", "DNS:localhost"),
            "other": issue(cls.dir, cls.ca, "other.example", "DNS:other.example"),
            "ip": issue(cls.dir, cls.ca, "ipcert", "IP:127.0.0.1"),
            "self": issue(cls.dir, None, "selfsigned", "DNS:localhost"),
        }

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def sink(self, cert):
        names = []
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(*self.certs[cert])
        ctx.sni_callback = lambda sock, name, c: names.append(name)
        sink = SmtpSink(ctx, implicit=True)
        self.addCleanup(sink.stop)
        return sink, names

    def test_certificate_check(self):
        # cert shown, server name in the entry, flags, delivered?, SNI seen
        cases = [
            ("localhost", "localhost", "+", True, "localhost"),
            ("ip", "127.0.0.1", "+", True, None),
            ("other", "localhost", "+", False, "localhost"),
            ("self", "localhost", "+", False, "localhost"),
            ("other", "localhost", "+!", True, "localhost"),
        ]
        for cert, server, flags, delivered, sni in cases:
            with self.subTest(cert=cert, server=server, flags=flags):
                sink, names = self.sink(cert)
                p = self.relay(1, sink.port, "-U=0")
                p.write("smtp.ini", "127.0.0.1 %d=,%s %d%s,upstream\n" % (p.port, server, sink.port, flags))
                env = p.env
                p.env = lambda: dict(env(), SSL_CERT_FILE=self.ca[0])
                p.start()
                self.assertEqual("!" in flags, "TLS server check      = off: 127.0.0.1 %d" % p.port in p.log())
                if delivered:
                    with smtplib.SMTP("127.0.0.1", p.port, timeout=15 * SLOW) as s:
                        s.sendmail("a@x.test", ["b@y.test"], MSG)
                    self.assertEqual([MSG], [m[2] for m in sink.wait_messages(1)])
                else:
                    with self.assertRaises(smtplib.SMTPConnectError) as ctx:
                        smtplib.SMTP("127.0.0.1", p.port, timeout=15 * SLOW)
                    self.assertEqual(421, ctx.exception.smtp_code)
                    self.assertIn("certificate of %s refused" % server, p.wait_log("TLS to server"))
                    self.assertEqual([], sink.messages)
                # The last handshake is the proxy's (the first one is the
                # test server's own start-up probe).
                self.assertEqual(sni, names[-1])
                p.stop()


if __name__ == "__main__":
    unittest.main()
