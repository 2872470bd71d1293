#!/usr/bin/env bash
# A tiny end-to-end run of the benchmark tooling: starts Brelvint in a
# temporary folder on a free loopback port, has 5 members log in and 2 of them
# report for one second, and fails unless every report reached every other
# member. Builds nothing; bounded to about 20 s.
#
#   bash bench/smoke.sh path/to/brelvint path/to/brelvint-loadgen
set -euo pipefail

if [ $# -ne 2 ] || [ ! -x "$1" ] || [ ! -x "$2" ]; then
  echo "usage: smoke.sh path/to/brelvint path/to/brelvint-loadgen (both executable)" >&2
  exit 2
fi
brelvint_bin=$(realpath "$1")
loadgen=$(realpath "$2")

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
bench_workspace smoke

fail() {
  echo "smoke.sh: FAILED: $*" >&2
  if [ -f "$work/stdout.log" ]; then
    echo "--- server output (last 20 lines) ---" >&2
    tail -n 20 "$work/stdout.log" >&2 || true
  fi
  exit 1
}

# A free port below the kernel's ephemeral range (which every outgoing
# connection on the machine draws from), starting at one picked by our pid;
# without python3, a random one there.
port=$(python3 -c '
import os, socket
low = int(open("/proc/sys/net/ipv4/ip_local_port_range").read().split()[0])
first = 1024 + os.getppid() % (low - 1024)
for i in range(low - 1024):
    port = 1024 + (first - 1024 + i) % (low - 1024)
    with socket.socket() as probe:
        try:
            probe.bind(("127.0.0.1", port))
        except OSError:
            continue
    print(port)
    break
' 2>/dev/null || echo $((10000 + RANDOM % 20000)))
mkdir -p "$work/brelvint-server" "$work/home"
cp "$brelvint_bin" "$work/brelvint"
echo '<?xml version="1.0"?><settings><setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00"/><setting namestring="MaxConnectionsPerAddress" valuestring="0"/></settings>' \
  >"$work/brelvint.conf"
echo "<root><network name=\"Bench\" password=\"pw\" maxusers=\"100000\" enabled=\"1\" port=\"$port\"/></root>" \
  >"$work/brelvint-server/bench.conf"

HOME="$work/home" "$work/brelvint" >"$work/stdout.log" 2>&1 &
server_pid=$!
for _ in $(seq 50); do
  if grep -qF "Listening..." "$work/stdout.log"; then break; fi
  kill -0 "$server_pid" 2>/dev/null || fail "the server exited during start-up"
  sleep 0.1
done
grep -qF "Listening..." "$work/stdout.log" || fail "the server did not start listening within 5 s"

status=0
timeout 12 "$loadgen" --mode brelvint --port "$port" --clients 5 --reporters 2 --rate 20 \
  --seconds 1 --setup-timeout 5 --drain 2 --server-pid "$server_pid" --require-complete --json \
  >"$work/report.json" 2>"$work/loadgen.err" || status=$?
cat "$work/report.json"
if [ "$status" -eq 3 ]; then
  fail "deliveries were missing, duplicated or stray (see the report above)"
elif [ "$status" -ne 0 ]; then
  cat "$work/loadgen.err" >&2
  fail "the load generator exited with status $status"
fi
grep -q '"reports": [1-9]' "$work/report.json" || fail "no report was sent"
grep -q '"missing": 0,' "$work/report.json" || fail "deliveries are missing"
grep -q '"complete": true' "$work/report.json" || fail "deliveries were duplicated or stray"

kill -TERM "$server_pid"
for _ in $(seq 50); do
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if kill -0 "$server_pid" 2>/dev/null; then
  kill -KILL "$server_pid" 2>/dev/null || true
  fail "the server did not stop within 5 s of SIGTERM"
fi
server_status=0
wait "$server_pid" || server_status=$?
server_pid=
[ "$server_status" -eq 0 ] || fail "the server exited with status $server_status after SIGTERM"
echo "smoke.sh: passed"
