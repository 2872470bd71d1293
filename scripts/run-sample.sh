#!/usr/bin/env bash
# Builds Brelvint and runs it in the foreground on the sample network
# (port 12000, password "sample"). Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh -DBRELVINT_TESTS=OFF -DBRELVINT_BENCH=OFF
mkdir -p build/brelvint-server
if [ ! -e build/brelvint-server/sample.conf ]; then
  cp examples/sample.conf build/brelvint-server/sample.conf
fi
exec build/brelvint
