#!/usr/bin/env bash
# The whole Windows signature path: Tarnwick.exe installed and started under Wine's service
# control manager with simulation on; requests from Linux start PemrikProcessor.exe beside it,
# which loads PMTablet.dll with the simulated tablet; a signature is captured, confirmed and
# read; QuitPMProc ends the program. Then the program's life around the service's: the stop ends
# it; a service killed while its program runs leaves an orphan that holds none of the service's
# sockets, so the restarted service gets port 12321 back and replaces the orphan it recorded.
# Usage: wine_signature_test.sh PATH-TO-TARNWICK.EXE
set -uo pipefail
exe="$(realpath "$1")"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
wine_run="$here/../../cmake/wine-run.sh"
export TARNWICK_MESSAGEBOX=stderr
# The test ends its Wine session (the killed service stays RUNNING in Wine's manager otherwise),
# and ending a shared session would end the programs of the tests that run beside this one. So
# it runs in a copy of the prefix, with a server of its own.
session="$(mktemp -d)"
cp -a "${WINEPREFIX:-$HOME/.local/share/tarnwick-wine}" "$session/prefix"
export WINEPREFIX="$session/prefix"
trap 'wineserver -k >/dev/null 2>&1; rm -rf "$session"' EXIT
base=http://127.0.0.1:12321
source "$here/checks.sh"
get() { curl -s -m 30 "$base$1"; }
# The capture programs started from beside this service (not those of other prefixes' runs).
beside="$(dirname "$exe" | sed 's|/|.|g')"
capture_programs() { pgrep -fc "$beside.PemrikProcessor\.exe" || true; }
capture_programs_settle() {  # capture_programs once they have had a moment to end
  for _ in $(seq 1 50); do [ "$(capture_programs)" == 0 ] && break; sleep 0.2; done
  capture_programs
}
listening() {  # waits until the service answers on 12321
  for _ in $(seq 1 100); do
    [ -n "$(curl -s -m 2 "$base/test")" ] && return 0
    sleep 0.2
  done
  return 1
}
# Opaque pixels of the PNG in a GetSign answer (-1: no picture).
ink() {
  python3 -c '
import base64, json, struct, sys, zlib
try:
    png = base64.b64decode(json.loads(sys.stdin.read())["result"].split(",", 1)[1])
except Exception:
    print(-1); sys.exit()
pos, idat = 8, b""
while pos < len(png):
    n, kind = struct.unpack(">I4s", png[pos:pos + 8])
    if kind == b"IHDR": w, h = struct.unpack(">II", png[pos + 8:pos + 16])
    if kind == b"IDAT": idat += png[pos + 8:pos + 8 + n]
    pos += 12 + n
raw, stride, prev, i, opaque = zlib.decompress(idat), w * 4, bytearray(w * 4), 0, 0
for _ in range(h):
    f, line = raw[i], bytearray(raw[i + 1:i + 1 + stride]); i += 1 + stride
    for x in range(stride):
        a = line[x - 4] if x >= 4 else 0; b = prev[x]; c = prev[x - 4] if x >= 4 else 0; p = a + b - c
        line[x] = (line[x] + (0, a, b, (a + b) // 2, a if abs(p - a) <= min(abs(p - b), abs(p - c)) else b if abs(p - b) <= abs(p - c) else c)[f]) & 255
    opaque += sum(1 for x in range(3, stride, 4) if line[x]); prev = line
print(opaque)'
}

# Wine's own background processes started with no handles of this test's (they would hold
# its output open).
wineserver -p >/dev/null 2>&1 || true
"$wine_run" cmd /c exit </dev/null >/dev/null 2>&1
# A service an interrupted run left registered in the prefix copied would make "install" fail.
"$wine_run" "$exe" uninstall >/dev/null 2>&1

check "install" "" "$("$wine_run" "$exe" install 2>&1 | tr -d '\r')"
# The service's own environment, as Windows' service manager gives it to the service.
"$wine_run" reg add 'HKLM\System\CurrentControlSet\Services\Tarnwick' /v Environment /t REG_MULTI_SZ \
  /d 'TARNWICK_SIM=1\0TARNWICK_SIM_TABLET=sign,wait=2000,confirm\0TARNWICK_MESSAGEBOX=stderr' /f >/dev/null 2>&1
check "start" "" "$("$wine_run" "$exe" start 2>&1 | tr -d '\r')"
listening

check "OpenDev starts the capture program" '{"return":0}' "$(get /Pemrik_Api/OpenDev)"
check "one capture program runs" "1" "$(capture_programs)"
check "OpenDev again finds it" '{"return":1}' "$(get /Pemrik_Api/OpenDev)"
check "InitDev" '{"return":0}' "$(get /Pemrik_Api/InitDev)"
check "GetConfirm before the key" '{"return":-1}' "$(get /Pemrik_Api/GetConfirm)"
signed=-1
confirm=''
for _ in $(seq 1 120); do
  n="$(get /Pemrik_Api/GetSign | ink)"
  [ "$n" -gt "$signed" ] && signed="$n"
  confirm="$(get /Pemrik_Api/GetConfirm)"
  [ "$confirm" == '{"return":0}' ] && break
  sleep 0.25
done
check "GetConfirm after the key" '{"return":0}' "$confirm"
check "the signature has ink" "yes" "$([ "$signed" -gt 2000 ] && echo yes || echo "no ($signed pixels)")"
check "GetConfirm once only" '{"return":-1}' "$(get /Pemrik_Api/GetConfirm)"
check "QuitPMProc" '{"return":0}' "$(get /Pemrik_Api/QuitPMProc)"
check "ClearDev after QuitPMProc" '{"return":-1}' "$(get /Pemrik_Api/ClearDev)"
for _ in $(seq 1 100); do
  [ "$(capture_programs)" == 0 ] && break
  sleep 0.2
done
check "the capture program has ended" "0" "$(capture_programs)"

check "OpenDev after QuitPMProc" '{"return":0}' "$(get /Pemrik_Api/OpenDev)"
check "stop" "Service stopped successfully" "$("$wine_run" "$exe" stop 2>&1 | tr -d '\r')"
check "the stop ended the capture program" "0" "$(capture_programs_settle)"

# Killed, the service ends nothing: its capture program runs on, but must hold none of the
# service's sockets. Wine's service manager does not notice the kill (the service stays RUNNING
# there), so the next run is a console run in the service's working folder, where the killed
# run's record is: it gets 12321 and replaces the program that run started (as the service
# restarted by Windows' manager would).
check "start again" "" "$("$wine_run" "$exe" start 2>&1 | tr -d '\r')"
listening
check "OpenDev before the kill" '{"return":0}' "$(get /Pemrik_Api/OpenDev)"
"$wine_run" taskkill /F /IM Tarnwick.exe >/dev/null 2>&1
for _ in $(seq 1 50); do [ -z "$(ss -Hltn 'sport = :12321')" ] && break; sleep 0.2; done
check "the capture program outlived the killed service" "1" "$(capture_programs)"
check "no one holds 12321 after the kill" "" "$(ss -Hltn 'sport = :12321')"
# Wine's manager runs services in C:\windows (Windows' in C:\windows\system32).
record="$(ls "$WINEPREFIX"/drive_c/windows/Log/PemrikProcessor.run \
  "$WINEPREFIX"/drive_c/windows/system32/Log/PemrikProcessor.run 2>/dev/null | head -1)"
check "the killed run recorded its program" "yes" "$([ -n "$record" ] && echo yes)"
TARNWICK_SIM=1 TARNWICK_SIM_TABLET=sign bash -c 'cd "$1" && exec "$2" "$3" console' _ \
  "$(dirname "$(dirname "${record:-/x/x}")")" "$wine_run" "$exe" >/dev/null 2>&1 &
console=$!
check "the next run has 12321" "0" "$(listening; echo $?)"
orphan="$(pgrep -f "$beside.PemrikProcessor\.exe")"
check "OpenDev replaces the killed run's program" '{"return":0}' "$(get /Pemrik_Api/OpenDev)"
check "one capture program, a new one" "1 yes" \
  "$(capture_programs) $([ "$(pgrep -f "$beside.PemrikProcessor\.exe")" != "$orphan" ] && echo yes)"
kill -INT "$console"
wait "$console"
check "no capture program left" "0" "$(capture_programs_settle)"
check "uninstall" "Service deleted successfully" "$("$wine_run" "$exe" uninstall 2>&1 | tr -d '\r')"

echo "wine_signature_test: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
