"""The HTTP proxy (-P=0) with curl as the client and a real origin server on
loopback: byte-exact bodies, methods, keep-alive, -U headers, lists and the
access log."""
import os
import re
import subprocess
import tempfile
import time
import unittest

import httporigin
from proxytest import SLOW, exchange, proxy_for


def curl(proxy, url, *args, timeout=60):
    """Runs curl through the proxy.  Returns (exit code, header text, body)."""
    fd, head = tempfile.mkstemp()
    os.close(fd)
    try:
        res = subprocess.run(["curl", "-sS", "--max-time", str(20 * SLOW), "-x",
                              "http://127.0.0.1:%d" % proxy.port, "-D", head, url] + list(args),
                             capture_output=True, timeout=timeout * SLOW)
        with open(head, "rb") as f:
            return res.returncode, f.read().decode("latin-1"), res.stdout
    finally:
        os.unlink(head)


def raw_request(port, data, wait=2.0):
    """What comes back for raw bytes before the proxy closes (or wait seconds pass)."""
    return exchange(port, data, wait * SLOW)


class HttpProxyBase(unittest.TestCase):
    args = ["-G=1"]

    def setUp(self):
        self.origin = httporigin.Origin()
        self.addCleanup(self.origin.stop)
        self.proxy = proxy_for(self, 0, self.args)
        self.prepare()
        self.proxy.start()
        self.base = "http://127.0.0.1:%d" % self.origin.port

    def prepare(self):
        pass


