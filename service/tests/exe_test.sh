#!/usr/bin/env bash
# The real program in the foreground: its version over GET and POST, the exact envelope, the
# stop control, and the run without arguments.
# Usage: exe_test.sh native|wine PATH-TO-TARNWICK FILE-VERSION
set -uo pipefail
mode="$1"
exe="$2"
source "$(dirname "${BASH_SOURCE[0]}")/exe_common.sh"

# Sends raw request bytes and prints the raw answer (up to N bytes, or until close).
raw() {  # raw PORT REQUEST BYTES
  exec 3<>"/dev/tcp/127.0.0.1/$1" || return 1
  printf '%b' "$2" >&3
  timeout 10 head -c "$3" <&3
  exec 3<&-
}

# The program runs from a copy of its folder without the optional devtool library.
copy_program
rm -f "$work/bin/devtool.dll" "$work/bin/libdevtool.so"
cd "$work"
export TARNWICK_MESSAGEBOX=stderr
# With the simulated devices, as the main job runs it.
TARNWICK_SIM=1 "${run[@]}" "$exe" console >"$work/out.txt" 2>"$work/err.txt" &
pid=$!
port=""
for _ in $(seq 1 300); do
  port="$(sed -n 's|^Tarnwick listening on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/out.txt")"
  [ -n "$port" ] && break
  sleep 0.1
done
check "listening on a candidate port" "yes" "$(case "$port" in 12321|61234|23456) echo yes;; *) echo no;; esac)"
[ -n "$port" ] || { cat "$work/err.txt"; echo "0 passed, 1 failed"; exit 1; }

version="$3"
body="{\"Version\":\"$version\"}"
envelope="HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\nContent-Length: ${#body}\nAccess-Control-Allow-Origin: *\n\n$body\n"
expected="$(printf '%b' "$envelope")"
size="$(printf '%b' "$envelope" | wc -c)"
check "GET version envelope" "$expected" "$(raw "$port" 'GET /Local/GetVersion HTTP/1.1\r\nHost: x\r\n\r\n' "$size")"
check "POST version envelope" "$expected" \
  "$(raw "$port" 'POST /Local/GetVersion HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\na=1' "$size")"
notfound="$(printf '%b' 'HTTP/1.1 200 OK\r\nContent-Type: text/plain;charset=utf-8\nCache-Control: no-cache\nContent-Length: 16\nAccess-Control-Allow-Origin: *\n\n{"return":false}\n')"
check "lower-case path not found" "$notfound" "$(raw "$port" 'GET /local/getversion HTTP/1.1\r\nHost: x\r\n\r\n' $((${#notfound} + 1)))"

# The simulated reader's sample card, through the reader library the program loads.
card="$(curl -s -m 20 "http://127.0.0.1:$port/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0")"
check "sample card read" "1" "$(printf '%s' "$card" | grep -c '"name":"林小满".*"return":"144"}$')"
photo="$(curl -s -m 20 "http://127.0.0.1:$port/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=1")"
check "sample card photo" "1" "$(printf '%s' "$photo" | grep -c '^{"result":"data:image/bmp;base64,Qk')"

# The stop control (Ctrl+C) ends the run with exit code 0.
kill -INT "$pid"
status=""
for _ in $(seq 1 100); do
  if ! kill -0 "$pid" 2>/dev/null; then wait "$pid"; status=$?; break; fi
  sleep 0.1
done
check "stopped by Ctrl+C with code 0" "0" "$status"
pid=""
log="$(ls "$work"/Log/*.txt 2>/dev/null | head -1)"
check "log file named by the start date" "$work/Log/$(date +%Y-%m-%d).txt" "$log"
check "Log/Photo exists" "yes" "$([ -d "$work/Log/Photo" ] && echo yes || echo no)"
check "log has the start-up trace" "1" "$(grep -c "WebServer Port:$port" "$log" 2>/dev/null)"
if [ "$mode" = wine ]; then
  # (On Linux the build tree's run path still leads the loader to libdevtool.so.)
  check "log has the devtool line" "1" "$(LC_ALL=C grep -c 'ERROR .*devtool.dll' "$log" 2>/dev/null)"
fi

if [ "$mode" = wine ]; then
  # Without arguments the program wants the service manager; from a console that fails.
  err="$("${run[@]}" "$exe" 2>&1 >/dev/null)"
  rc=$?
  check "no-argument run from a console exits 0" "0" "$rc"
  check "dispatcher failure message" "Tarnwick服务打开失败!" "$(printf '%s' "$err" | tr -d '\r' | head -1)"
  check "no listener after a failed dispatcher start" "" "$(raw 12321 'GET /test HTTP/1.1\r\n\r\n' 10 2>/dev/null)"
else
  # Command words without a service manager say so and exit 0; case does not matter.
  if [ ! -d /run/systemd/system ]; then
    err="$("$exe" INSTALL 2>&1 >/dev/null)"
    check "install without systemd exits 0" "0" "$?"
    check "install without systemd says so" "1" "$(printf '%s' "$err" | grep -c 'systemd is not running')"
    check "install failure box" "1" "$(printf '%s' "$err" | grep -c '^OpenSCManager failed 1115$')"
  fi
fi

echo "exe_test ($mode): $passes passed, $fails failed"
[ "$fails" -eq 0 ]
