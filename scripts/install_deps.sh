#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/deps.txt (or in the list
# file given as the argument) that are missing.
# As root it runs apt-get; otherwise it prints the exact line and fails.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
missing=()
while read -r pkg; do
  [[ -z "$pkg" || "$pkg" == \#* ]] && continue
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done < "${1:-$here/deps.txt}"
[[ ${#missing[@]} -eq 0 ]] && exit 0
if [[ $(id -u) -ne 0 ]]; then
  echo "Missing Debian packages. Run as root:" >&2
  echo "  apt-get update && apt-get install -y ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
# Server packages the tests run privately (slapd, dnsmasq) must not start
# system services on installation: a system dnsmasq would take port 53 of
# every address.  Without a policy of the host's own, deny service starts
# for the time of the installation.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  own_policy=1
  trap '[[ $own_policy -eq 1 ]] && rm -f "$policy"' EXIT
fi
apt-get update -qq
# Recommended packages come along: the scanners and servers are tested with them.
apt-get install -y -qq "${missing[@]}"
# Servers installed only for the tests (dovecot) run privately inside the
# tests; the system service is stopped and disabled so that nothing stays
# listening on the standard mail ports.
if dpkg-query -W -f='${Status}' dovecot-core 2>/dev/null | grep -q "install ok installed"; then
  systemctl stop dovecot.service dovecot.socket >/dev/null 2>&1 || service dovecot stop >/dev/null 2>&1 || true
  systemctl disable dovecot.service dovecot.socket >/dev/null 2>&1 || true
fi
