#!/usr/bin/env bash
# Builds the Debian package: a Release build in build-package/ (no tests, no
# benchmarks), then CPack. Prints the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build
export BUILD_DIR=build-package BUILD_TYPE=Release
bash scripts/build.sh -DBRELVINT_TESTS=OFF -DBRELVINT_BENCH=OFF
cd build-package
cpack -G DEB >/dev/null
ls "$PWD"/brelvint_*.deb
