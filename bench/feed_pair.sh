#!/usr/bin/env bash
# Feed throughput from one server to another: starts two verdalix instances
# on loopback, A feeding B over `connections` connections, pushes `count`
# articles of `size` bytes into A with build/nntpfeed, and reports A's intake
# rate and the rate at which the articles arrived in B.
#
#   bench/feed_pair.sh [count] [size] [connections] [feed-mode]
#
# Defaults: 100000 articles, 3000 bytes, 1 connection, nntpfeed mode
# "stream". Everything lives in a temporary directory that is removed at the
# end (KEEP=1 keeps it); both servers are stopped however the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."

count=${1:-100000}
size=${2:-3000}
connections=${3:-1}
mode=${4:-stream}
build=${BUILD:-build}
[ -x "$build/verdalix" ] && [ -x "$build/nntpfeed" ] || { echo "build first: $build/verdalix, $build/nntpfeed" >&2; exit 2; }

work=$(mktemp -d /tmp/verdalix-feedpair-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Store size in MB: room for every article twice over.
store_mb=$(( (count * (size + 600) * 2) / 1048576 + 16 ))

# instance NAME PORT SITE-LINES: lays out and starts one server.
instance() {
  local name=$1 port=$2 sites=$3 dir=$work/$1
  mkdir -p "$dir"/{logs,history,groups,stores,posts,control,feeds}
  cat > "$dir/verdalix.conf" <<EOF
LogDirectory = $dir/logs
ListenAddress = 127.0.0.1
ListenPort = $port
StartupScript = $dir/init.tcl
HostPathIdentifier = $name
HistoryTablePath = $dir/history
HistoryDataPath = $dir/history
GroupDataPath = $dir/groups
PostQueueDirectory = $dir/posts
ControlQueueDirectory = $dir/control
FeedQueuePath = $dir/feeds
FeedRetryDelay = 1
# History big enough to remember every article of the run, so A can still
# find the oldest when it gets to them.
SeenDataCount = $(( count * 2 + 1000 ))
SeenTableSize = $(( count * 2 + 1009 ))
EOF
  cat > "$dir/init.tcl" <<EOF
AddIncoming 127.0.0.1
SetIncoming 127.0.0.1 rights 7
SetIncoming 127.0.0.1 streaming 1
SetIncoming 127.0.0.1 max_connections 20
CreateArtStore 0 $dir/stores * $store_mb 0
CreateGroup misc.test 0 1 y 1
$sites
AcceptConnections
EOF
  (cd "$dir" && VERDALIX_CONFIGFILE=$dir/verdalix.conf exec "$OLDPWD/$build/verdalix" -debug > "$dir/stdout.txt" 2>&1) &
  pids+=($!)
}

wait_listening() {
  for _ in $(seq 300); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.1
  done
  echo "server on port $1 did not start" >&2; exit 1
}

# Articles B accepted from A: A's script writes the site's statistics to a
# file twice a second.
arrived() {
  local text
  text=$(cat "$work/verdalix.a/siteinfo" 2>/dev/null || true)
  [[ $text =~ \{accepts\ ([0-9]+)\} ]] && echo "${BASH_REMATCH[1]}" || echo 0
}

port_a=$(free_port)
port_b=$(free_port)
instance verdalix.b "$port_b" ""
instance verdalix.a "$port_a" "CreateSite b
SetSite b hostname 127.0.0.1
SetSite b port $port_b
SetSite b connections $connections
proc dump {} {
  set f [open $work/verdalix.a/siteinfo.new w]; puts \$f [GetSiteConfig b]; close \$f
  file rename -force $work/verdalix.a/siteinfo.new $work/verdalix.a/siteinfo
  after 500 dump
}
dump"
wait_listening "$port_b"
wait_listening "$port_a"

start=$(date +%s.%N)
"$build/nntpfeed" -p "$port_a" -n "$count" -s "$size" -g misc.test -m "$mode" 2>/dev/null | sed 's/^/A intake: /'
fed=$(date +%s.%N)
last=-1
while :; do
  got=$(arrived)
  [ "$got" -ge "$count" ] && break
  now=$(date +%s.%N)
  if [ "$got" = "$last" ] && (( $(echo "$now - $fed > 30" | bc) )); then
    echo "stalled: $got of $count in B" >&2; break
  fi
  [ "$got" != "$last" ] && { last=$got; fed=$now; }
  sleep 0.2
done
end=$(date +%s.%N)
echo "$got of $count articles of $size bytes arrived in B over $connections connection(s) in" \
  "$(echo "$end - $start" | bc) s: $(echo "$got / ($end - $start)" | bc) articles/s"
