# What the tests of the real program share; sourced with the mode ("native" or "wine") in $mode
# and the program's path in $exe. Gives: $run (the prefix that runs the program), $work (a fresh
# folder, removed at exit, with the program still running then stopped), check (checks.sh), and
# copy_program, which copies the program, the capture program and the libraries beside it into
# $work/bin, and
# start/stop of a console run.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
exe="$(realpath "$exe")"
run=()
if [ "$mode" = wine ]; then run=("$here/../../cmake/wine-run.sh"); fi

work="$(mktemp -d)"
pid=""
source "$here/checks.sh"
cleanup() {
  # What the program wrote to its error output says why a check failed.
  if [ "$fails" -gt 0 ] && [ -s "$work/err.txt" ]; then
    echo "--- the program's error output (last lines):"
    tail -n 40 "$work/err.txt"
  fi
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid" 2>/dev/null; sleep 1; kill -KILL "$pid" 2>/dev/null; fi
  # A capture program a killed run left behind, as that run recorded it.
  local orphan
  orphan="$(cut -d' ' -f1 "$work/Log/PemrikProcessor.run" 2>/dev/null)"
  if [ -n "$orphan" ]; then
    if [ "$mode" = wine ]; then "${run[@]}" taskkill /F /PID "$orphan" >/dev/null 2>&1; else kill -KILL "$orphan" 2>/dev/null; fi
  fi
  rm -rf "$work"
}
trap cleanup EXIT
copy_program() {
  mkdir -p "$work/bin"
  cp "$exe" "$work/bin/"
  for lib in "$(dirname "$exe")"/*.dll "$(dirname "$exe")"/*.so "$(dirname "$exe")"/PemrikProcessor*; do
    [ -e "$lib" ] && cp "$lib" "$work/bin/"
  done
  exe="$work/bin/$(basename "$exe")"
}
start() {  # start [ENV=VALUE...]: the program in the foreground, until it says its $port
  : >"$work/out.txt"
  env "$@" "${run[@]}" "$exe" console >"$work/out.txt" 2>"$work/err.txt" &
  pid=$!
  port=""
  for _ in $(seq 1 300); do
    port="$(sed -n 's|^Tarnwick listening on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/out.txt")"
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  cat "$work/err.txt"
  return 1
}
stop() {  # stop INT|KILL: ends the run; its exit status in $status
  exec 3>&2 2>/dev/null  # without the shell's "Killed" notice
  kill -"$1" "$pid"
  for _ in $(seq 1 100); do kill -0 "$pid" || break; sleep 0.1; done
  wait "$pid"
  status=$?
  exec 2>&3 3>&-
  pid=""
}
