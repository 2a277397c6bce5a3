#!/usr/bin/env bash
# Compares a library's export table with the names of its .def file.
# Usage: check_exports.sh OBJDUMP DLL DEF   (Windows: the names exactly as the .def exports them)
#        check_exports.sh NM LIB.so DEF     (Linux: every defined dynamic symbol; stdcall-
#                                           decorated names appear plain)
set -euo pipefail
# Tools speak English whatever the locale under test.
export LC_ALL=C
names="$(sed -n '/^EXPORTS/,$p' "$3" | tail -n +2 | awk '{print $1}' | sed '/^$/d')"
case "$2" in
  *.so)
    actual="$("$1" -D --defined-only "$2" | awk '{print $3}' | sort)"
    expected="$(echo "$names" | sed 's/=.*//; s/^_\(.*\)@[0-9]*$/\1/' | sort)"
    ;;
  *)
    actual="$("$1" -p "$2" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\t\[ *[0-9]*\] //p' | sort)"
    expected="$(echo "$names" | sed 's/=.*//' | sort)"
    ;;
esac
if [ "$actual" != "$expected" ]; then
  echo "export table differs from $3"
  diff <(echo "$expected") <(echo "$actual") || true
  echo "0 passed, 1 failed"
  exit 1
fi
echo "exports: $(echo "$actual" | wc -l) names as in $(basename "$3")"
echo "1 passed, 0 failed"
