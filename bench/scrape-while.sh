#!/usr/bin/env bash
# The relay benchmark (scenario a of run-bench.sh) on Brelvint, side by side
# without and with a Prometheus-style scraper fetching /metrics once a second:
# the counters and the endpoint must cost the relay nothing measurable.
#
#   bash bench/scrape-while.sh [build-dir] [seconds] [rounds]
#       build-dir  where brelvint and brelvint-loadgen are (build)
#       seconds    reporting phase of each run (10)
#       rounds     pairs of runs, alternating without/with (2)
#
# Everything runs on 127.0.0.1: a fresh server per run in a temporary folder,
# its status endpoint on a free port. Every process started here is stopped
# when the script ends, however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-10}
rounds=${3:-2}
brelvint_bin="$build/brelvint"
loadgen="$build/brelvint-loadgen"
for f in "$brelvint_bin" "$loadgen"; do
  [ -x "$f" ] || { echo "scrape-while.sh: $f is missing; build first (bash scripts/build.sh)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/brelvint-scrape.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# One run: a fresh server, the load generator, and the scraper when asked.
run() {
  local key=$1 scrape=$2
  local dir="$work/$key" port status_port
  port=$(free_port)
  status_port=$(free_port)
  mkdir -p "$dir/brelvint-server" "$dir/home"
  cp "$brelvint_bin" "$dir/brelvint"
  cat >"$dir/brelvint.conf" <<CONF
<?xml version="1.0"?><settings>
<setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00"/>
<setting namestring="StatusAddress" valuestring="127.0.0.1:$status_port"/>
</settings>
CONF
  echo "<root><network name=\"Bench\" password=\"pw\" maxusers=\"100000\" enabled=\"1\" port=\"$port\"/></root>" \
    >"$dir/brelvint-server/bench.conf"
  HOME="$dir/home" "$dir/brelvint" >"$dir/stdout.log" 2>&1 &
  local server=$!
  pids+=("$server")
  for _ in $(seq 150); do grep -q "Status page listening" "$dir/stdout.log" && break; sleep 0.1; done
  local scraper=""
  if [ "$scrape" = yes ]; then
    # At most one fetch a second, for at most the run's length plus setup.
    python3 - "$status_port" "$((seconds + 60))" >"$dir/scrapes" <<'PY' &
import sys, time, urllib.request
port, limit = int(sys.argv[1]), int(sys.argv[2])
ok = 0
for _ in range(limit):
    started = time.monotonic()
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=2) as r:
            r.read()
            ok += 1
    except OSError:
        pass
    print(ok, flush=True)
    time.sleep(max(0.0, 1.0 - (time.monotonic() - started)))
PY
    scraper=$!
    pids+=("$scraper")
  fi
  "$loadgen" --mode brelvint --port "$port" --server-pid "$server" --json --clients 100 \
    --reporters 10 --window 16 --seconds "$seconds" >"$dir/report.json" 2>"$dir/loadgen.err" || true
  if [ -n "$scraper" ]; then kill -TERM "$scraper" 2>/dev/null || true; wait "$scraper" 2>/dev/null || true; fi
  kill -TERM "$server"; wait "$server" 2>/dev/null || true
  python3 - "$dir" "$key" "$scrape" <<'PY'
import json, os, sys
folder, key, scrape = sys.argv[1:]
try:
    r = json.load(open(os.path.join(folder, "report.json")))
except (OSError, ValueError):
    print(f"{key:<14} failed: " + open(os.path.join(folder, "loadgen.err")).read().strip()[-200:])
    sys.exit(0)
scrapes = "-"
if scrape == "yes":
    lines = open(os.path.join(folder, "scrapes")).read().split()
    scrapes = lines[-1] if lines else "0"
print(f"{key:<14} {r.get('deliveries_per_second', 0):>14,.0f} {r.get('latency_p50_us', 0):>9,.0f}"
      f" {r.get('latency_p99_us', 0):>9,.0f} {r.get('server_cpu_percent', 0):>8.1f}"
      f" {r.get('missing', 0):>8} {scrapes:>8}")
PY
}

printf '%-14s %14s %9s %9s %8s %8s %8s\n' run deliveries/s p50_us p99_us cpu_% missing scrapes
for round in $(seq "$rounds"); do
  run "plain-$round" no
  run "scraped-$round" yes
done