class BodiesTest(HttpProxyBase):
    def test_bodies_are_byte_exact(self):
        for size in (0, 1, 1000, 16384, 16385, 200000):
            rc, head, body = curl(self.proxy, "%s/size/%d" % (self.base, size))
            self.assertEqual(rc, 0, size)
            self.assertIn("200 OK", head)
            self.assertEqual(body, httporigin.pattern(size), size)
        rc, head, body = curl(self.proxy, "%s/chunked/50000" % self.base)
        self.assertEqual(rc, 0)
        self.assertIn("chunked", head.lower())
        self.assertEqual(body, httporigin.pattern(50000))
        rc, head, body = curl(self.proxy, "%s/http10" % self.base)   # read until the server closes
        self.assertEqual((rc, body), (0, b"old server body"))
        start = time.time()
        rc, head, body = curl(self.proxy, "%s/notmod" % self.base)
        self.assertEqual(rc, 0)
        self.assertIn(" 304 ", head)
        self.assertLess(time.time() - start, 3 * SLOW)

    def test_large_response_is_passed_on_once_and_logged(self):
        rc, head, body = curl(self.proxy, "%s/size/3000000" % self.base)
        self.assertEqual(rc, 0)
        self.assertEqual(body, httporigin.pattern(3000000))
        # Inspection follows the delivery.
        log = self.proxy.wait_log("[CLEAN]")
        # Passed on while it arrived: client sends happen between receives.
        self.assertLess(log.index("C:send:"), log.rindex("S:recv("))
        sent = sum(int(n) for n in re.findall(r"\[GetDispatch\] \[\d+\] C:send:(\d+) bytes", log))
        header = sum(int(n) for n in re.findall(r"C:send\(\d+\):(\d+) bytes", log))
        self.assertEqual(sent, 3000000)
        self.assertLess(header, 400)
        # The access line's byte count is what the server sent: its header and the body.
        rc, head, body = curl(self.proxy, "%s/size/10" % self.base)
        line = [l for l in self.proxy.wait_access("/size/10 ").splitlines() if "/size/10 " in l][0]
        self.assertRegex(line, r'^127\.0\.0\.1 .*"GET http://127\.0\.0\.1:\d+/size/10 HTTP/1\.1" 200 \d+')
        # (less the "Connection: close" line the proxy adds as it closes).
        server_head = head.replace("Connection: close\r\n", "", 1)
        self.assertEqual(int(re.search(r'" 200 (\d+)', line).group(1)), len(server_head.encode("latin-1")) + 10)

    def test_big_responses_cost_linear_time(self):
        # Re-reading the growing spool file for every piece would take
        # minutes here; appending and counting takes a second or two.
        for path, size in (("size", 50 * 1048576), ("chunked", 20 * 1048576)):
            start = time.time()
            rc, head, body = curl(self.proxy, "%s/%s/%d" % (self.base, path, size), "-o", "/dev/null",
                                  "-w", "%{size_download}")
            self.assertEqual(rc, 0)
            self.assertEqual(int(body), size)
            self.assertLess(time.time() - start, 20 * SLOW, path)

    def test_post_with_nul_bytes_reaches_server_byte_for_byte(self):
        data = b"a\0b\r\nc\0\0\r\n\r\nend" + bytes(range(256)) * 100
        fd, name = tempfile.mkstemp()
        os.write(fd, data)
        os.close(fd)
        try:
            rc, head, body = curl(self.proxy, "%s/echo" % self.base, "--data-binary", "@" + name,
                                  "-H", "Accept-Encoding: gzip")
        finally:
            os.unlink(name)
        self.assertEqual(rc, 0)
        self.assertTrue(body.endswith(b"\r\n\r\n" + data) or body.endswith(b"\n" + data), body[:300])
        sent_head = body[:len(body) - len(data)].decode("latin-1").lower()
        self.assertTrue(sent_head.startswith("post /echo http/1.1"), sent_head)
        self.assertNotIn("accept-encoding", sent_head)
        self.assertIn("x-forwarded-for: 127.0.0.1", sent_head)

    def test_head_and_other_methods(self):
        start = time.time()
        rc, head, body = curl(self.proxy, "%s/size/5000" % self.base, "-I")
        self.assertEqual(rc, 0)
        self.assertIn("Content-Length: 5000", head)
        self.assertEqual(body.count(b"HTTP/1.1 200"), 1)
        self.assertLess(time.time() - start, 3 * SLOW)
        for method in ("PUT", "OPTIONS", "DELETE"):
            rc, head, body = curl(self.proxy, "%s/echo" % self.base, "-X", method, "--data", "x=1")
            self.assertEqual(rc, 0, method)
            self.assertTrue(body.startswith(method.encode() + b" /echo "), body[:80])
        self.assertIn("[OtherDispatch]", self.proxy.wait_log("[OtherDispatch]"))
        self.assertNotIn("HTTP cash", self.proxy.log())

    def test_get_request_rewriting(self):
        rc, head, body = curl(self.proxy, "%s/echo" % self.base, "-H", "Accept-Encoding: gzip",
                              "-H", "Upgrade: h2c", "-H", "Connection: Upgrade")
        text = body.decode("latin-1")
        self.assertTrue(text.startswith("GET /echo HTTP/1.1\r\n"), text)
        low = text.lower()
        self.assertNotIn("accept-encoding", low)
        self.assertNotIn("upgrade", low)
        self.assertIn("connection: close", low)  # keep-alive is off by default
        self.assertIn("remote-host-wp: 127.0.0.1", low)
        self.assertIn("x-forwarded-for: 127.0.0.1", low)

    def test_url_without_path_goes_out_as_slash(self):
        data = ("GET http://127.0.0.1:%d HTTP/1.1\r\nHost: x\r\n\r\n" % self.origin.port).encode()
        out = raw_request(self.proxy.port, data)
        self.assertIn(b"404", out.split(b"\r\n")[0])
        self.assertTrue(self.origin.requests[-1].startswith(b"GET / HTTP/1.1"), self.origin.requests)

    def test_method_choice_and_requests_without_reply(self):
        # No HTTP version, a method of 21 characters: no reply at all.
        self.assertEqual(raw_request(self.proxy.port, b"GET http://127.0.0.1/ FOO\r\n\r\n"), b"")
        long_method = b"ABCDEFGHIJKLMNOPQRSTU"
        self.assertEqual(raw_request(self.proxy.port, long_method + b" http://127.0.0.1/ HTTP/1.1\r\n\r\n"), b"")
        self.assertIn(long_method.decode(), self.proxy.access_log())
        self.assertEqual(self.origin.requests, [])
        cases = [
            # request method, handler, whether an answer comes (the origin's 501)
            (b"get", b"[GetDispatch]", True),
            # 20 characters: handled, but "://" starts too far from the line's
            # start for the absolute form, so no server is found.
            (b"ABCDEFGHIJKLMNOPQRST", b"[OtherDispatch]", False),
        ]
        for method, handler, asked in cases:
            data = method + b" http://127.0.0.1:%d/echo HTTP/1.1\r\nHost: x\r\n\r\n" % self.origin.port
            out = raw_request(self.proxy.port, data)
            self.assertEqual(bool(out), asked, method)
            self.assertIn(handler.decode() + " [", self.proxy.log())


