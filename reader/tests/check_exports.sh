#!/usr/bin/env bash
# Compares a DLL's export table with the names of its .def file.
# Usage: check_exports.sh OBJDUMP DLL DEF
set -euo pipefail
actual="$("$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] //p' | sort)"
expected="$(sed -n '/^EXPORTS/,$p' "$3" | tail -n +2 | awk '{print $1}' | sed '/^$/d' | sort)"
if [ "$actual" != "$expected" ]; then
  echo "export table differs from $3"
  diff <(echo "$expected") <(echo "$actual") || true
  echo "0 passed, 1 failed"
  exit 1
fi
echo "exports: $(echo "$actual" | wc -l) names as in $(basename "$3")"
echo "1 passed, 0 failed"
