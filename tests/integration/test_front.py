"""The connection front end with the real binary and real clients: listening
(IPv4 and IPv6, per-entry ports, implicit TLS), admission by the permission
list, the connection limit, proxy authentication and its 407 reply, request
completeness for uploads, outbound connect retries and a load of 500
simultaneous clients.  The connect table is tried by the HTTP tests."""
import re
import selectors
import shutil
import signal
import socket
import tempfile
import time
import unittest

import proxytest
from proxytest import curl, exchange, free_port, proxy_for, recv_all, wait_until

DATE_RE = (rb"Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)"
           rb" \d{4} \d\d:\d\d:\d\d (GMT|[+-]\d{4})\r\n")
REPLY_407 = [
    b"HTTP/1.1 407 Proxy Authentication Required\r\n",
    None,  # the date line
    b"Server: QUILLON/v1.38\r\n",
    b"MIME-Version: 1.0\r\n",
    b"Content-Type: text/html\r\n",
    b"Content-Length: 79\r\n",
    b"Proxy-Connection: close\r\n",
    b"Proxy-Authenticate: Basic Realm=\"proxy\"\r\n",
    b"\r\n",
    b"<HTML><HEAD></HEAD><BODY>\r\n",
    b"<B>Proxy Authorization</B> required.</BODY></HTML>\r\n",
]


def is_exact_407(data):
    pattern = b"".join(re.escape(p) if p is not None else DATE_RE for p in REPLY_407)
    return re.fullmatch(pattern, data, re.S) is not None


def status_of(curl_out):
    return curl_out.decode(errors="replace").strip()[-3:]


class FrontTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.certdir = tempfile.mkdtemp(prefix="front_cert_")
        cls.cert, cls.key = proxytest.make_certificate(cls.certdir)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certdir, ignore_errors=True)

    def start(self, args, files=None, listen="127.0.0.1", port=None, wait_listening=True):
        """A proxy with the data files ("{port}" in them is its port)."""
        proc = proxy_for(self, 0, args, listen=listen, prefix="front_")
        self.port = port or proc.port
        for name, text in (files or {}).items():
            proc.write(name, text.replace("{port}", str(self.port)))
        return proc.start(wait_listening)

    def proxy_curl(self, extra, target="http://127.0.0.1:1/", proxy=None):
        proxy = proxy or "http://127.0.0.1:%d" % self.port
        return curl(["-o", "/dev/null", "-w", "%{http_code}", "-x", proxy] + extra + [target])

    # ---- proxy authentication ------------------------------------------

    def test_407_reply_is_exact_and_auth_list_rules_hold(self):
        proc = self.start(["-A", "-$=1"], {"http-auth.ini": " alice:blank\r\n\"quoted:q\n'single:s\n\n"
                                                           "alice:secret,the first user\r\nbob:pw2\n"})
        data = exchange(self.port, b"GET http://127.0.0.1:1/ HTTP/1.1\r\nHost: x\r\n\r\n")
        self.assertTrue(is_exact_407(data), data)
        cases = [("alice:secret", True), ("bob:pw2", True), ("alice:blank", False),
                 ("quoted:q", False), ("single:s", False), ("alice:secret,the first user", False),
                 ("alice:wrong", False)]
        for user, accepted in cases:
            rc, out, err = self.proxy_curl(["--proxy-user", user])
            # Accepted requests reach the HTTP handlers, whose connection to
            # port 1 fails: no reply at all (curl 52) instead of the 407.
            self.assertIn(rc, (0, 52), err)
            self.assertEqual(not accepted, status_of(out) == "407", (user, out))
        self.assertEqual(1, len(proc.log_lines(r"^\[ComperTokenB64\] \[\d{4}\] Proxy-Authorization success\. \[alice\]$")))
        self.assertEqual(1, len(proc.log_lines(r"^\[ComperTokenB64\] \[\d{4}\] Proxy-Authorization success\. \[bob\]$")))

    def test_answer_survives_unread_client_bytes(self):
        # A complete request followed by bytes the proxy never reads: closing
        # must not reset the connection and destroy the answer.
        self.start(["-A"])
        for _ in range(3):
            with socket.socket() as s:
                s.connect(("127.0.0.1", self.port))
                s.sendall(b"GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n" + b"x" * 100000)
                time.sleep(0.3)  # the answer and the close arrive before we read
                data = recv_all(s, 10)
            self.assertTrue(is_exact_407(data), data[:200])

    def test_upload_waits_for_its_body(self):
        proc = self.start(["-A", "-T=5,5000"], {"http-auth.ini": "alice:secret\n"})
        cases = [
            ("content-length", b"POST http://127.0.0.1:1/ HTTP/1.1\r\nContent-Length: 10\r\n\r\nhello",
             b"world"),
            ("chunked", b"POST http://127.0.0.1:1/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                        b"5\r\nhello\r\n", b"5\r\nworld\r\n0\r\n\r\n"),
        ]
        for name, first, rest in cases:
            with socket.socket() as s:
                s.connect(("127.0.0.1", self.port))
                s.sendall(first)
                s.settimeout(0.7)
                with self.assertRaises(socket.timeout, msg=name):
                    s.recv(100)  # nothing is answered before the body is complete
                s.sendall(rest)
                data = recv_all(s, 10)
                self.assertTrue(is_exact_407(data), (name, data))
        # The upload went through the scan (no scanner running: clean).
        self.assertEqual(2, len(proc.log_lines(r"^\[AcceptClients\] \[\d{4}\] \[POST http://127\.0\.0\.1:1/ HTTP/1\.1\] \[CLEAN\]$")))

    # ---- admission -------------------------------------------------------

    def test_permission_list_refuses_without_bytes_or_thread(self):
        proc = self.start(["-A"], {"http-con.ini": "10.1.2.3\n"})
        data = exchange(self.port, b"GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n")
        self.assertEqual(b"", data)
        self.assertTrue(proc.wait_log("Close Client socket."))
        lines = proc.log_lines(r"^\[AcceptClients\] \[\d{4}\] (Reject|Close|START)")
        self.assertEqual(2, len(lines), lines)
        self.assertRegex(lines[0], r"^\[AcceptClients\] \[\d{4}\] Reject QueryConnectPerimisson\(\) \[127\.0\.0\.1\]$")
        self.assertEqual(lines[0][:22], lines[1][:22])
        self.assertRegex(lines[1], r"Close Client socket\.$")
        self.assertNotIn("START", proc.log())

    def test_connection_limit_closes_second_client(self):
        proc = self.start(["-A", "-C=1", "-T=5,8000"])
        with socket.socket() as held:
            held.connect(("127.0.0.1", self.port))
            held.sendall(b"GET http://127.0.0.1:1/ HTTP/1.1\r\n")
            self.assertTrue(proc.wait_log("] START ["))
            start = time.monotonic()
            data = exchange(self.port, b"GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n")
            self.assertEqual(b"", data)
            self.assertLess(time.monotonic() - start, 3)
            self.assertEqual(1, len(proc.log_lines(r"^\[AcceptClients\] \[\d{4}\] Request exceeded\. \(Connection limit = 1\)$")))
            held.sendall(b"\r\n")
            self.assertTrue(is_exact_407(recv_all(held, 10)))
        # The count went down again: the next client is served.
        self.assertTrue(proc.wait_log("[CloseClient]", count=6))
        data = exchange(self.port, b"GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n")
        self.assertTrue(is_exact_407(data), data)

    # ---- listening -------------------------------------------------------

    @unittest.skipUnless(proxytest.ipv6_available(), "no IPv6 loopback")
    def test_ipv4_and_ipv6_entries_with_own_ports(self):
        port4 = free_port()
        port6 = free_port(socket.AF_INET6)
        proc = self.start(["-A", "-i=2", "-L=127.0.0.1,::1 %d %d" % (port6, port4)], listen=None, port=port4)
        self.assertTrue(is_exact_407(exchange(port4, b"GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n")))
        data = exchange(port6, b"GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n", host="::1")
        self.assertTrue(is_exact_407(data), data)
        rc, out, err = curl(["-o", "/dev/null", "-w", "%{http_code}", "-x", "http://[::1]:%d" % port6,
                             "http://127.0.0.1:1/"])
        self.assertEqual("407", status_of(out), err)
        log = proc.log()
        self.assertIn("[AcceptClients] listen=127.0.0.1\n", log)
        self.assertIn("[AcceptClients] listen=::1 %d\n" % port6, log)
        self.assertIn("] Connect from [::1]\n", log)
        self.assertRegex(log, r"\[AcceptClients\] host\.domain=\[[^\]]*\.[^\]]*\]")

    def test_ipv4_only_mode_skips_ipv6_entries(self):
        proc = self.start(["-A", "-i=0", "-L=::1 1,127.0.0.1 %d" % free_port()], listen=None)
        self.assertNotIn("listen=::1", proc.log())
        self.assertIn("table=::1 1", proc.log())

    def test_listener_that_cannot_bind_fails_the_program(self):
        proc = self.start(["-L=192.0.2.1 %d" % free_port()], listen=None, wait_listening=False)
        self.assertNotEqual(0, proc.wait_exit(15))
        self.assertIn("[AcceptClients] bind() failed with error\n", proc.log())

    def test_stop_signal_ends_an_idle_instance_in_order(self):
        # Idle: the listener closes and the program returns 0; with a
        # connection in progress the signal ends it at once, as by default.
        for busy, status in ((False, 0), (True, -signal.SIGTERM)):
            proc = self.start(["-T=5,60000"])
            with socket.create_connection(("127.0.0.1", self.port)) as s:
                if busy:
                    self.assertTrue(proc.wait_log("] START ["))
                else:
                    s.close()
                    self.assertTrue(proc.wait_log("[CloseClient] ["))
                    self.assertTrue(proc.wait_log("] end.\n"))
                proc.proc.send_signal(signal.SIGTERM)
                self.assertEqual(status, proc.wait_exit(15))
            self.assertIn("[AcceptClients] stop requested\n", proc.log())

    def test_implicit_tls_listener(self):
        proc = self.start(["-A", "-$=1"], {"http.ini": "127.0.0.1 {port}+%s\t%s\n" % (self.cert, self.key),
                                           "http-auth.ini": "alice:secret\n"})
        port = self.port
        proxy = "https://127.0.0.1:%d" % port
        rc, out, err = self.proxy_curl(["--proxy-insecure"], proxy=proxy)
        self.assertEqual("407", status_of(out), err)
        rc, out, err = self.proxy_curl(["--proxy-insecure", "--proxy-user", "alice:secret"], proxy=proxy)
        self.assertNotEqual("407", status_of(out), err)
        # Dispatched: the HTTP handlers took the request (port 1 gives no reply).
        self.assertTrue(proc.wait_log("Start Proxy_Dispatch()"), proc.log()[-2000:])
        # A plain client on the TLS listener fails the handshake and is dropped.
        self.assertEqual(b"", exchange(port, b"GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n"))
        self.assertTrue(proc.wait_log("Reject Open SSL failed [127.0.0.1]"))
        self.assertRegex(proc.log(), r"\[OpenSSLServer\] SOCKET=\d+ SSL_accept\(\) success\.")
        self.assertIn("[Query_SecureSocketLayer] 127.0.0.1 %d - found.\n" % port, proc.log())
        # ...and the listener still serves TLS clients afterwards.
        rc, out, err = self.proxy_curl(["--proxy-insecure"], proxy=proxy)
        self.assertEqual("407", status_of(out), err)

    def test_tls_entry_without_key_is_refused(self):
        proc = self.start(["-A"], {"http.ini": "127.0.0.1 {port}+%s\n" % self.cert})
        port = self.port
        rc, out, err = self.proxy_curl(["--proxy-insecure"], proxy="https://127.0.0.1:%d" % port)
        self.assertNotEqual(0, rc)
        self.assertRegex(proc.log(), r"\[OpenSSLServer\] SOCKET=\d+ Certificate or Privatekey is NULL\.")
        self.assertIn("Reject Open SSL failed [127.0.0.1]", proc.log())

    # ---- outbound --------------------------------------------------------

    def test_connect_retries_against_refusing_port(self):
        proc = self.start(["-$=3"])
        refused = free_port()
        start = time.monotonic()
        rc, out, err = self.proxy_curl([], target="http://127.0.0.1:%d/" % refused)
        self.assertLess(time.monotonic() - start, 8)
        resets = proc.log_lines(r"^\[ConnectHost\] \[\d{4}\] Server=127\.0\.0\.1 Port=%d / Reset Socket \(\d+\) success\. / WSAGetLastError\(\) = 111$" % refused)
        failed = proc.log_lines(r"^\[ConnectHost\] \[\d{4}\] Server=127\.0\.0\.1 Port=%d / Winsock connect failed\. Socket=\d+ / WSAGetLastError\(\) = 111$" % refused)
        self.assertEqual((2, 1), (len(resets), len(failed)), proc.log()[-2000:])
        self.assertIn("[ConnectHost] [", proc.stdout())  # the console line
        self.assertIn("Connect 127.0.0.1:%d\n" % refused, proc.stdout())

    # ---- load ------------------------------------------------------------

    def test_500_simultaneous_clients_all_answered_and_resources_return(self):
        proc = self.start(["-A", "-T=5,20000"])
        self.assertTrue(wait_until(lambda: proc.threads() == 1, 5))
        idle_threads, idle_fds = proc.threads(), proc.fds()
        count = 500
        request = b"GET http://127.0.0.1:1/ HTTP/1.1\r\nHost: x\r\n\r\n"
        socks = []
        sel = selectors.DefaultSelector()
        try:
            for _ in range(count):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", self.port))
                socks.append(s)
            for s in socks:
                sel.register(s, selectors.EVENT_WRITE)
            replies = {}
            pending_send = set(socks)
            deadline = time.monotonic() + 90
            while len(replies) < count and time.monotonic() < deadline:
                for key, events in sel.select(timeout=1):
                    s = key.fileobj
                    if s in pending_send:
                        s.sendall(request)
                        pending_send.discard(s)
                        sel.modify(s, selectors.EVENT_READ, data=bytearray())
                        continue
                    try:
                        chunk = s.recv(65536)
                    except (BlockingIOError, InterruptedError):
                        continue
                    except ConnectionResetError:
                        chunk = b""
                    if chunk:
                        key.data.extend(chunk)
                    else:
                        replies[s] = bytes(key.data)
                        sel.unregister(s)
            answered = sum(1 for r in replies.values() if is_exact_407(r))
            self.assertEqual(count, answered, "%d replies, %d complete 407" % (len(replies), answered))
        finally:
            sel.close()
            for s in socks:
                s.close()
        # Every descriptor is returned; finished connection threads wait a
        # few seconds for the next connection, then end too.
        self.assertTrue(wait_until(lambda: proc.fds() == idle_fds, 30), (proc.fds(), idle_fds))
        self.assertTrue(wait_until(lambda: proc.threads() == idle_threads, 30), (proc.threads(), idle_threads))
        self.assertEqual(count, proc.log().count("] START ["))


if __name__ == "__main__":
    unittest.main()