class RequestCutTest(HttpProxyBase):
    args = ["-T=5,500"]

    def test_only_16304_bytes_of_a_get_reach_the_server(self):
        head = ("GET http://127.0.0.1:%d/echo HTTP/1.1\r\nHost: x\r\n" % self.origin.port).encode()
        data = head + b"".join(b"X-Fill-%05d: %s\r\n" % (i, b"y" * 80) for i in range(300)) + b"\r\n"
        self.assertGreater(len(data), 20000)
        raw_request(self.proxy.port, data, wait=5)
        self.assertIn("S:send(", self.proxy.stdout())
        self.assertRegex(self.proxy.stdout(), r"\[GetDispatch\] \[\d+\] S:send\(\d+\):16304 bytes")


class PostFileFallbackTest(HttpProxyBase):
    """When the outgoing request file cannot be created (here: folders stand
    in its place), every line is sent at once and the body follows from the
    request spool file."""

    def prepare(self):
        os.makedirs(self.proxy.path("cache"), exist_ok=True)
        for sock in range(3, 64):
            os.makedirs(self.proxy.path("cache", "req-0-%04d.dat.post" % sock))

    def test_body_still_reaches_server_byte_for_byte(self):
        data = b"x\0y\r\n\r\nz" * 5000
        fd, name = tempfile.mkstemp()
        os.write(fd, data)
        os.close(fd)
        try:
            rc, head, body = curl(self.proxy, "%s/echo" % self.base, "--data-binary", "@" + name)
        finally:
            os.unlink(name)
        self.assertEqual(rc, 0)
        self.assertTrue(body.endswith(data))
        self.assertTrue(body.startswith(b"POST /echo HTTP/1.1\r\n"))
        # One send per line: the request line, two added lines, the header.
        log = self.proxy.wait_log("[OtherDispatch]")
        self.assertGreater(len(re.findall(r"\[OtherDispatch\] \[\d+\] S:send\(\d+\):\d+ bytes", log)), 4)


class UpstreamProxyTest(HttpProxyBase):
    """A connect-table entry names another server: it is an upstream proxy
    and gets the request in absolute form."""

    def prepare(self):
        self.proxy.write("http.ini", "' listener = MyAddr,server port\n127.0.0.1 %d=,127.0.0.1 %d,upstream\n"
                         % (self.proxy.port, self.origin.port))

    def test_request_keeps_absolute_form(self):
        rc, head, body = curl(self.proxy, "http://localhost:9/echo", "-H", "Accept-Encoding: gzip")
        self.assertEqual(rc, 0)
        text = body.decode("latin-1")
        self.assertTrue(text.startswith("GET http://localhost:9/echo HTTP/1.1\r\n"), text)
        # GET keeps accept-encoding towards an upstream proxy.
        self.assertIn("accept-encoding: gzip", text.lower())
        rc, head, body = curl(self.proxy, "http://localhost:9/echo", "--data", "a=1")
        self.assertTrue(body.startswith(b"POST http://localhost:9/echo HTTP/1.1\r\n"), body)
        self.assertNotIn(b"accept-encoding", body.lower())
        log = self.proxy.log()
        self.assertIn("[GetConnectTable] [Hit] upstream\n", log)
        self.assertRegex(log, r"\[ConnectHost\] \[\d{4}\] Winsock connect success\. Socket=\d+ / "
                              r"Server=127\.0\.0\.1 Port=%d\n" % self.origin.port)


