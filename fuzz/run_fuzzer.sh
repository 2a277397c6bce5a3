#!/usr/bin/env bash
# Runs one fuzzer for SECONDS over a working copy of its seeds; any crash, leak or undefined
# behaviour fails it. Usage: run_fuzzer.sh FUZZER SEEDS WORK-CORPUS SECONDS [libFuzzer flags...]
set -euo pipefail
fuzzer="$1" seeds="$2" corpus="$3" seconds="$4"
shift 4
mkdir -p "$corpus"
[ -d "$seeds" ] && cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
# Crash files land beside the corpus, not in the working directory of whoever runs it.
cd "$(dirname "$corpus")"
# A dictionary beside the sources, named after the target, guides it when there is one.
dict="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "$fuzzer").dict"
extra=()
[ -f "$dict" ] && extra=(-dict="$dict")
exec "$fuzzer" "$corpus" "${extra[@]}" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 "$@"
