#!/usr/bin/env bash
# The simulated USB key through the real program: its data survives a restart, and a program
# killed while it writes the key's file leaves the old certificate or the new one, never a mix.
# Usage: usbkey_exe_test.sh native|wine PATH-TO-TARNWICK
set -uo pipefail
mode="$1"
exe="$2"
source "$(dirname "${BASH_SOURCE[0]}")/exe_common.sh"
port=""

copy_program
mkdir -p "$work/run"
cd "$work/run"
export TARNWICK_MESSAGEBOX=stderr TARNWICK_SIM=1
keys="$work/keys"
if [ "$mode" = wine ]; then
  export TARNWICK_USBKEY_DIR="$("${run[@]}" winepath -w "$work" 2>/dev/null | tr -d '\r')\\keys"
else
  export TARNWICK_USBKEY_DIR="$keys"
fi
keyfile="$keys/7301000001.key"

post() {  # post ROUTE FORM
  curl -s -m 30 --data "$2" "http://127.0.0.1:$port/VnUsbKey_Api/$1"
}
certificate() {  # certificate LETTER: a text of 3000 of it
  head -c 3000 /dev/zero | tr '\0' "$1"
}

start || { echo "usbkey_exe_test ($mode): the program did not start"; exit 1; }
serial="$(curl -s -m 60 "http://127.0.0.1:$port/VnUsbKey_Api/GetSerialNum")"
check "a new key on first use" '{"SerialNum":7301000001}' "$serial"
check "one file for the key" "yes" "$([ -s "$keyfile" ] && echo yes || echo no)"
old="$(certificate O)"
check "write the old certificate" '{"return":0}' "$(post WriteCertificate "Certificate=$old&len=3000")"
check "write a certificate password" '{"return":0}' "$(post WriteCertPassword "CertPassword=pw&len=2")"
check "write a signature picture" '{"return":0}' "$(post WriteSignature "Signature=/9j/&len=4")"
signed="$(post DOSIGN "Content=hello&len=5&PassWord=12345678")"
stop INT

# A restarted program finds everything again, the key pair included.
start || { echo "usbkey_exe_test ($mode): the program did not restart"; exit 1; }
check "certificate after a restart" "{\"Certificate\":\"$old\"}" "$(post ReadCertificate "")"
check "certificate password after a restart" '{"CertPassword":"pw"}' "$(post ReadCertPassword "")"
check "signature picture after a restart" '{"result":"data:image/jpg;base64,/9j/"}' "$(post ReadSignature "")"
check "same key pair after a restart" "$signed" "$(post DOSIGN "Content=hello&len=5&PassWord=12345678")"
stop INT

# Killed halfway through writing the key's file: the old certificate stays.
start TARNWICK_USBKEY_WRITE_PAUSE_MS=20000 || { echo "usbkey_exe_test ($mode): no start"; exit 1; }
new="$(certificate N)"
post WriteCertificate "Certificate=$new&len=3000" >/dev/null &
writer=$!
for _ in $(seq 1 200); do [ -s "$keyfile.tmp" ] && break; sleep 0.05; done
check "the new version is being written" "yes" "$([ -s "$keyfile.tmp" ] && echo yes || echo no)"
stop KILL
wait "$writer" 2>/dev/null
check "the key file holds no half of the new certificate" "0" "$(grep -c NNN "$keyfile")"
start || { echo "usbkey_exe_test ($mode): no start after the kill"; exit 1; }
check "the old certificate after a kill mid-write" "{\"Certificate\":\"$old\"}" "$(post ReadCertificate "")"

# Killed right after a write was answered: the new certificate is there.
check "write the new certificate" '{"return":0}' "$(post WriteCertificate "Certificate=$new&len=3000")"
stop KILL
start || { echo "usbkey_exe_test ($mode): no start after the second kill"; exit 1; }
check "the new certificate after a kill" "{\"Certificate\":\"$new\"}" "$(post ReadCertificate "")"
check "no temporary file left" "no" "$([ -e "$keyfile.tmp" ] && echo yes || echo no)"
stop INT

echo "usbkey_exe_test ($mode): $passes passed, $fails failed"
[ "$fails" -eq 0 ]
