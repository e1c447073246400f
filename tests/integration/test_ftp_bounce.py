"""FTP bounce and data theft (RFC 2577) through the FTP proxy: ftplib against
a real FTP server (pyftpdlib).  Data addresses other than the client's are
refused, data ports take only the expected peer, passive replies are
connected at the control connection's server, and no command line with CR,
LF or NUL inside reaches the server."""
import ftplib
import socket
import unittest

from ftpserver import FtpCase
from proxytest import SLOW

README = b"bounce test\r\n"


class BounceCase(FtpCase):
    server_options = {}

    def setUp(self):
        self.start_ftp({"pub/readme.txt": README}, 4, ["-T=3000,3000"], **self.server_options)

    def login(self):
        ftp = ftplib.FTP()
        ftp.connect("127.0.0.1", self.proxy.port, timeout=20 * SLOW)
        self.addCleanup(ftp.close)
        ftp.login()
        return ftp

    def listener(self, host):
        s = socket.socket()
        self.addCleanup(s.close)
        s.bind((host, 0))
        s.listen(1)
        s.settimeout(1.5)
        return s


class FtpBounceTest(BounceCase):
    def test_refused_commands_do_not_reach_the_server(self):
        ftp = self.login()
        victim = self.listener("127.0.0.2")
        port = victim.getsockname()[1]
        # raw command line, reply code
        cases = [
            (b"PORT 127,0,0,2,%d,%d\r\n" % (port // 256, port % 256), "501"),
            (b"EPRT |1|127.0.0.2|%d|\r\n" % port, "501"),
            (b"PORT 127,0,0,1,300,1\r\n", "501"),
            (b"NOOP\rDELE pub/readme.txt\r\n", "500"),
            (b"NOOP\x00DELE pub/readme.txt\r\n", "500"),
        ]
        for line, code in cases:
            with self.subTest(line=line):
                ftp.sock.sendall(line)
                with self.assertRaises(ftplib.error_perm) as ctx:
                    ftp.getresp()
                self.assertTrue(str(ctx.exception).startswith(code), ctx.exception)
        with self.assertRaises(socket.timeout):
            victim.accept()
        self.assertEqual([], [c for c in self.server.commands() if c[:4] in ("PORT", "EPRT", "DELE", "NOOP")])
        self.assertEqual(README, self.server_file("pub/readme.txt"))
        # The client's own address is still served.
        ftp.set_pasv(False)
        self.assertEqual(["readme.txt"], ftp.nlst("pub"))

    def test_passive_data_port_takes_only_the_client(self):
        ftp = self.login()
        host, port = ftplib.parse227(ftp.sendcmd("PASV"))
        thief = socket.socket()
        self.addCleanup(thief.close)
        thief.bind(("127.0.0.3", 0))
        thief.connect((host, port))
        thief.settimeout(5 * SLOW)
        self.assertEqual(b"", thief.recv(100))
        self.assertIn("connection from 127.0.0.3 refused", self.proxy.wait_log("refused (expected 127.0.0.1)"))
        data = socket.create_connection((host, port), timeout=10 * SLOW)
        self.addCleanup(data.close)
        resp = ftp.sendcmd("RETR pub/readme.txt")
        self.assertTrue(resp.startswith(("125", "150")), resp)
        got = b""
        while True:
            chunk = data.recv(1000)
            if not chunk:
                break
            got += chunk
        self.assertEqual(README, got)
        self.assertTrue(ftp.voidresp().startswith("226"))


class FtpForeignPassiveReplyTest(BounceCase):
    """The server's PASV reply names 127.0.0.2, where nothing listens."""
    server_options = {"masquerade": "127.0.0.2"}

    def test_passive_reply_is_connected_at_the_control_server(self):
        ftp = self.login()
        self.assertEqual(["readme.txt"], ftp.nlst("pub"))
        self.assertIn("reply names 127.0.0.2; connecting 127.0.0.1", self.proxy.log())


if __name__ == "__main__":
    unittest.main()
