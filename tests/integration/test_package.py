"""The Debian package (make package): its files and control fields, its
systemd units (systemd-analyze verify; every unit's ExecStart run by hand
from the unpacked package, with fetches through the HTTP and SOCKS
instances), the log retention rule, and an installation into a fresh Debian
12 made by debootstrap (skipped where that cannot run)."""
import glob
import os
import shutil
import subprocess
import tempfile
import threading
import unittest
import urllib.request

import unitexec
from proxytest import LOG_FOLDERS, Proxy, curl, free_port, stop_process, wait_until
from test_services_http_e2e import DOWNLOAD, Origin, ThreadedServer

BUILD = os.environ.get("PROXY_BUILD", os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../build"))
SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts")
DEBS = sorted(glob.glob(os.path.join(BUILD, "ruvoproxy_*.deb")), key=os.path.getmtime)
DEB = DEBS[-1] if DEBS else None
NO_DEB = "no ruvoproxy_*.deb in %s: run `make package` first" % BUILD

UNITS = ["ruvoavs.service", "ruvospam.service", "ruvocwfs.service", "qzmail2zip.service", "ruvoproxy@.service"]
INSTANCES = {"http": 0, "smtp": 1, "pop3": 2, "imap4": 3, "ftp": 4, "socks": 5}
PROGRAMS = ["ruvohprx", "ruvosprx", "ruvopprx", "ruvoiprx", "ruvofprx", "ruvocprx"]
SERVICES = ["ruvoavs", "ruvospam", "ruvocwfs", "qzmail2zip"]
UNIT_DIR = "/lib/systemd/system"
MIRROR = os.environ.get("PACKAGE_TEST_MIRROR", "http://deb.debian.org/debian")


def run(args, timeout=120, **kw):
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kw)


def has_signatures(folder):
    return any(glob.glob(os.path.join(folder, p)) for p in ("*.cvd", "*.cld", "*.cud", "*.ndb", "*.hdb"))


def start_origin(test):
    origin = ThreadedServer(("127.0.0.1", 0), Origin)
    threading.Thread(target=origin.serve_forever, daemon=True).start()
    test.addCleanup(origin.server_close)
    test.addCleanup(origin.shutdown)
    return "http://127.0.0.1:%d" % origin.server_address[1]


def proxy_ready(data, mode):
    log = "".join(Proxy._read(f) for f in glob.glob(os.path.join(data, LOG_FOLDERS[mode], "*.log")))
    return "[AcceptClients] wait select()" in log


def fetch_eicar_and_clean(test, port, origin):
    """A clean download passes the HTTP instance; the EICAR file comes back as
    the virus page naming the finding."""
    rc, body, err = curl(["-x", "http://127.0.0.1:%d" % port, origin + "/clean.bin"])
    test.assertEqual((0, DOWNLOAD), (rc, body), err)
    rc, body, err = curl(["-x", "http://127.0.0.1:%d" % port, origin + "/eicar.com"])
    test.assertEqual(0, rc, err)
    test.assertNotIn(b"EICAR-STANDARD-ANTIVIRUS", body)
    test.assertRegex(body, rb"(?i)eicar")


