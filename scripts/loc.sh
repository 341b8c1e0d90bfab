#!/usr/bin/env bash
# The share of test code: non-blank lines of the C, C++, Python, shell and
# CMake files git tracks (the Makefile and the CI script included), in all
# and under tests/.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  git ls-files -- "$@" | grep -E '\.(c|cc|cpp|h|hpp|py|sh)$|CMakeLists\.txt$|^Makefile$|^\.ci/run$' |
    xargs -d '\n' grep -cv '^[[:space:]]*$' | awk -F: '{lines += $NF} END {print lines + 0}'
}
all=$(count .)
tests=$(count tests)
echo "tests/: $tests of $all non-blank code lines, $((100 * tests / all))%"
