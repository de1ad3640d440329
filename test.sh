#!/usr/bin/env bash
# ./test.sh: installs what is missing, builds, and runs every test: plain, then under
# AddressSanitizer+UndefinedBehaviorSanitizer, the threaded tests under ThreadSanitizer,
# and the fuzz targets for a bounded time. Any failure, sanitizer report or compiler warning
# (QC_WERROR) fails the run.
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
cd "$top"
jobs=$(nproc)
scripts/install-deps.sh

echo "== plain build"
scripts/build.sh build -DQC_WERROR=ON
ctest --test-dir build -j "$jobs" --output-on-failure --no-tests=error

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
scripts/build.sh build-asan -DQC_WERROR=ON -DQC_SANITIZE=address,undefined -DCMAKE_BUILD_TYPE=Debug
# umockdev preloads its own library, so ASan cannot be first in the list.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:verify_asan_link_order=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure --no-tests=error -LE 'slow'

echo "== ThreadSanitizer (threaded tests)"
scripts/build.sh build-tsan -DQC_WERROR=ON -DQC_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions="$top/tests/tsan.supp" \
  ctest --test-dir build-tsan -j "$jobs" --output-on-failure --no-tests=ignore -L tsan

echo "== fuzz targets"
CC=clang CXX=clang++ scripts/build.sh build-fuzz -DQC_WERROR=ON -DQC_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build-fuzz -j "$jobs" --output-on-failure --no-tests=ignore -L fuzz

echo "== all test runs passed"
