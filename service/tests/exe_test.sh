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
start TARNWICK_SIM=1
check "listening on a candidate port" "yes" "$(case "$port" in 12321|61234|23456) echo yes;; *) echo no;; esac)"
check "listening line names every interface" "1" "$(grep -c '^Tarnwick listening on http://127.0.0.1:[0-9]*/ (0.0.0.0: all IPv4 interfaces)' "$work/out.txt")"
[ -n "$port" ] || { echo "0 passed, 1 failed"; exit 1; }

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

# The simulated card terminal, through the card library and the transfer library beside the program.
jrs="http://127.0.0.1:$port/Jrs_Api"
check "card terminal open" '{"return":0}' "$(curl -s -m 20 "$jrs/JrsCardCommOpen?CardPort=70000")"
check "card fingerprint read" '{"return":0}' "$(curl -s -m 20 "$jrs/JrsCardCommRead?StructType=4&Index=0&Count=1")"
fpr="$(curl -s -m 20 "$jrs/JrsCardGetFprImage")"
check "fingerprint picture answer" "42007 1" "${#fpr} $(printf '%s' "$fpr" | grep -c '^{"result":"data:image/bmp;base64,Qk')"
check "Fpr.bmp written" "31478" "$(stat -c %s "$work/Log/Fpr.bmp" 2>/dev/null)"

# The stop control (Ctrl+C) ends the run with exit code 0.
stop INT
check "stopped by Ctrl+C with code 0" "0" "$status"
log="$(ls "$work"/Log/*.txt 2>/dev/null | head -1)"
check "log file named by the start date" "$work/Log/$(date +%Y-%m-%d).txt" "$log"
check "Log/Photo exists" "yes" "$([ -d "$work/Log/Photo" ] && echo yes || echo no)"
check "log has the start-up trace" "1" "$(grep -c "WebServer Port:$port" "$log" 2>/dev/null)"
if [ "$mode" = wine ]; then
  # (On Linux the build tree's run path still leads the loader to libdevtool.so.)
  check "log has the devtool line" "1" "$(LC_ALL=C grep -c 'ERROR .*devtool.dll' "$log" 2>/dev/null)"
fi

# With the settings of our own: loopback only, and one allowed origin. Under Wine they are
# registry values of the service's Parameters key, on Linux environment variables.
params='HKLM\SYSTEM\CurrentControlSet\Services\Tarnwick\Parameters'
if [ "$mode" = wine ]; then
  "${run[@]}" reg add "$params" /v ListenAddress /t REG_SZ /d 127.0.0.1 /f >/dev/null 2>&1
  "${run[@]}" reg add "$params" /v AllowedOrigins /t REG_MULTI_SZ /d 'http://allowed.test:8080\0https://other.test' /f \
    >/dev/null 2>&1
  settings=()
else
  settings=(TARNWICK_LISTEN_ADDRESS=127.0.0.1 "TARNWICK_ALLOWED_ORIGINS=http://allowed.test:8080 https://other.test")
fi
start "${settings[@]}"
check "listening on loopback only" "127.0.0.1:$port" "$(ss -Hltn "sport = :$port" | awk '{print $4}' | head -1)"
check "listening line names loopback" "1" "$(grep -c "^Tarnwick listening on http://127.0.0.1:$port/ (127.0.0.1 only)" "$work/out.txt")"
ask() {  # ask ORIGIN HOST: the whole answer of a GET /test
  raw "$port" "GET /test HTTP/1.1\r\nHost: $2\r\nOrigin: $1\r\nConnection: close\r\n\r\n" 400
}
check "allowed origin gets its grant" "1" "$(ask http://allowed.test:8080 127.0.0.1 | grep -c 'Access-Control-Allow-Origin: \*')"
other="$(ask http://evil.test 127.0.0.1)"
check "other origin gets no grant" "0" "$(printf '%s' "$other" | grep -c 'Access-Control-Allow')"
check "other origin gets the not-found answer" '{"return":false}' "$(printf '%s' "$other" | tail -1)"
check "rebound host name is refused" '{"return":false}' "$(ask http://allowed.test:8080 evil.test | tail -1)"
browse() {  # browse SEC-FETCH-SITE: the body of a GET /test a browser makes without Origin
  raw "$port" "GET /test HTTP/1.1\r\nHost: 127.0.0.1\r\nSec-Fetch-Site: $1\r\nConnection: close\r\n\r\n" 400 | tail -1
}
check "another site's blind GET is refused" '{"return":false}' "$(browse cross-site)"
check "the user's own navigation is served" '{"return":0}' "$(browse none)"
stop INT

