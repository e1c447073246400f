#!/usr/bin/env bash
# Starts every inspection service built in BUILD/services/ with the data
# folder $ENVNAME/TORV/ (the proxy's -E convention) and stops them all when
# this script ends (SIGTERM, SIGINT or its own exit).
#   scripts/run_services.sh BUILD ENVNAME [extra switches for every service]
# RUVO_AVS_SIGNATURES=FOLDER gives ruvoavs that signature folder (-D).
# A service that is not built (its library was missing at configure time) is
# reported and skipped; a service that finds its scanner or data missing
# reports that itself and exits with code 3, which is reported as skipped.
set -uo pipefail
build=${1:?usage: run_services.sh BUILD ENVNAME}
envname=${2:?usage: run_services.sh BUILD ENVNAME}
shift 2
[[ -n "${!envname:-}" ]] || { echo "run_services: \$$envname is not set" >&2; exit 2; }

services=(ruvoavs ruvospam ruvocwfs qzmail2zip)
pids=()
names=()
sleeper=""
stop_all() {
  trap - EXIT INT TERM
  [[ -n "$sleeper" ]] && kill "$sleeper" 2>/dev/null
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
  # Each service removes its socket file and exits within a few seconds;
  # one that is still there after 10 s (spamd may be busy compiling its
  # rules) is killed, so stopping never hangs.
  local waited=0
  while (( waited < 100 )); do
    local alive=0
    for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && alive=1; done
    (( alive )) || break
    sleep 0.1
    (( waited++ ))
  done
  for p in "${pids[@]}"; do
    if kill -0 "$p" 2>/dev/null; then
      echo "run_services: pid $p did not stop within 10 s; killed" >&2
      kill -KILL "$p" 2>/dev/null
    fi
  done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  exit 0
}
trap stop_all EXIT INT TERM

# Switches for one service only.
declare -A extra=()
# RUVO_AVS_SIGNATURES: the signature folder of ruvoavs instead of the system's.
[[ -n "${RUVO_AVS_SIGNATURES:-}" ]] && extra[ruvoavs]="-D=$RUVO_AVS_SIGNATURES"
# ruvospam asks SpamAssassin's spamd: start a private one on a socket in the
# data folder (local tests only, no network, the rules Debian ships) and stop
# it with the services.  Without spamd, ruvospam reports itself skipped.
data_dir="${!envname}/TORV"
if [[ -x "$build/services/ruvospam" ]]; then
  if [[ -x /usr/sbin/spamd ]]; then
    mkdir -p "$data_dir/pipe"
    /usr/sbin/spamd -L -x --socketpath="$data_dir/pipe/spamd.sock" --min-children=1 --max-children=4 \
      -s stderr 2>"$data_dir/spamd.log" &
    pids+=($!)
    names+=(spamd)
    extra[ruvospam]="-S=$data_dir/pipe/spamd.sock -Q=60000"
  else
    extra[ruvospam]="-Q=0"
  fi
fi

for name in "${services[@]}"; do
  bin="$build/services/$name"
  if [[ ! -x "$bin" ]]; then
    echo "run_services: $name skipped: not built (its library was missing when the build was configured)" >&2
    continue
  fi
  # shellcheck disable=SC2086  # the extra switches are words
  "$bin" -E="$envname" ${extra[$name]:-} "$@" &
  pids+=($!)
  names+=("$name")
done

# Report the services that stopped on their own at start-up.
sleep 1
alive=()
for i in "${!pids[@]}"; do
  if kill -0 "${pids[$i]}" 2>/dev/null; then
    alive+=("${pids[$i]}")
    echo "run_services: ${names[$i]} running (pid ${pids[$i]})" >&2
  else
    wait "${pids[$i]}"
    rc=$?
    if [[ $rc -eq 3 ]]; then
      echo "run_services: ${names[$i]} skipped (see its message above)" >&2
    else
      echo "run_services: ${names[$i]} failed to start (exit code $rc)" >&2
    fi
  fi
done
pids=("${alive[@]}")
[[ ${#pids[@]} -gt 0 ]] || { echo "run_services: no service running" >&2; exit 0; }
# Sleep in the background so the traps run as soon as a signal arrives.
while :; do sleep 3600 & sleeper=$!; wait "$sleeper"; done
