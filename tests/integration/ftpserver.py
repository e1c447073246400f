"""A real FTP server (pyftpdlib) on loopback for the FTP tests.

Run as a program it serves one folder until it is stopped; FtpServer starts
it as a child process, waits for its port and stops it.  Switches:
  --no-pasv         PASV and EPSV are refused with 502 (clients go active)
  --encoding NAME   the server's character set for paths (default utf8)
  --user NAME:PASS  an account besides anonymous (full rights)
  --log FILE        every command the server receives, one per line
  --masquerade ADDR the address its PASV replies name (its own when absent)
FtpCase sets up a server folder, the server and a proxy with a fake virus
scanner for one test.
"""
import argparse
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from proxytest import FakeService, file_verdict, proxy_for, stop_process

HERE = os.path.dirname(os.path.abspath(__file__))


def _serve(args):
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import FTPServer

    log = open(args.log, "a", buffering=1) if args.log else None

    class Handler(FTPHandler):
        permit_foreign_addresses = True
        masquerade_address = args.masquerade

        def decode(self, data):
            return data.decode(args.encoding, self.unicode_errors)

        def pre_process_command(self, line, cmd, arg):
            if log:
                log.write(line + "\n")
            if args.no_pasv and cmd in ("PASV", "EPSV"):
                self.respond("502 Passive mode not offered.")
                return
            return FTPHandler.pre_process_command(self, line, cmd, arg)

    auth = DummyAuthorizer()
    auth.add_anonymous(args.root, perm="elradfmwMT")
    if args.user:
        name, password = args.user.split(":", 1)
        auth.add_user(name, password, args.root, perm="elradfmwMT")
    Handler.authorizer = auth
    Handler.banner = "pyftpdlib test server ready."
    server = FTPServer((args.host, args.port), Handler)
    print("READY", flush=True)
    server.serve_forever(timeout=0.5)


class FtpServer:
    """The server as a child process; always stop() it."""

    def __init__(self, root, host="127.0.0.1", no_pasv=False, encoding="utf8", user=None, masquerade=None):
        self.root = root
        self.host = host
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        with socket.socket(family) as s:
            s.bind((host, 0))
            self.port = s.getsockname()[1]
        self.log_path = os.path.join(root + ".cmds")
        cmd = ["/usr/bin/python3", os.path.join(HERE, "ftpserver.py"), "--root", root, "--host", host,
               "--port", str(self.port), "--encoding", encoding, "--log", self.log_path]
        if no_pasv:
            cmd.append("--no-pasv")
        if user:
            cmd += ["--user", user]
        if masquerade:
            cmd += ["--masquerade", masquerade]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 15
        line = b""
        while time.monotonic() < deadline and b"READY" not in line:
            line = self.proc.stdout.readline()
            if not line and self.proc.poll() is not None:
                break
        if b"READY" not in line:
            self.stop()
            raise RuntimeError("FTP server did not start")

    def commands(self):
        """Commands the server received so far."""
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read().splitlines()
        except OSError:
            return []

    def stop(self):
        stop_process(self.proc)
        self.proc.stdout.close()

    def cleanup(self):
        """Stops the server and removes its command log."""
        self.stop()
        try:
            os.unlink(self.log_path)
        except OSError:
            pass


class FtpCase(unittest.TestCase):
    """One test's FTP server on a temporary folder and a proxy with a fake
    virus scanner; everything ends with the test."""

    def start_ftp(self, files, mode, args=(), listen="127.0.0.1", ptl=None, **server_options):
        """files: path -> bytes (a path ending in "/" is a folder).  The FTP
        proxy (mode 4) gets the server as its -S; ptl: the SOCKS port class of
        the server's port.  Returns the started proxy."""
        self.root = tempfile.mkdtemp(prefix="ftproot_")
        self.addCleanup(shutil.rmtree, self.root, True)
        for name, data in files.items():
            self.put_file(name, data)
        self.server = FtpServer(self.root, **server_options)
        self.addCleanup(self.server.cleanup)
        if mode == 4:
            args = ["-S=127.0.0.1 %d" % self.server.port] + list(args)
        self.proxy = proxy_for(self, mode, args, listen=listen)
        if ptl is not None:
            self.proxy.write("socks-ptl.ini", "%d,%d\n" % (self.server.port, ptl))
        avs = FakeService(self.proxy.data, "ruvoavs",
                          file_verdict(b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE", "Eicar-Test-Signature"))
        self.addCleanup(avs.stop)
        return self.proxy.start()

    def put_file(self, name, data=b""):
        path = os.path.join(self.root, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if not name.endswith("/"):
            with open(path, "wb") as f:
                f.write(data)

    def server_file(self, name):
        with open(os.path.join(self.root, name), "rb") as f:
            return f.read()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--encoding", default="utf8")
    parser.add_argument("--user")
    parser.add_argument("--log")
    parser.add_argument("--no-pasv", action="store_true")
    parser.add_argument("--masquerade")
    _serve(parser.parse_args())
