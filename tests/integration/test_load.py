"""Load in every mode: many idle clients (at the greeting and in the middle
of a header or command) while a newcomer is still served within a second;
clients that send one byte at a time are ended by the deadline of the whole
header, command or SOCKS message; and a proxy out of descriptors closes what
it cannot take, uses no CPU while it waits and serves again once the
clients are gone.  Thread and descriptor counts return to their idle values.

PROXY_LOAD_CLIENTS sets the number of idle clients and, at least 400, of the
connection attempts against the low descriptor limit (200 and 400 here; the
full check runs 1000)."""
import os
import selectors
import socket
import struct
import threading
import time
import unittest

from proxytest import SLOW, proxy_for, wait_until
from test_front import is_exact_407

CLIENTS = int(os.environ.get("PROXY_LOAD_CLIENTS", "200"))
ATTEMPTS = max(CLIENTS, 400)
HTTP_GET = b"GET http://127.0.0.1:1/ HTTP/1.1\r\nHost: x\r\n\r\n"


class LineServer:
    """Upstream of a relay mode: one thread and a selector for any number of
    connections; greets each one and answers every line it receives (the
    answer's {tag} is the line's first word)."""

    def __init__(self, greeting, answer):
        self.greeting, self.answer = greeting, answer
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(4096)
        self.port = self.sock.getsockname()[1]
        self.sel = selectors.DefaultSelector()
        self.sel.register(self.sock, selectors.EVENT_READ)
        self.running = True
        self.thread = threading.Thread(target=self._loop, daemon=True)
        self.thread.start()

    def _loop(self):
        while self.running:
            for key, _ in self.sel.select(0.2):
                if key.fileobj is self.sock:
                    conn, _ = self.sock.accept()
                    conn.sendall(self.greeting)
                    self.sel.register(conn, selectors.EVENT_READ, bytearray())
                    continue
                try:
                    data = key.fileobj.recv(4096)
                except OSError:
                    data = b""
                if not data:
                    self.sel.unregister(key.fileobj)
                    key.fileobj.close()
                    continue
                key.data.extend(data)
                while b"\n" in key.data:
                    line, _, rest = bytes(key.data).partition(b"\n")
                    key.data[:] = rest
                    tag = (line.split(b" ", 1)[0] or b"*").decode("latin-1")
                    key.fileobj.sendall(self.answer.replace(b"{tag}", tag.encode("latin-1")))

    def stop(self):
        self.running = False
        self.thread.join(5)
        for key in list(self.sel.get_map().values()):
            key.fileobj.close()


# mode: (upstream greeting, upstream answer, a command, the start of one)
RELAYS = {
    1: (b"220 fake ready\r\n", b"250 OK\r\n", b"NOOP\r\n", b"NOO"),
    2: (b"+OK ready\r\n", b"+OK done\r\n", b"NOOP\r\n", b"NOO"),
    3: (b"* OK ready\r\n", b"{tag} OK done\r\n", b"a1 NOOP\r\n", b"a1 NO"),
    4: (b"220 ready\r\n", b"200 OK\r\n", b"NOOP\r\n", b"NOO"),
}


def read_until(sock, done, timeout):
    """Reads until done(data) or the peer closes or the time is up."""
    sock.settimeout(timeout)
    data = b""
    try:
        while not done(data):
            piece = sock.recv(4096)
            if not piece:
                break
            data += piece
    except OSError:
        pass
    return data


