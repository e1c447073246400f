#!/usr/bin/python3
"""Soak: one proxy instance per mode, built with the sanitizers, carries
mixed traffic for a set time: HTTP GET, POST and CONNECT, SMTP, POP3, IMAP4,
FTP (downloads and uploads) and SOCKS (a pass-through tunnel and HTTP), all
against real servers on loopback, with clean fake inspection services.

It prints each instance's resident memory, descriptors and threads and the
exchanges done and failed at the start, every interval and at the end (after
the traffic has stopped and the connection threads have finished).  Then it
stops every instance with SIGTERM, so that an idle instance ends in order and
LeakSanitizer checks it at exit.  Exit status 0 when no exchange failed, no
sanitizer reported anything, and descriptors and threads came back to their
values at the start, and resident memory at the end is within half as much
again of its size after the first interval; 1 otherwise.

  tests/soak/soak.py --bin build-asan/ruvohprx --minutes 10
"""
import argparse
import ftplib
import http.client
import imaplib
import io
import os
import poplib
import smtplib
import socket
import struct
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "integration"))
os.environ.setdefault("PROXY_SANITIZE", "ON")
# Leak checking at exit; a small quarantine, or freed blocks held back for
# use-after-free detection would look like growth for hundreds of MB.
os.environ.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0:quarantine_size_mb=16")
os.environ.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")

import httporigin  # noqa: E402
from ftpserver import FtpServer  # noqa: E402
from mailfakes import Dovecot, SmtpSink  # noqa: E402
from proxytest import EchoServer, FakeService, Proxy, sanitizer_report, wait_until  # noqa: E402

MODES = ("HTTP", "SMTP", "POP3", "IMAP4", "FTP", "SOCKS")
MESSAGE = b"From: soak@example.test\r\nSubject: soak\r\n\r\n" + b"line of the soak message\r\n" * 200
DATA = bytes(range(256)) * 1024          # the FTP download, 256 KiB
PAYLOAD = os.urandom(20000)               # tunnel and POST payload
TIMEOUT = 60


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.done = {}
        self.failed = {}
        self.last_error = {}

    def note(self, kind, ok, error=None):
        with self.lock:
            table = self.done if ok else self.failed
            table[kind] = table.get(kind, 0) + 1
            if error:
                self.last_error[kind] = error

    def totals(self):
        with self.lock:
            return sum(self.done.values()), sum(self.failed.values())


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        piece = sock.recv(n - len(data))
        if not piece:
            break
        data += piece
    return data


def read_head(sock):
    data = b""
    while b"\r\n\r\n" not in data:
        piece = sock.recv(1)
        if not piece:
            break
        data += piece
    return data


