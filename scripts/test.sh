#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi
bash scripts/build.sh -DBRELVINT_WERROR=$werror
cd build
ctest --output-on-failure -j2 --timeout 300
