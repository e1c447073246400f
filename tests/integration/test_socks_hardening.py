"""SOCKS proxy hardening: BIND takes only the named peer, bytes sent behind
a CONNECT request reach the destination, 255-byte host names (SOCKS 5 and
4a) are served, and a UDP association ends with its TCP connection."""
import socket
import struct
import time
import unittest

import proxytest
from proxytest import EchoServer
from test_socks import SocksCase, UdpEcho, recv_exact

SLOW = proxytest.SLOW
# A 255-byte host name the resolver reads as 127.0.0.1 (inet_aton takes
# leading zeros of an octal part): no name server needed.
LONG_NAME = b"0" * 246 + b"177.0.0.1"


class SocksHardeningTest(SocksCase):
    args = ("-T=3000,3000", "-$=1")

    def setUp(self):
        self.echo = EchoServer()
        self.addCleanup(self.echo.stop)
        self.udp = UdpEcho()
        self.addCleanup(self.udp.stop)
        super().setUp()
        self.proxy.write("socks-ptl.ini", "%d,0\n%d,6,1\n" % (self.origin_port, self.echo.port))

    def request(self, version, cmd, name, port, early=b""):
        """Sends a request for name:port (bytes) with early data right behind
        it, in one send; returns the socket and the reply."""
        if version == 5:
            s = self.socks5_open()
            s.sendall(b"\x05" + bytes([cmd]) + b"\x00\x03" + bytes([len(name)]) + name + struct.pack(">H", port)
                      + early)
            reply = recv_exact(s, 7 + len(name))
        else:
            s = self.connect()
            s.sendall(b"\x04" + bytes([cmd]) + struct.pack(">H", port) + b"\x00\x00\x00\x01u\x00" + name + b"\x00"
                      + early)
            reply = recv_exact(s, 8)
        return s, reply

    def test_connect_names_and_early_bytes(self):
        get = b"GET /text/x HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n\r\n" % self.origin_port
        # version, host name, port, early bytes, expected start of the answer
        cases = [
            (5, LONG_NAME, self.echo.port, b"early bytes", b"early bytes"),
            (4, LONG_NAME, self.echo.port, b"early bytes", b"early bytes"),
            (5, b"127.0.0.1", self.origin_port, get, b"HTTP/1.1 200"),
            (4, b"localhost", self.origin_port, get, b"HTTP/1.1 200"),
        ]
        for version, name, port, early, want in cases:
            with self.subTest(version=version, name=name[-12:], port=port):
                s, reply = self.request(version, 1, name, port, early)
                self.assertEqual(0x00 if version == 5 else 0x5A, reply[1])
                self.assertEqual(want, recv_exact(s, len(want)))
                s.close()
        # A longer SOCKS 4a name is refused.
        s, reply = self.request(4, 1, b"a" * 256, self.echo.port)
        self.assertEqual(0x5B, reply[1])

    def test_bind_takes_only_the_named_peer(self):
        s, reply = self.request(5, 2, b"127.0.0.1", 21)
        port = struct.unpack(">H", reply[-2:])[0]
        stranger = socket.socket()
        self.addCleanup(stranger.close)
        stranger.bind(("127.0.0.3", 0))
        stranger.connect(("127.0.0.1", port))
        stranger.sendall(b"stolen")
        stranger.settimeout(5 * SLOW)
        self.assertEqual(b"", stranger.recv(10))
        self.assertIn("connection from 127.0.0.3 refused", self.proxy.wait_log("refused (expected 127.0.0.1)"))
        peer = socket.create_connection(("127.0.0.1", port), timeout=10 * SLOW)
        peer.sendall(b"named peer")
        peer.close()
        self.assertEqual(b"named peer", proxytest.recv_all(s, timeout=15 * SLOW))

    def test_udp_association_ends_with_its_tcp_connection(self):
        s = self.socks5_open()
        s.sendall(b"\x05\x03\x00\x01\x00\x00\x00\x00\x00\x00")
        port = struct.unpack(">H", recv_exact(s, 10)[8:10])[0]
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.addCleanup(u.close)
        s.close()
        u.sendto(b"\x00\x00\x00\x01\x7f\x00\x00\x01" + struct.pack(">H", self.udp.port) + b"late", ("127.0.0.1", port))
        self.assertIn("association ended", self.proxy.wait_log("association ended"))
        time.sleep(1.0)
        self.assertEqual([], self.udp.received)


if __name__ == "__main__":
    unittest.main()
