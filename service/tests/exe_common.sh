# What the tests of the real program share; sourced with the mode ("native" or "wine") in $mode
# and the program's path in $exe. Gives: $run (the prefix that runs the program), $work (a fresh
# folder, removed at exit, with the program still running then stopped), check, and
# copy_program, which copies the program and the libraries beside it into $work/bin.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
exe="$(realpath "$exe")"
run=()
if [ "$mode" = wine ]; then run=("$here/../../cmake/wine-run.sh"); fi

work="$(mktemp -d)"
pid=""
fails=0
passes=0
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid" 2>/dev/null; sleep 1; kill -KILL "$pid" 2>/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
check() {  # check NAME EXPECTED ACTUAL
  if [ "$2" == "$3" ]; then
    passes=$((passes + 1))
  else
    fails=$((fails + 1))
    printf 'FAIL %s\n  expected: %.300q\n  actual:   %.300q\n' "$1" "$2" "$3"
  fi
}
copy_program() {
  mkdir -p "$work/bin"
  cp "$exe" "$work/bin/"
  for lib in "$(dirname "$exe")"/*.dll "$(dirname "$exe")"/*.so; do [ -e "$lib" ] && cp "$lib" "$work/bin/"; done
  exe="$work/bin/$(basename "$exe")"
}