# A listen address this machine does not have: the run ends at once, not with 0, and says why
# on the console and in the log.
if [ "$mode" = wine ]; then
  "${run[@]}" reg add "$params" /v ListenAddress /t REG_SZ /d 192.0.2.123 /f >/dev/null 2>&1
  settings=()
else
  settings=(TARNWICK_LISTEN_ADDRESS=192.0.2.123)
fi
env "${settings[@]}" timeout 120 "${run[@]}" "$exe" console >"$work/out.txt" 2>"$work/err.txt"
check "unusable listen address ends the run with 2" "2" "$?"
check "unusable listen address on the console" "1" \
  "$(tr -d '\r' <"$work/err.txt" | grep -c '^Tarnwick: Cannot listen on 192.0.2.123 (ListenAddress): ')"
check "unusable listen address in the log" "1" "$(cat "$work"/Log/*.txt | grep -c 'ERROR .*Cannot listen on 192.0.2.123')"
check "no listening line for an unusable address" "0" "$(grep -c 'listening on' "$work/out.txt")"
if [ "$mode" = wine ]; then "${run[@]}" reg delete "$params" /f >/dev/null 2>&1; fi

# The capture program of a console run (under Wine: started as the console's own user): it
# listens on loopback only, ends with the service, and never holds the service's port.
listeners() { ss -Hltn "sport = :$1" | awk '{print $4}' | sort | tr '\n' ' '; }
capture_programs() { pgrep -f "$(basename "$work").bin.PemrikProcessor" | tr '\n' ' '; }
# The capture programs once the service has had a moment to end them.
capture_programs_after_stop() {
  for _ in $(seq 1 50); do [ -z "$(capture_programs)" ] && break; sleep 0.1; done
  capture_programs
}
open_dev() { curl -s -m 30 "http://127.0.0.1:$port/Pemrik_Api/OpenDev"; }
start TARNWICK_SIM=1
first="$port"
check "OpenDev in a console run" '{"return":0}' "$(open_dev)"
check "capture program on loopback only" "127.0.0.1:45654 " "$(listeners 45654)"
stop INT
check "Ctrl+C ends the capture program" "" "$(capture_programs_after_stop)"
# Wine turns SIGINT into Ctrl+C, but SIGTERM ends a Windows program at once (as TerminateProcess
# would): the stop signal there is Ctrl+C again.
term=TERM
if [ "$mode" = wine ]; then term=INT; fi
start TARNWICK_SIM=1
check "OpenDev before SIG$term" '{"return":0}' "$(open_dev)"
stop "$term"
check "SIG$term ends the capture program" "" "$(capture_programs_after_stop)"
# Killed, the service can end nothing: its capture program runs on, but holds none of the
# service's sockets. The next run gets the same port, and ends the program the killed run
# recorded before it starts its own.
start TARNWICK_SIM=1
check "OpenDev before SIGKILL" '{"return":0}' "$(open_dev)"
stop KILL
orphan="$(capture_programs)"
check "the capture program outlived the killed service" "1" "$(wc -w <<<"$orphan" | tr -d ' ')"
check "no one holds the service's port" "" "$(listeners "$first")"
start TARNWICK_SIM=1
check "port after a killed run" "$first" "$port"
check "OpenDev replaces the killed run's program" '{"return":0}' "$(open_dev)"
now="$(capture_programs)"
check "one capture program, a new one" "1 yes" "$(wc -w <<<"$now" | tr -d ' ') $([ "$now" != "$orphan" ] && echo yes)"
stop "$term"
check "no capture program left" "" "$(capture_programs_after_stop)"

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
