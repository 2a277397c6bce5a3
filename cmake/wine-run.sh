#!/usr/bin/env bash
# Runs a Windows test program under Wine in the project's prefix (made by scripts/setup.sh).
export WINEPREFIX="${WINEPREFIX:-$HOME/.local/share/tarnwick-wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
