#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for FUZZ_SECONDS (default 60)
# over a corpus seeded from the test builders. Findings land in
# build/fuzz/findings/<kind>/; keep each fixed one under fuzz/regressions/.
# FUZZ_TARGETS="mesk tiff" runs only those kinds; FUZZ_PARALLEL=2 runs two
# kinds at a time. Each kind's summary gives its executions and the coverage
# (edges, features) of its last status line.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j "${JOBS:-$(nproc)}"
build/fuzz/fuzz_seeds build/fuzz/seeds
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
parallel=${FUZZ_PARALLEL:-1}
run_kind() {
  local target=$1 kind
  kind=$(basename "$target" _fuzz)
  local corpus=build/fuzz/corpus/$kind findings=build/fuzz/findings/$kind log=build/fuzz/$kind.log
  mkdir -p "$corpus" "$findings" "build/fuzz/seeds/$kind"
  local extra=()
  [ -d "fuzz/regressions/$kind" ] && extra+=("fuzz/regressions/$kind")
  local rc=0
  "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/" \
    "$corpus" "build/fuzz/seeds/$kind" "${extra[@]}" 2>"$log" || rc=1
  {
    echo "== $kind: ${seconds}s"
    [ $rc -eq 0 ] || echo "   finding in $kind: see $log and $findings/"
    grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb' "$log" | sed 's/^/   /' || true
    grep -E '^#[0-9]+' "$log" | tail -1 | sed -E 's/.*(cov: [0-9]+ ft: [0-9]+ corp: [^ ]+).*/   \1/' || true
  } > "$log.summary"
  cat "$log.summary"
  return $rc
}
status=0
running=0
for target in build/fuzz/*_fuzz; do
  kind=$(basename "$target" _fuzz)
  if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $kind "* ]]; then continue; fi
  run_kind "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    wait -n || status=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || status=1
  running=$((running - 1))
done
exit $status
