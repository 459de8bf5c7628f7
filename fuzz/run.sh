#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each for FUZZ_SECONDS (default 60)
# over a corpus seeded from the test builders. Findings land in
# build/fuzz/findings/<kind>/; keep each fixed one under fuzz/regressions/.
# FUZZ_TARGETS="mesk tiff" runs only those kinds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
cmake --preset fuzz >/dev/null
cmake --build build/fuzz -j "${JOBS:-$(nproc)}"
build/fuzz/fuzz_seeds build/fuzz/seeds
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for target in build/fuzz/*_fuzz; do
  kind=$(basename "$target" _fuzz)
  if [ -n "${FUZZ_TARGETS:-}" ] && [[ " $FUZZ_TARGETS " != *" $kind "* ]]; then continue; fi
  corpus=build/fuzz/corpus/$kind
  findings=build/fuzz/findings/$kind
  mkdir -p "$corpus" "$findings" "build/fuzz/seeds/$kind"
  extra=()
  [ -d "fuzz/regressions/$kind" ] && extra+=("fuzz/regressions/$kind")
  echo "== $kind: ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$findings/" \
       "$corpus" "build/fuzz/seeds/$kind" "${extra[@]}" 2>"build/fuzz/$kind.log"; then
    echo "   finding in $kind: see build/fuzz/$kind.log and $findings/"
    status=1
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|DONE' "build/fuzz/$kind.log" | sed 's/^/   /' || true
done
exit $status
