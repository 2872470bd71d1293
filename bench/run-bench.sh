#!/usr/bin/env bash
# Measures Brelvint's relay against Redis pub/sub doing the same job on this
# machine, over loopback only, and prints one table.
#
#   bash bench/run-bench.sh            every scenario (a b c d e), about 3 minutes after the build
#   bash bench/run-bench.sh a b        only those scenarios
#
# Scenarios (bench/README.md tells what each one shows):
#   a  100 members, 10 reporting, 16 reports in flight per reporter, 10 s
#   b  500 members, each reporting once a second, 20 s
#   c  19,900 logged-in idle connections held 15 s (fewer under a lower
#      descriptor limit): resident bytes per connection
#   d  login storm: 10,000 new names at once (Brelvint only)
#   e  server CPU per report while K idle members sit on another network (Brelvint only)
#
# Installs redis-server when missing, builds Release into build-bench/, runs
# each server afresh per scenario in a temporary folder, and stops everything
# it started when it exits.
set -euo pipefail
cd "$(dirname "$0")/.."

all_scenarios=(a b c d e)
scenarios=("$@")
if [ ${#scenarios[@]} -eq 0 ]; then scenarios=("${all_scenarios[@]}"); fi
for s in "${scenarios[@]}"; do
  case "$s" in
    a | b | c | d | e) ;;
    *)
      echo "run-bench.sh: unknown scenario '$s' (choose from: ${all_scenarios[*]})" >&2
      exit 2
      ;;
  esac
done

log() { echo "[run-bench] $*" >&2; }
source bench/common.sh   # free_port
source bench/servers.sh  # the servers and the load generator
servers_setup bench

# Scenario c holds 19,900 connections, or as many as the descriptor limit
# allows with room for Brelvint's reserve where it could not be raised.
c_players=$(bench_connections_within_limit 19900)

# Runs one scenario on a fresh Brelvint, then on a fresh Redis.
both() {
  local scenario=$1
  shift
  local port
  port=$(free_port)
  start_brelvint "$scenario-brelvint" "$port"
  run_loadgen "$scenario-brelvint" brelvint "$port" "$@"
  stop_server "$server_pid"
  port=$(free_port)
  start_redis "$scenario-redis" "$port"
  run_loadgen "$scenario-redis" redis "$port" "$@"
  stop_server "$server_pid"
}

scenario_d() {
  local port
  port=$(free_port)
  start_brelvint d-brelvint "$port"
  run_loadgen d-brelvint brelvint "$port" --clients 10000 --login-storm --max-pending 1000 \
    --setup-timeout 600
  stop_server "$server_pid"
  # Every storm login enrolled a new name: the network file must still parse
  # and hold exactly those users.
  python3 - "$server_dir/brelvint-server/bench.conf" >"$results/d-file.json" <<'EOF'
import json, sys
import xml.etree.ElementTree as ET
try:
    users = len(ET.parse(sys.argv[1]).getroot().findall(".//User"))
    print(json.dumps({"well_formed": True, "users": users}))
except (ET.ParseError, OSError) as error:
    print(json.dumps({"well_formed": False, "users": 0, "error": str(error)}))
EOF
}

# Capacity: what a held connection costs. The names are registered in the
# network file beforehand and one login has already read that file, so the
# figure is the connection's own cost, not the one-off cost of enrolling
# 19,900 new names (scenario d measures enrolment).
scenario_c() {
  local port
  port=$(free_port)
  start_brelvint c-brelvint "$port" "" "$c_players" c
  run_loadgen c-warmup brelvint "$port" --clients 1 --hold 0 --name-prefix c --setup-timeout 60
  run_loadgen c-brelvint brelvint "$port" --clients "$c_players" --hold 15 --sources 8 \
    --max-pending 1000 --setup-timeout 600 --name-prefix c
  stop_server "$server_pid"
  port=$(free_port)
  start_redis c-redis "$port"
  run_loadgen c-redis redis "$port" --clients "$c_players" --hold 15 --sources 8 --max-pending 1000 \
    --setup-timeout 600
  stop_server "$server_pid"
}

scenario_e() {
  local port
  port=$(free_port)
  start_brelvint e-brelvint "$port" with-other
  local k
  for k in 10 100 1000 10000; do
    # Bulk names are reused from one K to the next so only the new ones are
    # enrolled; the pause lets the server finish the previous run's closes.
    run_loadgen "e-brelvint-$k" brelvint "$port" --clients 10 --reporters 5 --window 16 \
      --seconds 5 --bulk-network Other --bulk-clients "$k" --bulk-prefix bulk --setup-timeout 600
    sleep 1
  done
  stop_server "$server_pid"
}

for s in "${scenarios[@]}"; do
  case "$s" in
    a) both a --clients 100 --reporters 10 --window 16 --seconds 10 ;;
    b) both b --clients 500 --reporters 500 --rate 1 --seconds 20 ;;
    c) scenario_c ;;
    d) scenario_d ;;
    e) scenario_e ;;
  esac
