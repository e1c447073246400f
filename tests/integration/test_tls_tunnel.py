"""A CONNECT tunnel opened through the proxy's implicit-TLS listener carries
both directions at once: one TLS session, written by one copy thread and
read by the other, must not corrupt or lose bytes."""
import os
import select
import socket
import ssl
import threading
import time
import unittest

import proxytest
from proxytest import ProxyHome, ProxyProcess, free_port, sanitizer_report, SLOW


class EchoServer:
    """Echoes every byte back on each accepted connection."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self._echo, args=(conn,), daemon=True).start()

    @staticmethod
    def _echo(conn):
        with conn:
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)

    def close(self):
        self.sock.close()


class TlsTunnelTest(unittest.TestCase):
    def setUp(self):
        self.home = ProxyHome(prefix="tlstun_")
        self.echo = EchoServer()
        cert, key = proxytest.make_certificate(self.home.root)
        self.port = free_port()
        self.home.write("http.ini", "127.0.0.1 %d+%s\t%s\n" % (self.port, cert, key))
        self.home.write("white.db", "https://127.0.0.1:%d/\n" % self.echo.port)
        self.proxy = ProxyProcess(self.home, ["-L=127.0.0.1 %d" % self.port, "-T=30000,30000,30000,30000"]).start()

    def tearDown(self):
        err = self.proxy.stop()
        self.echo.close()
        self.home.cleanup()
        self.assertEqual(sanitizer_report(err), "")

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
