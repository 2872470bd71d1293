# Sourced by the benchmark scripts that run one server at a time. Makes the
# scratch folder $work (named after $1) and, at exit, stops the server whose
# PID the script keeps in $server_pid (only that one: never by name) and
# removes the folder.
bench_workspace() {
  work=$(mktemp -d "${TMPDIR:-/tmp}/brelvint-$1.XXXXXX")
  server_pid=
  trap bench_cleanup EXIT
  trap 'exit 130' INT TERM
}

bench_cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}

# A TCP port on 127.0.0.1 that is free right now.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Lets this shell and what it starts open at least $1 descriptors: the hard
# limit is raised when it is lower and the shell may (as root), then the soft
# limit goes up to the hard one. A server keeps a reserve of descriptors
# below its limit, so a run that fills a limit of exactly its connection
# count would see logins turned away near the end.
bench_raise_descriptor_limit() {
  local hard
  hard=$(ulimit -Hn)
  if [ "$hard" != unlimited ] && [ "$hard" -lt "$1" ]; then
    ulimit -Hn "$1" 2>/dev/null || true
  fi
  ulimit -n "$(ulimit -Hn)"
}

# How many of `$1` connections the descriptor limit holds, with 256 to spare
# for the server's reserve (128) and its own files: `$1`, or fewer where the
# limit is lower (a line on standard error says so).
bench_connections_within_limit() {
  local wanted=$1 limit
  limit=$(ulimit -n)
  if [ "$limit" != unlimited ] && [ "$limit" -lt $((wanted + 256)) ]; then
    echo "$(basename "$0"): the open-file limit is $limit: $((limit - 256)) connections, not $wanted" >&2
    echo $((limit - 256))
  else
    echo "$wanted"
  fi
}

# Exits 2 naming the first of the given executables that is missing; the
# script's name ($0) leads the message.
bench_require() {
  local tool
  for tool in "$@"; do
    if [ ! -x "$tool" ]; then
      echo "$(basename "$0"): $tool is missing; build first (bash scripts/build.sh)" >&2
      exit 2
    fi
  done
}
