# Counted checks for the shell tests: check NAME EXPECTED ACTUAL; $passes and $fails.
fails=0
passes=0
check() {
  if [ "$2" == "$3" ]; then
    passes=$((passes + 1))
  else
    fails=$((fails + 1))
    printf 'FAIL %s\n  expected: %.300q\n  actual:   %.300q\n' "$1" "$2" "$3"
  fi
}
