#!/usr/bin/env bash
# The Windows program against Wine's real service control manager: install, start, a request
# from Linux, stop, uninstall, and the states in between.
# Usage: wine_scm_test.sh PATH-TO-TARNWICK.EXE FILE-VERSION
set -uo pipefail
version="$2"
# Installed from a folder with a blank in its name, as under "Program Files (x86)": the
# registered command line must be quoted for that.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/Tarnwick Bridge"
cp "$(dirname "$(realpath "$1")")"/*.exe "$(dirname "$(realpath "$1")")"/*.dll "$work/Tarnwick Bridge/"
exe="$work/Tarnwick Bridge/$(basename "$1")"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
wine_run="$here/../../cmake/wine-run.sh"
export WINEPREFIX="${WINEPREFIX:-$HOME/.local/share/tarnwick-wine}"
export TARNWICK_MESSAGEBOX=stderr
source "$here/checks.sh"
state() { "$wine_run" sc query Tarnwick 2>/dev/null | tr -d '\r' | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }
word() { "$wine_run" "$exe" "$@" 2>&1 | tr -d '\r'; }

# Wine ends service processes shortly after its last ordinary process; a persistent server
# keeps the service alive between the commands.
wineserver -p >/dev/null 2>&1 || true
# A leftover from an interrupted run would make "install" fail.
"$wine_run" "$exe" stop >/dev/null 2>&1
"$wine_run" "$exe" uninstall >/dev/null 2>&1

check "install prints nothing" "" "$(word install)"
check "installed and stopped" "STOPPED" "$(state)"
binary="$("$wine_run" reg query 'HKLM\SYSTEM\CurrentControlSet\Services\Tarnwick' /v ImagePath 2>/dev/null |
  tr -d '\r' | sed -n 's/.*ImagePath *REG_[A-Z_]* *//p')"
check "registered path is quoted" '"' "${binary:0:1}"
check "registered path ends quoted" 'Tarnwick Bridge\Tarnwick.exe"' "${binary: -29}"
check "second install fails" "CreateService failed 1073" "$(word Install)"
check "start prints nothing" "" "$(word START)"
answer=""
for _ in $(seq 1 100); do
  answer="$(curl -s -m 2 http://127.0.0.1:12321/Local/GetVersion)" && [ -n "$answer" ] && break
  sleep 0.2
done
check "request from Linux to the running service" "{\"Version\":\"$version\"}" "$answer"
check "running" "RUNNING" "$(state)"
check "start while running" "Cannot start the service because it is already running" "$(word start | head -1)"
check "stop" "Service stopped successfully" "$(word stop)"
check "stopped" "STOPPED" "$(state)"
check "no listener after stop" "" "$(curl -s -m 2 http://127.0.0.1:12321/test)"
check "stop when stopped" "Service is already stopped." "$(word stop)"
check "uninstall" "Service deleted successfully" "$(word uninstall)"
check "start after uninstall" "OpenService failed (1060)" "$(word start | head -1)"
check "stop after uninstall" "OpenService failed (1060)" "$(word stop | head -1)"

echo "wine_scm_test: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
