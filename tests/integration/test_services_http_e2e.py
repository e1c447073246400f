"""End to end: curl through the real proxy (HTTP mode) to a local origin
server, with the real inspection services beside it.  The content filter
ruvocwfs gets gzip-compressed, chunked pages whose decoded body alone shows
the forbidden word, so its verdict proves it de-chunked and decoded what the
proxy spooled; the ClamAV-based ruvoavs gets the EICAR file with a signature
database made here with sigtool."""
import gzip
import http.server
import os
import shutil
import subprocess
import socketserver
import threading
import unittest

from proxytest import EICAR, curl, proxy_for
from servicetest import DataFolder, Service, service_bin

WORD = "ruvoforbidden"
CLEAN_PAGE = b"<html><body>" + b"an ordinary page " * 300 + b"</body></html>"
WORD_PAGE = b"<html><body>" + b"filler text " * 300 + WORD.encode() + b"</body></html>"
DOWNLOAD = b"harmless download\n" * 100


class Origin(http.server.BaseHTTPRequestHandler):
    """/clean and /word: gzip-coded chunked pages; *.bin and eicar.com: plain downloads."""
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        self.send_response(200)
        if "split" in self.path:
            # EICAR cut in two chunks: only the de-chunked body shows it.
            half = len(EICAR) // 2
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for piece in (EICAR[:half], EICAR[half:]):
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            self.wfile.write(b"0\r\n\r\n")
            return
        if self.path.endswith(".gz"):
            body = gzip.compress(EICAR)
            self.send_header("Content-Encoding", "gzip")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        if self.path.endswith((".bin", ".com")):
            body = EICAR if "eicar" in self.path else DOWNLOAD
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
            return
        body = gzip.compress(WORD_PAGE if "word" in self.path else CLEAN_PAGE)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Encoding", "gzip")
        self.send_header("Transfer-Encoding", "chunked")
        self.send_header("Connection", "close")
        self.end_headers()
        for i in range(0, len(body), 100):
            piece = body[i:i + 100]
            self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
        self.wfile.write(b"0\r\n\r\n")

    def log_message(self, *args):
        pass


class ThreadedServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


class ServicesEndToEndTest(unittest.TestCase):
    def setUp(self):
        self.origin = ThreadedServer(("127.0.0.1", 0), Origin)
        threading.Thread(target=self.origin.serve_forever, daemon=True).start()
        self.addCleanup(self.origin.server_close)
        self.addCleanup(self.origin.shutdown)
        self.proxy = proxy_for(self, 0, prefix="svce2e_")
        self.folder = DataFolder.of_proxy_home(self.proxy)

    def start(self, name, args=()):
        svc = Service(self.folder, name, args)
        self.addCleanup(lambda: self.assertEqual(0, svc.stop()))
        self.proxy.start()
        return svc

    def get(self, path, *args):
        url = "http://127.0.0.1:%d%s" % (self.origin.server_address[1], path)
        # Raw bytes: the clean page arrives gzip-coded as the origin sent it.
        return curl(["-x", "http://127.0.0.1:%d" % self.proxy.port] + list(args) + [url])

    @unittest.skipUnless(os.path.exists(service_bin("ruvocwfs")), "ruvocwfs not built")
    def test_forbidden_word_replaces_the_page(self):
        self.proxy.write("cwfs-words.db", "' test list\n%s\n" % WORD.upper())
        svc = self.start("ruvocwfs")
        rc, body, err = self.get("/clean")
        self.assertEqual(0, rc, err)
        self.assertEqual(gzip.decompress(body), CLEAN_PAGE)
        rc, body, err = self.get("/word")
        self.assertEqual(rc, 0, err)
        self.assertNotIn(b"filler text", body)   # the page did not get through
        self.assertIn(WORD.upper().encode(), body)  # the notification names the list's word
        svc.wait_log("--- " + WORD.upper())
        self.assertIn("chunked, gzip", svc.log())

    @unittest.skipUnless(os.path.exists(service_bin("ruvoavs")) and shutil.which("sigtool"),
                         "ruvoavs or sigtool missing")
    def test_eicar_becomes_the_found_virus_page(self):
        db = os.path.join(self.proxy.root, "db")
        os.makedirs(db)
        hexdump = subprocess.run(["sigtool", "--hex-dump"], input=EICAR, capture_output=True,
                                 timeout=30).stdout.decode().strip()
        with open(os.path.join(db, "test.ndb"), "w") as f:
            f.write("Eicar-Test-Signature:0:*:%s\n" % hexdump)
        svc = self.start("ruvoavs", ["-D=" + db])
        rc, body, err = self.get("/clean.bin")
        self.assertEqual(rc, 0, err)
        self.assertEqual(body, DOWNLOAD)
        for path in ("/eicar.com", "/split.com", "/eicar.gz"):
            rc, body, err = self.get(path, "-i")
            self.assertEqual(rc, 0, err)
            self.assertNotIn(b"EICAR-STANDARD-ANTIVIRUS-TEST-FILE", body, path)
            self.assertIn(b"Eicar-Test-Signature", body, path)  # the page names the finding
            self.assertNotIn(b"Content-Encoding", body, path)   # the page goes out plain
        svc.wait_log("--- Eicar-Test-Signature")


if __name__ == "__main__":
    unittest.main()
