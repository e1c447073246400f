"""Request framing and hop-by-hop fields end to end: a pipelined second
request reaches the origin as a request of its own (with the proxy's Via,
or not at all when black-listed), a request with both Content-Length and
Transfer-Encoding is refused, and the client's proxy credentials never
reach the origin."""
import base64
import socket
import unittest

import httporigin
from proxytest import SLOW, proxy_for, recv_all, wait_until
from test_http import curl


class FramingTest(unittest.TestCase):
    def setUp(self):
        self.origin = httporigin.Origin()
        self.addCleanup(self.origin.stop)
        self.proxy = proxy_for(self, 0, ["-G=1", "-!=0", "-U=3", "-A"])
        self.proxy.write("http-auth.ini", "alice:secret\n")
        self.proxy.write("black.db", "http://127.0.0.1:*/echo?blocked*\n")
        self.proxy.start()
        self.base = "http://127.0.0.1:%d" % self.origin.port
        self.auth = "Proxy-Authorization: Basic %s\r\n" % base64.b64encode(b"alice:secret").decode()

    def request(self, path):
        return ("GET %s%s HTTP/1.1\r\nHost: 127.0.0.1\r\n%sProxy-Connection: keep-alive\r\n\r\n"
                % (self.base, path, self.auth)).encode()

    def test_pipelined_requests_are_requests_of_their_own(self):
        for second, seen in (("/echo?second", True), ("/echo?blocked", False)):
            with self.subTest(second=second):
                del self.origin.requests[:]
                with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10) as s:
                    s.sendall(self.request("/text?body=first") + self.request(second))
                    if seen:
                        self.assertTrue(wait_until(lambda: len(self.origin.requests) == 2, 10 * SLOW))
                    else:
                        self.assertTrue(wait_until(lambda: "blacklist" in self.proxy.stdout(), 10 * SLOW))
                    s.shutdown(socket.SHUT_WR)
                    answers = recv_all(s, 5 * SLOW)
                self.assertIn(b"first", answers)
                self.assertEqual(len(self.origin.requests), 2 if seen else 1)
                first = self.origin.requests[0].decode("latin-1")
                self.assertTrue(first.startswith("GET /text?body=first HTTP/1.1\r\n"), first)
                self.assertNotIn("GET", first[4:])  # nothing of the next request rides along
                if seen:
                    second_req = self.origin.requests[1].decode("latin-1")
                    self.assertTrue(second_req.startswith("GET /echo?second HTTP/1.1\r\n"), second_req)
                    self.assertRegex(second_req, r"VIA: 1\.1 .*\(Q-RELAY Server v1\.38\)")
                    self.assertEqual(answers.count(b"HTTP/1.1 200"), 2)

    def test_length_with_chunked_is_refused(self):
        body = b"5\r\nhello\r\n0\r\n\r\n"
        req = ("POST %s/echo HTTP/1.1\r\nHost: 127.0.0.1\r\n%sContent-Length: %d\r\n"
               "Transfer-Encoding: chunked\r\n\r\n" % (self.base, self.auth, len(body))).encode() + body
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10) as s:
            s.sendall(req)
            answer = recv_all(s, 5 * SLOW)
        self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), answer)
        self.assertIn(b"\r\nConnection: close\r\n", answer)
        self.assertEqual(self.origin.requests, [])

    def test_proxy_credentials_stay_with_the_proxy(self):
        rc, head, body = curl(self.proxy, self.base + "/echo", "--proxy-user", "alice:secret",
                              "-H", "Connection: X-Secret", "-H", "X-Secret: 1")
        self.assertEqual(rc, 0)
        self.assertIn(b"GET /echo HTTP/1.1", body)
        self.assertNotIn(b"proxy-authorization", body.lower())
        self.assertNotIn(b"x-secret: 1", body.lower())


if __name__ == "__main__":
    unittest.main()
