#!/usr/bin/env bash
# Installs what is missing (the test packages included), builds with the
# tests, and runs every test. Fails when no test ran.
#   bash scripts/test.sh              normal build in build/
#   bash scripts/test.sh --sanitize   AddressSanitizer + UBSan build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi
# Said every time: a build folder configured without tests (by run-sample.sh
# or an install build) is switched back on.
tests_on=(-DBRELVINT_TESTS=ON)
if [ "${1:-}" = "--sanitize" ]; then
  export BUILD_DIR=build-asan
  # Leaks are checked by the reliability scripts; here any report fails the test.
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
  bash scripts/build.sh "${tests_on[@]}" -DBRELVINT_WERROR=$werror -DBRELVINT_SANITIZE=ON -DBRELVINT_BENCH=OFF
else
  export BUILD_DIR=build
  bash scripts/build.sh "${tests_on[@]}" -DBRELVINT_BENCH=ON -DBRELVINT_WERROR=$werror
fi
cd "$BUILD_DIR"
ctest --output-on-failure --no-tests=error -j2 --timeout 300
# The sockets run through io_uring where the kernel allows it; the epoll
# back end, which serves where it does not, gets the whole suite as well,
# in both builds. The package checks install the package in a root of its
# own, where the variable does not reach: they ran once already.
BRELVINT_IO_BACKEND=epoll ctest --output-on-failure --no-tests=error -j2 --timeout 300 \
  -E '^debian_package'
