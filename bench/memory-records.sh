#!/usr/bin/env bash
# What network records cost in resident memory: the real server, started from
# a temporary folder, measured against itself with an empty network file.
#
#   bash bench/memory-records.sh [build-dir]     (default: build)
#
# Prints three figures:
#   bytes per registered user   (VmRSS with a file of 100,000 users - VmRSS with
#                                an empty file) / 100,000, right after start-up
#   bytes per online player     (VmRSS with a file of 19,900 users, all 19,900
#                                logged in and idle - VmRSS with an empty file
#                                after one login) / 19,900: record, edit cache
#                                and connection
#   bytes per online player,    (VmRSS with a file of 19,900 users, all logged
#     by the slope               in and idle - the same with a file of 1,000)
#                                / 18,900, each server having served one login
#                                before: what one more player costs (record,
#                                edit cache and connection), free of what any
#                                server holds once it serves anyone at all
# and how the second splits between record, edit cache and connection.
# (19,900 players where the descriptor limit allows, else as many as it does.)
#
# Builds nothing (run scripts/build.sh first). Loopback only, status page
# off; every wait is bounded, about 45 s in all. Stops every server it
# started when it exits.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=$(realpath "${1:-build}")
brelvint_bin="$build_dir/brelvint"
loadgen="$build_dir/brelvint-loadgen"
source bench/common.sh  # from the repository root, where the script stands now
bench_require "$brelvint_bin" "$loadgen"

readonly kRegistered=100000
readonly kFewPlayers=1000

bench_workspace memory

# The load generator holds one descriptor per player, and so does the server,
# which keeps 128 more in reserve below its limit: the limit must exceed the
# players by more than that. Where the hard limit cannot be raised (no
# CAP_SYS_RESOURCE) and is too low for 19,900, fewer players log in; the
# figures are per player all the same.
bench_raise_descriptor_limit $((19900 + 1024))
players=$(bench_connections_within_limit 19900)
if [ "$players" -lt $((kFewPlayers * 4)) ]; then
  echo "memory-records.sh: the open-file limit ($(ulimit -n)) is too low for this benchmark" >&2
  exit 2
fi
readonly kPlayers=$players

log() { echo "[memory-records] $*" >&2; }

# A free port below the usual ephemeral range (32768 and up): the load
# generator's 19,900 sockets, and other programs', take their local ports from
# there, and one of them holding the server's port fails its bind.
free_port() {
  python3 - <<'EOF'
import random, socket
for _ in range(100):
    port = random.randrange(20000, 32000)
    with socket.socket() as s:
        try:
            s.bind(("127.0.0.1", port))
        except OSError:
            continue
    print(port)
    break
EOF
}

rss_bytes() { awk '/^VmRSS:/ { print $2 * 1024 }' "/proc/$1/status"; }

# The load generator's players connect from 127.0.0.1 to 127.0.0.<kSources>
# in turn (enough local ports for 19,900 sockets).
readonly kSources=8

# Starts the server in $work/<name> on 127.0.0.1:<port> with one network file
# listing <users> users: user i is named <prefix>m<i> and was last seen at
# 127.0.0.<1 + i mod kSources>, the name and address the load generator's
# player i logs in with. Waits until the server listens and has settled, and
# sets server_pid.
start_server() {
  local name=$1 port=$2 users=$3 prefix=$4
  local dir="$work/$name"
  mkdir -p "$dir/brelvint-server" "$dir/home"
  cp "$brelvint_bin" "$dir/brelvint"
  # No status page: its default port is shared by every server of the machine.
  echo '<?xml version="1.0"?><settings><setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00"/><setting namestring="MaxConnectionsPerAddress" valuestring="0"/><setting namestring="StatusAddress" valuestring=""/></settings>' \
    >"$dir/brelvint.conf"
  python3 - "$port" "$users" "$prefix" "$kSources" >"$dir/brelvint-server/bench.conf" <<'EOF'
import sys
port, users, prefix, sources = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
print(f'<root><network name="Bench" password="pw" maxusers="100000" enabled="1" port="{port}">')
for i in range(users):
    print(f'  <User Name="{prefix}m{i}" LastIP="127.0.0.{1 + i % sources}" />')
print('</network></root>')
EOF
  HOME="$dir/home" "$dir/brelvint" >"$dir/stdout.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 300); do
    if grep -qsF "Listening..." "$dir/stdout.log"; then
      sleep 1  # start-up work queued behind the first log line
      if grep -qaF "Server Error" "$dir/stdout.log"; then
        log "the server in $name could not listen on port $port; its output:"
        grep -aF "Server Error" "$dir/stdout.log" >&2
        exit 1
      fi
      return 0
    fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  log "the server in $name did not start listening within 30 s; its output:"
  tail -n 20 "$dir/stdout.log" >&2 || true
  exit 1
}

