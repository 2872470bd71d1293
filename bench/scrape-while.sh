#!/usr/bin/env bash
# The relay at 5,000 members, side by side without and with four operators'
# clients fetching /status.json back to back: the endpoint must not hold up
# the relay (its documents are built at most once a second, formatted off the
# loop, and shared).
#
#   bash bench/scrape-while.sh [build-dir] [seconds] [rounds] [scrapers] [path]
#       build-dir  where brelvint and brelvint-loadgen are (build)
#       seconds    reporting phase of each run (20)
#       rounds     pairs of runs, alternating without/with (2)
#       scrapers   clients fetching back to back in the "with" runs (4)
#       path       what they fetch (/status.json)
#
# Load: 500 members of network Bench each report a position once a second (the
# 249,500 deliveries/s of scenario b), while 4,500 more members sit on network
# Other; all 5,000 are in every status document. (5,000 members of one
# network all moving once a second would be 25 million deliveries a second,
# beyond this machine for any server.)
#
# Everything runs on 127.0.0.1: a fresh server per run in a temporary folder,
# its status endpoint on a free port. Every process started here is stopped
# when the script ends, however it ends.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
seconds=${2:-20}
rounds=${3:-2}
scrapers=${4:-4}
scrape_path=${5:-/status.json}
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
  local dir="$work/$key" port other_port status_port
  port=$(free_port)
  other_port=$(free_port)
  status_port=$(free_port)
  mkdir -p "$dir/brelvint-server" "$dir/home"
  cp "$brelvint_bin" "$dir/brelvint"
  cat >"$dir/brelvint.conf" <<CONF
<?xml version="1.0"?><settings>
<setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00"/><setting namestring="MaxConnectionsPerAddress" valuestring="0"/>
<setting namestring="StatusAddress" valuestring="127.0.0.1:$status_port"/>
</settings>
CONF
  echo "<root><network name=\"Bench\" password=\"pw\" maxusers=\"100000\" enabled=\"1\" port=\"$port\"/></root>" \
    >"$dir/brelvint-server/bench.conf"
  echo "<root><network name=\"Other\" password=\"pw\" maxusers=\"100000\" enabled=\"1\" port=\"$other_port\"/></root>" \
    >"$dir/brelvint-server/other.conf"
  HOME="$dir/home" "$dir/brelvint" >"$dir/stdout.log" 2>&1 &
  local server=$!
  pids+=("$server")
  for _ in $(seq 150); do grep -q "Status page listening" "$dir/stdout.log" && break; sleep 0.1; done
  local scraper=""
  if [ "$scrape" = yes ]; then
    # Each scraper fetches back to back on one keep-alive connection, for at
    # most the run's length plus the logins' setup.
    python3 - "$status_port" "$((seconds + 300))" "$scrapers" "$scrape_path" >"$dir/scrapes" <<'PY' &
import http.client, sys, threading, time
port, limit, count, path = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
deadline = time.monotonic() + limit
done = [0] * count
def scrape(i):
    while time.monotonic() < deadline:
        try:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            while time.monotonic() < deadline:
                connection.request("GET", path)
                connection.getresponse().read()
                done[i] += 1
        except (OSError, http.client.HTTPException):
            time.sleep(0.05)
threads = [threading.Thread(target=scrape, args=(i,), daemon=True) for i in range(count)]
for t in threads:
    t.start()
while time.monotonic() < deadline:
    time.sleep(1)
    print(sum(done), flush=True)
PY
    scraper=$!
    pids+=("$scraper")
  fi
  "$loadgen" --mode brelvint --port "$port" --server-pid "$server" --json --clients 500 \
    --reporters 500 --rate 1 --seconds "$seconds" --bulk-network Other --bulk-password pw \
    --bulk-clients 4500 --sources 4 >"$dir/report.json" 2>"$dir/loadgen.err" || true
  if [ -n "$scraper" ]; then kill -TERM "$scraper" 2>/dev/null || true; wait "$scraper" 2>/dev/null || true; fi
  # Loop passes that took over 5 ms during the whole run, from the server's own histogram.
  python3 - "$status_port" >"$dir/long-passes" <<'PY' || echo "?" >"$dir/long-passes"
import sys, urllib.request
text = urllib.request.urlopen(f"http://127.0.0.1:{sys.argv[1]}/metrics", timeout=10).read().decode()
buckets = {}
for line in text.splitlines():
    if line.startswith("brelvint_loop_pass_seconds_bucket"):
        le = line.split('le="')[1].split('"')[0]
        buckets[le] = int(float(line.rsplit(" ", 1)[1]))
print(buckets["+Inf"] - buckets["0.005"])
PY
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
      f" {r.get('missing', 0):>8} {scrapes:>8} {open(os.path.join(folder, 'long-passes')).read().strip():>12}")
PY
}

printf '%-14s %14s %9s %9s %8s %8s %8s %12s\n' run deliveries/s p50_us p99_us cpu_% missing scrapes passes_gt_5ms
for round in $(seq "$rounds"); do
  run "plain-$round" no
  run "scraped-$round" yes
done
