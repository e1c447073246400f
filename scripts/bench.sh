#!/usr/bin/env bash
# Runs every benchmark program built in BUILD (files named *_bench, also in
# its services/ folder).  Benchmarks are built by the normal build and never
# run by `make test`.
set -uo pipefail
build=${1:?usage: bench.sh BUILD}
found=0
for bin in "$build"/*_bench "$build"/services/*_bench; do
  [[ -x "$bin" ]] || continue
  found=1
  echo "== $(basename "$bin")"
  "$bin" --benchmark_counters_tabular=true || exit 1
done
[[ $found -eq 1 ]] || echo "bench.sh: no benchmark programs in $build (is libbenchmark-dev installed?)" >&2
