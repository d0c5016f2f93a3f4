#!/usr/bin/env bash
# Posting rate end to end: starts one verdalix instance on loopback and runs
# build/nntppost against it on 1 and on 8 connections, POST to readable
# (every post is fetched back by its Message-ID before the clock stops).
#
#   bench/post_rate.sh [count] [size]
#
# Defaults: 20000 posts of about 1000 bytes per run. Each run starts on a
# fresh instance in a temporary directory that is removed at the end (KEEP=1
# keeps it); the server is stopped however the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."

count=${1:-20000}
size=${2:-1000}
build=${BUILD:-build}
[ -x "$build/verdalix" ] && [ -x "$build/nntppost" ] || { echo "build first: $build/verdalix, $build/nntppost" >&2; exit 2; }

work=$(mktemp -d /tmp/verdalix-postrate-XXXXXX)
pid=
cleanup() {
  [ -z "$pid" ] || { kill -INT "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
store_mb=$(( count * (size + 1000) * 2 / 1048576 + 16 ))
slots=$(( count / 500 + 2 ))

# start NAME PORT: lays out a fresh instance and starts it.
start() {
  local dir=$work/$1 port=$2
  mkdir -p "$dir"/{logs,history,groups,stores,posts,control,feeds}
  cat > "$dir/verdalix.conf" <<CONF
LogDirectory = $dir/logs
ListenAddress = 127.0.0.1
ListenPort = $port
StartupScript = $dir/init.tcl
HostPathIdentifier = post.bench
HistoryTablePath = $dir/history
HistoryDataPath = $dir/history
GroupDataPath = $dir/groups
PostQueueDirectory = $dir/posts
ControlQueueDirectory = $dir/control
FeedQueuePath = $dir/feeds
SeenDataCount = $(( count * 2 + 1000 ))
SeenTableSize = $(( count * 2 + 1009 ))
CONF
  cat > "$dir/init.tcl" <<TCL
AddIncoming 127.0.0.1
SetIncoming 127.0.0.1 rights 7
SetIncoming 127.0.0.1 max_connections 20
CreateArtStore 0 $dir/stores * $store_mb 0
CreateGroup misc.test 0 $slots y 1
AcceptConnections
TCL
  (cd "$dir" && VERDALIX_CONFIGFILE=$dir/verdalix.conf exec "$OLDPWD/$build/verdalix" -debug > "$dir/stdout.txt" 2>&1) &
  pid=$!
  for _ in $(seq 300); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "server on port $port did not start" >&2; exit 1
}

for connections in 1 8; do
  port=$(free_port)
  start "c$connections" "$port"
  "$build/nntppost" -p "$port" -n "$count" -s "$size" -c "$connections"
  kill -INT "$pid"; wait "$pid" 2>/dev/null || true; pid=
done
