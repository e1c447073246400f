#!/usr/bin/env python3
"""The floor check tells a downward include from an upward or sideways one."""
import os
import tempfile
import unittest

import check_floors


class CheckFloorsTest(unittest.TestCase):
    def run_tree(self, files, allowed=()):
        with tempfile.TemporaryDirectory() as root:
            for rel, text in files.items():
                path = os.path.join(root, rel)
                os.makedirs(os.path.dirname(path), exist_ok=True)
                with open(path, "w") as f:
                    f.write(text)
            saved = check_floors.ALLOWED
            check_floors.ALLOWED = set(allowed)
            try:
                return check_floors.check(root)
            finally:
                check_floors.ALLOWED = saved

    def test_includes(self):
        cases = [
            # (file, included header, allowed, breaks, stale)
            ("core/a.cpp", "platform/plat_x.h", (), 0, 0),   # downward
            ("core/a.cpp", "core/b.h", (), 0, 0),            # own folder
            ("core/a.cpp", "openssl/ssl.h", (), 0, 0),       # not a floor
            ("platform/posix/a.cpp", "core/log.h", (), 1, 0),  # upward
            ("http/a.cpp", "socks/b.h", (), 1, 0),           # sideways
            ("http/a.cpp", "relay/b.h", (), 1, 0),           # protocol above
            ("relay/a.cpp", "http/b.h", (), 0, 0),           # protocol below
            ("http/a.cpp", "socks/b.h", ("http/a.cpp -> socks/b.h",), 0, 0),
            ("http/a.cpp", "net/b.h", ("http/a.cpp -> socks/b.h",), 0, 1),
        ]
        for rel, header, allowed, n_breaks, n_stale in cases:
            with self.subTest(rel=rel, header=header):
                breaks, stale = self.run_tree(
                    {rel: '#include "%s"\n#include <vector>\n' % header}, allowed)
                self.assertEqual(len(breaks), n_breaks, breaks)
                self.assertEqual(len(stale), n_stale, stale)


if __name__ == "__main__":
    unittest.main()
