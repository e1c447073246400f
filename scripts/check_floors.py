#!/usr/bin/env python3
"""Checks that the program's folders include each other only downward.

Each folder sits on a floor (see ARCHITECTURE.md).  A source file may
include headers of its own folder and of any folder on a lower floor; an
include of a higher floor, or of another folder on the same floor, breaks
the floors.  Known breaks still waiting to be moved are listed in ALLOWED
as "file -> header" pairs; the list only shrinks.  An entry that no longer
matches an include is reported too, so the list stays exact.

Exit status: 0 when every include keeps to the floors, 1 otherwise.
"""
import os
import re
import sys

# Lowest floor first.  Folders on one floor do not include each other.
FLOORS = [
    ["base"],                           # pure value types: fixed text, limits
    ["platform"],                       # the only OS and vendor crossings
    ["core"],                           # settings, logs, lists, LDAP logon
    ["inspect", "net"],                 # inspection clients; records, outbound
    # The protocols, in three steps with no arrow back: FTP serves the
    # others (the ftp:// client of the HTTP proxy, the data channel of the
    # FTP control relay); the relay's dispatch answers and tunnels SOCKS
    # connections, and the FTP control relay keeps its cache by the HTTP
    # cache's rules, so the relay stands above HTTP and SOCKS.
    ["ftp"],
    ["http", "socks"],
    ["relay"],
    ["front"],                          # listener, connection thread, dispatch
    ["app"],                            # the program's entry
]

# Breaks that are known and not yet moved away ("file -> header").
ALLOWED = set()

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def floor_of(folder):
    for n, names in enumerate(FLOORS):
        if folder in names:
            return n
    return None


def check(root):
    breaks = []
    seen = set()
    for names in FLOORS:
        for folder in names:
            base = os.path.join(root, folder)
            for dirpath, _, files in os.walk(base):
                for name in sorted(files):
                    if not name.endswith((".h", ".cpp")):
                        continue
                    path = os.path.join(dirpath, name)
                    rel = os.path.relpath(path, root)
                    with open(path, encoding="utf-8", errors="replace") as f:
                        for line in f:
                            m = INCLUDE.match(line)
                            if not m or "/" not in m.group(1):
                                continue
                            target = m.group(1)
                            to = target.split("/", 1)[0]
                            to_floor = floor_of(to)
                            if to == folder or to_floor is None:
                                continue
                            if to_floor < floor_of(folder):
                                continue
                            pair = "%s -> %s" % (rel, target)
                            if pair in ALLOWED:
                                seen.add(pair)
                                continue
                            kind = "upward" if to_floor > floor_of(folder) else "sideways"
                            breaks.append("%s (%s)" % (pair, kind))
    stale = sorted(ALLOWED - seen)
    return breaks, stale


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..")
    breaks, stale = check(root)
    for b in breaks:
        print("include breaks the floors: " + b)
    for s in stale:
        print("allow-list entry no longer needed, remove it: " + s)
    if breaks or stale:
        return 1
    print("includes keep to the floors (%d known breaks allowed)" % len(ALLOWED))
    return 0


if __name__ == "__main__":
    sys.exit(main())
