#!/usr/bin/env bash
# The Windows installer's contents, read without running it (7-Zip unpacks NSIS installers): it
# carries exactly the staged files of both builds, byte for byte, each where it belongs, and each
# module is built for the machine of the folder it lands in (32-bit beside the service, 64-bit in
# the 64-bit program folder and the 64-bit system folder).
# Usage: installer_contents.sh SETUP.EXE STAGE-FOLDER OBJDUMP32 OBJDUMP64
set -uo pipefail
# Tools speak English whatever the locale under test.
export LC_ALL=C
setup="$(realpath "$1")"
stage="$(realpath "$2")"
objdump32="$3"
objdump64="$4"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

passes=0
fails=0
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    passes=$((passes + 1))
  else
    fails=$((fails + 1))
    printf 'FAIL %s\n--- expected\n%s\n--- actual\n%s\n' "$1" "$2" "$3"
  fi
}

if ! 7z x -y -o"$work/unpacked" "$setup" >"$work/7z.log" 2>&1; then
  cat "$work/7z.log"
  echo "0 passed, 1 failed"
  exit 1
fi

# Where 7-Zip puts a staged file: the installation folder is the archive's root, other folders
# keep their NSIS variable; system/ is the system folder of the file's build.
expected="$work/expected"
: >"$expected"
for arch in x86 x64; do
  for dir in "$stage/$arch"/*/; do
    [ -d "$dir" ] || continue
    (cd "$dir" && find . -type f | sed 's|^\./||') | while read -r rel; do
      case "$arch:$rel" in
        *:system/*) where="\$SYSDIR/${rel#system/}" ;;
        x86:*) where="$rel" ;;
        x64:*) where="\$PROGRAMFILES64/Tarnwick/$rel" ;;
      esac
      printf '%s\t%s\t%s\n' "$where" "$dir$rel" "$arch" >>"$expected"
    done
  done
done
sort -o "$expected" "$expected"

# NSIS's own plug-ins travel in $PLUGINSDIR, and the uninstaller is NSIS's: they are not staged.
actual="$(cd "$work/unpacked" && find . -type f | sed 's|^\./||' | grep -v '^\$PLUGINSDIR/' | sort)"
check "the uninstaller is carried" "yes" "$(grep -qx 'Uninstall.exe' <<<"$actual" && echo yes)"
actual="$(grep -vx 'Uninstall.exe' <<<"$actual")"
check "files carried" "$(cut -f1 "$expected")" "$actual"

differ=""
wrong_machine=""
while IFS=$'\t' read -r where staged arch; do
  cmp -s "$staged" "$work/unpacked/$where" || differ+="$where"$'\n'
  case "$where" in
    *.exe | *.dll)
      if [ "$arch" = x86 ]; then tool=$objdump32 want=pei-i386; else tool=$objdump64 want=pei-x86-64; fi
      format="$("$tool" -f "$work/unpacked/$where" 2>/dev/null | sed -n 's/.*file format //p' | head -n1)"
      [ "$format" = "$want" ] || wrong_machine+="$where: $format"$'\n'
      ;;
  esac
done <"$expected"
check "files as staged" "" "$differ"
check "modules for their folder's machine" "" "$wrong_machine"
check "the service is carried" "yes" "$(grep -qx 'Tarnwick.exe' <<<"$actual" && echo yes)"
check "the provider is carried" "yes" "$(grep -qx '\$PROGRAMFILES64/Tarnwick/MVCSP.dll' <<<"$actual" && echo yes)"

echo "installer_contents: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
