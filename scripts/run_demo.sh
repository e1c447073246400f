#!/usr/bin/env bash
# Starts the HTTP instance on 127.0.0.1:8080 with the debug log on the
# console, using the demo data folder.  The inspection services found in the
# build folder are started beside it and stopped with it.  A small origin
# server on 127.0.0.1:8081 serves a clean page and the EICAR test file, and
# two curl commands show a clean page and the virus page.
# When no virus signatures are installed (/var/lib/clamav is empty), a DEMO
# signature database is made in VAR/TORV/demo-signatures/ so that the virus
# scanner runs; it protects against nothing.
#   DEMO_PORT (8080) and DEMO_ORIGIN_PORT (8081) choose the ports.
set -uo pipefail
build=${1:?usage: run_demo.sh BUILD VAR}
var=${2:?usage: run_demo.sh BUILD VAR}
port=${DEMO_PORT:-8080}
origin_port=${DEMO_ORIGIN_PORT:-8081}
export RUVO_HOME="$var"
here=$(cd "$(dirname "$0")" && pwd)

# Virus signatures: the system's, or the demo database.
if ! compgen -G "/var/lib/clamav/*.c[vl]d" >/dev/null && ! compgen -G "/var/lib/clamav/*.cud" >/dev/null; then
  echo "run_demo: no virus signatures in /var/lib/clamav; using DEMO signatures (EICAR and a test marker)." >&2
  echo "run_demo: real signatures: apt-get install clamav-freshclam (see README, Inspection services)." >&2
  "$here/demo_signatures.sh" "$var/TORV/demo-signatures" >&2 && export RUVO_AVS_SIGNATURES="$var/TORV/demo-signatures"
fi

# The origin: a clean page and the EICAR test file (assembled here so that
# no file of the repository is one).
www="$var/www"
mkdir -p "$www"
printf '<html><body><h1>A clean page</h1><p>Fetched through the ruvo proxy.</p></body></html>\n' > "$www/clean.html"
{ printf '%s' 'X5O!P%@AP[4\PZX54(P^)7CC)7}$EICAR-STANDARD'; printf '%s' '-ANTIVIRUS-TEST-FILE!$H+H*'; } > "$www/eicar.com"

pids=()
trap 'kill "${pids[@]}" 2>/dev/null' EXIT
/usr/bin/python3 -m http.server --bind 127.0.0.1 --directory "$www" "$origin_port" >/dev/null 2>&1 &
pids+=($!)
if [[ -x "$here/run_services.sh" ]]; then
  "$here/run_services.sh" "$build" RUVO_HOME &
  pids+=($!)
fi
# The two commands, once the services have reported (the proxy's own log
# follows on the console).
( sleep 3
  cat >&2 <<MSG

run_demo: try, in another terminal:
  curl -x http://127.0.0.1:$port http://127.0.0.1:$origin_port/clean.html     # the clean page
  curl -x http://127.0.0.1:$port http://127.0.0.1:$origin_port/eicar.com      # the virus page instead of the file
  curl http://127.0.0.1:9180/metrics                                          # the instance's counters

MSG
) &
pids+=($!)
"$build/ruvohprx" -E=RUVO_HOME -P=0 "-L=127.0.0.1 $port" "-H=127.0.0.1 9180" -V -W -G=1
