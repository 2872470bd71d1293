#!/usr/bin/env bash
# Installs what is missing, then configures and builds into build/ (or $BUILD_DIR).
# CMake options are passed on. With -DBRELVINT_TESTS=OFF only the build's own
# packages are installed; otherwise the test packages come too.
set -euo pipefail
cd "$(dirname "$0")/.."
job=test
for option in "$@"; do
  if [ "$option" = "-DBRELVINT_TESTS=OFF" ]; then job=build; fi
done
bash scripts/deps.sh "$job"
build_dir=${BUILD_DIR:-build}
launcher=()
# Several checkouts on one machine share compiled objects through ccache.
if command -v ccache >/dev/null; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} "${launcher[@]}" "$@" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