done

python3 - "$results" "${scenarios[@]}" <<'EOF'
import json, os, sys

results, scenarios = sys.argv[1], sys.argv[2:]

def load(key):
    path = os.path.join(results, key + ".json")
    try:
        with open(path) as f:
            return json.loads(f.read() or "null")
    except (OSError, ValueError):
        return None

def value(report, field):
    if report is None:
        return None
    return report.get(field)

def text(v):
    if v is None:
        return "-"
    if isinstance(v, bool):
        return "yes" if v else "no"
    if isinstance(v, float):
        return f"{v:,.0f}" if abs(v) >= 100 else f"{v:.2f}"
    if isinstance(v, int):
        return f"{v:,}"
    return str(v)

def ratio(b, r):
    if isinstance(b, (int, float)) and isinstance(r, (int, float)) and not isinstance(b, bool) \
            and not isinstance(r, bool) and r != 0:
        return f"{b / r:.2f}"
    return "-"

rows = []
def add(scenario, metric, b, r="n/a"):
    rows.append((scenario, metric, text(b), text(r) if r != "n/a" else r, ratio(b, r)))

traffic = [("deliveries/s", "deliveries_per_second"), ("latency p50 (us)", "latency_p50_us"),
           ("latency p99 (us)", "latency_p99_us"), ("latency p99.9 (us)", "latency_p999_us"),
           ("latency max (us)", "latency_max_us"), ("missing", "missing"),
           ("duplicated", "duplicated"), ("server CPU (% core)", "server_cpu_percent"),
           ("server RSS (bytes)", "server_rss_after"), ("loadgen CPU (% core)", "loadgen_cpu_percent")]
names = {"a": "a 100m/10r w16", "b": "b 500m/500r 1Hz", "c": "c idle held",
         "d": "d login storm", "e": "e CPU/report"}

for s in scenarios:
    if s in "ab":
        b, r = load(s + "-brelvint"), load(s + "-redis")
        for metric, field in traffic:
            add(names[s], metric, value(b, field), value(r, field))
    elif s == "c":
        b, r = load("c-brelvint"), load("c-redis")
        add(names[s], "RSS bytes/connection", value(b, "rss_bytes_per_connection"),
            value(r, "rss_bytes_per_connection"))
        add(names[s], "setup (s)", value(b, "setup_seconds"), value(r, "setup_seconds"))
    elif s == "d":
        b = load("d-brelvint")
        add(names[s], "all answered (s)", value(b, "storm_seconds"))
        add(names[s], "OK", value(b, "storm_ok"))
        fails = None
        if b is not None:
            fails = sum(b.get(k, 0) for k in ("storm_fail_network", "storm_fail_password",
                                               "storm_fail_name", "storm_closed",
                                               "storm_unanswered"))
        add(names[s], "FAIL/closed/unanswered", fails)
        f = load("d-file")
        add(names[s], "bench.conf well-formed", value(f, "well_formed"))
        add(names[s], "bench.conf User elements", value(f, "users"))
    elif s == "e":
        for k in (10, 100, 1000, 10000):
            b = load(f"e-brelvint-{k}")
            add(names[s], f"K={k:,}: CPU us/report", value(b, "server_cpu_us_per_report"))
            add(names[s], f"K={k:,}: deliveries/s", value(b, "deliveries_per_second"))

errors = []
for name in sorted(os.listdir(results)):
    if name.endswith(".json"):
        report = load(name[:-5])
        if report and report.get("error"):
            errors.append(f"{name[:-5]}: {report['error']}")
        if report and report.get("complete") is False:
            faults = ", ".join(f"{k} {report[k]:,}" for k in
                               ("missing", "duplicated", "self_deliveries", "foreign", "leaked")
                               if report.get(k))
            errors.append(f"{name[:-5]}: deliveries not as expected: {faults}")
    if name.endswith(".err") and os.path.getsize(os.path.join(results, name)) > 0 \
            and load(name[:-4]) is None:
        with open(os.path.join(results, name)) as f:
            errors.append(f"{name[:-4]}: no report; {f.read().strip()[-300:]}")

header = ("scenario", "metric", "Brelvint", "Redis", "ratio")
widths = [max(len(row[i]) for row in rows + [header]) for i in range(5)]
def line(row):
    return "  ".join(cell.ljust(widths[i]) if i < 2 else cell.rjust(widths[i])
                     for i, cell in enumerate(row))
print()
print(line(header))
print("  ".join("-" * w for w in widths))
for row in rows:
    print(line(row))
print("\nratio = Brelvint / Redis (deliveries/s: higher is better; latency, CPU, memory: lower is better)")
for e in errors:
    print("error: " + e)
EOF
