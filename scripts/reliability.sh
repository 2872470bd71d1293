#!/usr/bin/env bash
# Builds the server and runs the reliability checks (crash safety, leaks,
# hostile input) against it on loopback: scripts/reliability.sh [check...]
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=build-rel BUILD_TYPE=RelWithDebInfo bash scripts/build.sh -DBRELVINT_TESTS=OFF -DBRELVINT_BENCH=OFF
exec python3 scripts/reliability.py build-rel/brelvint "$@"
