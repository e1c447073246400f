"""The HTTP response cache (-M): hits with the origin stopped, the stale
cases of the copy's own header, -M=0 and the no-cache list."""
import hashlib
import os
import unittest

import httporigin
from proxytest import proxy_for
from test_http import curl


class CacheTest(unittest.TestCase):
    cache_min = 10

    def setUp(self):
        self.origin = httporigin.Origin()
        self.addCleanup(lambda: self.origin and self.origin.stop())
        self.proxy = proxy_for(self, 0, ["-M=%d" % self.cache_min])
        self.proxy.write("no-cache.db", "' comment line\nhttp,,*,*,/cache?nc=*\n")
        self.proxy.start()
        self.base = "http://127.0.0.1:%d" % self.origin.port

    def get(self, path):
        rc, head, body = curl(self.proxy, self.base + path)
        self.assertEqual(rc, 0, path)
        return body.decode("latin-1")

    def cache_file(self, path):
        key = "http,,127.0.0.1,%d,%s" % (self.origin.port, path)
        return self.proxy.path("httpcache", hashlib.md5(key.encode()).hexdigest() + ".dat")

    def test_fresh_and_stale_copies(self):
        cases = [
            # query, second answer (count=1: from the cache), stored; the
            # header rules themselves are covered by the cache unit tests.
            ("cc=public", "count=1", True),
            ("plain=1", "count=1", True),
            # Answers private to one user are neither stored nor served.
            ("cc=private", "count=2", False),
            ("cc=public&cookie=session%3D1", "count=2", False),
            ("exp=Thu,%2001%20Jan%202001%2000:00:00%20GMT&cc=public", "count=2", True),
        ]
        for query, second, stored in cases:
            path = "/cache?" + query
            self.assertEqual(self.get(path), "count=1", query)
            self.assertEqual(os.path.exists(self.cache_file(path)), stored, query)
            self.assertEqual(self.get(path), second, query)
        log = self.proxy.wait_log("HTTP(expires) = off.")
        self.assertIn("HTTP cash useing. ", log)
        self.assertIn("[Cache] HTTP = using. (", log)
        self.assertIn("HTTP(expires) = off.", log)

    def test_hit_with_origin_stopped(self):
        path = "/cache?cc=public&stop=1"
        self.assertEqual(self.get(path), "count=1")
        self.origin.stop()
        self.origin = None
        rc, head, body = curl(self.proxy, self.base + path)
        self.assertEqual(rc, 0)
        self.assertEqual(body, b"count=1")
        # Answers from the cache carry the proxy's Via line and the -U lines.
        self.assertIn("VIA: 1.1 ", head)
        self.assertIn("X-Forwarded-For: 127.0.0.1", head)

    def test_empty_copy_is_deleted(self):
        path = "/cache?cc=public&empty=1"
        self.get(path)
        open(self.cache_file(path), "w").close()
        self.assertEqual(self.get(path), "count=2")
        self.assertGreater(os.path.getsize(self.cache_file(path)), 0)

    def test_no_cache_list(self):
        path = "/cache?nc=1&cc=public"
        self.get(path)
        self.assertFalse(os.path.exists(self.cache_file(path)))
        self.assertIn("' hit.", self.proxy.wait_log("' hit."))
        self.assertEqual(self.get(path), "count=2")


class CacheOffTest(CacheTest):
    cache_min = 0

    def test_fresh_and_stale_copies(self):
        self.assertEqual(self.get("/cache?cc=public"), "count=1")
        self.assertEqual(self.get("/cache?cc=public"), "count=2")
        self.assertEqual(os.listdir(self.proxy.path("httpcache")), [])
        log = self.proxy.log()
        self.assertNotIn("[Cache]", log)
        self.assertIn("[Query_NoCache]", log)

    test_hit_with_origin_stopped = test_empty_copy_is_deleted = test_no_cache_list = None


if __name__ == "__main__":
    unittest.main()
