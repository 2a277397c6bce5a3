#!/usr/bin/env bash
# How long scripts/run.sh takes from its start until both the service and the demo page answer,
# RUNS times (default 5); the first run of a fresh checkout includes its set-up and build.
# Usage: bench/main_job_start.sh [RUNS]
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
runs="${1:-5}"
demo_port="${TARNWICK_DEMO_PORT:-8089}"
for i in $(seq 1 "$runs"); do
  start=$(date +%s%N)
  TARNWICK_DEMO_PORT=$demo_port setsid "$here/scripts/run.sh" >/tmp/main_job_start.$$.log 2>&1 &
  job=$!
  ready=""
  for _ in $(seq 1 6000); do
    if curl -sf -m 1 http://127.0.0.1:12321/Local/GetVersion >/dev/null 2>&1 &&
      curl -sf -m 1 "http://127.0.0.1:$demo_port/demo/" >/dev/null 2>&1; then
      ready=$(date +%s%N)
      break
    fi
    sleep 0.02
  done
  # Ctrl+C to the whole group, as in a terminal.
  kill -INT -- "-$job" 2>/dev/null
  wait "$job" 2>/dev/null
  if [ -z "$ready" ]; then echo "run $i: not ready after 120 s"; tail -5 /tmp/main_job_start.$$.log; exit 1; fi
  echo "run $i: $(( (ready - start) / 1000000 )) ms to both answering"
  relinked="$(grep -c 'Linking' /tmp/main_job_start.$$.log)"
  echo "run $i: $relinked targets linked"
done
rm -f /tmp/main_job_start.$$.log
