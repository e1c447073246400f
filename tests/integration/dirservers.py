"""Private directory and DNS servers for the integration tests.

PrivateSlapd runs OpenLDAP's slapd with a temporary configuration and
database on a free loopback port (no system service is touched).
PrivateDnsmasq runs dnsmasq as the only DNS server of one loopback address
(127.0.53.x, port 53, since resolver configurations and zone lines cannot
name another port) with fixed host records.  resolver_wrapper() gives the
command prefix that runs a program in a private mount namespace whose
/etc/resolv.conf names such a server, so the system resolver of that program
alone asks it.  Everything is bounded in time and removed by stop().
"""
import os
import shutil
import socket
import subprocess
import tempfile
import time

import proxytest

SLAPD = "/usr/sbin/slapd"
SLAPADD = "/usr/sbin/slapadd"
DNSMASQ = "/usr/sbin/dnsmasq"


class PrivateSlapd:
    """slapd serving dc=example,dc=test with people under ou=people."""

    SUFFIX = "dc=example,dc=test"
    PEOPLE = "ou=people,dc=example,dc=test"

    def __init__(self, users):
        """users: {cn: password}."""
        self.folder = tempfile.mkdtemp(prefix="slapdtest_")
        self.port = proxytest.free_port()
        self.proc = None
        db = os.path.join(self.folder, "db")
        os.makedirs(db)
        self.conf = os.path.join(self.folder, "slapd.conf")
        with open(self.conf, "w") as f:
            f.write("include /etc/ldap/schema/core.schema\n"
                    "include /etc/ldap/schema/cosine.schema\n"
                    "include /etc/ldap/schema/inetorgperson.schema\n"
                    "modulepath /usr/lib/ldap\nmoduleload back_mdb\n"
                    "pidfile %s/slapd.pid\n"
                    "database mdb\nmaxsize 10485760\n"
                    "suffix \"%s\"\nrootdn \"cn=admin,%s\"\nrootpw adminpw-not-used\n"
                    "directory %s\n" % (self.folder, self.SUFFIX, self.SUFFIX, db))
        ldif = ["dn: %s\nobjectClass: dcObject\nobjectClass: organization\no: Example\ndc: example\n"
                % self.SUFFIX,
                "dn: %s\nobjectClass: organizationalUnit\nou: people\n" % self.PEOPLE]
        for cn, password in users.items():
            ldif.append("dn: cn=%s,%s\nobjectClass: inetOrgPerson\ncn: %s\nsn: %s\nuserPassword: %s\n"
                        % (cn, self.PEOPLE, cn, cn, password))
        ldif_path = os.path.join(self.folder, "data.ldif")
        with open(ldif_path, "w") as f:
            f.write("\n".join(ldif))
        subprocess.run([SLAPADD, "-f", self.conf, "-l", ldif_path], check=True,
                       capture_output=True, timeout=30)

    def start(self):
        self.log = open(os.path.join(self.folder, "slapd.out"), "wb")
        # -d keeps slapd in the foreground, so the test owns the process.
        self.proc = subprocess.Popen([SLAPD, "-f", self.conf, "-h", "ldap://127.0.0.1:%d/" % self.port,
                                      "-d", "0"], stdout=self.log, stderr=subprocess.STDOUT)

        def listening():
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                    return True
            except OSError:
                return self.proc.poll() is not None
        proxytest.wait_until(listening, 15)
        if self.proc.poll() is not None:
            raise AssertionError("slapd did not start")
        return self

    def stop(self):
        proxytest.stop_process(self.proc)
        if self.proc is not None:
            self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def free_dns_address():
    """A 127.0.53.x address whose UDP and TCP port 53 are free, or None."""
    for last in range(10 + os.getpid() % 200, 255):
        addr = "127.0.53.%d" % last
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as u, \
                    socket.socket(socket.AF_INET, socket.SOCK_STREAM) as t:
                u.bind((addr, 53))
                t.bind((addr, 53))
            return addr
        except OSError:
            continue
    return None


class PrivateDnsmasq:
    """dnsmasq answering only for names under example.test.

    records: {name: ipv4} (A records; --host-record).  Every other name under
    example.test gets "no such name"; names elsewhere are refused."""

    def __init__(self, records):
        self.folder = tempfile.mkdtemp(prefix="dnstest_")
        self.address = free_dns_address()
        self.records = records
        self.proc = None
        self.log_path = os.path.join(self.folder, "queries.log")

    def start(self):
        # Another test run may take the address between the check and the
        # bind: then try the next free one.
        for _ in range(3):
            if self._start_once():
                time.sleep(0.1)
                return self
            self.proc.stderr.close()
            self.proc = None
            self.address = free_dns_address()
        raise AssertionError("dnsmasq did not start on a 127.0.53.x address")

    def _start_once(self):
        if self.address is None:
            raise AssertionError("no free 127.0.53.x address for port 53")
        if os.path.exists(self.log_path):
            os.unlink(self.log_path)
        args = [DNSMASQ, "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv", "--no-hosts",
                "--bind-interfaces", "--listen-address=" + self.address, "--port=53",
                "--local=/example.test/", "--cache-size=0", "--log-queries",
                "--log-facility=" + self.log_path, "--pid-file=" + os.path.join(self.folder, "pid")]
        args += ["--host-record=%s,%s" % (name, ip) for name, ip in self.records.items()]
        self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

        def answering():
            if self.proc.poll() is not None:
                return True
            return os.path.exists(self.log_path) and "started" in self.queries()
        proxytest.wait_until(answering, 10)
        if self.proc.poll() is None and "started" in self.queries():
            return True
        proxytest.stop_process(self.proc)
        return False

    def queries(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def asked(self, name):
        """Whether some query for name reached the server."""
        return ("]: " in self.queries()) and (" %s from " % name) in self.queries()

    def resolv_conf(self, address=None):
        """A resolver configuration naming this server (or address) alone."""
        path = os.path.join(self.folder, "resolv.conf")
        with open(path, "w") as f:
            f.write("nameserver %s\noptions timeout:1 attempts:1\n" % (address or self.address))
        return path

    def stop(self):
        proxytest.stop_process(self.proc)
        if self.proc is not None:
            self.proc.stderr.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def resolver_wrapper(resolv_conf):
    """Command prefix: run the program with resolv_conf as its /etc/resolv.conf
    (a private mount namespace; the host's file is not touched)."""
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c",
            'mount --bind "$0" /etc/resolv.conf && exec "$@"', resolv_conf]


def namespaces_available():
    try:
        r = subprocess.run(["unshare", "--mount", "--propagation", "private", "true"],
                           capture_output=True, timeout=10)
        return r.returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False