stop_server() {
  kill -TERM "$server_pid" 2>/dev/null || true
  for _ in $(seq 100); do
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}

# One player logs in and out, as pm0 from 127.0.0.1. The first login of a
# server sets up what every later one shares (the ban store's cache, the
# log), about 2 MB whatever the number of users; the network file, when it
# lists pm0, is read into the edit cache.
first_login() {
  local port=$1
  "$loadgen" --mode brelvint --port "$port" --clients 1 --hold 0 --name-prefix p \
    --setup-timeout 30 --json >"$work/first.json" 2>&1 || {
    log "the first login failed: $(tail -c 300 "$work/first.json")"
    exit 1
  }
  sleep 0.5
}

port=$(free_port)
start_server empty "$port" 0 p
rss_empty=$(rss_bytes "$server_pid")
log "empty network file: VmRSS $rss_empty bytes"
first_login "$port"
rss_empty_served=$(rss_bytes "$server_pid")
log "empty network file, after one login: VmRSS $rss_empty_served bytes"
stop_server

start_server registered "$(free_port)" "$kRegistered" p
rss_registered=$(rss_bytes "$server_pid")
log "$kRegistered registered users: VmRSS $rss_registered bytes"
stop_server

port=$(free_port)
start_server players "$port" "$kPlayers" p
rss_idle=$(rss_bytes "$server_pid")
log "$kPlayers registered users, no one connected: VmRSS $rss_idle bytes"
first_login "$port"
rss_cache=$(rss_bytes "$server_pid")
log "after one login (the edit cache read): VmRSS $rss_cache bytes"
# Each player logs in under its own name from the address the file holds for
# it: it finds its record, and the file is not rewritten. The server's VmRSS
# is sampled while every one of them is still logged in; hold_players sets
# rss_held to it.
hold_players() {
  local port=$1 count=$2 status=0
  "$loadgen" --mode brelvint --port "$port" --clients "$count" --hold 2 --sources "$kSources" \
    --max-pending 1000 --setup-timeout 120 --name-prefix p --server-pid "$server_pid" --json \
    >"$work/players.json" 2>"$work/players.err" || status=$?
  rss_held=$(python3 -c 'import json, sys
try:
    print(json.load(open(sys.argv[1])).get(sys.argv[2]) or "")
except ValueError:
    print("")' "$work/players.json" server_rss_after)
  local error
  error=$(python3 -c 'import json, sys
try:
    print(json.load(open(sys.argv[1])).get(sys.argv[2]) or "")
except ValueError:
    print("")' "$work/players.json" error)
  if [ "$status" -ne 0 ] || [ -n "$error" ] || [ -z "$rss_held" ]; then
    log "the load generator (exit status $status) did not hold $count players:" \
      "${error:-$(tail -n 1 "$work/players.err")}"
    exit 1
  fi
}

hold_players "$port" "$kPlayers"
rss_players=$rss_held
stop_server
log "$kPlayers players logged in: VmRSS $rss_players bytes"

# The slope's lower point: the same set-up with fewer players, each in the
# file as before.
port=$(free_port)
start_server few "$port" "$kFewPlayers" p
first_login "$port"
hold_players "$port" "$kFewPlayers"
rss_few=$rss_held
stop_server
log "$kFewPlayers players logged in: VmRSS $rss_few bytes"

python3 - "$rss_empty" "$rss_empty_served" "$rss_registered" "$rss_idle" "$rss_cache" \
  "$rss_players" "$rss_few" "$kRegistered" "$kPlayers" "$kFewPlayers" <<'EOF'
import sys
(empty, served, registered, idle, cache, players, few, n_registered, n_players,
 n_few) = map(int, sys.argv[1:])
print(f"bytes per registered user ({n_registered:,} in the file):  {(registered - empty) / n_registered:,.0f}")
print(f"bytes per online player ({n_players:,} idle, all told):     {(players - served) / n_players:,.0f}")
print(f"  of which its record:                             {(idle - empty) / n_players:,.0f}")
print(f"  of which its share of the edit cache:            {(cache - idle - (served - empty)) / n_players:,.0f}")
print(f"  of which its connection:                         {(players - cache) / n_players:,.0f}")
print(f"bytes per online player, by the slope ({n_few:,} to {n_players:,}): "
      f"{(players - few) / (n_players - n_few):,.0f}")
EOF
