#!/usr/bin/env bash
# lintian, Debian's package checker, on the built package: no error and no warning (the package's
# overrides, with their reasons, are in packaging/linux/lintian-overrides).
# Usage: deb_lintian.sh PACKAGE.deb
set -uo pipefail
if ! command -v lintian >/dev/null; then
  echo "deb_lintian: lintian not installed (scripts/setup.sh); skipped"
  exit 77
fi
out="$(lintian --tag-display-limit 0 --display-info --show-overrides "$1" 2>&1)"
status=$?
echo "$out"
bad="$(grep -E '^[EW]: ' <<<"$out")"
if [ -n "$bad" ] || [ "$status" -ne 0 ]; then
  echo "deb_lintian: 0 passed, 1 failed"
  exit 1
fi
echo "deb_lintian: 1 passed, 0 failed"
