#!/usr/bin/env bash
# Starts the HTTP instance on 127.0.0.1:8080 with the debug log on the
# console, using the demo data folder.  The inspection services found in the
# build folder are started beside it and stopped with it.
set -uo pipefail
build=${1:?usage: run_demo.sh BUILD VAR}
var=${2:?usage: run_demo.sh BUILD VAR}
export RUVO_HOME="$var"
pids=()
if [[ -x scripts/run_services.sh ]]; then
  scripts/run_services.sh "$build" RUVO_HOME &
  pids+=($!)
fi
trap 'kill "${pids[@]}" 2>/dev/null' EXIT
"$build/ruvohprx" -E=RUVO_HOME -P=0 "-L=127.0.0.1 8080" "-H=127.0.0.1 9180" -V -W -G=1
