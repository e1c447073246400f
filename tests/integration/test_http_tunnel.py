"""CONNECT tunnels: through to a local TLS origin (white-listed), the
built-in refusal of ports other than 443, and a CONNECT relayed to an
upstream proxy named by the connect table."""
import socket
import subprocess
import threading
import unittest

import httporigin
from proxytest import SLOW, proxy_for


class TunnelTest(unittest.TestCase):
    def setUp(self):
        self.proxy = proxy_for(self, 0, ["-G=1"])
        self.origin = httporigin.tls_origin(self.proxy.root)
        self.addCleanup(self.origin.stop)
        self.proxy.write("white.db", "https://127.0.0.1:%d/\n" % self.origin.port)
        self.proxy.start()

    def curl(self, url, *args):
        return subprocess.run(["curl", "-sS", "-k", "--max-time", str(30 * SLOW), "-x",
                               "http://127.0.0.1:%d" % self.proxy.port, url] + list(args),
                              capture_output=True, timeout=60 * SLOW)

    def test_tunnel_to_tls_origin(self):
        for size in (10, 3000000):
            res = self.curl("https://127.0.0.1:%d/size/%d" % (self.origin.port, size))
            self.assertEqual(res.returncode, 0, res.stderr)
            self.assertEqual(res.stdout, httporigin.pattern(size))
        self.assertRegex(self.proxy.wait_access('"CONNECT 127.0.0.1:'), r'"CONNECT 127\.0\.0\.1:\d+ HTTP/1\.1" 200 0')
        self.assertIn("Connection established", self.proxy.stdout())

    def test_established_reply_is_exact(self):
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10) as s:
            s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: x\r\n\r\n" % self.origin.port)
            data = b""
            while len(data) < 40:
                chunk = s.recv(100)
                if not chunk:
                    break
                data += chunk
        self.assertEqual(data, b"HTTP/1.0 200 Connection established.\r\n\r\n")

    def test_refused_connect(self):
        other = httporigin.tls_origin(self.proxy.root)
        try:
            res = self.curl("https://127.0.0.1:%d/size/10" % other.port)
            self.assertNotEqual(res.returncode, 0)
            self.assertEqual(res.stdout, b"")
            text = "QueryDBList(CONNECT 127.0.0.1:%d" % other.port
            self.assertIn(text, self.proxy.wait_log(text))
        finally:
            other.stop()

    def test_connect_without_version_gets_no_reply(self):
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=5 * SLOW) as s:
            s.sendall(b"CONNECT 127.0.0.1:%d FOO\r\n\r\n" % self.origin.port)
            self.assertEqual(s.recv(100), b"")


class UpstreamConnectTest(unittest.TestCase):
    """A connect-table entry sends the listener to an upstream proxy: the
    CONNECT goes there and its answer header is relayed instead of ours."""

    def setUp(self):
        self.up = socket.socket()
        self.up.bind(("127.0.0.1", 0))
        self.up.listen(4)
        self.seen = []
        threading.Thread(target=self.serve, daemon=True).start()
        self.addCleanup(self.up.close)
        self.proxy = proxy_for(self, 0)
        self.proxy.write("http.ini", "127.0.0.1 %d=,127.0.0.1 %d\n" % (self.proxy.port, self.up.getsockname()[1]))
        self.proxy.start()

    def serve(self):
        try:
            conn, _ = self.up.accept()
        except OSError:
            return
        with conn:
            data = b""
            while b"\r\n\r\n" not in data:
                chunk = conn.recv(1000)
                if not chunk:
                    return
                data += chunk
            self.seen.append(data)
            conn.sendall(b"HTTP/1.1 200 Upstream OK\r\nX-Up: 1\r\n\r\n")
            while True:
                chunk = conn.recv(1000)
                if not chunk:
                    return
                conn.sendall(chunk.upper())

    def test_connect_relayed_to_upstream(self):
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10 * SLOW) as s:
            s.sendall(b"CONNECT localhost:443 HTTP/1.1\r\nHost: localhost:443\r\n\r\n")
            data = b""
            while b"\r\n\r\n" not in data:
                data += s.recv(1000)
            self.assertEqual(data, b"HTTP/1.1 200 Upstream OK\r\nX-Up: 1\r\n\r\n")
            s.sendall(b"hello")
            self.assertEqual(s.recv(100), b"HELLO")
        self.assertTrue(self.seen[0].startswith(b"CONNECT localhost:443 HTTP/1.1\r\n"))
        self.assertNotIn("Connection established", self.proxy.stdout())


if __name__ == "__main__":
    unittest.main()
