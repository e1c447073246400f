"""DNS block lists against a private dnsmasq: the client admission check
(client zones "-conbl.db", white list "-conwl.db") and the destination check
(SURBL zones "-dnsbl.db", white list "-dnswl.db").

Client zones are asked through the system resolver, which cannot be pointed
at another port than 53: dnsmasq serves one 127.0.53.x address on port 53,
and the proxy runs in a private mount namespace whose /etc/resolv.conf names
that address (the host's resolver configuration is untouched)."""
import os
import shutil
import unittest

from dirservers import PrivateDnsmasq, free_dns_address, namespaces_available, resolver_wrapper
from httporigin import Origin
from proxytest import curl, proxy_for


def runnable():
    return (os.path.exists("/usr/sbin/dnsmasq") and shutil.which("unshare") and os.geteuid() == 0
            and namespaces_available())


@unittest.skipUnless(runnable(), "needs dnsmasq, root and mount namespaces")
class DnsblTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if free_dns_address() is None:
            raise unittest.SkipTest("port 53 of 127.0.53.x is taken (a system DNS server?)")
        cls.dns = PrivateDnsmasq({
            # Clients 127.0.0.2 and .4 are listed by the second client zone.
            "2.0.0.127.bl-two.example.test": "127.0.0.2",
            "4.0.0.127.bl-two.example.test": "127.0.0.2",
            # Destinations: bad.example.test (found on the second pass of a
            # level-2 zone), the whole name www.zero.example.test under a
            # level-0 zone, and the address 127.0.0.9 reversed.
            "bad.example.test.surbl.example.test": "127.0.0.2",
            "www.zero.example.test.uribl.example.test": "127.0.0.2",
            "9.0.0.127.surbl.example.test": "127.0.0.2",
            "skip.example.test.surbl.example.test": "127.0.0.2",
        }).start()
        cls.origin = Origin()

    @classmethod
    def tearDownClass(cls):
        cls.origin.stop()
        cls.dns.stop()

    def start(self, files, resolv_conf, mode=0):
        """A proxy with the data files, its resolver reading resolv_conf."""
        proc = proxy_for(self, mode, wrapper=resolver_wrapper(resolv_conf))
        for name, text in files.items():
            proc.write(name, text)
        self.port = proc.port
        return proc.start()

    def fetch(self, url, source="127.0.0.1"):
        """(curl exit code, HTTP status text) of a GET through the proxy."""
        rc, out, err = curl(["--interface", source, "-o", "/dev/null", "-w", "%{http_code}",
                             "-x", "http://127.0.0.1:%d" % self.port, url], timeout=30)
        return rc, out.decode()

    def test_client_admission(self):
        proc = self.start({"http-conbl.db": "' client zones\r\n\"quoted.example.test\n blank.example.test\n\n"
                                            "bl-one.example.test\r\nbl-two.example.test\n",
                           "http-conwl.db": "127.0.0.4\n"}, self.dns.resolv_conf())
        url = "http://127.0.0.1:%d/size/10" % self.origin.port
        # Listed by the second zone only: refused, nothing sent.
        rc, status = self.fetch(url, "127.0.0.2")
        self.assertIn(rc, (52, 56), status)
        self.assertTrue(proc.wait_log("Reject Query_DNSBL() [127.0.0.2]"))
        self.assertEqual(["[Query_DNSBL] '2.0.0.127.bl-one.example.test' not found list"],
                         proc.log_lines(r"^\[Query_DNSBL\] '2\.0\.0\.127"))
        reject = proc.log_lines(r"^\[AcceptClients\] \[\d{4}\] Reject Query_DNSBL\(\) \[127\.0\.0\.2\]$")
        self.assertEqual(1, len(reject))
        sock = reject[0].split("] [")[1].split("]")[0]
        self.assertTrue(proc.wait_log("[%s] Close Client socket." % sock))
        # Not listed: both zones asked, admitted.
        self.assertEqual((0, "200"), self.fetch(url, "127.0.0.3"))
        self.assertEqual(2, len(proc.log_lines(r"^\[Query_DNSBL\] '3\.0\.0\.127\.bl-(one|two)\.example\.test' "
                                               r"not found list$")))
        # Listed but white-listed: admitted without any query.
        self.assertEqual((0, "200"), self.fetch(url, "127.0.0.4"))
        self.assertEqual([], proc.log_lines(r"'4\.0\.0\.127"))
        self.assertFalse(self.dns.asked("4.0.0.127.bl-two.example.test"))
        self.assertTrue(self.dns.asked("2.0.0.127.bl-two.example.test"))
        # The comment lines were never taken for zones.
        self.assertNotIn("quoted", self.dns.queries())
        self.assertNotIn("blank.example", self.dns.queries())

    def test_empty_zone_file_admits(self):
        proc = self.start({"http-conbl.db": ""}, self.dns.resolv_conf())
        self.assertEqual((0, "200"), self.fetch("http://127.0.0.1:%d/size/10" % self.origin.port, "127.0.0.2"))
        self.assertNotIn("[Query_DNSBL]", proc.log())

    def test_destination_check(self):
        # The zone lines name the DNS server; the system resolver of the
        # proxy points at an address where nothing answers, so only the named
        # server can list a host.
        proc = self.start({"http-dnsbl.db": "' destination zones\nsurbl.example.test\t%s\n"
                                            "uribl.example.test\t%s,0\n" % (self.dns.address, self.dns.address),
                           "http-dnswl.db": "SKIP.example.test\n"}, self.dns.resolv_conf(address="127.0.54.1"))
        cases = [
            # (destination host, listed, hit line's zone line)
            ("www.bad.example.test", True, "surbl.example.test\t%s" % self.dns.address),
            ("www.zero.example.test", True, "uribl.example.test\t%s,0" % self.dns.address),
            ("127.0.0.9", True, "surbl.example.test\t%s" % self.dns.address),
            ("skip.example.test", False, None),   # white-listed (any case): never asked
            ("127.0.0.1", False, None),
        ]
        for host, listed, zone_line in cases:
            rc, status = self.fetch("http://%s:%d/size/10" % (host, self.origin.port))
            hits = proc.log_lines(r"^\[Query_SURBLists\] .* -- %s Hit\.$" % host.replace(".", r"\."))
            connects = proc.log_lines(r"^\[ConnectHost\] \[\d{4}\] Server=%s Port=\d+$" % host.replace(".", r"\."))
            if listed:
                self.assertNotEqual("200", status, host)
                self.assertEqual(["[Query_SURBLists] %s -- %s Hit." % (zone_line, host)], hits,
                                 proc.log()[-3000:] + self.dns.queries()[-2000:])
                self.assertEqual([], connects, host)   # refused before anything is resolved
            else:
                self.assertEqual([], hits, host)
                self.assertEqual(1, len(connects), host)
        self.assertEqual((0, "200"), self.fetch("http://127.0.0.1:%d/size/10" % self.origin.port))
        # Level 2 asks the registered domain first, then one label more.
        self.assertTrue(self.dns.asked("example.test.surbl.example.test"))
        self.assertTrue(self.dns.asked("bad.example.test.surbl.example.test"))
        self.assertFalse(self.dns.asked("www.bad.example.test.surbl.example.test"))
        self.assertFalse(self.dns.asked("skip.example.test.surbl.example.test"))
        # Level 0 asks the whole name only.
        self.assertFalse(self.dns.asked("zero.example.test.uribl.example.test"))
        self.assertFalse(self.dns.asked("example.test.uribl.example.test"))

    def test_destination_check_for_socks_http(self):
        # SOCKS connections served as HTTP: the host text is first searched
        # for a host part ("www", "://", "@"), so a plain name is not asked.
        proc = self.start({"socks-dnsbl.db": "surbl.example.test\t%s\n" % self.dns.address,
                           "socks-ptl.ini": "%d,0\n" % self.origin.port},
                          self.dns.resolv_conf(address="127.0.54.1"), mode=5)
        socks = ["--socks5-hostname", "127.0.0.1:%d" % self.port]
        rc, out, err = curl(socks + ["-o", "/dev/null", "-w", "%{http_code}",
                                     "http://www.bad.example.test:%d/size/10" % self.origin.port])
        self.assertNotEqual(b"200", out)
        self.assertTrue(proc.wait_log("[Query_SURBLists] surbl.example.test\t%s -- www.bad.example.test Hit."
                                      % self.dns.address), proc.log()[-3000:])
        asked_before = self.dns.queries().count("]: query[A] ")
        rc, out, err = curl(socks + ["-o", "/dev/null", "-w", "%{http_code}",
                                     "http://127.0.0.1:%d/size/10" % self.origin.port])
        self.assertEqual(b"200", out, err)
        self.assertEqual(asked_before, self.dns.queries().count("]: query[A] "))


if __name__ == "__main__":
    unittest.main()
