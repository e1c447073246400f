"""Hardening of the HTTP proxy against what peers send: log lines that
cannot be forged, ftp URLs that cannot carry FTP commands, CONNECT tunnels
that lose no byte and pass a half-close on, an implicit-TLS listener that a
silent client cannot stall, and private files."""
import base64
import os
import socket
import ssl
import stat
import threading
import time
import unittest

import httporigin
import proxytest
from proxytest import SLOW, exchange, ipv6_available, proxy_for, recv_all


class PeerServer:
    """A TCP server on loopback that serves each connection with a function
    of the connected socket and keeps what the function returns."""

    def __init__(self, serve, host="127.0.0.1"):
        self.sock = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
        self.sock.bind((host, 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        self.results = []
        self.accepted = 0
        self._serve = serve
        threading.Thread(target=self._loop, daemon=True).start()

    def _loop(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            self.accepted += 1
            threading.Thread(target=self._one, args=(conn,), daemon=True).start()

    def _one(self, conn):
        conn.settimeout(30 * SLOW)
        with conn:
            try:
                self.results.append(self._serve(conn))
            except OSError as e:
                self.results.append(e)

    def stop(self):
        self.sock.close()


ANSWER_TAIL = os.urandom(300000)


def answer_at_end_of_input(conn):
    """Reads until the client's end of input, then answers with everything
    it got and a long tail."""
    got = recv_all(conn, 30 * SLOW)
    conn.sendall(got + ANSWER_TAIL)
    return got


def speak_first_then_listen(conn):
    """Sends a greeting, ends its own sending, then reads until the end."""
    conn.sendall(b"hello")
    conn.shutdown(socket.SHUT_WR)
    return recv_all(conn, 30 * SLOW)


def read_reply_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = sock.recv(4096)
        if not piece:
            break
        data += piece
    return data


class LogAndFilesTest(unittest.TestCase):
    def test_user_name_escaped_and_files_private(self):
        origin = httporigin.Origin()
        self.addCleanup(origin.stop)
        proxy = proxy_for(self, 0, ["-G=1"]).start()
        creds = base64.b64encode(b"ev\r\n127.0.0.1 - admin:pw").decode()
        exchange(proxy.port, ("GET http://127.0.0.1:%d/size/10 HTTP/1.1\r\nAuthorization: Basic %s\r\n"
                              "User-Agent: a\x1b[2Jb\r\n\r\n" % (origin.port, creds)).encode(), 5 * SLOW)
        log = proxy.wait_access("/size/10 ")
        self.assertEqual(1, log.count("\n"), log)
        self.assertIn("127.0.0.1 - ev\\x0d\\x0a127.0.0.1 - admin [", log)
        self.assertIn('"a\\x1b[2Jb"', log)
        # Every debug-log line is one of the proxy's own.
        for line in proxy.log().split("\n"):
            if line:
                self.assertRegex(line, r"^\[\d\d:\d\d:\d\d:\d\d\d\] ")
        # The logs, the spool and cache folders are the owner's alone.
        for folder in ("ncsalog", "httplog", "cache", "httpcache"):
            self.assertEqual(0o700, stat.S_IMODE(os.stat(proxy.path(folder)).st_mode), folder)
            for name in os.listdir(proxy.path(folder)):
                mode = stat.S_IMODE(os.stat(proxy.path(folder, name)).st_mode)
                self.assertEqual(0o600, mode, name)


    def test_spool_keeps_no_content_between_requests(self):
        """Spool files that stay for the next request on a socket are empty, and go with the process."""
        origin = httporigin.Origin()
        self.addCleanup(origin.stop)
        proxy = proxy_for(self, 0, ["-!=0"]).start()
        base = "http://127.0.0.1:%d" % origin.port
        for path in ("/size/10", "/size/70000", "/size/10"):
            reply = exchange(proxy.port, ("GET %s%s HTTP/1.1\r\nConnection: close\r\n\r\n"
                                          % (base, path)).encode(), 5 * SLOW)
            self.assertIn(b" 200 ", reply.split(b"\r\n")[0])
        # Two answers on one kept connection, under two spool names.
        two = ("GET %s/size/11 HTTP/1.1\r\n\r\nGET %s/size/12 HTTP/1.1\r\nConnection: close\r\n\r\n"
               % (base, base)).encode()
        self.assertEqual(2, exchange(proxy.port, two, 5 * SLOW).count(b"HTTP/1.1 200"))
        spool = proxy.path("cache")
        # The client saw its connection end only after the proxy was done with its files.
        kept = [n for n in os.listdir(spool) if n.startswith("req-")]
        self.assertTrue(kept)
        for name in kept:
            self.assertEqual(0, os.path.getsize(os.path.join(spool, name)), name)
        proxy.stop()
        self.assertEqual([], [n for n in os.listdir(spool) if n.startswith("req-")])


class FtpUrlTest(unittest.TestCase):
    def test_encoded_line_ends_send_no_command(self):
        def ftp(conn):
            conn.sendall(b"220 ready\r\n")
            lines = []
            for line in conn.makefile("rb"):
                lines.append(line)
                conn.sendall(b"221 bye\r\n" if line.startswith(b"QUIT") else b"530 no\r\n")
            return lines
        server = PeerServer(ftp)
        self.addCleanup(server.stop)
        proxy = proxy_for(self, 0).start()
        url = "ftp://%%s127.0.0.1:%d/%%s" % server.port
        bad = [
            url % ("u%0d%0aDELE%20x:p@", "pub/"),          # user
            url % ("u:p%0D%0ADELE%20x@", "pub/"),          # password
            url % ("", "pub%0d%0aDELE%20x/"),              # folder
            url % ("", "pub/a%0a.txt"),                    # file
            url % ("", "pub/a%00.txt"),
        ]
        for target in bad:
            reply = exchange(proxy.port, b"GET %s HTTP/1.1\r\n\r\n" % target.encode(), 5 * SLOW)
            self.assertEqual(b"", reply, target)
        self.assertEqual(0, server.accepted)
        # The same server is reached by a harmless URL.
        exchange(proxy.port, b"GET %s HTTP/1.1\r\n\r\n" % (url % ("", "pub/")).encode(), 10 * SLOW)
        self.assertTrue(proxytest.wait_until(lambda: server.results, 10 * SLOW))
        self.assertEqual(b"USER anonymous\r\n", server.results[0][0])


class ConnectTunnelTest(unittest.TestCase):
    def setUp(self, args=()):
        self.proxy = proxy_for(self, 0, ["-G=1"] + list(args))

    def start(self, server, host="127.0.0.1"):
        self.addCleanup(server.stop)
        shown = "[%s]" % host if ":" in host else host
        self.proxy.write("white.db", "https://%s:%d/\n" % (shown, server.port))
        self.proxy.start()
        sock = socket.create_connection(("127.0.0.1", self.proxy.port), timeout=30 * SLOW)
        self.addCleanup(sock.close)
        return sock, "%s:%d" % (shown, server.port)

    def test_bytes_behind_connect_and_client_half_close(self):
        for host in ["127.0.0.1"] + (["::1"] if ipv6_available() else []):
            with self.subTest(host=host):
                self.setUp(["-i=2"])   # the server may be IPv6
                server = PeerServer(answer_at_end_of_input, host)
                sock, target = self.start(server, host)
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                # The first bytes of the tunnel travel with the request.
                sock.sendall(b"CONNECT %s HTTP/1.1\r\nHost: x\r\n\r\nfirst," % target.encode())
                head = read_reply_head(sock)
                self.assertTrue(head.startswith(b"HTTP/1.0 200 "), head)
                rest = head.split(b"\r\n\r\n", 1)[1]
                sock.sendall(b"second")
                # The server answers only once it reads the end of input.
                sock.shutdown(socket.SHUT_WR)
                answer = rest + recv_all(sock, 30 * SLOW)
                self.assertEqual(b"first,second" + ANSWER_TAIL, answer)
                self.proxy.stop()

    def test_server_half_close_reaches_client(self):
        server = PeerServer(speak_first_then_listen)
        sock, target = self.start(server)
        sock.sendall(b"CONNECT %s HTTP/1.1\r\n\r\n" % target.encode())
        data = read_reply_head(sock)
        # The greeting, then the end of the server's sending, at once.
        t0 = time.monotonic()
        data += recv_all(sock, 30 * SLOW)
        self.assertLess(time.monotonic() - t0, 3 * SLOW)
        self.assertTrue(data.endswith(b"\r\n\r\nhello"), data)
        # The other direction still flows.
        sock.sendall(b"after")
        sock.shutdown(socket.SHUT_WR)
        self.assertTrue(proxytest.wait_until(lambda: server.results, 10 * SLOW))
        self.assertEqual(b"after", server.results[0])

    def test_bad_targets_get_400(self):
        self.proxy.start()
        for target in (b"127.0.0.1", b"127.0.0.1:", b"127.0.0.1:70000", b"127.0.0.1:0", b"::1:443",
                       b"[::1]", b"[::1]443", b"127.0.0.1:+443"):
            reply = exchange(self.proxy.port, b"CONNECT %s HTTP/1.1\r\n\r\n" % target, 5 * SLOW)
            self.assertTrue(reply.startswith(b"HTTP/1.1 400 "), (target, reply))
        self.assertTrue(proxytest.wait_until(lambda: self.proxy.access_log().count('" 400 0 ') == 8, 10 * SLOW),
                        self.proxy.access_log())


class SilentTlsClientTest(unittest.TestCase):
    def test_silent_client_does_not_delay_others(self):
        proxy = proxy_for(self, 0, ["-T=30000,30000,30000,30000"])
        cert, key = proxytest.make_certificate(proxy.root)
        proxy.write("http.ini", "127.0.0.1 %d+%s\t%s\n" % (proxy.port, cert, key))
        proxy.start()
        silent = socket.create_connection(("127.0.0.1", proxy.port), timeout=10)
        self.addCleanup(silent.close)
        self.assertTrue(proxy.wait_log("[OpenSSLServer] SOCKET="))
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        t0 = time.monotonic()
        raw = socket.create_connection(("127.0.0.1", proxy.port), timeout=20 * SLOW)
        with context.wrap_socket(raw) as tls:
            self.assertLess(time.monotonic() - t0, 3 * SLOW)
            tls.sendall(b"CONNECT 127.0.0.1 HTTP/1.1\r\n\r\n")
            self.assertTrue(read_reply_head(tls).startswith(b"HTTP/1.1 400 "))

    def test_dripping_handshake_is_ended_as_a_whole(self):
        # One byte every half second keeps every single wait short; the
        # handshake as a whole still ends after the 10 s bound.
        proxy = proxy_for(self, 0, ["-T=30000,30000,1000,30000"])
        cert, key = proxytest.make_certificate(proxy.root)
        proxy.write("http.ini", "127.0.0.1 %d+%s\t%s\n" % (proxy.port, cert, key))
        proxy.start()
        drip = socket.create_connection(("127.0.0.1", proxy.port), timeout=5)
        self.addCleanup(drip.close)
        drip.sendall(b"\x16\x03\x01\x02\x00")  # a record header announcing 512 bytes
        t0 = time.monotonic()
        ended = False
        while time.monotonic() - t0 < 30 * SLOW and not ended:
            time.sleep(0.5)
            try:
                drip.sendall(b"\x00")
                drip.setblocking(False)
                ended = drip.recv(1) == b""
            except BlockingIOError:
                pass
            except OSError:
                ended = True
            finally:
                drip.setblocking(True)
        self.assertTrue(ended)
        self.assertGreater(time.monotonic() - t0, 9)
        self.assertLess(time.monotonic() - t0, 20 * SLOW)


if __name__ == "__main__":
    unittest.main()
