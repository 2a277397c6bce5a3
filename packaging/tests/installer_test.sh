#!/usr/bin/env bash
# The Windows installer under Wine, in a fresh prefix of its own: a silent install puts every
# staged file in place, registers and starts the service (which answers from Linux) and the
# modules that register themselves; an upgrade keeps the service's settings; upgrade and uninstall
# end the capture program the service started before they replace or remove its files; the
# silent uninstall removes the service and the files but keeps the logs and key data. Then without
# the stand-ins: the install fails cleanly while the vendor libraries are missing, leaves the
# vendor's files alone once they are there, and the uninstall with /REMOVEDATA takes the data too.
# The origin list and listen-on-this-PC options write the service's settings and take effect.
# Needs a host that runs 32-bit programs (the installer is one).
# Usage: installer_test.sh SETUP.EXE STAGE-FOLDER VERSION
set -uo pipefail
setup="$(realpath "$1")"
stage="$(realpath "$2")"
version="$3"

mode=wine
exe=/dev/null
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../../service/tests/exe_common.sh"
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k >/dev/null 2>&1; cleanup' EXIT

c="$WINEPREFIX/drive_c"
x86="$c/Program Files (x86)/Tarnwick"
x64="$c/Program Files/Tarnwick"
# Where each staged file of a build and component lands: "PATH<TAB>STAGED-FILE" lines.
targets() {  # targets ARCH COMPONENT
  local dir="$stage/$1/$2" base system
  if [ "$1" = x86 ]; then base="$x86" system="$c/windows/syswow64"; else base="$x64" system="$c/windows/system32"; fi
  [ -d "$dir" ] || return 0
  (cd "$dir" && find . -type f | sed 's|^\./||') | while read -r rel; do
    case "$rel" in
      system/*) printf '%s\t%s\n' "$system/${rel#system/}" "$dir/$rel" ;;
      *) printf '%s\t%s\n' "$base/$rel" "$dir/$rel" ;;
    esac
  done
}
# The files of the components named that are missing or differ from their staged copy.
not_installed() {  # not_installed ARCH:COMPONENT...
  local wanted
  for wanted in "$@"; do
    targets "${wanted%%:*}" "${wanted##*:}" | while IFS=$'\t' read -r path staged; do
      cmp -s "$path" "$staged" || echo "${path#"$c"/}"
    done
  done
}
# The files of the components named that are still there.
left() {
  local wanted
  for wanted in "$@"; do
    targets "${wanted%%:*}" "${wanted##*:}" | while IFS=$'\t' read -r path _; do
      [ -e "$path" ] && echo "${path#"$c"/}"
    done
  done
}
reg_value() {  # reg_value KEY NAME [/reg:64]
  wine reg query "$1" /v "$2" ${3:-} 2>/dev/null | tr -d '\r' | sed -n "s/^ *$2 *REG_[A-Z_]* *//p"
}
reg_key() { wine reg query "$1" ${2:-} >/dev/null 2>&1 && echo present || echo absent; }
# The service's answer to PATH (/Local/GetVersion) on the first of its ports that answers, once
# it answers at all.
answer() {  # answer [PATH]
  local path="${1:-/Local/GetVersion}" port a
  for _ in $(seq 1 50); do
    for port in 12321 61234 23456; do
      if ! a="$(curl -s -m 2 "http://127.0.0.1:$port/Local/GetVersion")" || [ -z "$a" ]; then continue; fi
      [ "$path" = /Local/GetVersion ] || a="$(curl -s -m 30 "http://127.0.0.1:$port$path")"
      echo "$a"
      return
    done
    sleep 0.2
  done
}
# This prefix's processes whose command line matches PATTERN (other tests' prefixes have theirs).
prefix_processes() {  # prefix_processes PATTERN
  local pid
  for pid in $(pgrep -f "$1"); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" && echo "$pid"
  done
}
# The uninstaller copies itself to a temporary folder, starts the copy and returns at once.
copy_running() { [ -n "$(prefix_processes 'nsu[0-9A-Za-z]*\.tmp.Un\.exe')" ]; }
# How many capture programs run, given up to 5 s to come to EXPECTED (0: those being ended go).
capture_programs() {  # capture_programs [EXPECTED]
  local n
  for _ in $(seq 1 25); do
    n="$(prefix_processes 'PemrikProcessor\.exe' | wc -l)"
    [ "$n" = "${1:-0}" ] && break
    sleep 0.2
  done
  echo "$n"
}
# Has the service start the capture program. A cold start in a fresh prefix may outlast the
# service's wait for it to listen; the next request then finds it running.
open_capture_program() {
  local a
  for _ in 1 2 3; do
    a="$(answer /Pemrik_Api/OpenDev)"
    case "$a" in '{"return":0}' | '{"return":1}') echo connected; return ;; esac
  done
  echo "$a"
}
uninstall() {
  wine "$x86/Uninstall.exe" /S "$@"
  for _ in $(seq 1 25); do  # until the copy shows, unless it is done already
    copy_running || [ ! -e "$x86/Uninstall.exe" ] && break
    sleep 0.2
  done
  for _ in $(seq 1 300); do
    copy_running || break
    sleep 0.2
  done
}
service_key='HKLM\SYSTEM\CurrentControlSet\Services\Tarnwick'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tarnwick'
provider_key='HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Morvel Cryptographic Service Provider'
registered=()
[ -f "$stage/x64/program/MVCSP.dll" ] && registered+=(provider)