class Soak:
    def __init__(self, binary):
        self.binary = binary
        self.stats = Stats()
        self.stop = threading.Event()
        self.cleanups = []
        self.services = []
        self.proxies = []

    def service(self, proxy, name):
        svc = FakeService(proxy.data, name, lambda text: "")
        self.services.append(svc)
        self.cleanups.append(svc.stop)

    def proxy(self, mode, args, files=None, services=("ruvoavs",)):
        p = Proxy(mode, args, prefix="soak_", program=self.binary)
        for name, text in (files or {}).items():
            p.write(name, text)
        for name in services:
            self.service(p, name)
        self.cleanups.append(p.cleanup)
        p.start(timeout=60)
        self.proxies.append(p)

    def set_up(self):
        self.origin = httporigin.Origin()
        self.cleanups.append(self.origin.stop)
        self.echo = EchoServer()
        self.cleanups.append(self.echo.stop)
        self.sink = SmtpSink()
        self.cleanups.append(self.sink.stop)
        self.dove = Dovecot()
        self.dove.set_messages([MESSAGE])
        self.dove.start()
        self.cleanups.append(self.dove.cleanup)
        self.ftp_root = os.path.join(self.dove.home, "ftp")
        os.makedirs(os.path.join(self.ftp_root, "in"))
        with open(os.path.join(self.ftp_root, "data.bin"), "wb") as f:
            f.write(DATA)
        self.ftp = FtpServer(self.ftp_root, user="soak:soak-pw")
        self.cleanups.append(self.ftp.cleanup)
        up = "-S=127.0.0.1 %d"
        self.proxy(0, ["-G=1"], {"white.db": "https://127.0.0.1:%d/\n" % self.echo.port}, ("ruvoavs", "ruvocwfs"))
        self.proxy(1, [up % self.sink.port], services=("ruvoavs", "ruvospam"))
        self.proxy(2, [up % self.dove.port_pop])
        self.proxy(3, [up % self.dove.port_imap])
        self.proxy(4, [up % self.ftp.port])
        self.proxy(5, ["-G=1"], {"socks-ptl.ini": "%d,0\n%d,6,1\n" % (self.origin.port, self.echo.port)})

    # ---- the exchanges: each returns None when right, else what was wrong --

    def http_get(self, p):
        c = http.client.HTTPConnection("127.0.0.1", p.port, timeout=TIMEOUT)
        c.request("GET", "http://127.0.0.1:%d/size/50000" % self.origin.port)
        r = c.getresponse()
        body = r.read()
        c.close()
        return None if r.status == 200 and body == httporigin.pattern(50000) else "GET %d %d" % (r.status, len(body))

    def http_post(self, p):
        c = http.client.HTTPConnection("127.0.0.1", p.port, timeout=TIMEOUT)
        c.request("POST", "http://127.0.0.1:%d/post" % self.origin.port, body=PAYLOAD,
                  headers={"Content-Type": "application/octet-stream"})
        r = c.getresponse()
        body = r.read()
        c.close()
        return None if r.status == 200 and body.endswith(PAYLOAD) else "POST %d %d" % (r.status, len(body))

    def tunnel(self, sock):
        sock.sendall(PAYLOAD)
        back = recv_exact(sock, len(PAYLOAD))
        return None if back == PAYLOAD else "tunnel echoed %d bytes" % len(back)

    def http_connect(self, p):
        with socket.create_connection(("127.0.0.1", p.port), timeout=TIMEOUT) as s:
            s.sendall(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: x\r\n\r\n" % self.echo.port)
            head = read_head(s)
            if b" 200 " not in head.split(b"\r\n", 1)[0]:
                return "CONNECT %r" % head[:40]
            return self.tunnel(s)

    def smtp(self, p):
        self.sink.clear()
        with smtplib.SMTP("127.0.0.1", p.port, timeout=TIMEOUT) as c:
            refused = c.sendmail("soak@example.test", ["rcpt@example.test"], MESSAGE)
        got = self.sink.wait_messages(1, TIMEOUT)
        body = MESSAGE.split(b"\r\n\r\n", 1)[1].replace(b"\r\n", b"\n")
        if refused or len(got) != 1 or body not in got[0][2].replace(b"\r\n", b"\n"):
            return "refused %r, %d messages arrived" % (refused, len(got))
        return None

    def pop3(self, p):
        c = poplib.POP3("127.0.0.1", p.port, timeout=TIMEOUT)
        c.user(Dovecot.USER)
        c.pass_(Dovecot.PASSWORD)
        lines = c.retr(1)[1]
        c.quit()
        return None if b"\r\n".join(lines).endswith(MESSAGE.rstrip(b"\r\n")) else "RETR %d lines" % len(lines)

    def imap(self, p):
        c = imaplib.IMAP4("127.0.0.1", p.port, timeout=TIMEOUT)
        c.login(Dovecot.USER, Dovecot.PASSWORD)
        c.select("INBOX")
        typ, data = c.fetch("1", "(BODY[TEXT])")
        c.logout()
        return None if typ == "OK" and MESSAGE.split(b"\r\n\r\n", 1)[1] in data[0][1] else "FETCH %s" % typ

    def ftp_session(self, p, n=[0]):
        n[0] += 1
        c = ftplib.FTP()
        c.connect("127.0.0.1", p.port, timeout=TIMEOUT)
        c.login("soak", "soak-pw")
        out = io.BytesIO()
        c.retrbinary("RETR data.bin", out.write)
        if n[0] % 4 == 0:
            c.storbinary("STOR in/up-%d.bin" % n[0], io.BytesIO(PAYLOAD))
            c.delete("in/up-%d.bin" % n[0])
        c.quit()
        return None if out.getvalue() == DATA else "RETR %d bytes" % len(out.getvalue())

    def socks(self, p, n=[0]):
        n[0] += 1
        port = self.echo.port if n[0] % 2 else self.origin.port
        with socket.create_connection(("127.0.0.1", p.port), timeout=TIMEOUT) as s:
            s.sendall(b"\x05\x01\x00")
            if recv_exact(s, 2) != b"\x05\x00":
                return "SOCKS method"
            s.sendall(b"\x05\x01\x00\x01\x7f\x00\x00\x01" + struct.pack(">H", port))
            if recv_exact(s, 10)[:2] != b"\x05\x00":
                return "SOCKS reply"
            if port == self.echo.port:
                return self.tunnel(s)
            s.sendall(b"GET /size/30000 HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n\r\n" % port)
            data = b""
            while True:
                piece = s.recv(65536)
                if not piece:
                    break
                data += piece
            return None if data.endswith(httporigin.pattern(30000)) else "SOCKS GET %d bytes" % len(data)

    def worker(self, kind, exchange, proxy, pause):
        while not self.stop.is_set():
            try:
                error = exchange(proxy)
            except Exception as e:  # every failure of an exchange is counted, whatever it is
                error = "%s: %s" % (type(e).__name__, e)
            self.stats.note(kind, error is None, error)
            self.stop.wait(pause)

    # ---- sampling ----------------------------------------------------------

    @staticmethod
    def sample(p):
        rss = 0
        with open("/proc/%d/status" % p.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
        return rss, p.fds(), p.threads()

    def forget(self):
        """The servers' records of what they got, which nothing here reads."""
        for svc in self.services:
            svc.requests.clear()
            svc.calls.clear()
        with self.origin.lock:
            self.origin.requests.clear()
            self.origin.conns.clear()
            self.origin.hits.clear()

    def report(self, label, elapsed):
        self.forget()
        done, failed = self.stats.totals()
        cols = "  ".join("%s %6d kB %3d fd %3d thr" % ((MODES[p.mode],) + self.sample(p)) for p in self.proxies)
        print("%-5s %6.1f min  exchanges %7d  failed %d  load %.2f\n      %s" %
              (label, elapsed / 60, done, failed, os.getloadavg()[0], cols), flush=True)
        return [self.sample(p) for p in self.proxies]

    def run(self, minutes, interval, pause):
        start_samples = self.report("start", 0)
        plan = [("HTTP GET", self.http_get, 0), ("HTTP POST", self.http_post, 0), ("HTTP CONNECT", self.http_connect, 0),
                ("SMTP", self.smtp, 1), ("POP3", self.pop3, 2), ("IMAP4", self.imap, 3), ("FTP", self.ftp_session, 4),
                ("SOCKS", self.socks, 5)]
        workers = [threading.Thread(target=self.worker, args=(kind, fn, self.proxies[m], pause), daemon=True)
                   for kind, fn, m in plan]
        begin = time.monotonic()
        for w in workers:
            w.start()
        next_report = begin + interval
        self.warm = None
        while time.monotonic() < begin + minutes * 60:
            time.sleep(max(0.0, min(next_report, begin + minutes * 60) - time.monotonic()))
            if time.monotonic() >= next_report:
                samples = self.report("run", time.monotonic() - begin)
                self.warm = self.warm or samples
                next_report += interval
        self.stop.set()
        for w in workers:
            w.join(TIMEOUT * 2)
        # Finished connection threads wait a few seconds for more work first.
        wait_until(lambda: [self.sample(p)[1:] for p in self.proxies] == [s[1:] for s in start_samples], 60)
        end_samples = self.report("end", time.monotonic() - begin)
        return start_samples, end_samples

    def finish(self):
        """Stops everything; returns the sanitizer reports of the instances."""
        reports = []
        for p in self.proxies:
            proc = p.proc
            err = p.stop()
            if sanitizer_report(err) or "LeakSanitizer" in err:
                reports.append("%s:\n%s" % (MODES[p.mode], err[-4000:]))
            elif proc.returncode != 0:
                reports.append("%s ended with status %s, not in order (no leak check)" % (MODES[p.mode], proc.returncode))
        for clean in reversed(self.cleanups):
            try:
                clean()
            except Exception:  # clean-up goes on whatever one step did
                pass
        return reports


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--bin", default=os.path.join(HERE, "../../build-asan/ruvohprx"))
    ap.add_argument("--minutes", type=float, default=10)
    ap.add_argument("--interval", type=float, default=60, help="seconds between two reports")
    # Every exchange leaves its connections in TIME_WAIT for a minute; the
    # pause keeps that well within the loopback's ephemeral ports.
    ap.add_argument("--pause", type=float, default=0.2, help="seconds between two exchanges of one kind")
    args = ap.parse_args()
    soak = Soak(os.path.abspath(args.bin))
    try:
        soak.set_up()
        start, end = soak.run(args.minutes, args.interval, args.pause)
    finally:
        reports = soak.finish()
        soak.stop.set()
    done, failed = soak.stats.totals()
    print("exchanges by kind: %s" % ", ".join("%s %d" % kv for kv in sorted(soak.stats.done.items())))
    problems = ["%s failed %d times, last: %s" % (k, n, soak.stats.last_error.get(k))
                for k, n in sorted(soak.stats.failed.items())]
    problems += ["%s: descriptors/threads %s at the start, %s at the end" % (MODES[i], start[i][1:], end[i][1:])
                 for i in range(len(start)) if start[i][1:] != end[i][1:]]
    # Memory: after the first interval (caches and thread stacks warm) it
    # stays within half as much again.
    warm = soak.warm or start
    problems += ["%s: resident memory %d kB after the first interval, %d kB at the end" %
                 (MODES[i], warm[i][0], end[i][0]) for i in range(len(start)) if end[i][0] > warm[i][0] * 3 // 2]
    problems += reports
    for line in problems:
        print("PROBLEM " + line)
    print("soak %s: %d exchanges, %d failed" % ("failed" if problems else "passed", done, failed))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
