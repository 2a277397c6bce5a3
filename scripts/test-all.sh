#!/usr/bin/env bash
# Every test: set up, build linux, linux-asan, win64, win32 and the fuzzers, run all tests natively and
# under Wine. Prints one summary line per preset and fails if any preset fails. win64 comes before
# win32, whose installer carries the 64-bit build's parts.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
"$here/scripts/setup.sh" || exit 1

export WINEPREFIX="${WINEPREFIX:-$HOME/.local/share/tarnwick-wine}"
export WINEDEBUG="${WINEDEBUG:--all}"
export TARNWICK_MESSAGEBOX=stderr
# One Wine server for the whole run: starting one per test program costs seconds, and the
# service tests need it to outlive their own processes.
wineserver -p >/dev/null 2>&1 || true
# The first program of a session starts Wine's own background processes, which inherit its
# standard handles. Started from a test, they would hold CTest's output pipe open and the test
# would never end; started here, they hold /dev/null.
WINEDLLOVERRIDES="mscoree,mshtml=" timeout 120 wine cmd /c exit </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

jobs="$(nproc)"
failed=()
summaries=()
for preset in ${TW_PRESETS:-linux linux-asan win64 win32 fuzz}; do
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs"; then
    failed+=("$preset(build)")
    continue
  fi
  # The Windows builds run once under the C locale (code page 1252) and once under a Chinese one
  # (code page 936), as our users' Windows is set.
  case "$preset" in
    win*) locales=(C.UTF-8 zh_CN.UTF-8) ;;
    *) locales=("") ;;
  esac
  for loc in "${locales[@]}"; do
    label="$preset${loc:+, LANG=$loc}"
    echo "=== $label: tests"
    # Tests that take the service's fixed ports hold a resource lock, so running the rest in
    # parallel is safe.
    if ! env ${loc:+LANG=$loc LC_ALL=$loc} ctest --preset "$preset" -j "$jobs"; then
      failed+=("$label(tests)")
      # Long logs get cut by whatever shows them; repeat the failures where they are seen.
      summaries+=("=== $label: failing tests"$'\n'"$(awk -f "$here/scripts/failed-tests.awk" \
        "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null | head -n 120)")
    fi
  done
done

for s in "${summaries[@]}"; do echo "$s"; done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All presets passed."
