#!/usr/bin/env bash
# Builds Brelvint and runs it in the foreground on the sample network
# (127.0.0.1 port 12000, password "sample"). Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh -DBRELVINT_TESTS=OFF -DBRELVINT_BENCH=OFF
mkdir -p build/brelvint-server
if [ ! -e build/brelvint-server/sample.conf ]; then
  cp examples/sample.conf build/brelvint-server/sample.conf
fi
# The sample listens on the loopback interface only, so trying it exposes nothing.
if [ ! -e build/brelvint.conf ]; then
  cat > build/brelvint.conf <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<settings>
  <setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00" />
</settings>
XML
fi
exec build/brelvint
