#!/bin/sh
# Runs every libFuzzer binary of BUILD/fuzz (or only the NAMEs given) for
# SECONDS each, one after the other.  New inputs go to a working corpus in
# BUILD/fuzz-corpus/NAME (seeded from fuzz/corpus/NAME and the regression
# inputs); a crash, leak, time-out or out-of-memory input is copied into
# fuzz/regressions/NAME/ so the replay tests keep it.  Prints executions per
# second per target; exits 1 when anything was found.
#   usage: scripts/run_fuzz.sh BUILD SECONDS [NAME...]
set -u
BUILD=${1:?build folder}
SECONDS_EACH=${2:-60}
shift 2 2>/dev/null || shift $#
ROOT=$(cd "$(dirname "$0")/.." && pwd)
FUZZ_SRC=$ROOT/fuzz
BIN=$BUILD/fuzz

if [ $# -eq 0 ]; then
  set -- $(cd "$BIN" && ls *_fuzz 2>/dev/null | sed 's/_fuzz$//')
fi
[ $# -gt 0 ] || { echo "no fuzz targets in $BIN"; exit 1; }

found=0
summary=""
for name in "$@"; do
  work=$BUILD/fuzz-corpus/$name
  art=$BUILD/fuzz-artifacts/$name
  mkdir -p "$work" "$art" "$FUZZ_SRC/regressions/$name"
  log=$art/run.log
  echo "== $name: $SECONDS_EACH s"
  # Leaks are looked for at the end of each input; a slow input counts as a
  # finding after 10 s.
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$BIN/${name}_fuzz" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$art/" \
    "$work" "$FUZZ_SRC/corpus/$name" "$FUZZ_SRC/regressions/$name" >"$log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
  status=ok
  for f in "$art"/crash-* "$art"/leak-* "$art"/timeout-* "$art"/oom-*; do
    [ -f "$f" ] || continue
    cp "$f" "$FUZZ_SRC/regressions/$name/"
    rm -f "$f"
    status="FOUND $(basename "$f") (see $log)"
    found=1
  done
  if [ "$status" = ok ] && [ "$rc" -ne 0 ]; then
    status="failed with exit code $rc (see $log)"
    found=1
  fi
  line=$(printf '%-16s %8s execs/s  %10s runs  %s  %s' "$name" "${rate:-?}" "${runs:-?}" "${cov:-}" "$status")
  echo "$line"
  summary="$summary$line
"
done
echo "== summary"
printf '%s' "$summary"
exit $found
