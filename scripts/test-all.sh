#!/usr/bin/env bash
# Every test: set up, build linux, linux-asan, win64, win32 and the fuzzers, run all tests natively and
# under Wine. Prints how long each stage took, one summary line per preset, and fails if any preset
# fails. win64 comes before win32, whose installer carries the 64-bit build's parts.
#
# The Windows code is tested under 64-bit Wine on every host (the win64 build carries a test
# build of every component). The win32 tests run where the host runs 32-bit programs; elsewhere
# the win32 build is still made and its checks that start no Windows program run.
set -uo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
. "$here/scripts/host.sh"

timings=()
stage_start=$SECONDS
# Ends the stage that began at stage_start under the given name.
stage_done() {
  timings+=("$(printf '%-44s %4d s' "$1" $((SECONDS - stage_start)))")
  stage_start=$SECONDS
}

tw_probe_host
"$here/scripts/setup.sh" || exit 1
stage_done "set-up"

export TARNWICK_MESSAGEBOX=stderr
wine_run="$here/cmake/wine-run.sh"
# One Wine server for the whole run: starting one per test program costs seconds, and the
# service tests need it to outlive their own processes.
wineserver -p >/dev/null 2>&1 || true
# The first program of a session starts Wine's own background processes, which inherit its
# standard handles. Started from a test, they would hold CTest's output pipe open and the test
# would never end; started here, they hold /dev/null.
WINEDLLOVERRIDES="mscoree,mshtml=" timeout 120 "$wine_run" cmd /c exit </dev/null >/dev/null 2>&1 || true
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

jobs="$(nproc)"
failed=()
summaries=()
notes=()
for preset in ${TW_PRESETS:-linux linux-asan win64 win32 fuzz}; do
  echo "=== $preset: configure and build"
  # Test programs that this host cannot start are not built: the shipped modules and the
  # installer are, for the checks that start no program.
  targets=()
  if [ "$preset" = win32 ] && [ "$TW_HOST_RUNS_32BIT" != 1 ]; then targets=(--target tw_installer); fi
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"; then
    failed+=("$preset(build)")
    stage_done "$preset: build (failed)"
    continue
  fi
  stage_done "$preset: build"
  # The Windows builds run once under the C locale (code page 1252) and once under a Chinese one
  # (code page 936), as our users' Windows is set.
  only=()
  case "$preset" in
    win32)
      if [ "$TW_HOST_RUNS_32BIT" = 1 ]; then
        locales=(C.UTF-8 zh_CN.UTF-8)
      else
        locales=(C.UTF-8)
        only=(-L noexec)
        notes+=("win32 tests not run: this host cannot run 32-bit programs (the win32 checks that start no program ran)")
      fi
      ;;
    win64) locales=(C.UTF-8 zh_CN.UTF-8) ;;
    *) locales=("") ;;
  esac
  for loc in "${locales[@]}"; do
    label="$preset${loc:+, LANG=$loc}${only:+, ${only[*]}}"
    echo "=== $label: tests"
    # Tests that take the service's fixed ports hold a resource lock, so running the rest in
    # parallel is safe.
    if ! env ${loc:+LANG=$loc LC_ALL=$loc} ctest --preset "$preset" -j "$jobs" "${only[@]}"; then
      failed+=("$label(tests)")
      # Long logs get cut by whatever shows them; repeat the failures where they are seen.
      summaries+=("=== $label: failing tests"$'\n'"$(awk -f "$here/scripts/failed-tests.awk" \
        "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null | head -n 120)")
    fi
    stage_done "$label: tests"
  done
done

for s in "${summaries[@]}"; do echo "$s"; done
echo "=== time per stage"
for t in "${timings[@]}"; do echo "$t"; done
echo "$(printf '%-44s %4d s' total "$SECONDS")"
for n in "${notes[@]}"; do echo "$n"; done

if [ "${#failed[@]}" -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "All presets passed."
