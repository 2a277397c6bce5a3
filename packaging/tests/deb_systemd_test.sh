#!/usr/bin/env bash
# The Debian package on a running systemd: a container (systemd-nspawn) booted from a copy-on-write
# copy of this system, with a network of its own, where dpkg installs, upgrades, removes and purges
# the package as on a real machine. The maintainer scripts' decisions (start at the first
# installation only; on an upgrade restart a running service only, leave a stopped or disabled
# one alone; policy-rc.d; stop on removal; purge), the settings file kept across upgrades, and
# the hardened unit running every device family, simulated, with the capture program it starts.
# Usage: deb_systemd_test.sh PACKAGE.deb VERSION   (as root, with systemd-nspawn)
set -uo pipefail
deb="$(realpath "$1")"
version="$2"
if [ "$(id -u)" != 0 ] || ! command -v systemd-nspawn >/dev/null; then
  echo "deb_systemd: needs root and systemd-nspawn (scripts/setup.sh); skipped"
  exit 77
fi
source "$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/../../service/tests/checks.sh"

work="$(mktemp -d)"
root="$work/root"
nspawn=""
cleanup() {
  if [ -n "$nspawn" ]; then
    kill -TERM "$nspawn" 2>/dev/null  # the container shuts down
    for _ in $(seq 1 150); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$nspawn" 2>/dev/null
    wait "$nspawn" 2>/dev/null
  fi
  if [ "$fails" -gt 0 ] && [ -f "$work/boot.txt" ]; then
    echo "--- the container's output (last lines):"
    tail -n 30 "$work/boot.txt"
  fi
  umount "$root" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# This system, its changes kept in $work: the container's services are this system's, started
# up to basic.target only.
mkdir -p "$work/upper" "$work/overlay-work" "$root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/overlay-work" "$root" || exit 1
cp "$deb" "$root/var/tmp/tarnwick.deb"
rm -f "$root/usr/sbin/policy-rc.d"
systemd-nspawn --quiet --directory="$root" --register=no --keep-unit --link-journal=no \
  --private-network --console=pipe --boot -- systemd.unit=basic.target </dev/null >"$work/boot.txt" 2>&1 &
nspawn=$!
# The container's systemd, once it runs (nspawn's own child becomes it).
leader=""
for _ in $(seq 1 300); do
  leader="$(pgrep -P "$nspawn" -x systemd | head -n1)"
  [ -n "$leader" ] && break
  sleep 0.1
done
# A command in the container, with its root, processes and network.
inside() {
  nsenter --target "$leader" --mount --uts --ipc --net --pid -- \
    env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C "$@"
}
state=offline
for _ in $(seq 1 300); do
  [ -n "$leader" ] && state="$(inside timeout 90 systemctl is-system-running --wait 2>&1)"
  [ "$state" = running ] || [ "$state" = degraded ] && break
  sleep 0.2
done
if [ "$state" != running ] && [ "$state" != degraded ]; then
  check "the container boots" running "$state"
  echo "deb_systemd: $passes passed, $fails failed"
  exit 1
fi

unit=Tarnwick.service
# Dependencies this system lacks cannot be fetched in the container: the package's own scripts
# are under test, not apt.
dpkg_i() { inside dpkg -i --force-depends /var/tmp/tarnwick.deb >"$work/dpkg.txt" 2>&1 || cat "$work/dpkg.txt"; }
enabled() { inside systemctl is-enabled "$unit" 2>/dev/null; }
active() { inside systemctl is-active "$unit" 2>/dev/null; }
main_pid() { inside systemctl show -P MainPID "$unit"; }
# The service's answer, once it listens (it may still be starting).
get() {  # get PATH [CURL-ARGUMENTS...]
  local path="$1" a=""
  shift
  for _ in $(seq 1 50); do
    a="$(inside curl -s -m 10 "$@" "http://127.0.0.1:12321$path")" && [ -n "$a" ] && break
    sleep 0.1
  done
  echo "$a"
}
settings() { inside sh -c "cat >>/etc/default/tarnwick"; }
# Restarts the service and waits until it listens (simulated devices take a while to set up).
restart() {
  inside systemctl restart "$unit"
  for _ in $(seq 1 300); do
    [ "$(inside curl -s -m 5 http://127.0.0.1:12321/test)" = '{"return":0}' ] && return
    sleep 0.1
  done
}
tarnwick_processes() { inside pgrep -u tarnwick -f "$1" | wc -l; }

# First installation: enabled and started, as its own user, without privileges.
dpkg_i
check "installed" "install ok installed $version" "$(inside dpkg-query -W -f='${Status} ${Version}' tarnwick)"
if [ "$fails" -gt 0 ]; then
  echo "deb_systemd: $passes passed, $fails failed"
  exit 1
fi
check "first installation enables" enabled "$(enabled)"
check "first installation starts" active "$(active)"
check "the service answers" "{\"Version\":\"$version\"}" "$(get /Local/GetVersion)"
pid="$(main_pid)"
check "runs as its own user" tarnwick "$(inside ps -o user= -p "$pid")"
check "no capabilities, no new privileges, a system-call filter" \
  "CapEff:0000000000000000 CapBnd:0000000000000000 NoNewPrivs:1 Seccomp:2" \
  "$(inside grep -E '^(CapEff|CapBnd|NoNewPrivs|Seccomp):' "/proc/$pid/status" | tr -d '\t' | tr '\n' ' ' | sed 's/ $//')"

# Every device family, simulated, under the hardened unit.
echo TARNWICK_SIM=1 | settings
restart
check "ID-card reader on HID" '{"cardNo":"12AB34CD56EF7890","return":144}' "$(get '/VnSdt_api/GetCardNo?Port=1001')"
check "card terminal as a disk" '{"return":0}' "$(get '/Jrs_Api/JrsCardCommOpen?CardPort=0&DevicePort=0')"
check "card terminal reads a card" '{"return":0}' "$(get '/Jrs_Api/JrsCardCommRead?StructType=2&Index=0&Count=0')"
check "USB key" '{"SerialNum":7301000001}' "$(get /VnUsbKey_Api/GetSerialNum)"
check "USB key stores" '{"return":0}' "$(get '/VnUsbKey_Api/WriteCertificate?Certificate=abc&len=3')"
check "USB key reads back" '{"Certificate":"abc"}' "$(get /VnUsbKey_Api/ReadCertificate)"
check "signature pad: the capture program starts" '{"return":0}' "$(get /Pemrik_Api/OpenDev)"
check "capture program as the service's user" 1 "$(tarnwick_processes PemrikProcessor)"
check "InitDev" '{"return":0}' "$(get /Pemrik_Api/InitDev)"
sign="" confirm=""
for _ in $(seq 1 80); do
  a="$(get /Pemrik_Api/GetSign)"
  [ -z "$a" ] && break
  [[ "$a" == '{"result":"data:image/png;base64,'* ]] && sign=png
  confirm="$(get /Pemrik_Api/GetConfirm)"
  [ "$confirm" = '{"return":0}' ] && break
  sleep 0.25
done
check "the tablet's signature" png "$sign"
check "the tablet's confirm key" '{"return":0}' "$confirm"
check "QuitPMProc" '{"return":0}' "$(get /Pemrik_Api/QuitPMProc)"
check "the log, its user's only" "700 yes" \
  "$(inside stat -c %a /var/lib/tarnwick/Log) $(inside sh -c 'ls /var/lib/tarnwick/Log/*.txt >/dev/null 2>&1 && echo yes')"
echo TARNWICK_SIM_TERMINAL=hid | settings
restart
check "card terminal on HID" '{"return":0}' "$(get '/Jrs_Api/JrsCardCommOpen?CardPort=0&DevicePort=0')"
check "no failure so far" 0 "$(inside systemctl show -P NRestarts "$unit")"

# The origin list from the settings file; an upgrade keeps the file as it was set.
echo 'TARNWICK_ALLOWED_ORIGINS="https://counter.example http://localhost:8080"' | settings
restart
check "an allowed origin" '{"return":0}' "$(get /test -H 'Origin: https://counter.example')"
check "a refused origin" '{"return":false}' "$(get /test -H 'Origin: https://evil.example.net')"
before="$(inside md5sum /etc/default/tarnwick)"

# Upgrades (the same version again counts as one): a running service is restarted...
pid="$(main_pid)"
dpkg_i
check "upgrade keeps the settings" "$before" "$(inside md5sum /etc/default/tarnwick)"
check "upgrade restarts a running service" "active yes" \
  "$(active) $([ "$(main_pid)" != "$pid" ] && echo yes || echo no)"
check "the origin list after the upgrade" '{"return":false}' "$(get /test -H 'Origin: https://evil.example.net')"
# ...a stopped one stays stopped, a disabled one disabled.
inside systemctl stop "$unit"
dpkg_i
check "upgrade leaves a stopped service stopped" "enabled inactive" "$(enabled) $(active)"
inside systemctl disable "$unit" 2>/dev/null
dpkg_i
check "upgrade after disable keeps it disabled" "disabled inactive" "$(enabled) $(active)"

# Removal stops it and masks the unit; installing again keeps the choice made before.
inside systemctl enable --now "$unit" 2>/dev/null
check "enabled again by hand" "enabled active" "$(enabled) $(active)"
inside dpkg -r tarnwick >"$work/dpkg.txt" 2>&1 || cat "$work/dpkg.txt"
check "removal stops the service" "inactive 0" "$(active) $(tarnwick_processes /usr/lib/tarnwick/)"
check "removal masks the unit" masked "$(enabled)"
check "removal keeps the data" yes "$(inside sh -c '[ -d /var/lib/tarnwick/Log ] && echo yes')"
dpkg_i
check "reinstall: enabled and started again" "enabled active" "$(enabled) $(active)"
inside systemctl disable --now "$unit" 2>/dev/null
inside dpkg -r tarnwick >/dev/null 2>&1
dpkg_i
check "reinstall of a disabled unit keeps it disabled" "disabled inactive" "$(enabled) $(active)"

# Purge forgets everything; a first installation under a policy-rc.d that forbids starting
# services enables the unit but does not start it.
inside dpkg -P tarnwick >"$work/dpkg.txt" 2>&1 || cat "$work/dpkg.txt"
check "purge leaves no unit link, state or data" "" \
  "$(inside sh -c 'ls -d /etc/systemd/system/*/Tarnwick.service /etc/systemd/system/Tarnwick.service \
    /var/lib/systemd/deb-systemd-helper-*/*Tarnwick* /var/lib/tarnwick /etc/default/tarnwick 2>/dev/null')"
inside sh -c 'printf "#!/bin/sh\nexit 101\n" >/usr/sbin/policy-rc.d && chmod +x /usr/sbin/policy-rc.d'
dpkg_i
check "policy-rc.d: enabled, not started" "enabled inactive" "$(enabled) $(active)"

echo "deb_systemd: $passes passed, $fails failed"
[ "$fails" -eq 0 ]
