#!/usr/bin/env bash
# Checks that a shipped module carries the compiler's and linker's protections.
#   ELF: position independent, full RELRO with immediate binding, stack protector, fortified calls.
#   PE:  relocatable (ASLR, high entropy on x86-64), DEP, stack protector, fortified calls.
# A module whose every copy goes to a buffer of a size known only at run time has nothing the
# compiler can fortify; its target says so, and then only the other protections are checked.
# Usage: check_hardening.sh OBJDUMP FILE [nothing-to-fortify]
set -euo pipefail
# Tools speak English whatever the locale under test.
export LC_ALL=C
objdump="$1"
file="$2"
name="$(basename "$file")"
passed=0
failed=0
check() {
  if [ "$2" = yes ]; then
    passed=$((passed + 1))
  else
    echo "$name: $1 missing"
    failed=$((failed + 1))
  fi
}
has() { grep -Eq "$1" <<<"$2" && echo yes || echo no; }

headers="$("$objdump" -p "$file")"
# Symbols of the file itself and those it imports; protected code calls these.
symbols="$("$objdump" -t "$file" 2>/dev/null; "$objdump" -T "$file" 2>/dev/null || true)"
case "$(sed -n 's/.*file format //p' <<<"$("$objdump" -f "$file")" | head -n1)" in
  elf*)
    check "position independence (ELF type DYN)" "$(has 'DYN' "$("$objdump" -f "$file")")"
    check "RELRO" "$(has '^ *RELRO ' "$headers")"
    check "immediate binding (BIND_NOW)" "$(has '\(FLAGS(_1)?\) .*NOW' "$(readelf -d "$file")")"
    ;;
  pei-i386)
    check "ASLR (DYNAMIC_BASE)" "$(has 'DYNAMIC_BASE' "$headers")"
    check "relocations for ASLR" "$(has '^ *[0-9]+ \.reloc ' "$("$objdump" -h "$file")")"
    check "DEP (NX_COMPAT)" "$(has 'NX_COMPAT' "$headers")"
    ;;
  pei-x86-64)
    check "ASLR (DYNAMIC_BASE)" "$(has 'DYNAMIC_BASE' "$headers")"
    check "high-entropy ASLR (HIGH_ENTROPY_VA)" "$(has 'HIGH_ENTROPY_VA' "$headers")"
    check "relocations for ASLR" "$(has '^ *[0-9]+ \.reloc ' "$("$objdump" -h "$file")")"
    check "DEP (NX_COMPAT)" "$(has 'NX_COMPAT' "$headers")"
    ;;
  *) echo "$name: not an ELF or PE file"; exit 2 ;;
esac
check "stack protector (__stack_chk_fail)" "$(has '__stack_chk_fail' "$symbols")"
if [ "${3:-}" != nothing-to-fortify ]; then
  check "fortified calls (__*_chk)" "$(has '__[a-z0-9_]+_chk\b' "$(grep -v '__stack_chk' <<<"$symbols")")"
fi
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
