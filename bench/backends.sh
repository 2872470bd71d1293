#!/usr/bin/env bash
# Brelvint's two socket back ends against each other and against Redis
# pub/sub, in one run and interleaved, so that the machine's drift over the
# run touches all three alike.
#
#   bash bench/backends.sh [rounds]     (default 3; about 100 s a round)
#
# Each round runs, on a fresh server each time and in this order:
#   saturated  100 members, 10 reporting, 16 reports in flight each, 10 s
#   1 Hz       500 members, each reporting once a second, 20 s
# against Brelvint on io_uring, Brelvint on epoll and Redis. It prints, per
# round and as the median of the rounds: nanoseconds of server CPU per
# delivery, deliveries per second, latency p50 and p99, and server CPU.
#
# Installs redis-server when missing, builds Release into build-bench/, and
# stops every server it started when it exits. Loopback only.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-3}
case "$rounds" in
  '' | *[!0-9]*)
    echo "backends.sh: rounds must be a whole number" >&2
    exit 2
    ;;
esac

log() { echo "[backends] $*" >&2; }
source bench/common.sh   # free_port
source bench/servers.sh  # the servers and the load generator
servers_setup backends

declare -A case_arguments=(
  [saturated]="--clients 100 --reporters 10 --window 16 --seconds 10"
  [1hz]="--clients 500 --reporters 500 --rate 1 --seconds 20"
)

run_one() {
  local round=$1 which=$2 server=$3 port
  port=$(free_port)
  # shellcheck disable=SC2086  # the arguments are words on purpose
  if [ "$server" = redis ]; then
    start_redis "$round-$which-$server" "$port"
    run_loadgen "$round-$which-$server" redis "$port" ${case_arguments[$which]}
  else
    brelvint_backend=$server
    start_brelvint "$round-$which-$server" "$port"
    # The back end the server says it runs, in case the kernel refused one.
    grep -o 'Socket back end: .*' "$server_dir/stdout.log" >"$results/$round-$which-$server.backend" || true
    run_loadgen "$round-$which-$server" brelvint "$port" ${case_arguments[$which]}
  fi
  stop_server "$server_pid"
}

for round in $(seq "$rounds"); do
  for which in saturated 1hz; do
    for server in io_uring epoll redis; do run_one "$round" "$which" "$server"; done
  done
done

/usr/bin/python3 - "$results" "$rounds" <<'EOF'
import json, os, statistics, sys

results, rounds = sys.argv[1], int(sys.argv[2])
servers = ("io_uring", "epoll", "redis")

def load(key):
    try:
        with open(os.path.join(results, key + ".json")) as f:
            return json.loads(f.read() or "null")
    except (OSError, ValueError):
        return None

def figures(report):
    if not report or report.get("error"):
        return None
    rate = report.get("deliveries_per_second") or 0
    cpu = report.get("server_cpu_percent") or 0
    return {"ns": cpu / 100 * 1e9 / rate if rate else None, "rate": rate,
            "p50": report.get("latency_p50_us"), "p99": report.get("latency_p99_us"), "cpu": cpu}

def cell(value, digits=0):
    return "-" if value is None else f"{value:,.{digits}f}"

header = f"{'case':10} {'server':9} {'ns CPU/delivery':>15} {'deliveries/s':>13} " \
         f"{'p50 us':>8} {'p99 us':>8} {'CPU %':>6}"
def row(which, server, f):
    if f is None:
        return f"{which:10} {server:9} {'failed':>15}"
    return f"{which:10} {server:9} {cell(f['ns']):>15} {cell(f['rate']):>13} " \
           f"{cell(f['p50']):>8} {cell(f['p99']):>8} {cell(f['cpu'], 1):>6}"

collected = {}
for round in range(1, rounds + 1):
    print(f"\nround {round}\n{header}")
    for which in ("saturated", "1hz"):
        for server in servers:
            f = figures(load(f"{round}-{which}-{server}"))
            collected.setdefault((which, server), []).append(f)
            print(row(which, server, f))

print(f"\nmedian of {rounds} rounds\n{header}")
for which in ("saturated", "1hz"):
    for server in servers:
        runs = [f for f in collected[(which, server)] if f]
        if not runs:
            print(row(which, server, None))
            continue
        median = {k: statistics.median(r[k] for r in runs if r[k] is not None)
                  for k in ("ns", "rate", "p50", "p99", "cpu")}
        print(row(which, server, median))
    uring = [f for f in collected[(which, "io_uring")] if f and f["ns"]]
    redis = [f for f in collected[(which, "redis")] if f and f["ns"]]
    if uring and redis:
        share = statistics.median(f["ns"] for f in uring) / statistics.median(f["ns"] for f in redis)
        print(f"{which:10} io_uring's CPU per delivery is {share:.2f} of Redis's")

backends = set()
for name in os.listdir(results):
    if name.endswith(".backend"):
        with open(os.path.join(results, name)) as f:
            backends.add(f"{name[:-8].split('-', 2)[2]}: {f.read().strip()}")
for line in sorted(backends):
    print(line)
for name in sorted(os.listdir(results)):
    if name.endswith(".json"):
        report = load(name[:-5])
        if report and report.get("error"):
            print(f"error: {name[:-5]}: {report['error']}")
EOF
