"""A CONNECT tunnel opened through the proxy's implicit-TLS listener carries
both directions at once: one TLS session, written by one copy thread and
read by the other, must not corrupt or lose bytes."""
import os
import select
import socket
import ssl
import time
import unittest

import proxytest
from proxytest import SLOW, EchoServer, proxy_for


class TlsTunnelTest(unittest.TestCase):
    def setUp(self):
        self.echo = EchoServer()
        self.addCleanup(self.echo.stop)
        self.proxy = proxy_for(self, 0, ["-T=30000,30000,30000,30000"], prefix="tlstun_")
        cert, key = proxytest.make_certificate(self.proxy.root)
        self.port = self.proxy.port
        self.proxy.write("http.ini", "127.0.0.1 %d+%s\t%s\n" % (self.port, cert, key))
        self.proxy.write("white.db", "https://127.0.0.1:%d/\n" % self.echo.port)
        self.proxy.start()

    def test_full_duplex_through_one_tls_session(self):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        payload = os.urandom(1 << 20) * 3
        raw = socket.create_connection(("127.0.0.1", self.port), timeout=60 * SLOW)
        with context.wrap_socket(raw) as tls:
            tls.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: x\r\n\r\n" % self.echo.port)
            reply = b""
            while b"\r\n\r\n" not in reply:
                piece = tls.recv(4096)
                self.assertTrue(piece, reply)
                reply += piece
            self.assertTrue(reply.startswith(b"HTTP/1.") and b" 200 " in reply.split(b"\r\n")[0], reply)
            received = bytearray(reply.split(b"\r\n\r\n", 1)[1])
            # One thread drives both directions without blocking: an SSL
            # object may not be used by two threads at once on this side
            # either.
            tls.setblocking(False)
            sent = 0
            deadline = time.time() + 60 * SLOW
            while len(received) < len(payload) and time.time() < deadline:
                want_write = sent < len(payload)
                readable, writable, _ = select.select([tls], [tls] if want_write else [], [], 1.0)
                if tls.pending() or readable:
                    try:
                        piece = tls.recv(65536)
                        if not piece:
                            break
                        received += piece
                    except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
                        pass
                if want_write and writable:
                    try:
                        sent += tls.send(payload[sent:sent + 32768])
                    except (ssl.SSLWantReadError, ssl.SSLWantWriteError):
                        pass
        self.assertEqual(len(received), len(payload))
        self.assertTrue(bytes(received) == payload, "echoed bytes differ")


if __name__ == "__main__":
    unittest.main()
