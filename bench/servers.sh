# Sourced, after bench/common.sh, by the benchmark scripts that run Brelvint
# and Redis side by side (run-bench.sh, backends.sh), which define a function
# log and call servers_setup first. It sets:
#   work           the scratch folder (each server gets a folder in it)
#   results        where run_loadgen writes <key>.json and <key>.err
#   brelvint_bin   the Release brelvint executable; loadgen, the load generator
#   server_pids    every server started; at exit servers_cleanup stops those,
#                  by PID only, and removes $work
# start_* set server_pid and server_dir.

# Installs redis-server when missing, builds Release into build-bench/, and
# makes the scratch folder $work (named after $1). From the repository root.
servers_setup() {
  bash scripts/deps.sh test redis-server
  BUILD_DIR=build-bench BUILD_TYPE=Release bash scripts/build.sh -DBRELVINT_TESTS=OFF
  brelvint_bin="$(pwd)/build-bench/brelvint"
  loadgen="$(pwd)/build-bench/brelvint-loadgen"
  work=$(mktemp -d "${TMPDIR:-/tmp}/brelvint-$1.XXXXXX")
  results="$work/results"
  mkdir -p "$results"
  server_pids=()
  trap servers_cleanup EXIT
  trap 'exit 130' INT TERM
  # Both servers and the load generator may use every descriptor allowed,
  # with room for 19,900 connections and Brelvint's reserve.
  bench_raise_descriptor_limit 32768
}

servers_cleanup() {
  local pid
  for pid in "${server_pids[@]}"; do
    if kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid" 2>/dev/null || true; fi
  done
  for pid in "${server_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}

# Waits until `file` holds `text`, or fails after 15 s or when `pid` ended.
wait_for_line() {
  local pid=$1 file=$2 text=$3
  for _ in $(seq 150); do
    if grep -qF -- "$text" "$file" 2>/dev/null; then return 0; fi
    if ! kill -0 "$pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  log "server $pid did not log '$text'; its output:"
  tail -n 20 "$file" >&2 || true
  return 1
}

# Starts Brelvint in a fresh folder $work/<name> listening on 127.0.0.1:<port>
# with the network Bench (password pw) and, when asked, Other on the same
# port. Sets server_pid and server_dir.
start_brelvint() {
  local name=$1 port=$2 with_other=${3:-} registered=${4:-0} prefix=${5:-}
  server_dir="$work/$name"
  mkdir -p "$server_dir/brelvint-server" "$server_dir/home"
  cp "$brelvint_bin" "$server_dir/brelvint"
  # The loopback interface's address: the server binds 127.0.0.1 only.
  # No status endpoint: its default port is shared with every other server
  # on the machine.
  echo '<?xml version="1.0"?><settings><setting namestring="AttachedNIC" valuestring="00:00:00:00:00:00"/><setting namestring="MaxConnectionsPerAddress" valuestring="0"/><setting namestring="StatusAddress" valuestring=""/></settings>' \
    >"$server_dir/brelvint.conf"
  python3 - "$port" "$registered" "$prefix" >"$server_dir/brelvint-server/bench.conf" <<'EOF'
import sys
port, registered, prefix = sys.argv[1], int(sys.argv[2]), sys.argv[3]
print(f'<root><network name="Bench" password="pw" maxusers="100000" enabled="1" port="{port}">')
for i in range(registered):
    print(f'  <User Name="{prefix}m{i}" LastIP="127.0.0.1" />')
print('</network></root>')
EOF
  if [ -n "$with_other" ]; then
    # Same port: its own listener fails to bind (one "Server Error: 98"
    # line), and clients of the Bench listener can still select it by name.
    echo "<root><network name=\"Other\" password=\"pw\" maxusers=\"100000\" enabled=\"1\" port=\"$port\"/></root>" \
      >"$server_dir/brelvint-server/other.conf"
  fi
  # $brelvint_backend, when set, picks the socket back end (io_uring, epoll).
  HOME="$server_dir/home" BRELVINT_IO_BACKEND="${brelvint_backend:-}" "$server_dir/brelvint" \
    >"$server_dir/stdout.log" 2>&1 &
  server_pid=$!
  server_pids+=("$server_pid")
  wait_for_line "$server_pid" "$server_dir/stdout.log" "Listening..."
}

start_redis() {
  local name=$1 port=$2
  server_dir="$work/$name"
  mkdir -p "$server_dir"
  # Protected mode would refuse clients from 127.0.0.2 and up, which the
  # capacity test uses; the bind keeps it on loopback all the same.
  (cd "$server_dir" && exec redis-server --port "$port" --save "" --appendonly no \
    --bind 127.0.0.1 --protected-mode no --daemonize no --maxclients 20000 \
    --client-output-buffer-limit "pubsub 0 0 0" >"$server_dir/redis.log" 2>&1) &
  server_pid=$!
  server_pids+=("$server_pid")
  wait_for_line "$server_pid" "$server_dir/redis.log" "Ready to accept connections"
}

stop_server() {
  local pid=$1
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 100); do
    if ! kill -0 "$pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  if kill -0 "$pid" 2>/dev/null; then
    log "server $pid ignored SIGTERM for 10 s; killing it"
    kill -KILL "$pid" 2>/dev/null || true
  fi
  wait "$pid" 2>/dev/null || true
}

# Runs the load generator against the server just started; its JSON report
# goes to $results/<key>.json. A failed run is recorded, not fatal: the table
# shows what was measured and the error.
run_loadgen() {
  local key=$1 mode=$2 port=$3
  shift 3
  log "$key: brelvint-loadgen --mode $mode $*"
  local status=0
  "$loadgen" --mode "$mode" --port "$port" --server-pid "$server_pid" --json "$@" \
    >"$results/$key.json" 2>"$results/$key.err" || status=$?
  if [ "$status" -ne 0 ]; then
    log "$key: load generator exit status $status: $(tail -n 1 "$results/$key.err")"
  fi
}

