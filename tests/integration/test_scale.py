"""Two HTTP instances behind one port through HAProxy on loopback, with the
example configuration of the package (packaging/haproxy-ruvoproxy.cfg): each
instance has its own data folder (caches, logs, spool), the list files are
shared, requests reach both instances, a list edit applies to both, and a
stopped instance is passed over."""
import os
import shutil
import subprocess
import tempfile
import unittest

from proxytest import curl, free_port, proxy_for, stop_process, wait_port, wait_until
from test_services_http_e2e import DOWNLOAD
from test_package import start_origin

HAPROXY = shutil.which("haproxy") or ("/usr/sbin/haproxy" if os.path.exists("/usr/sbin/haproxy") else None)
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../packaging/haproxy-ruvoproxy.cfg")


@unittest.skipUnless(HAPROXY, "haproxy missing (scripts/deps.txt)")
class TwoInstancesBehindHaproxyTest(unittest.TestCase):
    def setUp(self):
        self.shared = tempfile.mkdtemp(prefix="shared_lists_")
        self.addCleanup(shutil.rmtree, self.shared, True)
        open(os.path.join(self.shared, "black.db"), "w").close()
        self.proxies = []
        for _ in range(2):
            p = proxy_for(self, 0, ["-G=1"], prefix="scale_")
            os.symlink(os.path.join(self.shared, "black.db"), p.path("black.db"))
            self.proxies.append(p.start())
        self.front = free_port()
        with open(EXAMPLE) as f:
            cfg = f.read()
        cfg = (cfg.replace("127.0.0.1:3128", "127.0.0.1:%d" % self.front)
               .replace("127.0.0.1:8081", "127.0.0.1:%d" % self.proxies[0].port)
               .replace("127.0.0.1:8082", "127.0.0.1:%d" % self.proxies[1].port))
        conf = os.path.join(self.shared, "haproxy.cfg")
        with open(conf, "w") as f:
            f.write(cfg)
        self.haproxy = subprocess.Popen([HAPROXY, "-db", "-f", conf], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, self.haproxy)
        self.assertTrue(wait_port(self.front), "haproxy did not listen")
        self.origin = start_origin(self)

    def get(self):
        return curl(["-x", "http://127.0.0.1:%d" % self.front, self.origin + "/clean.bin"])

    def test_one_port_two_instances_shared_lists(self):
        for _ in range(6):
            rc, body, err = self.get()
            self.assertEqual((0, DOWNLOAD), (rc, body), err)
        for p in self.proxies:   # each instance served and logged its share
            self.assertIn('/clean.bin HTTP/1.1" 200', p.wait_access("clean.bin"))

        # One edit of the shared list refuses the URL on both instances.
        with open(os.path.join(self.shared, "black.db"), "w") as f:
            f.write(self.origin + "/*\n")
        for _ in range(4):
            self.assertNotEqual(DOWNLOAD, self.get()[1])
        for p in self.proxies:   # a GET refused by the list is noted on standard output
            self.assertTrue(wait_until(lambda: "blacklist" in p.stdout(), 10), "no refusal on one instance")

        # A stopped instance: its connections go to the other one.
        with open(os.path.join(self.shared, "black.db"), "w") as f:
            f.write("' nothing refused\n")
        self.proxies[0].stop()
        for _ in range(4):
            rc, body, err = self.get()
            self.assertEqual((0, DOWNLOAD), (rc, body), err)


if __name__ == "__main__":
    unittest.main()
