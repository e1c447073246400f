"""Inspected GET responses: verdicts of fake virus and content-filter
services replace the response by the notification pages (exact bytes and
headers), also from template files."""
import unittest

import httporigin
from proxytest import FakeService, file_verdict, proxy_for
from test_http import curl

HEAD = '<html><head><meta http-equiv=content-type content="text/html; charset=shitf-jis"'
VIRUS_PAGE = (HEAD + "><title>このページにはウイルスが含まれています。 %s</title><!-- ここにはウイルス名が記載されます。"
              "削除してはいけません。--></head><body><h4>このページにはウイルスが含まれています。<BR> %s</h4><!-- "
              "ここにはウイルス名が記載されます。削除してはいけません。--></body></html>\r\n").encode("cp932")
WORD_PAGE = (HEAD + "><title>このページには禁止ワードが含まれています。 <!--%s--></title><!-- ここには禁止ワードが"
             "記載されます。削除してはいけません。--></head><body><h4>このページには禁止ワードが含まれています。<BR> "
             "<!--%s--></h4><!-- ここには禁止ワードが記載されます。削除してはいけません。--></body></html>\r\n"
             ).encode("cp932")


class InspectTest(unittest.TestCase):
    def setUp(self):
        self.origin = httporigin.Origin()
        self.addCleanup(self.origin.stop)
        self.proxy = proxy_for(self, 0, ["-M=10"])
        self.avs = FakeService(self.proxy.data, "ruvoavs", file_verdict(b"EICAR", "Eicar-Test-Signature"))
        self.cwfs = FakeService(self.proxy.data, "ruvocwfs", file_verdict(b"forbiddenword", "forbiddenword"), 1041)
        self.addCleanup(self.avs.stop)
        self.addCleanup(self.cwfs.stop)
        self.proxy.start()
        self.base = "http://127.0.0.1:%d" % self.origin.port

    def test_virus_page_replaces_response(self):
        rc, head, body = curl(self.proxy, self.base + "/virus")
        self.assertEqual(rc, 0)
        page = VIRUS_PAGE.replace(b"%s", b"Eicar-Test-Signature")
        self.assertEqual(body, page)
        self.assertTrue(head.startswith("HTTP/1.1 200 OK\r\n"), head)
        self.assertIn("\r\nContent-Length: %d\r\n" % len(page), head)
        self.assertIn("\r\nContent-Type: text/html; charset=shift_jis\r\n", head)
        self.assertEqual(head.lower().count("content-type"), 1)
        # The scanner saw the body alone.
        self.assertEqual(self.avs.calls[0][1], b"<html>EICAR test body</html>")
        self.assertIn("[Eicar-Test-Signature]", self.proxy.wait_log("[Eicar-Test-Signature]"))

    def test_virus_in_chunked_response(self):
        rc, head, body = curl(self.proxy, self.base + "/virusch")
        self.assertEqual(rc, 0)
        page = VIRUS_PAGE.replace(b"%s", b"Eicar-Test-Signature")
        self.assertEqual(body, page)
        self.assertNotIn("chunked", head.lower())
        # (the proxy closes after it and says so)
        self.assertIn("\r\nContent-Length: %d\r\nContent-Type: text/html\r\nConnection: close\r\n\r\n" % len(page),
                      head)

    def test_word_page(self):
        rc, head, body = curl(self.proxy, self.base + "/word")
        self.assertEqual(rc, 0)
        self.assertEqual(body, WORD_PAGE.replace(b"%s", b"forbiddenword"))
        # The filter saw the whole response.
        self.assertTrue(self.cwfs.calls[0][1].startswith(b"HTTP/1.1 200 OK\r\n"))

    def test_template_files(self):
        self.proxy.write("foundword.html", "<p>%s, %s, %s %d %n %x %%</p>\r\nline2\r\n")
        rc, head, body = curl(self.proxy, self.base + "/word")
        self.assertEqual(body, b"<p>forbiddenword, forbiddenword, %s %d %n %x %</p>\nline2\n")
        self.assertIn("Content-Length: %d\r\n" % len(body), head)
        self.proxy.write("foundvirus.html", "no verdict here")
        rc, head, body = curl(self.proxy, self.base + "/virus")
        self.assertEqual(body, b"no verdict here")

    def test_clean_response_is_cached_and_unchanged(self):
        rc, head, body = curl(self.proxy, self.base + "/size/5000")
        self.assertEqual(body, httporigin.pattern(5000))
        self.assertIn("[CLEAN]", self.proxy.wait_log("[CLEAN]"))
        self.assertEqual(len(self.avs.calls), 1)


if __name__ == "__main__":
    unittest.main()
