#!/usr/bin/env bash
# Writes a DEMO virus signature database DIR/ruvo-demo.ndb for ClamAV with
# two signatures made by sigtool:
#   Ruvo.Demo.EICAR-Test-File    the standard EICAR anti-virus test file
#   Ruvo.Demo.Test-Marker        the text RUVO-DEMO-VIRUS-TEST-MARKER
# It lets the virus scanner service run on a machine without real
# signatures; it protects against nothing.  Real signatures: freshclam
# (package clamav-freshclam) fills /var/lib/clamav.
set -euo pipefail
dir=${1:?usage: demo_signatures.sh DIR}
command -v sigtool >/dev/null || { echo "demo_signatures: sigtool missing (package clamav)" >&2; exit 1; }
mkdir -p "$dir"
# The EICAR text, assembled so that this script itself is not a test file.
eicar='X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD'
eicar+='-ANTIVIRUS-TEST-FILE!$H+H*'
marker='RUVO-DEMO-VIRUS-TEST-MARKER'
{
  printf 'Ruvo.Demo.EICAR-Test-File:0:*:%s\n' "$(printf %s "$eicar" | sigtool --hex-dump)"
  printf 'Ruvo.Demo.Test-Marker:0:*:%s\n' "$(printf %s "$marker" | sigtool --hex-dump)"
} > "$dir/ruvo-demo.ndb.tmp"
mv "$dir/ruvo-demo.ndb.tmp" "$dir/ruvo-demo.ndb"
echo "demo signatures (not a protection): $dir/ruvo-demo.ndb"
