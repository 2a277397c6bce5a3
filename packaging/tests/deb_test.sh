#!/usr/bin/env bash
# The Debian package in a scratch root: dpkg installs it there, maintainer scripts included (told
# the root by DPKG_ROOT); its files, user, enabled unit and environment file; the unit and the
# udev rules checked by systemd and udev as if installed on this system; the installed service
# answering with simulated devices, the packaged capture program among them; removal keeping the
# data and masking the unit, purge removing them. (The service on a running systemd:
# deb_systemd_test.sh.)
# Usage: deb_test.sh PACKAGE.deb VERSION   (as root: dpkg, mount namespaces)
set -uo pipefail
deb="$(realpath "$1")"
version="$2"
if [ "$(id -u)" != 0 ]; then
  echo "deb_test: needs root (dpkg --root, mount namespaces); skipped"
  exit 77
fi
mode=native
exe=/dev/null
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../../service/tests/exe_common.sh"

root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
pkg() { dpkg --root="$root" --force-script-chrootless --force-depends --log=/dev/null "$@" >"$work/dpkg.txt" 2>&1; }
status() { dpkg-query --root="$root" -W -f='${Status} ${Version}' tarnwick 2>/dev/null; }
present() { [ -e "$root/$1" ] && echo yes || echo no; }
# The capture programs running from the scratch root's copy (by their executable: not this
# machine's other ones).
capture_programs() {
  local pid packaged
  packaged="$(realpath -m "$root/usr/lib/tarnwick/PemrikProcessor")"
  for pid in $(pgrep PemrikProcessor); do
    [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$packaged" ] && echo "$pid"
  done
}
# This system's /usr/lib with the package's on top, and its users: for the checks that read the
# installed files where the system keeps them.
as_installed() {
  unshare -m bash -c "mount -t overlay overlay -o lowerdir='$root/usr/lib':/usr/lib /usr/lib &&
    mount --bind '$root/etc/passwd' /etc/passwd && mount --bind '$root/etc/group' /etc/group && $1" 2>&1
}

pkg -i "$deb" || cat "$work/dpkg.txt"
check "installed" "install ok installed $version" "$(status)"
lib=usr/lib/tarnwick
check "program" yes "$([ -x "$root/$lib/Tarnwick" ] && echo yes || echo no)"
check "environment file, a conffile" "/etc/default/tarnwick" \
  "$(dpkg-query --root="$root" -W -f='${Conffiles}' tarnwick | awk '{print $1}')"
check "settings offered, commented" "#TARNWICK_LISTEN_ADDRESS=127.0.0.1 #TARNWICK_ALLOWED_ORIGINS= #TARNWICK_SIM=1" \
  "$(grep -o '^#TARNWICK_[A-Z_]*=[0-9.1]*' "$root/etc/default/tarnwick" | tr '\n' ' ' | sed 's/ $//')"
check "demo page" yes "$(present usr/share/tarnwick/web/demo/index.html)"
check "client beside it" yes "$(present usr/share/tarnwick/web/client/tarnwick.js)"
check "unit enabled" /usr/lib/systemd/system/Tarnwick.service \
  "$(readlink "$root/etc/systemd/system/multi-user.target.wants/Tarnwick.service")"
check "user of its own" "tarnwick:/var/lib/tarnwick:/usr/sbin/nologin" \
  "$(awk -F: '$1 == "tarnwick" {print $1 ":" $6 ":" $7}' "$root/etc/passwd")"
unit="$root/usr/lib/systemd/system/Tarnwick.service"
check "unit runs the program as that user" "User=tarnwick ExecStart=/$lib/Tarnwick EnvironmentFile=-/etc/default/tarnwick" \
  "$(grep -E '^(User|ExecStart|EnvironmentFile)=' "$unit" | sort -r | tr '\n' ' ' | sed 's/ $//')"
missing=""
for elf in "$root/$lib"/*; do
  missing+="$(ldd "$elf" 2>&1 | grep 'not found')"
done
check "every library found beside the program" "" "$missing"
check "capture program and tablet library" "yes yes" \
  "$([ -x "$root/$lib/PemrikProcessor" ] && echo yes || echo no) $(present $lib/libPMTablet.so)"
# The libraries found above are this machine's: the package must name them for another one.
check "OpenCV in Depends" "libopencv-core libopencv-imgcodecs libopencv-imgproc" \
  "$(dpkg-deb -f "$deb" Depends | grep -o 'libopencv-[a-z]*' | sort -u | tr '\n' ' ' | sed 's/ $//')"

check "systemd-analyze verify" "" "$(as_installed 'systemd-analyze verify /usr/lib/systemd/system/Tarnwick.service')"
if udevadm verify --help >/dev/null 2>&1; then
  rules="$(as_installed 'udevadm verify /usr/lib/udev/rules.d/60-tarnwick.rules >/dev/null')"
else
  # Older udev has no "verify": a test run reads every rules file and reports what it rejects.
  rules="$(as_installed 'udevadm test --action=add /sys/class/mem/null' | grep '60-tarnwick.rules:')"
fi
check "udev rules" "" "$rules"
check "udev rules name the devices" "2796 0b57 735f" \
  "$(grep -o 'idVendor}=="[0-9a-f]*"' "$root/usr/lib/udev/rules.d/60-tarnwick.rules" | cut -d'"' -f2 | tr '\n' ' ' | sed 's/ $//')"

# The installed program, from its own folder, with every device family simulated.
mkdir -p "$work/run" && cd "$work/run" || exit 1
exe="$root/$lib/Tarnwick"
if start TARNWICK_SIM=1 TARNWICK_USBKEY_DIR="$work/keys"; then
  get() { curl -s -m 10 "http://127.0.0.1:$port$1"; }
  check "version" "{\"Version\":\"$version\"}" "$(get /Local/GetVersion)"
  check "ID card read" '"return":"144"' "$(get '/VnSdt_api/ReadBaseMsg?Port=1001&ReadType=0' | grep -o '"return":"144"')"
  check "card terminal" '{"return":0}' "$(get '/Jrs_Api/JrsCardCommOpen?CardPort=0&DevicePort=0')"
  check "USB key" '{"SerialNum":7301000001}' "$(get /VnUsbKey_Api/GetSerialNum)"
  check "signature pad: the packaged capture program starts" '{"return":0}' "$(get /Pemrik_Api/OpenDev)"
  check "capture program from the package" 1 "$(capture_programs | wc -l)"
  check "QuitPMProc" '{"return":0}' "$(get /Pemrik_Api/QuitPMProc)"
  for _ in $(seq 1 50); do
    [ -z "$(capture_programs)" ] && break
    sleep 0.1
  done
  check "QuitPMProc ends it" "" "$(capture_programs)"
  for left in $(capture_programs); do kill -KILL "$left"; done
  stop TERM
else
  check "installed program starts" "started" "not started: $(cat "$work/err.txt")"
fi
cd "$work" || exit 1

mkdir -p "$root/var/lib/tarnwick/Log" && echo log >"$root/var/lib/tarnwick/Log/2026-01-01.txt"
pkg -r tarnwick || cat "$work/dpkg.txt"
check "removed" "deinstall ok config-files $version" "$(status)"
check "removal takes the program" no "$(present $lib/Tarnwick)"
check "removal masks the unit" /dev/null "$(readlink "$root/etc/systemd/system/Tarnwick.service")"
check "removal keeps the settings" yes "$(present etc/default/tarnwick)"
check "removal keeps the log" yes "$(present var/lib/tarnwick/Log/2026-01-01.txt)"
pkg -P tarnwick || cat "$work/dpkg.txt"
check "purged" "" "$(status)"
check "purge takes the settings" no "$(present etc/default/tarnwick)"
check "purge takes the data" no "$(present var/lib/tarnwick)"
check "purge takes the unit's links and mask" "" "$(cd "$root" && find etc/systemd -name 'Tarnwick*' 2>/dev/null)"
check "nothing else left" "" "$(cd "$root" && find usr -type f 2>/dev/null)"

echo "deb_test: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
