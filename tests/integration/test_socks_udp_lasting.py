"""SOCKS 5 UDP associations that last (-Y=1): many datagrams to several
destinations, answers named by their source, black-listed destinations
dropped, and the end of the association with its TCP connection."""
import socket
import struct
import time
import unittest

import proxytest
from test_socks import SocksCase, UdpEcho

SLOW = proxytest.SLOW


def header(port, addr=b"\x7f\x00\x00\x01"):
    return b"\x00\x00\x00\x01" + addr + struct.pack(">H", port)


class LastingUdpTest(SocksCase):
    args = ("-T=3000,3000", "-Y=1")
    files = {"black.db": "127.0.0.1,socks,udp,127.0.0.2,*\n"}

    def setUp(self):
        self.echoes = [UdpEcho(), UdpEcho()]
        for e in self.echoes:
            self.addCleanup(e.stop)
        super().setUp()

    def associate_with_client(self):
        s, port = self.associate()
        return s, self.client_udp(), ("127.0.0.1", port)

    def test_hundred_datagrams_to_two_destinations_end_with_tcp(self):
        s, u, relay = self.associate_with_client()
        by_name = b"\x00\x00\x00\x03\x09localhost"
        for i in range(100):
            echo = self.echoes[i % 2]
            payload = b"d%03d" % i
            # The second destination is named, the first given by address.
            to = by_name + struct.pack(">H", echo.port) if i % 2 else header(echo.port)
            u.sendto(to + payload, relay)
            answer, _ = u.recvfrom(65536)
            # Each answer is named by the address it came from.
            self.assertEqual(header(echo.port) + b"echo:" + payload, answer)
        self.assertEqual(50, len(self.echoes[0].received))
        self.assertEqual(50, len(self.echoes[1].received))
        # A datagram larger than the one-shot buffer goes through whole.
        big = bytes(range(256)) * 8
        u.sendto(header(self.echoes[0].port) + big, relay)
        self.assertEqual(header(self.echoes[0].port) + b"echo:" + big, u.recvfrom(65536)[0])
        # A black-listed destination is dropped; the association goes on.
        u.sendto(header(self.echoes[1].port, b"\x7f\x00\x00\x02") + b"x", relay)
        self.assertIn("QueryDBList(Black list, ", self.proxy.wait_log("QueryDBList(Black list, "))

        s.close()
        self.assertIn("association ended (TCP closed)",
                      self.proxy.wait_log("association ended (TCP closed)"))
        u.sendto(header(self.echoes[0].port) + b"late", relay)
        time.sleep(0.5 * SLOW)
        self.assertNotIn(b"late", self.echoes[0].received)

    def test_answers_only_from_destinations_sent_to(self):
        s, u, relay = self.associate_with_client()
        u.sendto(header(self.echoes[0].port) + b"hi", relay)
        self.assertEqual(header(self.echoes[0].port) + b"echo:hi", u.recvfrom(65536)[0])
        # The proxy's outbound socket, from its log; written to by a stranger
        # and by the other echo, which nobody sent to.
        line = self.proxy.log_lines(r"\[UDPLastingMain\] UDPHost\(")[0]
        out = ("127.0.0.1", int(line.rstrip(")").rsplit(" ", 1)[1]))
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as stranger:
            stranger.sendto(b"spoof", out)
        self.echoes[1].sock.sendto(b"unasked", out)
        self.echoes[0].sock.sendto(b"more", out)
        self.assertEqual(header(self.echoes[0].port) + b"more", u.recvfrom(65536)[0])
        self.assertEqual(2, self.proxy.log().count("UDP Data from 127.0.0.1 ignored."))

    def test_idle_association_ends_after_client_timeout(self):
        s, u, relay = self.associate_with_client()
        u.sendto(header(self.echoes[0].port) + b"once", relay)
        u.recvfrom(65536)
        # -T gives 3 s; the TCP side closes once the association is idle.
        self.assertEqual(b"", proxytest.recv_all(s, timeout=10 * SLOW))
        self.assertIn("association ended (idle)", self.proxy.log())


if __name__ == "__main__":
    unittest.main()