# The version the installer carries in its own version resource (VS_FIXEDFILEINFO).
check "installer's file version" "$version" "$(python3 - "$setup" <<'EOF'
import struct, sys
data = open(sys.argv[1], 'rb').read()
at = data.find(struct.pack('<I', 0xFEEF04BD))
ms, ls = struct.unpack_from('<II', data, at + 8)
print(f"{ms >> 16}.{ms & 0xffff}.{ls >> 16}.{ls & 0xffff}")
EOF
)"

# A fresh prefix, its set-up finished (the server ends with it); then a persistent server, which
# keeps the service alive between programs, and Wine's own background processes started with no
# handles of this test's.
# The capture program's hidden window, made without an X display, needs Wine's null driver,
# chosen before Wine's desktop process starts.
wineboot --init </dev/null >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11,null /f </dev/null >/dev/null 2>&1
wineserver -w
wineserver -p >/dev/null 2>&1
wine cmd /c exit </dev/null >/dev/null 2>&1

wine "$setup" /S </dev/null
check "install exit code" 0 "$?"
check "every file installed" "" "$(not_installed x86:program x86:standins x64:program x64:standins)"
check "uninstaller" yes "$([ -f "$x86/Uninstall.exe" ] && echo yes)"
check "service registered, quoted" "\"C:\\Program Files (x86)\\Tarnwick\\Tarnwick.exe\"" \
  "$(reg_value "$service_key" ImagePath)"
check "service answers from Linux" "{\"Version\":\"$version\"}" "$(answer)"
check "version in Programs and Features" "$version" "$(reg_value "$uninstall_key" DisplayVersion)"
if [[ " ${registered[*]} " == *" provider "* ]]; then
  check "provider registered" "C:\\Program Files\\Tarnwick\\MVCSP.dll" "$(reg_value "$provider_key" "Image Path" /reg:64)"
fi

# A page has the service start the capture program (simulated tablet, from the service's own
# environment); it holds its files open. Its file is dated 2001 to see it replaced.
wine reg add "$service_key" /v Environment /t REG_MULTI_SZ /d 'TARNWICK_SIM=1\0TARNWICK_MESSAGEBOX=stderr' /f >/dev/null 2>&1
TARNWICK_MESSAGEBOX=stderr wine "$x86/Tarnwick.exe" stop </dev/null >/dev/null 2>&1
TARNWICK_MESSAGEBOX=stderr wine "$x86/Tarnwick.exe" start </dev/null >/dev/null 2>&1
check "the service starts the capture program" connected "$(open_capture_program)"
check "capture program runs" 1 "$(capture_programs 1)"
touch -d 2001-01-01 "$x86/PemrikProcessor.exe"

# An upgrade over it ends the capture program, keeps the service's settings and leaves it running.
wine reg add "$service_key\\Parameters" /v ListenAddress /d 127.0.0.1 /f >/dev/null 2>&1
wine "$setup" /S </dev/null
check "upgrade exit code" 0 "$?"
check "upgrade ends the capture program" 0 "$(capture_programs)"
check "upgrade replaces the capture program" new "$([ "$(date -r "$x86/PemrikProcessor.exe" +%Y)" = 2001 ] && echo old || echo new)"
check "upgrade keeps the settings" 127.0.0.1 "$(reg_value "$service_key\\Parameters" ListenAddress)"
check "service answers after the upgrade" "{\"Version\":\"$version\"}" "$(answer)"
check "the new capture program starts" connected "$(open_capture_program)"

