#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's prefix (made by scripts/setup.sh): a 32-bit
# program with Wine's 32-bit loader, everything else (64-bit programs, Wine's own tools such as
# reg, sc, cmd) with the 64-bit loader, which works on hosts that cannot run 32-bit programs.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/../scripts/host.sh"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

# True when $1 is a PE file for i386 (machine 0x014c at the offset that 0x3c names, plus 4).
is_pe32() {
  [ -f "$1" ] || return 1
  local pe machine
  pe="$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')"
  [ -n "$pe" ] || return 1
  machine="$(od -An -tx2 -j$((pe + 4)) -N2 "$1" 2>/dev/null | tr -d ' ')"
  [ "$machine" = 014c ]
}

if is_pe32 "${1:-}"; then
  exec wine "$@"
fi
loader="$(tw_wine64)"
# Programs this one starts find the same loader.
export WINELOADER="${WINELOADER:-$loader}"
exec "$loader" "$@"
