#!/usr/bin/env bash
# Every C and C++ file of the checkout must be as clang-format (the .clang-format at the root)
# would write it. Usage: check_format.sh SOURCE_DIR [CLANG_FORMAT]
set -uo pipefail
cd "$1"
tool="${2:-clang-format}"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files --cached --others --exclude-standard -- '*.c' '*.cpp' '*.h' | sort -u)
else
  mapfile -t files < <(find . -path ./build -prune -o -path '*/node_modules' -prune -o \
    \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print)
fi
existing=()
for f in "${files[@]}"; do [ -f "$f" ] && existing+=("$f"); done
if ! "$tool" --dry-run --Werror "${existing[@]}" 2>/tmp/tw_format.$$; then
  grep "error:" /tmp/tw_format.$$ | cut -d: -f1 | sort -u | sed 's/^/not formatted: /'
  rm -f /tmp/tw_format.$$
  echo "0 passed, 1 failed (run clang-format -i on the files above)"
  exit 1
fi
rm -f /tmp/tw_format.$$
echo "formatted: ${#existing[@]} files"
echo "1 passed, 0 failed"
