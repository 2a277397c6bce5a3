#!/usr/bin/env bash
# Every test: set up, build linux, linux-asan, win64, win32 and the fuzzers, run all tests natively and
# under Wine. Prints how long each stage took, one summary line per preset, and fails if any preset
# fails. win64 comes before win32, whose installer carries the 64-bit build's parts. Each preset
# after the first builds while the one before it runs its tests.
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
presets=(${TW_PRESETS:-linux linux-asan win64 win32 fuzz})
mkdir -p "$here/build"

# Configures and builds one preset, its output in build/<preset>.build.log; writes its exit
# status and duration to build/<preset>.build.status.
build_preset() {
  local preset="$1" start=$SECONDS rc=0
  # Test programs that this host cannot start are not built: the shipped modules and the
  # installer are, for the checks that start no program.
  local targets=()
  if [ "$preset" = win32 ] && [ "$TW_HOST_RUNS_32BIT" != 1 ]; then targets=(--target tw_installer); fi
  { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs" "${targets[@]}"; } \
    >"$here/build/$preset.build.log" 2>&1 || rc=$?
  echo "$rc $((SECONDS - start))" >"$here/build/$preset.build.status"
}

# A test run leaves the cores half idle, so the next preset builds beside it, at a lower
# priority so that the tests keep the speed they have alone. Two test runs never overlap: they
# share the service's fixed ports.
next_build=""
start_build() {
  if [ -z "${1:-}" ]; then next_build=""; return; fi
  echo "=== $1: configure and build (beside the tests before it; log in build/$1.build.log)"
  rm -f "$here/build/$1.build.status"
  nice -n 10 bash -c "$(declare -f build_preset); here='$here' jobs='$jobs' TW_HOST_RUNS_32BIT='$TW_HOST_RUNS_32BIT' build_preset '$1'" &
  next_build=$!
}

echo "=== ${presets[0]}: configure and build (log in build/${presets[0]}.build.log)"
build_preset "${presets[0]}"
for ((i = 0; i < ${#presets[@]}; i++)); do
  preset="${presets[i]}"
  if [ "$i" -gt 0 ]; then wait "$next_build"; fi
  read -r rc took <"$here/build/$preset.build.status" || { rc=1; took=0; }
  if [ "$rc" -ne 0 ]; then
    echo "=== $preset: build failed"
    tail -n 200 "$here/build/$preset.build.log"
    failed+=("$preset(build)")
    timings+=("$(printf '%-44s %4d s' "$preset: build (failed)" "$took")")
    start_build "${presets[i + 1]:-}"
    continue
  fi
  tail -n 1 "$here/build/$preset.build.log"
  stage="$preset: build"
  if [ "$i" -gt 0 ]; then stage+=" (beside the tests before it)"; fi
  timings+=("$(printf '%-44s %4d s' "$stage" "$took")")
  start_build "${presets[i + 1]:-}"
  stage_start=$SECONDS
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