# The pages allowed and listening on this PC only, chosen on the command line: written to the
# service's Parameters, which it reads when the installer starts it again. A page from another
# site is refused; an entry that is not an origin stops the installer before anything changes.
from_origin() {  # from_origin ORIGIN: the service's answer to /test for a page of ORIGIN
  local port
  for port in 12321 61234 23456; do
    curl -s -m 5 -H "Origin: $1" "http://127.0.0.1:$port/test" && return
  done
}
wine "$setup" /S '/ORIGINS=https://a.example  http://localhost:8080' /LOCALONLY </dev/null
check "install with origins, exit code" 0 "$?"
check "origins written as a list" 'https://a.example\0http://localhost:8080' "$(reg_value "$service_key\\Parameters" AllowedOrigins)"
check "listen on this PC only" 127.0.0.1 "$(reg_value "$service_key\\Parameters" ListenAddress)"
check "an allowed origin" '{"return":0}' "$(from_origin https://a.example)"
check "a refused origin" '{"return":false}' "$(from_origin https://evil.example.net)"
wine "$setup" /S '/ORIGINS=https://a.example/path' </dev/null
check "an origin with a path is refused" 2 "$?"
check "the refused list changes nothing" 'https://a.example\0http://localhost:8080' "$(reg_value "$service_key\\Parameters" AllowedOrigins)"
wine "$setup" /S /LOCALONLY=0 '/ORIGINS=' </dev/null
check "options undone" "0 - -" "$? $(reg_value "$service_key\\Parameters" AllowedOrigins || true)- $(reg_value "$service_key\\Parameters" ListenAddress)-"
check "every origin again" '{"return":0}' "$(from_origin https://evil.example.net)"

# Data the service and the key library leave: kept unless asked for.
log="$(find "$c/windows" -path '*/Log/*.txt' | head -1)"
check "the service's log" yes "$([ -n "$log" ] && echo yes)"
mkdir -p "$c/ProgramData/Tarnwick/UsbKey" && echo key >"$c/ProgramData/Tarnwick/UsbKey/7301000001.key"
# The tablet library's log, in the application-data folder of the user who signed (this one).
appdata="$(winepath -u "$(wine cmd /c echo '%APPDATA%' </dev/null 2>/dev/null | tr -d '\r')" 2>/dev/null)"
if [ -d "$appdata" ] && [[ "$appdata" == "$WINEPREFIX"/* ]]; then
  tablet_log="${appdata%/}/PMTabletdll.log"
  echo log >"$tablet_log"
else
  tablet_log="$work/no-application-data-folder"
fi
uninstall
check "uninstall ends the capture program" 0 "$(capture_programs)"
check "uninstall removes the service" absent "$(reg_key "$service_key")"
check "no listener after uninstall" "" "$(curl -s -m 2 http://127.0.0.1:12321/test)"
check "uninstall removes the files" "" "$(left x86:program x86:standins x64:program x64:standins)"
check "uninstall removes the folders" "no no" \
  "$([ -e "$x86" ] && echo yes || echo no) $([ -e "$x64" ] && echo yes || echo no)"
check "uninstall removes its entry" absent "$(reg_key "$uninstall_key")"
if [[ " ${registered[*]} " == *" provider "* ]]; then
  check "uninstall unregisters the provider" absent "$(reg_key "$provider_key" /reg:64)"
fi
check "uninstall keeps the log" yes "$([ -f "$log" ] && echo yes)"
check "uninstall keeps the key data" yes "$([ -f "$c/ProgramData/Tarnwick/UsbKey/7301000001.key" ] && echo yes)"
check "uninstall keeps the tablet library's log" yes "$([ -f "$tablet_log" ] && echo yes)"

# Without the stand-ins: the service cannot run until the vendor libraries are in place.
wine "$setup" /S /NOSTANDINS </dev/null
check "install without stand-ins or vendor libraries fails" 2 "$?"
check "no service half registered" absent "$(reg_key "$service_key")"
check "no stand-in installed" "" "$(left x86:standins x64:standins)"
# The vendor's libraries (here: copies of the stand-ins, dated 2001) are left as they are.
targets x86 standins | while IFS=$'\t' read -r path staged; do
  cp "$staged" "$path" && touch -d 2001-01-01 "$path"
done
wine "$setup" /S /NOSTANDINS </dev/null
check "install beside the vendor libraries" 0 "$?"
check "service answers with the vendor libraries" "{\"Version\":\"$version\"}" "$(answer)"
vendor_files() { targets x86 standins | while IFS=$'\t' read -r path _; do date -r "$path" +%Y 2>/dev/null; done | sort -u; }
check "vendor libraries untouched" 2001 "$(vendor_files)"
uninstall /REMOVEDATA
check "uninstall leaves the vendor libraries" 2001 "$(vendor_files)"
check "uninstall removes its own files" "" "$(left x86:program x64:program)"
check "uninstall with /REMOVEDATA removes the log" no "$([ -e "$log" ] && echo yes || echo no)"
check "uninstall with /REMOVEDATA removes the key data" no "$([ -e "$c/ProgramData/Tarnwick" ] && echo yes || echo no)"
check "uninstall with /REMOVEDATA removes the tablet library's log" no "$([ -e "$tablet_log" ] && echo yes || echo no)"

echo "installer_test: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