@unittest.skipUnless(DEB, NO_DEB)
class PackageFilesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="pkgroot_")
        subprocess.run(["dpkg-deb", "-x", DEB, cls.root], check=True, timeout=60)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def field(self, name):
        return run(["dpkg-deb", "-f", DEB, name]).stdout.strip()

    def test_files_and_control_fields(self):
        expected = (["usr/bin/" + p for p in PROGRAMS + SERVICES] +
                    [UNIT_DIR[1:] + "/" + u for u in UNITS] +
                    ["etc/ruvoproxy/%s.conf" % i for i in INSTANCES] +
                    ["usr/share/man/man8/%s.8.gz" % p for p in PROGRAMS + SERVICES] +
                    ["usr/share/ruvoproxy/examples/" + f for f in ("black.db", "http-con.ini", "cwfs-words.db")] +
                    ["usr/lib/tmpfiles.d/ruvoproxy.conf"])
        missing = [f for f in expected if not os.path.exists(os.path.join(self.root, f))]
        self.assertEqual([], missing)
        for name in PROGRAMS[1:]:
            self.assertEqual("ruvohprx", os.readlink(os.path.join(self.root, "usr/bin", name)))
        # Dependencies come from the linked libraries.
        depends = self.field("Depends")
        for lib in ("libssl3", "libclamav", "libldap", "libhyperscan", "libgmime-3.0", "libzip"):
            self.assertIn(lib, depends)
        self.assertEqual("clamav-freshclam", self.field("Recommends"))
        self.assertEqual("spamd", self.field("Suggests"))
        conffiles = run(["dpkg-deb", "--info", DEB, "conffiles"]).stdout.split()
        self.assertEqual(sorted("/etc/ruvoproxy/%s.conf" % i for i in INSTANCES), sorted(conffiles))

    @unittest.skipUnless(shutil.which("systemd-analyze"), "systemd-analyze missing")
    def test_units_verify_and_are_sandboxed(self):
        # verify resolves the units' dependencies (sysinit.target ...) and
        # programs inside --root: give it the system's units beside ours.
        units = os.path.join(self.root, UNIT_DIR[1:])
        run(["cp", "-an", UNIT_DIR + "/.", units])
        os.symlink("ruvoproxy@.service", os.path.join(units, "ruvoproxy@http.service"))
        for unit in UNITS[:-1] + ["ruvoproxy@http.service"]:
            proc = run(["systemd-analyze", "verify", "--man=no", "--root=" + self.root, UNIT_DIR + "/" + unit])
            self.assertEqual((0, ""), (proc.returncode, proc.stderr.strip()), unit)
        for unit in UNITS:
            keys = unitexec.read_unit(os.path.join(units, unit))
            for key, value in (("User", "ruvoproxy"), ("NoNewPrivileges", "yes"), ("ProtectSystem", "strict"),
                               ("PrivateTmp", "yes"), ("ProtectHome", "yes"), ("Restart", "on-failure")):
                self.assertEqual([value], keys.get(key), (unit, key))
            caps = keys["CapabilityBoundingSet"]
            self.assertEqual(["CAP_NET_BIND_SERVICE"] if unit.startswith("ruvoproxy@") else [""], caps, unit)
            self.assertTrue(all(p.lstrip("-").startswith(("/var/lib/ruvoproxy", "/var/backups/ruvoproxy"))
                                for p in keys["ReadWritePaths"][0].split()), unit)

    def test_every_exec_start_by_hand(self):
        """The four services and the six instances, each started with its
        unit's command line from the unpacked files, on one data folder
        filled as the installation fills it."""
        home = tempfile.mkdtemp(prefix="pkghome_", dir="/tmp")
        self.addCleanup(shutil.rmtree, home, True)
        data = os.path.join(home, "TORV")
        shutil.copytree(os.path.join(self.root, "usr/share/ruvoproxy/examples"), data)
        units = os.path.join(self.root, UNIT_DIR[1:])
        procs = {}

        def start(name, unit, instance="", extra=(), override=None):
            path, argv, env = unitexec.command(os.path.join(units, unit), instance, self.root,
                                               dict(override or {}, RUVO_HOME=home))
            argv = [a for a in argv if not (extra and a.startswith("-D="))] + list(extra)
            out = open(os.path.join(home, name + ".out"), "wb")
            self.addCleanup(out.close)
            procs[name] = subprocess.Popen(argv, executable=self.root + path, stdout=out, stderr=subprocess.STDOUT,
                                           env=dict(os.environ, **env))
            self.addCleanup(stop_process, procs[name])
            return procs[name]

        # Signatures: the system's, or the demo database when there are none.
        avs_extra = ()
        if not has_signatures("/var/lib/clamav"):
            run([os.path.join(SCRIPTS, "demo_signatures.sh"), os.path.join(home, "sigs")], check=True)
            avs_extra = ("-D=" + os.path.join(home, "sigs"),)
        start("ruvoavs", "ruvoavs.service", extra=avs_extra)
        start("ruvocwfs", "ruvocwfs.service")
        start("qzmail2zip", "qzmail2zip.service")
        spam = start("ruvospam", "ruvospam.service", extra=("-Q=500",))
        for name in ("ruvoavs", "ruvocwfs", "qzmail2zip"):
            self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(data, "pipe", name)), 60),
                            Proxy._read(os.path.join(home, name + ".out")))
        # ruvospam runs where spamd answers on its default address, else it
        # ends as "skipped" (exit status 3).
        if wait_until(lambda: spam.poll() is not None, 5):
            self.assertEqual(3, spam.returncode)
        ports = {}
        for instance, mode in INSTANCES.items():
            ports[instance] = free_port()
            start(instance, "ruvoproxy@.service", instance, override={"PORT": str(ports[instance])})
        for instance, mode in INSTANCES.items():
            self.assertTrue(wait_until(lambda: proxy_ready(data, mode), 20), instance)
            self.assertIsNone(procs[instance].poll(), instance)
        self.assertTrue(Proxy._read(os.path.join(home, "http.out")).startswith("ruvohprx\nHTTP PROXY"))
        self.assertTrue(Proxy._read(os.path.join(home, "smtp.out")).startswith("ruvosprx\nSMTP PROXY"))

        origin = start_origin(self)
        fetch_eicar_and_clean(self, ports["http"], origin)
        # SOCKS 5: the origin's port as an HTTP destination.
        with open(os.path.join(data, "socks-ptl.ini"), "a") as f:
            f.write("%s,0\n" % origin.rsplit(":", 1)[1])
        rc, body, err = curl(["--socks5", "127.0.0.1:%d" % ports["socks"], origin + "/clean.bin"])
        self.assertEqual((0, DOWNLOAD), (rc, body), err)


