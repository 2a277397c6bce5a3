#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each one: for SECONDS (default 600), or for a number of
# executions with --runs N. What each run finds goes to build/fuzz/fuzz/corpus/<target>/, a crash
# to crash-* beside it.
# Usage: scripts/fuzz.sh [SECONDS | --runs N] [TARGET...]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
limit=(-max_total_time=600)
if [ "${1:-}" = "--runs" ]; then
  limit=(-runs="$2" -max_total_time=0)
  shift 2
elif [[ "${1:-}" =~ ^[0-9]+$ ]]; then
  limit=(-max_total_time="$1")
  shift
fi
targets=("$@")
[ "${#targets[@]}" -gt 0 ] || targets=(fuzz_params fuzz_reader_replies fuzz_card_text fuzz_requests)
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"
failed=0
for t in "${targets[@]}"; do
  echo "=== $t"
  log="build/fuzz/fuzz/$t.log"
  if ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1 fuzz/run_fuzzer.sh "$here/build/fuzz/fuzz/$t" \
    "$here/fuzz/corpus/$t" "$here/build/fuzz/fuzz/corpus/$t" 0 "${limit[@]}" >"$log" 2>&1; then
    grep -E "Done [0-9]+ runs|DONE|stat::number_of_executed_units|stat::peak_rss" "$log" || true
  else
    failed=1
    grep -E "ERROR|SUMMARY|crash|Test unit written" "$log" || tail -20 "$log"
  fi
done
exit "$failed"
