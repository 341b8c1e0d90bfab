#!/usr/bin/env bash
# The share of test code: non-blank lines of the C, C++, Python, shell and
# CMake files git tracks (the Makefile, and scripts known by their #! line
# rather than a suffix, included), in all and under tests/.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  git ls-files -- "$@" | while IFS= read -r file; do
    case $file in
      *.c | *.cc | *.cpp | *.h | *.hpp | *.py | *.sh | *CMakeLists.txt | *.cmake | Makefile) echo "$file" ;;
      *) [ "$(head -c 2 "$file")" != "#!" ] || echo "$file" ;;
    esac
  done | xargs -d '\n' grep -cv '^[[:space:]]*$' | awk -F: '{lines += $NF} END {print lines + 0}'
}
all=$(count .)
tests=$(count tests)
awk -v t="$tests" -v a="$all" 'BEGIN {printf "tests/: %d of %d non-blank code lines, %.1f%%\n", t, a, 100 * t / a}'