def abort(sock):
    """Closes with a reset: a thousand clients must not leave a thousand
    ports in TIME_WAIT on a shared machine."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class LoadTest(unittest.TestCase):
    def start(self, mode, args, nofile=None):
        """A proxy of the mode (with an upstream LineServer for the relays)."""
        if mode in RELAYS:
            server = LineServer(*RELAYS[mode][:2])
            self.addCleanup(server.stop)
            args = ["-S=127.0.0.1 %d" % server.port] + args
        proxy = proxy_for(self, mode, args, nofile=nofile).start()
        self.assertTrue(wait_until(lambda: proxy.threads() == 1, 5))
        return proxy, (proxy.threads(), proxy.fds())

    def probe(self, proxy):
        """One newcomer's exchange: the time it took and whether it was right."""
        start = time.monotonic()
        with socket.create_connection(("127.0.0.1", proxy.port), timeout=10 * SLOW) as s:
            if proxy.mode == 0:
                s.sendall(HTTP_GET)
                ok = is_exact_407(read_until(s, lambda d: False, 10 * SLOW))
            elif proxy.mode == 5:
                s.sendall(b"\x05\x01\x00")
                ok = read_until(s, lambda d: len(d) >= 2, 10 * SLOW) == b"\x05\x00"
            else:
                greeting, answer, command, _ = RELAYS[proxy.mode]
                ok = read_until(s, lambda d: d.endswith(b"\r\n"), 10 * SLOW) == greeting
                s.sendall(command)
                ok = ok and read_until(s, lambda d: d.endswith(b"\r\n"), 10 * SLOW) == \
                    answer.replace(b"{tag}", b"a1")
        return time.monotonic() - start, ok

    def assert_back_to_idle(self, proxy, idle):
        # Finished connection threads wait a few seconds for more work first.
        self.assertTrue(wait_until(lambda: (proxy.threads(), proxy.fds()) == idle, 30 * SLOW),
                        ((proxy.threads(), proxy.fds()), idle))

    def test_idle_clients_do_not_hold_up_a_newcomer(self):
        partial = {0: b"GET http://127.0.0.1:1/ HTTP/1.1\r\nHost: x", 5: b"\x04\x01\x00\x50\x7f\x00\x00\x01user"}
        for mode in range(6):
            with self.subTest(mode=mode):
                proxy, idle = self.start(mode, ["-A", "-T=60000,60000"] if mode == 0 else ["-T=60000"])
                clients = []
                try:
                    for i in range(CLIENTS):
                        s = socket.create_connection(("127.0.0.1", proxy.port), timeout=10)
                        clients.append(s)
                        if i % 2:   # in the middle of a header, command or SOCKS request
                            s.sendall(partial.get(mode) or RELAYS[mode][3])
                    self.assertTrue(wait_until(lambda: proxy.threads() >= CLIENTS + 1, 60 * SLOW), proxy.threads())
                    took, ok = self.probe(proxy)
                    self.assertTrue(ok)
                    self.assertLess(took, 1.0 * SLOW)
                finally:
                    for s in clients:
                        abort(s)
                self.assert_back_to_idle(proxy, idle)

    def test_one_byte_at_a_time_is_ended_by_the_message_deadline(self):
        # mode, switches, sent at once, sent one byte every half second,
        # what the client gets.  The deadline is 2 s; each byte alone would
        # keep a per-receive wait of 2 s going for ever.
        cases = [
            (0, ["-T=5,2000"], b"", b"GET http://127.0.0.1:1/ HTTP/1.1\r\nHost: x\r\nX-Pad: abcdef\r\n\r\n",
             b"HTTP/1.1 408 Request Timeout\r\n"),
            (0, ["-T=5,2000"], b"POST http://127.0.0.1:1/ HTTP/1.1\r\nHost: x\r\nContent-Length: 60\r\n\r\n",
             b"x" * 60, b"HTTP/1.1 408 Request Timeout\r\n"),
            (1, ["-T=2000"], b"", b"HELO a.slow.client.example\r\n", RELAYS[1][0]),
            (3, ["-T=2000"], b"", b"a1 LOGIN slow-user slow-password\r\n", RELAYS[3][0]),
            (5, ["-T=2000"], b"", b"\x04\x01\x1f\x90\x0a\x01\x01\x01slow-user-id\x00", b""),
        ]
        for mode, args, head, drip, expect in cases:
            with self.subTest(mode=mode, head=head[:4]):
                proxy, idle = self.start(mode, args)
                with socket.create_connection(("127.0.0.1", proxy.port), timeout=10) as s:
                    got = read_until(s, lambda d: d.endswith(b"\r\n"), 5 * SLOW) if mode in RELAYS else b""
                    s.sendall(head)
                    start, sent, ended = time.monotonic(), 0, False
                    sel = selectors.DefaultSelector()
                    sel.register(s, selectors.EVENT_READ)
                    while sent < len(drip) and not ended:
                        try:
                            s.sendall(drip[sent:sent + 1])
                            sent += 1
                        except OSError:
                            break
                        if sel.select(0.5):
                            try:
                                piece = s.recv(4096)
                            except OSError:
                                piece = b""
                            got += piece
                            ended = not piece
                    took = time.monotonic() - start
                    sel.close()
                self.assertLess(sent, len(drip))
                self.assertLess(took, 2.0 + 2.5 * SLOW)
                self.assertTrue(got.startswith(expect), got)
                self.assertTrue(wait_until(lambda: proxy.fds() == idle[1], 10 * SLOW))

    def test_out_of_descriptors(self):
        attempts = ATTEMPTS
        proxy, idle = self.start(0, ["-A", "-T=5,60000"], nofile=256)
        clients = []
        sel = selectors.DefaultSelector()
        try:
            for _ in range(attempts):
                s = socket.socket()
                s.setblocking(False)
                s.connect_ex(("127.0.0.1", proxy.port))
                clients.append(s)
                sel.register(s, selectors.EVENT_READ)
            closed = set()

            def settled():
                for key, _ in sel.select(0):
                    try:
                        key.fileobj.recv(1)
                    except (BlockingIOError, InterruptedError):
                        continue
                    except OSError:
                        pass
                    closed.add(key.fileobj)
                    sel.unregister(key.fileobj)
                return len(closed) + proxy.threads() - 1 >= attempts
            # What the proxy cannot take it closes; the rest it holds.
            self.assertTrue(wait_until(settled, 60 * SLOW), (len(closed), proxy.threads()))
            self.assertGreater(len(closed), attempts - 256)
            # ...and while the held clients say nothing it does nothing.
            before = cpu_seconds(proxy.proc.pid)
            time.sleep(2)
            self.assertLess(cpu_seconds(proxy.proc.pid) - before, 0.1)
            self.assertEqual(1, len(proxy.log_lines(r"^\[AcceptClients\] \[\d{4}\] Reject descriptor limit \(256\)$")))
        finally:
            sel.close()
            for s in clients:
                abort(s)
        start = time.monotonic()
        while True:
            took, ok = self.probe(proxy)
            if ok or time.monotonic() - start > 5:
                break
            time.sleep(0.2)
        self.assertTrue(ok)
        self.assertLess(time.monotonic() - start, 5)
        self.assertRegex(proxy.log(), r"taking clients again after \d+ failed accepts and \d+ clients closed")
        self.assert_back_to_idle(proxy, idle)


if __name__ == "__main__":
    unittest.main()
