#!/usr/bin/env bash
# Checks that a Windows module is built for its build's machine: a PE32 i386 file in the win32
# build, a PE32+ x86-64 file in the win64 build.
# Usage: check_machine.sh OBJDUMP FILE win32|win64
set -euo pipefail
# Tools speak English whatever the locale under test.
export LC_ALL=C
case "$3" in
  win32) want=pei-i386 ;;
  win64) want=pei-x86-64 ;;
  *) echo "unknown build $3"; exit 2 ;;
esac
format="$("$1" -f "$2" | sed -n 's/.*file format //p' | head -n1)"
if [ "$format" != "$want" ]; then
  echo "$(basename "$2"): $format, not $want"
  echo "0 passed, 1 failed"
  exit 1
fi
echo "$(basename "$2"): $format"
echo "1 passed, 0 failed"
