#!/usr/bin/env bash
# Sets everything up, checks the formatting, builds with warnings as errors and
# runs every test: once in a plain build and once under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

git ls-files -- '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

jobs=$(nproc)
run_suite() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DTUNEWELL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 300
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:print_suppressions=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run_suite build/test -DCMAKE_BUILD_TYPE=Debug
run_suite build/sanitize -DCMAKE_BUILD_TYPE=Debug -DTUNEWELL_SANITIZE=ON
