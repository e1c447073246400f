"""The metrics listener (-H): /metrics scraped with the Prometheus text
parser before and after a few requests, a virus verdict and a refused
client; other paths and methods; scrapers outside the permission list."""
import socket
import unittest
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

import httporigin
import proxytest
from proxytest import FakeService, file_verdict, proxy_for
from test_http import curl


def scrape(port, host="127.0.0.1"):
    """{(name, frozenset(labels)): value} of one scrape."""
    with urllib.request.urlopen("http://%s:%d/metrics" % (host, port), timeout=10) as r:
        assert r.headers["Content-Type"].startswith("text/plain; version=0.0.4")
        text = r.read().decode()
    samples = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            samples[(s.name, frozenset(s.labels.items()))] = s.value
    return samples


def value(samples, name, **labels):
    return samples[(name, frozenset(labels.items()))]


class MetricsTest(unittest.TestCase):
    def setUp(self):
        self.origin = httporigin.Origin()
        self.addCleanup(self.origin.stop)
        self.mport = proxytest.free_port()
        self.proxy = proxy_for(self, 0, ["-H=127.0.0.1 %d" % self.mport])
        # 127.0.0.1 is admitted, 127.0.0.2 refused (for the proxy and for
        # the metrics listener alike).
        self.proxy.write("http-con.ini", "127.0.0.1\n")
        self.avs = FakeService(self.proxy.data, "ruvoavs", file_verdict(b"EICAR", "Eicar-Test-Signature"))
        self.addCleanup(self.avs.stop)
        self.proxy.start()
        self.base = "http://127.0.0.1:%d" % self.origin.port

    def test_counters_move(self):
        before = scrape(self.mport)
        self.assertEqual(1, value(before, "proxy_info", mode="http"))
        self.assertGreater(value(before, "proxy_start_time_seconds"), 1.6e9)
        self.assertGreaterEqual(value(before, "proxy_threads"), 2)

        for path in ("/size/100", "/size/200", "/virus"):
            rc, head, body = curl(self.proxy, self.base + path)
            self.assertEqual(0, rc)
        with socket.socket() as s:
            s.bind(("127.0.0.2", 0))
            s.connect(("127.0.0.1", self.proxy.port))
            self.assertEqual(b"", proxytest.recv_all(s, timeout=5))
        self.proxy.wait_log("Reject QueryConnectPerimisson()")

        # The connection threads count their last bytes after the client has
        # its answer; they are done once no connection is open.
        proxytest.wait_until(lambda: value(scrape(self.mport), "proxy_connections_open") == 0)
        after = scrape(self.mport)

        def moved(name, **labels):
            return value(after, name, **labels) - value(before, name, **labels)
        cases = [
            # (name, labels, how much it moved)
            ("proxy_clients_accepted_total", {}, 4),
            ("proxy_clients_refused_total", {"reason": "permission"}, 1),
            ("proxy_clients_refused_total", {"reason": "auth"}, 0),
            ("proxy_requests_total", {"protocol": "http"}, 3),
            ("proxy_verdicts_total", {"kind": "virus"}, 1),
            ("proxy_verdicts_total", {"kind": "clean"}, 2),
            ("proxy_inspection_calls_total", {"service": "virus", "outcome": "verdict"}, 3),
            # No content filter is running: its calls find no pipe.
            ("proxy_inspection_calls_total", {"service": "filter", "outcome": "missing"}, 3),
            ("proxy_inspection_duration_seconds_count", {"service": "virus"}, 3),
            ("proxy_connections_open", {}, 0),
        ]
        for name, labels, delta in cases:
            with self.subTest(name=name, labels=labels):
                self.assertEqual(delta, moved(name, **labels))
        self.assertGreaterEqual(moved("proxy_bytes_total", peer="server", direction="received"), 300)
        self.assertGreater(moved("proxy_bytes_total", peer="client", direction="sent"), 300)
        self.assertEqual(3, value(after, "proxy_inspection_duration_seconds_bucket", service="virus", le="+Inf"))

    def test_other_paths_methods_and_clients(self):
        url = "http://127.0.0.1:%d" % self.mport
        for path, method, status in (("/", "GET", 404), ("/metrics", "POST", 405)):
            with self.subTest(path=path, method=method):
                req = urllib.request.Request(url + path, method=method, data=b"" if method == "POST" else None)
                with self.assertRaises(urllib.error.HTTPError) as cm:
                    urllib.request.urlopen(req, timeout=10)
                self.assertEqual(status, cm.exception.code)
        # A scraper the permission list does not admit gets nothing.
        with socket.socket() as s:
            s.bind(("127.0.0.2", 0))
            s.connect(("127.0.0.1", self.mport))
            s.sendall(b"GET /metrics HTTP/1.0\r\n\r\n")
            self.assertEqual(b"", proxytest.recv_all(s, timeout=5))


if __name__ == "__main__":
    unittest.main()
