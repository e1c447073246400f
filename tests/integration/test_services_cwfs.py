"""The HTTP content filter ruvocwfs through its socket, called with the
proxy's own client code: verdicts on real response files (plain, chunked,
gzip, deflate), clean, malformed, missing and odd files, word-list reloads,
a 10,000-word list and concurrent callers."""
import gzip
import os
import time
import unittest
import zlib

from servicetest import DataFolder, Service, ServiceCase, call, raw_call, request, service_bin

WORDS = b"""' Forbidden words, one a line; these three lines are comments.
 indented comment
" quoted comment
casino
Forbidden Phrase
\tspaced word  \r
\xe7\xa6\x81\xe6\xad\xa2
"""


def response(body, headers=()):
    head = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n" + b"".join(h + b"\r\n" for h in headers)
    return head + b"\r\n" + body


def chunked(data, size):
    out = b""
    for i in range(0, len(data), size):
        piece = data[i:i + size]
        out += b"%x\r\n" % len(piece) + piece + b"\r\n"
    return out + b"0\r\n\r\n"


def raw_deflate(data):
    c = zlib.compressobj(9, zlib.DEFLATED, -15)
    return c.compress(data) + c.flush()


@unittest.skipUnless(os.path.exists(service_bin("ruvocwfs")), "ruvocwfs not built")
class CwfsTest(ServiceCase):
    name, args, files = "ruvocwfs", ["-K=2000000"], {"cwfs-words.db": WORDS}

    def scan(self, name, data):
        path = self.folder.write(name, data)
        rc, reply, _ = call(self.folder, "http", path)
        self.assertEqual(rc, 1)
        return reply

    def test_verdicts(self):
        page = b"<html><body><p>Welcome to our forbidden phrase page, play CASINO now</p></body></html>"
        clean = b"<html><body>" + b"nothing to see here " * 2000 + b"</body></html>"
        cases = [
            ("plain", response(page), "Forbidden Phrase"),
            ("case and first found", response(b"xx CaSiNo yy forbidden phrase"), "casino"),
            ("in the header", response(b"clean", [b"X-Promo: casino"]), "casino"),
            ("chunked in 3-byte chunks", response(chunked(page, 3), [b"Transfer-Encoding: chunked"]),
             "Forbidden Phrase"),
            ("gzip", response(gzip.compress(page), [b"Content-Encoding: gzip"]), "Forbidden Phrase"),
            ("x-gzip", response(gzip.compress(b"a casino b"), [b"Content-Encoding: x-gzip"]), "casino"),
            ("zlib deflate", response(zlib.compress(page), [b"Content-Encoding: deflate"]), "Forbidden Phrase"),
            ("raw deflate", response(raw_deflate(page), [b"Content-Encoding: deflate"]), "Forbidden Phrase"),
            ("chunked gzip", response(chunked(gzip.compress(page), 7),
                                      [b"Transfer-Encoding: chunked", b"Content-Encoding: gzip"]),
             "Forbidden Phrase"),
            ("two gzip members", response(gzip.compress(b"clean part ") + gzip.compress(b"then casino"),
                                          [b"Content-Encoding: gzip"]), "casino"),
            ("phrase over a chunk boundary", response(chunked(b"the forbidden phrase", 12),
                                                      [b"Transfer-Encoding: chunked"]), "Forbidden Phrase"),
            ("trimmed list entry", response(b"a spaced word here"), "spaced word"),
            ("UTF-8 word", response("\u7981\u6b62".encode()), "\u7981\u6b62"),
            ("not an HTTP file", b"just some text with casino inside", "casino"),
            ("LF-only header", b"HTTP/1.0 200 OK\nContent-Encoding: gzip\n\n" + gzip.compress(b"casino"), "casino"),
            ("clean page", response(clean), ""),
            ("clean gzip", response(gzip.compress(clean), [b"Content-Encoding: gzip"]), ""),
            ("comment words are not words", response(b"indented comment, quoted comment, Forbidden words"), ""),
            ("header/body boundary is no phrase", response(b"phrase", [b"X-A: forbidden"]), ""),
            ("empty body", response(b""), ""),
        ]
        for i, (label, data, want) in enumerate(cases):
            with self.subTest(label):
                self.assertEqual(self.scan("case%d.dat" % i, data), want)

    def test_compressed_word_is_not_seen_in_raw_bytes(self):
        # The coded bytes carry no readable words; only decoding shows them.
        data = gzip.compress(b"casino " * 50)
        self.assertNotIn(b"casino", data)
        self.assertEqual(self.scan("gz.dat", response(data, [b"Content-Encoding: gzip"])), "casino")

    def test_malformed_content(self):
        page = b"prefix casino suffix"
        gz = gzip.compress(b"x" * 5000 + b" casino")
        cases = [
            # What decodes before the fault is still scanned.
            ("truncated chunk, word before", response(b"10\r\n" + page[:10], [b"Transfer-Encoding: chunked"]), ""),
            ("truncated chunk with word", response(b"40\r\n" + page, [b"Transfer-Encoding: chunked"]), "casino"),
            ("bad chunk size", response(b"zz\r\ncasino\r\n0\r\n\r\n", [b"Transfer-Encoding: chunked"]), ""),
            ("huge chunk size", response(b"ffffffffffffffffff\r\ncasino", [b"Transfer-Encoding: chunked"]), ""),
            ("truncated gzip before word", response(gz[:len(gz) // 3], [b"Content-Encoding: gzip"]), ""),
            ("corrupt gzip", response(b"\x1f\x8b\x08\x00garbage", [b"Content-Encoding: gzip"]), ""),
            ("reserved deflate block", response(b"\x78\x9c" + b"\xff" * 20, [b"Content-Encoding: deflate"]), ""),
            ("not deflate", response(b"plain casino text", [b"Content-Encoding: deflate"]), ""),
            ("unknown coding scanned raw", response(b"casino", [b"Content-Encoding: br"]), "casino"),
            ("header without end", b"HTTP/1.1 200 OK\r\nX-Casino: 1\r\n", "casino"),
            ("binary noise", bytes(range(256)) * 64, ""),
            ("empty file", b"", ""),
        ]
        for i, (label, data, want) in enumerate(cases):
            with self.subTest(label):
                self.assertEqual(self.scan("bad%d.dat" % i, data), want)
        self.svc.wait_log("chunk size is not a number")
        self.assertIn("does not decode", self.svc.log())

    def test_missing_odd_and_huge_files(self):
        os.mkfifo(self.folder.path("fifo"))
        big = self.folder.write("big.dat", response(b"casino" + b" " * 2000000))
        cases = [
            ("missing", self.folder.path("nothere.dat"), "file not found"),
            ("folder", self.folder.path("pipe"), "not a regular file"),
            ("fifo never blocks", self.folder.path("fifo"), "not a regular file"),
            ("larger than -K", big, "file too large"),
        ]
        for label, path, note in cases:
            with self.subTest(label):
                start = time.time()
                rc, reply, _ = call(self.folder, "http", path)
                self.assertEqual((rc, reply), (1, ""))
                self.assertLess(time.time() - start, 10)
                self.svc.wait_log(note)

    def test_word_list_reload(self):
        path = self.folder.write("reload.dat", response(b"a brandnewword here"))
        self.assertEqual(call(self.folder, "http", path)[1], "")
        words = self.folder.path("cwfs-words.db")
        with open(words, "ab") as f:
            f.write(b"brandnewword\n")
        # The stamp includes nanoseconds and the size, so the change is seen at once.
        self.assertEqual(call(self.folder, "http", path)[1], "brandnewword")
        with open(words, "wb") as f:
            f.write(WORDS)
        self.assertEqual(call(self.folder, "http", path)[1], "")

    def test_request_with_tab_and_fields(self):
        # Only the text before a TAB names the file.
        path = self.folder.write("tab.dat", response(b"casino"))
        reply = raw_call(self.svc.sock, request(path + "\t1", 1041))
        self.assertEqual(reply, b"casino")


@unittest.skipUnless(os.path.exists(service_bin("ruvocwfs")), "ruvocwfs not built")
class CwfsListTest(unittest.TestCase):
    def setUp(self):
        self.folder = DataFolder()

    def tearDown(self):
        self.folder.cleanup()

    def test_skips_without_words(self):
        for label, content in [("missing", None), ("comments only", b"' nothing\n\" here\n\n")]:
            with self.subTest(label):
                if content is not None:
                    self.folder.write("cwfs-words.db", content)
                svc = Service(self.folder, "ruvocwfs", wait=False)
                self.assertEqual(svc.proc.wait(timeout=30), 3)
                svc.logfile.close()
                self.assertIn("not started", svc.log())
                self.assertFalse(os.path.exists(self.folder.path("pipe", "ruvocwfs")))

    def test_ten_thousand_words(self):
        words = [("w%05dzq" % i).encode() for i in range(10000)]
        self.folder.write("cwfs-words.db", b"\n".join(words) + b"\n")
        svc = Service(self.folder, "ruvocwfs")
        try:
            svc.wait_log("10000 words")
            page = b"<p>" + b"lorem ipsum " * 20000 + b"W09999ZQ</p>"
            path = self.folder.write("p.dat", response(page))
            self.assertEqual(call(self.folder, "http", path)[1], "w09999zq")
            path = self.folder.write("c.dat", response(b"lorem ipsum " * 20000))
            self.assertEqual(call(self.folder, "http", path)[1], "")
        finally:
            self.assertEqual(svc.stop(), 0)

    def test_list_vanishes_while_running(self):
        self.folder.write("cwfs-words.db", b"casino\n")
        svc = Service(self.folder, "ruvocwfs")
        try:
            path = self.folder.write("p.dat", response(b"casino"))
            self.assertEqual(call(self.folder, "http", path)[1], "casino")
            os.unlink(self.folder.path("cwfs-words.db"))
            self.assertEqual(call(self.folder, "http", path)[1], "")
            svc.wait_log("no word list")
        finally:
            self.assertEqual(svc.stop(), 0)


if __name__ == "__main__":
    unittest.main()
