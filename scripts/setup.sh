#!/usr/bin/env bash
# Installs what the builds and tests need, from Debian's repositories and npm.
#   setup.sh          everything: every build and every test (scripts/test-all.sh)
#   setup.sh --main   only what the Linux service, the capture program and the demo need
#                     (scripts/run.sh)
# Idempotent: when everything is present it only checks and returns within a second.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
. "$here/scripts/host.sh"

mode=all
case "${1:-}" in
  "") ;;
  --main) mode=main ;;
  *) echo "usage: $0 [--main]" >&2; exit 2 ;;
esac

SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi

# The Linux build of the service, the capture program and their libraries.
packages=(
  build-essential cmake ninja-build pkg-config git clang-format python3
  libboost-dev libspdlog-dev libfmt-dev libhidapi-dev libudev-dev libgtest-dev googletest libgcrypt20-dev
  # Only the OpenCV modules the capture program uses, not the whole stack (VTK, MPI, ...).
  libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
)
if [ "$mode" = all ]; then
  tw_probe_host
  packages+=(
    libgcrypt-mingw-w64-dev g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools
    wine wine64
    # Wine maps non-ASCII file names only under a generated glibc locale; the Windows tests run
    # under zh_CN.UTF-8 (code page 936) as well as under C.
    locales
    # Chromium, and a CJK font so that the Chinese of the demo page's screenshots is legible.
    chromium fonts-wqy-microhei
    xvfb xauth curl procps psmisc
    # Fuzzing (libFuzzer) and the benchmark's reference server.
    clang libclang-rt-14-dev nginx-light
    # The Windows installer, and 7-Zip, which reads its file list without running it; the Debian
    # package's checks (systemd-analyze, udevadm, sysusers, lintian, and systemd-nspawn, which
    # boots a container to try the package on a running systemd).
    nsis p7zip-full systemd udev lintian systemd-container
    # promtool, which checks /metrics and the README's scrape configuration and alert rules.
    prometheus
    # rsvg-convert, which draws the signature's SVG for comparison with its PNG.
    librsvg2-bin
  )
  # Wine's 32-bit half only where the kernel runs 32-bit programs.
  if [ "$TW_HOST_RUNS_32BIT" = 1 ]; then packages+=(wine32:i386); fi
fi

# One query for all, each answer as NAME:ARCH=STATUS; a name without an architecture means the
# host's own or "all".
installed=" $(dpkg-query -W -f='${Package}:${Architecture}=${db:Status-Status} ' "${packages[@]}" 2>/dev/null || true) "
native="$(dpkg --print-architecture)"
missing=()
for p in "${packages[@]}"; do
  case "$p" in
    *:*) [[ "$installed" == *" $p=installed "* ]] || missing+=("$p") ;;
    *) [[ "$installed" == *" $p:$native=installed "* || "$installed" == *" $p:all=installed "* ]] || missing+=("$p") ;;
  esac
done

# Node.js may come from elsewhere with its own npm; Debian's npm would conflict with it.
if ! command -v node >/dev/null 2>&1; then missing+=(nodejs); fi
if ! command -v npm >/dev/null 2>&1; then missing+=(npm); fi

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
  fi
  $SUDO apt-get update -qq
  # No daemon may start from an installed package (nginx would take port 80): the benchmark
  # runs its own instance.
  policy=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    policy=/usr/sbin/policy-rc.d
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod +x "$policy"
  fi
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  if [ -n "$policy" ]; then $SUDO rm -f "$policy"; fi
fi

if [ "$mode" = main ]; then
  exit 0
fi

if ! locale -a 2>/dev/null | grep -qi '^zh_CN\.utf-\?8$'; then
  echo "setup: generating the zh_CN.UTF-8 locale"
  $SUDO sed -i 's/^# *\(zh_CN\.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^zh_CN\.UTF-8 UTF-8' /etc/locale.gen || echo 'zh_CN.UTF-8 UTF-8' | $SUDO tee -a /etc/locale.gen >/dev/null
  $SUDO locale-gen >/dev/null
fi

# OpenCV for the Windows builds of the capture program, from Debian's own sources: built once per
# machine and architecture (about 4.5 minutes each on two cores), then found in its cache at once.
"$here/scripts/opencv-mingw.sh" i686
"$here/scripts/opencv-mingw.sh" x86_64

# One Wine prefix per machine, outside the checkout, made by 64-bit Wine, which every host of ours
# runs. A prefix that an interrupted or failed start left without drive_c is made again.
wine_run="$here/cmake/wine-run.sh"
if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
  if [ -e "$WINEPREFIX" ] && [ ! -f "$WINEPREFIX/system.reg" ] && [ -n "$(ls -A "$WINEPREFIX")" ]; then
    echo "setup: $WINEPREFIX is not a Wine prefix; set WINEPREFIX to another folder" >&2
    exit 1
  fi
  echo "setup: creating the Wine prefix $WINEPREFIX"
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  if ! WINEDLLOVERRIDES="mscoree,mshtml=" "$wine_run" wineboot --init </dev/null >/dev/null 2>&1 ||
    ! wineserver -w || [ ! -d "$WINEPREFIX/drive_c/windows/system32" ]; then
    echo "setup: wineboot could not make the Wine prefix $WINEPREFIX" >&2
    exit 1
  fi
fi
# Windows made by programs without an X display (a service's child, a test without Xvfb) use
# Wine's null display driver instead of failing; with a display they still go to X.
if ! grep -q '"Graphics"="x11,null"' "$WINEPREFIX/user.reg" 2>/dev/null; then
  echo "setup: letting Wine programs without a display open windows"
  # A running Wine server writes the key to disk later; until then this check repeats it.
  "$wine_run" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11,null /f </dev/null >/dev/null 2>&1 || true
fi

# Browser-test driver (uses Debian's chromium; never downloads a browser) and TypeScript for the
# client package's declarations, from npm.
if [ ! -d "$here/web/tests/node_modules/playwright-core" ] || [ ! -d "$here/web/tests/node_modules/typescript" ]; then
  echo "setup: installing the browser-test driver and TypeScript"
  (cd "$here/web/tests" && npm ci --no-audit --no-fund --silent 2>/dev/null || npm install --no-audit --no-fund --silent)
fi
