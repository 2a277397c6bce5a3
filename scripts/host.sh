# What this host can run, and the Wine it runs the Windows builds with. Sourced by setup.sh,
# test-all.sh and cmake/wine-run.sh.
#
# Some kernels refuse 32-bit x86 programs ("Exec format error"), Wine's 32-bit loader included,
# while 64-bit Wine works. Debian's `wine` script starts the 32-bit loader first even for a 64-bit
# program, so 64-bit programs and Wine's own tools are started with `wine64` directly.

# The Wine session every Windows test shares, outside the checkout.
export WINEPREFIX="${WINEPREFIX:-$HOME/.local/share/tarnwick-wine}"
export WINEDEBUG="${WINEDEBUG:--all}"

# Prints the 64-bit Wine loader (Debian keeps it off PATH).
tw_wine64() {
  if [ -x /usr/lib/wine/wine64 ]; then
    echo /usr/lib/wine/wine64
  else
    command -v wine64 || echo wine64
  fi
}

# Sets and exports TW_HOST_RUNS_32BIT (1 or 0) by running a tiny static i386 program that only
# exits, unless the variable is set already (a caller's answer wins: TW_HOST_RUNS_32BIT=0 shows
# the other case on a host that runs both). Prints one line saying which, once per process tree.
tw_probe_host() {
  if [ -z "${TW_HOST_RUNS_32BIT:-}" ]; then
    local probe
    probe="$(mktemp "${TMPDIR:-/tmp}/tw-probe32.XXXXXX")"
    # ELF32, one PT_LOAD segment: mov eax,1; mov ebx,0; int 0x80 (exit(0)).
    echo 'f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAAAIAECACABAhgAAAAYAAAAAUAAAAAEAAAuAEAAAC7AAAAAM2A' |
      base64 -d >"$probe"
    chmod +x "$probe"
    if "$probe" 2>/dev/null; then TW_HOST_RUNS_32BIT=1; else TW_HOST_RUNS_32BIT=0; fi
    rm -f "$probe"
  fi
  export TW_HOST_RUNS_32BIT
  [ -z "${TW_HOST_REPORTED:-}" ] || return 0
  export TW_HOST_REPORTED=1
  if [ "$TW_HOST_RUNS_32BIT" = 1 ]; then
    echo "host: runs 32-bit x86 programs; the win32 tests run under Wine"
  else
    echo "host: cannot run 32-bit x86 programs; the Windows code is tested under 64-bit Wine only"
  fi
}