class UpstreamKeepAliveTest(HttpProxyBase):
    """A kept connection to an upstream proxy is still one: the next request
    on it goes out in absolute form too."""
    args = ["-G=1", "-!=0", "-U=0"]

    def prepare(self):
        self.proxy.write("http.ini", "127.0.0.1 %d=,127.0.0.1 %d,upstream\n" % (self.proxy.port, self.origin.port))

    def test_reused_upstream_connection_keeps_absolute_form(self):
        import socket
        req = b"GET http://localhost:9/echo HTTP/1.1\r\nHost: localhost:9\r\n\r\n"
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10 * SLOW) as s:
            for _ in range(2):
                s.sendall(req)
                head, body = PersistenceTest.read_answer(self, s)
                self.assertTrue(body.startswith(b"GET http://localhost:9/echo HTTP/1.1\r\n"), body)
        self.assertEqual(len(self.origin.conns), 1)   # the second request reused the connection


class KeepAliveTest(HttpProxyBase):
    args = ["-G=1", "-!=0"]

    def curl_v(self, *urls):
        """curl -v fetching the URLs on one connection if it may; returns its stderr."""
        res = subprocess.run(["curl", "-sv", "-x", "http://127.0.0.1:%d" % self.proxy.port] + list(urls) +
                             ["-o", "/dev/null"] * len(urls), capture_output=True, timeout=30 * SLOW)
        self.assertEqual(res.returncode, 0, res.stderr)
        return res.stderr.decode()

    def test_keep_alive_reuses_client_and_server_connections(self):
        url = "%s/size/100" % self.base
        self.assertIn("Re-using existing connection", self.curl_v(url, url, url))
        self.assertEqual(len(self.origin.conns), 1)
        self.proxy.wait_log("End.")
        self.assertEqual(self.proxy.log().count("sender connect success"), 3)
        self.assertEqual(self.proxy.log().count("Winsock connect success"), 1)
        self.assertIn(b"Connection: Keep-Alive", self.origin.requests[0])
        # An HTTP/1.0 request gets close; an HTTP/1.0 response ends the client connection.
        rc, head, body = curl(self.proxy, "%s/echo" % self.base, "-0", "-H", "Proxy-Connection: keep-alive")
        self.assertIn("connection: close", body.decode().lower())
        url = "%s/http10" % self.base
        self.assertNotIn("Re-using existing connection", self.curl_v(url, url))


class PersistenceTest(HttpProxyBase):
    """RFC 9112 9.3: an HTTP/1.1 request without Proxy-Connection keeps its
    client connection unless it says "Connection: close"; an answer after
    which the proxy closes says "Connection: close"."""
    args = ["-G=1", "-!=0", "-U=0"]

    def request(self, path, extra=""):
        return ("GET %s%s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % (self.base, path, extra)).encode()

    def read_answer(self, sock):
        """One answer with a Content-Length body: (header text, body)."""
        data = b""
        while b"\r\n\r\n" not in data:
            piece = sock.recv(65536)
            self.assertTrue(piece, data)
            data += piece
        head, _, body = data.partition(b"\r\n\r\n")
        length = int(re.search(rb"(?i)content-length: *(\d+)", head).group(1))
        while len(body) < length:
            piece = sock.recv(65536)
            self.assertTrue(piece)
            body += piece
        return head.decode("latin-1"), body

    def test_http11_persists_until_close(self):
        import socket
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10 * SLOW) as s:
            for size in (10, 20000, 30):
                s.sendall(self.request("/size/%d" % size))
                head, body = self.read_answer(s)
                self.assertEqual(body, httporigin.pattern(size))
                self.assertNotIn("connection: close", head.lower())
            s.sendall(self.request("/size/5", "Connection: close\r\n"))
            head, body = self.read_answer(s)
            self.assertIn("Connection: close", head)
            self.assertEqual(s.recv(100), b"")   # and the proxy closes
        self.assertEqual(len(self.origin.conns), 1)   # one server connection for all

    def test_kept_server_connection_closed_while_idle_is_replaced(self):
        """The server closes the kept connection between two requests: the
        next one (a GET, then a POST) goes out once more on a new connection."""
        import socket
        post = ("POST %s/echo HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nabc" % self.base).encode()
        with socket.create_connection(("127.0.0.1", self.proxy.port), timeout=10 * SLOW) as s:
            s.sendall(self.request("/size/10"))
            self.assertEqual(self.read_answer(s)[1], httporigin.pattern(10))
            for req in (self.request("/size/20"), post):
                with self.origin.lock:
                    conns = list(self.origin.conns)
                for c in conns:
                    try:
                        c.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
                time.sleep(0.2 * SLOW)
                s.sendall(req)
                head, body = self.read_answer(s)
                self.assertIn(" 200 ", head)
            self.assertTrue(body.startswith(b"POST /echo HTTP/1.1\r\n"), body)
            self.assertTrue(body.endswith(b"\n\nabc"), body)
        log = self.proxy.wait_log("End.")
        self.assertEqual(log.count("sender connect success"), 3)
        self.assertEqual(log.count("Winsock connect success"), 3)

    def test_closing_answer_says_so(self):
        # An HTTP/1.1 request whose answer ends with the server's close.
        for args, path in ((["-!=0", "-U=0"], "/http10"), (["-U=0"], "/size/10"), (["-U=15"], "/size/10")):
            proxy = proxy_for(self, 0, args).start()
            answer = raw_request(proxy.port, self.request(path))
            head = answer.partition(b"\r\n\r\n")[0].decode("latin-1")
            self.assertIn(" 200 ", head, args)
            if path != "/http10":
                self.assertIn("Connection: close", head, args)


