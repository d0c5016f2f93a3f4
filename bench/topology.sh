#!/usr/bin/env bash
# A site grown past one machine: a numbering transit server feeding two
# reader servers in slave mode, which take the transit's article numbers
# from Xref:. Starts the three on loopback, feeds the transit with
# build/nntpfeed, and reports the rate at which articles become readable on
# both readers, next to the ingest rate of one server alone (measured first,
# on a fresh server, with the same feed). Then checks that both readers give
# every article the number the transit gave it (XOVER of every group).
#
#   bench/topology.sh [count] [size] [connections]
#
# Defaults: 100000 articles, 2800 bytes, 2 connections per feed. Everything
# lives in a temporary directory that is removed at the end (KEEP=1 keeps
# it); every server is stopped however the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."

count=${1:-100000}
size=${2:-2800}
connections=${3:-2}
build=${BUILD:-build}
groups=bench.g0,bench.g1,bench.g2,bench.g3
[ -x "$build/verdalix" ] && [ -x "$build/nntpfeed" ] || { echo "build first: $build/verdalix, $build/nntpfeed" >&2; exit 2; }

work=$(mktemp -d /tmp/verdalix-topology-XXXXXX)
pids=()
stop_all() {
  for pid in "${pids[@]}"; do kill -INT "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
cleanup() {
  stop_all
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
now() { date +%s.%N; }

store_mb=$(( (count * (size + 800) * 2) / 1048576 + 16 ))

# instance NAME PORT OPMODE SITE-LINES: lays out and starts one server.
instance() {
  local name=$1 port=$2 mode=$3 sites=$4 dir=$work/$1
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
# One name heads the Xref: lines everywhere, so the readers take the numbers.
xrefcommunity = bench-site
SeenDataCount = $(( count * 2 + 1000 ))
SeenTableSize = $(( count * 2 + 1009 ))
EOF
  [ -n "$mode" ] && echo "OpMode = $mode" >> "$dir/verdalix.conf"
  {
    echo "AddIncoming 127.0.0.1"
    echo "SetIncoming 127.0.0.1 rights 7"
    echo "SetIncoming 127.0.0.1 streaming 1"
    echo "SetIncoming 127.0.0.1 max_connections 20"
    echo "CreateArtStore 0 $dir/stores * $store_mb 0"
    local g=0
    for group in ${groups//,/ }; do echo "CreateGroup $group $((g * 100)) 100 y 1"; g=$((g + 1)); done
    echo "$sites"
    echo "AcceptConnections"
  } > "$dir/init.tcl"
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

# nntp PORT COMMAND...: speaks to a server; prints the readable articles of
# all groups ("count") or every group's XOVER number and message-ID ("numbers").
nntp() {
  python3 - "$@" <<'EOF'
import socket, sys
port, what, groups = int(sys.argv[1]), sys.argv[2], sys.argv[3].split(",")
s = socket.create_connection(("127.0.0.1", port))
f = s.makefile("rb")
def line():
    return f.readline().decode("latin-1").rstrip("\r\n")
def send(text):
    s.sendall(text.encode() + b"\r\n")
line()
send("MODE READER"); line()
total = 0
for g in groups:
    send("GROUP " + g)
    reply = line().split()
    if reply[0] != "211":
        continue
    if int(reply[1]) == 0:
        continue
    if what != "numbers":
        # The GROUP count is an estimate (high - low + 1); a slave's groups
        # have gaps until every article is in, so count the list itself.
        send("LISTGROUP")
        if not line().startswith("211"):
            sys.exit("LISTGROUP refused on port %d" % port)
        while line() != ".":
            total += 1
        continue
    send("XOVER %s-%s" % (reply[2], reply[3]))
    if not line().startswith("224"):
        sys.exit("XOVER refused on port %d" % port)
    while (l := line()) != ".":
        fields = l.split("\t")
        print(g, fields[0], fields[4])
send("QUIT")
if what == "count":
    print(total)
EOF
}

readable() { nntp "$1" count "$groups" 2>/dev/null || echo 0; }

# wait_readable PORT...: until every server named holds `count` articles.
wait_readable() {
  local last="" since got
  since=$(now)
  while :; do
    got=""
    for port in "$@"; do got+="$(readable "$port") "; done
    local done_all=1
    for n in $got; do [ "$n" -ge "$count" ] || done_all=0; done
    [ "$done_all" = 1 ] && return 0
    if [ "$got" != "$last" ]; then last=$got; since=$(now)
    elif (( $(echo "$(now) - $since > 30" | bc) )); then echo "stalled: $got of $count" >&2; return 1
    fi
    sleep 0.1
  done
}

feed() { "$build/nntpfeed" -p "$1" -n "$count" -s "$size" -c "$connections" -g "$groups" -m stream 2>/dev/null; }

# One server alone: the rate to compare with.
port_single=$(free_port)
instance single "$port_single" "" ""
wait_listening "$port_single"
start=$(now)
feed "$port_single" | sed 's/^/single intake: /'
wait_readable "$port_single"
single_rate=$(echo "$count / ($(now) - $start)" | bc)
stop_all
echo "single server: $count articles of $size bytes readable at $single_rate articles/s"

# The transit numbers the articles (its Xref: lines carry the numbers) and
# feeds both readers.
port_transit=$(free_port)
port_r1=$(free_port)
port_r2=$(free_port)
instance reader1 "$port_r1" slave ""
instance reader2 "$port_r2" slave ""
# The transit connects to its sites as its start-up script names them.
wait_listening "$port_r1"
wait_listening "$port_r2"
sites=""
for r in 1 2; do
  port_var=port_r$r
  sites+="CreateSite reader$r
SetSite reader$r hostname 127.0.0.1
SetSite reader$r port ${!port_var}
SetSite reader$r connections $connections
"
done
instance transit "$port_transit" "" "$sites"
wait_listening "$port_transit"
start=$(now)
feed "$port_transit" | sed 's/^/transit intake: /'
wait_readable "$port_r1" "$port_r2"
topology_rate=$(echo "$count / ($(now) - $start)" | bc)
echo "topology: $count articles readable on both readers at $topology_rate articles/s" \
  "($(( topology_rate * 100 / single_rate ))% of one server)"

nntp "$port_transit" numbers "$groups" | sort > "$work/transit.numbers"
nntp "$port_r1" numbers "$groups" | sort > "$work/reader1.numbers"
nntp "$port_r2" numbers "$groups" | sort > "$work/reader2.numbers"
lines=$(wc -l < "$work/transit.numbers")
if [ "$lines" -eq "$count" ] && cmp -s "$work/transit.numbers" "$work/reader1.numbers" &&
   cmp -s "$work/transit.numbers" "$work/reader2.numbers"; then
  echo "article numbers: identical on transit and both readers ($lines articles)"
else
  echo "article numbers: DIFFER (transit $lines lines; see diff of *.numbers, KEEP=1 keeps them)" >&2
  exit 1
fi
