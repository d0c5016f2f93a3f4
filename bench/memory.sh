#!/usr/bin/env bash
# Resident memory of one server: at rest, with `readers` idle reader
# connections (each has had its greeting and MODE READER, then waits), and
# after `count` articles fed with build/nntpfeed. Prints VmRSS (and VmHWM,
# the peak) from /proc at each step, and how much of it is the server's own
# memory (RssAnon) and how much store and history pages mapped from files
# (RssFile: page cache, shared and reclaimable).
#
#   bench/memory.sh [readers] [count] [size]
#
# Defaults: 1000 readers, 1000000 articles of 2800 bytes (about 3 GB of
# store; give a smaller count on a small disk). Everything lives in a
# temporary directory that is removed at the end (KEEP=1 keeps it); the
# server is stopped however the script ends.
set -euo pipefail
cd "$(dirname "$0")/.."

readers=${1:-1000}
count=${2:-1000000}
size=${3:-2800}
build=${BUILD:-build}
[ -x "$build/verdalix" ] && [ -x "$build/nntpfeed" ] || { echo "build first: $build/verdalix, $build/nntpfeed" >&2; exit 2; }
ulimit -n $(( readers + 1024 )) 2>/dev/null || { echo "cannot open $readers descriptors (ulimit -n)" >&2; exit 2; }

work=$(mktemp -d /tmp/verdalix-memory-XXXXXX)
pid=""
holder=""
cleanup() {
  [ -n "$holder" ] && kill "$holder" 2>/dev/null || true
  [ -n "$pid" ] && { kill -INT "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
  [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
store_mb=$(( count * (size + 800) / 1048576 + 64 ))
mkdir -p "$work"/{logs,history,groups,stores,posts,control,feeds}
cat > "$work/verdalix.conf" <<EOF
LogDirectory = $work/logs
ListenAddress = 127.0.0.1
ListenPort = $port
StartupScript = $work/init.tcl
HostPathIdentifier = memory.bench
HistoryTablePath = $work/history
HistoryDataPath = $work/history
GroupDataPath = $work/groups
PostQueueDirectory = $work/posts
ControlQueueDirectory = $work/control
FeedQueuePath = $work/feeds
SeenDataCount = $(( count + 1000 ))
SeenTableSize = $(( count + 1009 ))
MaxIncomingConnections = $(( readers + 16 ))
EOF
{
  echo "AddIncoming 127.0.0.1"
  echo "SetIncoming 127.0.0.1 rights 7"
  echo "SetIncoming 127.0.0.1 streaming 1"
  echo "SetIncoming 127.0.0.1 max_connections $(( readers + 16 ))"
  echo "CreateArtStore 0 $work/stores * $store_mb 0"
  for g in 0 1 2 3 4 5 6 7 8 9; do echo "CreateGroup bench.g$g $((g * 100)) 100 y 1"; done
  echo "AcceptConnections"
} > "$work/init.tcl"
(cd "$work" && VERDALIX_CONFIGFILE=$work/verdalix.conf exec "$OLDPWD/$build/verdalix" -debug > "$work/stdout.txt" 2>&1) &
pid=$!
for _ in $(seq 300); do (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break; sleep 0.1; done

rss() { awk '/^VmRSS|^VmHWM|^RssAnon|^RssFile/ {printf "%s %s kB  ", $1, $2} END {print ""}' "/proc/$pid/status"; }
echo "at rest: $(rss)"

# The readers: one process holds them open until killed.
python3 - "$port" "$readers" "$work/readers.ready" <<'EOF' &
import socket, sys, time
port, n, ready = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
held = []
for _ in range(n):
    s = socket.create_connection(("127.0.0.1", port))
    f = s.makefile("rb")
    if not f.readline().startswith(b"20"):
        sys.exit("no greeting")
    s.sendall(b"MODE READER\r\n")
    if not f.readline().startswith(b"20"):
        sys.exit("MODE READER refused")
    held.append((s, f))
open(ready, "w").close()
time.sleep(3600)
EOF
holder=$!
for _ in $(seq 600); do [ -e "$work/readers.ready" ] && break; kill -0 "$holder" 2>/dev/null || break; sleep 0.1; done
[ -e "$work/readers.ready" ] || { echo "the readers did not all get in" >&2; exit 1; }
sleep 1
before=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
echo "with $readers idle readers: $(rss)"
kill "$holder"; wait "$holder" 2>/dev/null || true; holder=""
sleep 1
after=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
echo "readers gone: $(rss)(about $(( (before - after) * 1024 / readers )) bytes per idle reader)"

"$build/nntpfeed" -p "$port" -n "$count" -s "$size" -c 2 -g bench.g0,bench.g1,bench.g2,bench.g3,bench.g4,bench.g5,bench.g6,bench.g7,bench.g8,bench.g9 -m stream 2>/dev/null |
  sed 's/^/feed: /'
echo "after $count articles: $(rss)"
