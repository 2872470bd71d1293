#!/usr/bin/env bash
# Whether networks removed by a reload, and the listeners they leave, are
# freed: the real server, started from a temporary folder, goes through
# remove/add cycles of a network of 20,000 users while its resident size is
# watched.
#
#   bash bench/reload-memory.sh [build-dir] [cycles]     (defaults: build, 30)
#
# One cycle: the file "big.conf" (network Big, 20,000 users, its own port)
# is written and SIGHUP adds the network; one player logs in to it (so a
# connection refers to the record and the edit cache reads the file), leaves;
# the file is removed and SIGHUP removes the network. VmRSS is read 2 s
# after each cycle (freeing waits for the connections to go). Prints VmRSS
# after cycle 1 and after the last, and their ratio; the goal is a ratio
# within 1.10. Exits 1 when the goal is missed.
#
# Builds nothing (run scripts/build.sh first). Loopback only; every wait is
# bounded, about 2.5 s per cycle. Stops the server it started when it exits.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(realpath "${1:-build}")
cycles=${2:-30}
brelvint_bin="$build_dir/brelvint"
probe="$build_dir/brelvint-probe"
source bench/common.sh  # from the repository root, where the script stands now
bench_require "$brelvint_bin" "$probe"

readonly kUsers=20000

bench_workspace reload-memory

log() { echo "[reload-memory] $*" >&2; }


rss_bytes() { awk '/^VmRSS:/ { print $2 * 1024 }' "/proc/$1/status"; }

# Waits (10 s at most) until the log holds `count` lines equal to `text`.
wait_for_lines() {
  local text=$1 count=$2
  for _ in $(seq 200); do
    if [ "$(grep -cxF "$text" <(sed 's/^\[[^]]*\] //' "$work/home/com.brelvint.log"))" -ge "$count" ]; then
      return 0
    fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.05
  done
  log "no ${count}th \"$text\" within 10 s; the log ends:"
  tail -n 5 "$work/home/com.brelvint.log" >&2 || true
  exit 1
}

mkdir -p "$work/brelvint-server" "$work/home"
cp "$brelvint_bin" "$work/brelvint"
cat >"$work/brelvint.conf" <<'XML'
<?xml version="1.0"?>
<settings>
  <setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00" />
  <setting namestring="MaxConnectionsPerAddress" valuestring="0" />
  <setting namestring="StatusAddress" valuestring="" />
</settings>
XML
small_port=$(free_port)
big_port=$(free_port)
while [ "$big_port" = "$small_port" ]; do big_port=$(free_port); done
cat >"$work/brelvint-server/small.conf" <<XML
<brelvint><network name="Small" password="pw" maxusers="10" enabled="1" port="$small_port"/></brelvint>
XML
python3 - "$big_port" "$kUsers" >"$work/big.conf.template" <<'PY'
import sys
port, users = sys.argv[1], int(sys.argv[2])
print(f'<brelvint><network name="Big" password="pw" maxusers="100" enabled="1" port="{port}">')
for i in range(users):
    print(f'  <User Name="member{i}" IsAdmin="0" IsBanned="0" LastIP="10.{i // 65536}.{i // 256 % 256}.{i % 256}" UID="{i}" />')
print('</network></brelvint>')
PY

HOME="$work/home" "$work/brelvint" >"$work/stdout.log" 2>&1 &
server_pid=$!
wait_for_lines "Listening..." 1

for cycle in $(seq "$cycles"); do
  cp "$work/big.conf.template" "$work/brelvint-server/big.conf"
  kill -HUP "$server_pid"
  wait_for_lines "Network Added: Big" "$cycle"
  "$probe" --port "$big_port" --network Big --password pw --user "member$cycle" --bye \
    --seconds 0.3 >/dev/null
  rm "$work/brelvint-server/big.conf"
  kill -HUP "$server_pid"
  wait_for_lines "Network Removed: Big" "$cycle"
  sleep 2
  rss=$(rss_bytes "$server_pid")
  log "cycle $cycle: VmRSS $rss bytes"
  if [ "$cycle" -eq 1 ]; then first=$rss; fi
done

python3 - "$first" "$rss" "$cycles" <<'PY'
import sys
first, last, cycles = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
ratio = last / first
print(f"VmRSS after cycle 1:         {first / 2**20:6.1f} MiB")
print(f"VmRSS after cycle {cycles}:{' ' * (10 - len(str(cycles)))}{last / 2**20:6.1f} MiB")
print(f"ratio:                       {ratio:6.3f}  (goal: at most 1.10)")
sys.exit(0 if ratio <= 1.10 else 1)
PY
