#!/usr/bin/env bash
# The service unit's exposure as systemd rates it (systemd-analyze security, 0 = locked down, 10 =
# fully exposed), read from the unit file without loading it: at most LIMIT. Prints the figure
# and, above the limit, what raises it.
# Usage: unit_exposure.sh UNIT-FILE LIMIT
set -uo pipefail
unit="$1"
limit="$2"
if ! systemd-analyze security --help 2>/dev/null | grep -q -- '--offline'; then
  echo "unit_exposure: this systemd-analyze cannot rate a unit file offline; skipped"
  exit 77
fi
report="$(LC_ALL=C systemd-analyze security --offline=yes --no-pager "$unit" 2>&1)"
figure="$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' <<<"$report")"
if [ -z "$figure" ]; then
  echo "$report"
  echo "unit_exposure: 0 passed, 1 failed"
  exit 1
fi
echo "unit_exposure: $(basename "$unit") rated $figure (at most $limit)"
if awk -v f="$figure" -v l="$limit" 'BEGIN { exit !(f <= l) }'; then
  echo "unit_exposure: 1 passed, 0 failed"
else
  grep '✗' <<<"$report"
  echo "unit_exposure: 0 passed, 1 failed"
  exit 1
fi