def fresh_debian_skip_reason():
    """Why a fresh Debian 12 cannot be made here, or None."""
    if os.geteuid() != 0:
        return "debootstrap and chroot need root"
    if not shutil.which("debootstrap"):
        return "debootstrap missing (scripts/deps.txt)"
    try:
        urllib.request.urlopen(MIRROR + "/dists/bookworm/Release", timeout=10).close()
    except Exception as e:  # noqa: BLE001  any failure means unreachable
        return "Debian archive %s unreachable (%s)" % (MIRROR, e)
    return None


@unittest.skipUnless(DEB, NO_DEB)
class FreshDebianInstallTest(unittest.TestCase):
    """apt install ./ruvoproxy_*.deb on a minimal Debian 12 made by debootstrap,
    the HTTP instance's command line run inside it, then remove and purge."""

    def setUp(self):
        reason = fresh_debian_skip_reason()
        if reason:
            self.skipTest(reason)
        self.root = tempfile.mkdtemp(prefix="deb12_", dir="/var/tmp")
        self.addCleanup(shutil.rmtree, self.root, True)
        os.chmod(self.root, 0o755)   # the chroot's "/": every user passes it
        proc = run(["debootstrap", "--variant=minbase", "bookworm", self.root, MIRROR], timeout=900)
        if proc.returncode != 0:
            self.skipTest("debootstrap failed: " + (proc.stderr or proc.stdout)[-500:])
        # Nothing may start services inside the chroot.
        with open(os.path.join(self.root, "usr/sbin/policy-rc.d"), "w") as f:
            f.write("#!/bin/sh\nexit 101\n")
        os.chmod(os.path.join(self.root, "usr/sbin/policy-rc.d"), 0o755)

    def chroot(self, *args, timeout=600):
        return run(["chroot", self.root, "/usr/bin/env", "DEBIAN_FRONTEND=noninteractive"] + list(args),
                   timeout=timeout)

    def apt(self, *args):
        proc = self.chroot("apt-get", "-y", "-q", *args)
        self.assertEqual(0, proc.returncode, proc.stdout[-2000:] + proc.stderr[-2000:])

    def exists(self, path):
        return os.path.lexists(self.root + path)

    def test_install_run_remove_purge(self):
        shutil.copy(DEB, os.path.join(self.root, "tmp"))
        self.apt("install", "/tmp/" + os.path.basename(DEB))
        for path in (["/usr/bin/" + p for p in PROGRAMS + SERVICES] + ["/etc/ruvoproxy/http.conf",
                     UNIT_DIR + "/ruvoproxy@.service", "/var/lib/ruvoproxy/TORV/black.db"]):
            self.assertTrue(self.exists(path), path)
        user = self.chroot("getent", "passwd", "ruvoproxy").stdout.split(":")
        self.assertEqual(["/var/lib/ruvoproxy", "/usr/sbin/nologin\n"], user[5:])
        uid = int(user[2])
        for folder in ("/var/lib/ruvoproxy/TORV", "/var/backups/ruvoproxy"):
            self.assertEqual(uid, os.stat(self.root + folder).st_uid, folder)
        wants = "/etc/systemd/system/multi-user.target.wants/"
        for unit, enabled in (("ruvoproxy@http.service", True), ("ruvoavs.service", True),
                              ("ruvocwfs.service", True), ("ruvospam.service", False)):
            self.assertEqual(enabled, self.exists(wants + unit), unit)

        # The HTTP instance's command line, run as its user inside the chroot.
        origin = start_origin(self)
        port = free_port()
        path, argv, env = unitexec.command(self.root + UNIT_DIR + "/ruvoproxy@.service", "http", self.root,
                                           {"PORT": str(port)})
        proc = subprocess.Popen(["chroot", "--userspec=ruvoproxy:ruvoproxy", self.root, "/usr/bin/env", "-i",
                                 "RUVO_HOME=" + env["RUVO_HOME"], "/bin/bash", "-c", 'exec -a "$0" "$@"', argv[0],
                                 path] + argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(stop_process, proc)
        data = self.root + "/var/lib/ruvoproxy/TORV"
        self.assertTrue(wait_until(lambda: proxy_ready(data, 0), 20), proc.poll())
        rc, body, err = curl(["-x", "http://127.0.0.1:%d" % port, origin + "/clean.bin"])
        self.assertEqual((0, DOWNLOAD), (rc, body), err)
        self.assertTrue(wait_until(lambda: glob.glob(data + "/ncsalog/*.log"), 10))
        stop_process(proc)

        # remove keeps the data folder and the settings; purge takes them.
        self.apt("remove", "ruvoproxy")
        self.assertFalse(self.exists("/usr/bin/ruvohprx"))
        self.assertTrue(self.exists("/var/lib/ruvoproxy/TORV/httplog"))
        self.assertTrue(self.exists("/etc/ruvoproxy/http.conf"))
        self.apt("purge", "ruvoproxy")
        for path in ("/var/lib/ruvoproxy", "/etc/ruvoproxy", "/var/backups/ruvoproxy", wants + "ruvoavs.service"):
            self.assertFalse(self.exists(path), path)


class LogRetentionTest(unittest.TestCase):
    @unittest.skipUnless(shutil.which("systemd-tmpfiles"), "systemd-tmpfiles missing")
    def test_old_dated_logs_go_and_everything_else_stays(self):
        rule = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../packaging/tmpfiles/ruvoproxy.conf")
        home = tempfile.mkdtemp(prefix="retention_")
        self.addCleanup(shutil.rmtree, home, True)
        with open(rule) as f:
            text = f.read().replace("/var/lib/ruvoproxy", home)
        conf = os.path.join(home, "rule.conf")
        with open(conf, "w") as f:
            f.write(text)
        old = 20 * 86400
        files = {  # name: (age in seconds, kept)
            "TORV/httplog/20240101.log": (old, False),
            "TORV/ncsalog/20240101.log": (old, False),
            "TORV/ruvoavslog/20240101.log": (old, False),
            "second/TORV/smtplog/20240101.log": (old, False),
            "TORV/httplog/today.log": (3600, True),
            "TORV/ncsalog/13days.log": (13 * 86400, True),
            "TORV/httpcache/0123abcd": (old, True),
            "TORV/cache/req-0-0001.dat": (old, True),
            "TORV/black.db": (old, True),
        }
        now = os.path.getmtime(home)
        for name, (age, _) in files.items():
            path = os.path.join(home, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            open(path, "w").close()
            os.utime(path, (now, now - age))   # read just now, written long ago
        proc = run(["systemd-tmpfiles", "--clean", conf])
        self.assertEqual(0, proc.returncode, proc.stderr)
        for name, (_, kept) in files.items():
            self.assertEqual(kept, os.path.exists(os.path.join(home, name)), name)


if __name__ == "__main__":
    unittest.main()
