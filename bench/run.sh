#!/usr/bin/env bash
# make bench: an optimised native build, inputs generated once into
# build/bench-data (4096² and 8192² maps, 1 M and 4 M faces; BENCH_SIZE=small
# or large keeps one), every operation timed beside its peer, the table printed
# and written to BENCHMARKS.md with the commit and the machine (its own
# section there: make bench-windows keeps another).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset native >/dev/null
cmake --build build/native -j "$(nproc)" --target brindlex_bench
mkdir -p build/bench-data
out=$(mktemp)
trap 'rm -f "$out"' EXIT
{
  echo "## POSIX build (make bench)"
  echo
  echo "Commit $(git rev-parse --short HEAD 2>/dev/null || echo unknown), $(date -u +%Y-%m-%d), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(free -g | awk '/Mem:/{print $2}') GiB."
  echo "Medians of ${BENCH_RUNS:-5} runs after a warm-up, warm page cache; ratio = Brindlex / peer (below 1 is faster)."
  if [ -n "${BENCH_FILTER:-}${BENCH_SIZE:-}" ]; then
    echo "Only part of the bench: BENCH_FILTER=${BENCH_FILTER:-} BENCH_SIZE=${BENCH_SIZE:-}."
  fi
  echo
} > "$out"
build/native/brindlex_bench build/bench-data --runs "${BENCH_RUNS:-5}" ${BENCH_SIZE:+--$BENCH_SIZE} --markdown "$out" ${BENCH_FILTER:+--filter "$BENCH_FILTER"}
bash bench/section.sh BENCHMARKS.md bench-posix "$out"