class HeaderFlagsTest(unittest.TestCase):
    """The -U flags end to end (the unit tests cover each bit and line): 0
    turns the rewriting off, 15 adds Via, Forwarded, Remote-Host-Wp and
    X-Forwarded-For; an HTTP/1.0 request gets no Via."""

    def test_flags_off_and_all(self):
        origin = httporigin.Origin()
        self.addCleanup(origin.stop)
        url = "http://127.0.0.1:%d/echo" % origin.port
        lines = ["via: 1.1 ", "forwarded: by http://", "remote-host-wp: 127.0.0.1", "x-forwarded-for: 127.0.0.1"]
        for flags in (0, 15):
            proxy = proxy_for(self, 0, ["-U=%d" % flags]).start()
            body = curl(proxy, url)[2].decode("latin-1")
            for text in lines:
                self.assertEqual(flags == 15, text in body.lower(), (flags, text, body))
        # The Via line ends the header, naming the proxy.
        self.assertRegex(body, r"VIA: 1\.1 \S* ?\(Q-RELAY Server v1\.38\)\r?\n\r?\n$")
        self.assertNotIn("via:", curl(proxy, url, "-0")[2].decode("latin-1").lower())


class ListsTest(HttpProxyBase):
    """Black and white lists with the cache on; the listener is masked from the access log."""
    args = ["-G=1", "-M=10"]

    def prepare(self):
        self.proxy.write("black.db", "http://127.0.0.1:*/size/66*\n")
        self.proxy.write("white.db", "http://127.0.0.1:*/size/77*\nhttp://127.0.0.1:*/cache*\n")
        self.proxy.write("ncsalog-mask.db", "127.0.0.1:%d\n" % self.proxy.port)

    def test_black_and_white_lists(self):
        rc, head, body = curl(self.proxy, "%s/size/66" % self.base)
        self.assertNotEqual(rc, 0)
        self.assertEqual(body, b"")
        self.assertNotIn("/size/66", self.origin.hits)
        self.assertIn("blacklist [GET http://127.0.0.1", self.proxy.stdout())
        rc, head, body = curl(self.proxy, "%s/size/66" % self.base, "-X", "POST")
        self.assertNotEqual(rc, 0)
        self.assertIn("blacklist [POST", self.proxy.wait_log("blacklist [POST"))
        # White-listed: passed on without scan or cache.
        before = len(self.proxy.log())
        rc, head, body = curl(self.proxy, "%s/size/77" % self.base)
        self.assertEqual(rc, 0)
        self.assertEqual(body, httporigin.pattern(77))
        log = self.proxy.wait_log("whitelist [GET")[before:]
        self.assertIn("whitelist [GET", log)
        self.assertNotIn("[CLEAN]", log)
        curl(self.proxy, "%s/cache?cc=public" % self.base)
        self.assertEqual(os.listdir(self.proxy.path("httpcache")), [])
        self.proxy.wait_log("End.", count=4)
        self.assertEqual(self.proxy.access_log().strip(), "")


if __name__ == "__main__":
    unittest.main()
