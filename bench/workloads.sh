#!/usr/bin/env bash
# Every benchmark workload against one running server, one line each:
# streaming on 1 and 4 connections, IHAVE, CHECK of known message-IDs,
# XOVER and OVER of the fed group, ARTICLE by number and by message-ID, and
# (with SERVER_PID) the server's CPU time per streamed article. With TLS_PORT
# (the server's TLS port) the reading workloads run again over TLS, and
# connections per second are measured plain and with a TLS handshake.
#
#   bench/workloads.sh [host:port] [group]
#
# Defaults: 127.0.0.1:1119 (the demo) and misc.test. The server must take
# feeds and readers from this machine. Sizes: STREAM_N (100000), IHAVE_N
# (20000), SIZE (2800 bytes), READ_SECONDS (10). The peer comparison lives
# outside the project (the shared bench harness); this is the quick look.
set -euo pipefail
cd "$(dirname "$0")/.."

server=${1:-127.0.0.1:1119}
group=${2:-misc.test}
host=${server%:*}
port=${server##*:}
stream_n=${STREAM_N:-100000}
ihave_n=${IHAVE_N:-20000}
size=${SIZE:-2800}
seconds=${READ_SECONDS:-10}
build=${BUILD:-build}
for tool in nntpfeed nntpread; do
  [ -x "$build/$tool" ] || { echo "build first: $build/$tool" >&2; exit 2; }
done
run=$$  # message-IDs unique to this run

# Ticks of CPU (user + system) the server has used; empty without SERVER_PID.
cpu_ticks() {
  [ -n "${SERVER_PID:-}" ] || return 0
  awk '{print $14 + $15}' "/proc/$SERVER_PID/stat"
}

# feed NAME MODE CONNECTIONS COUNT PREFIX: one nntpfeed run, its summary line.
feed() {
  local name=$1 mode=$2 connections=$3 count=$4 prefix=$5 before after line
  before=$(cpu_ticks)
  line=$("$build/nntpfeed" -H "$host" -p "$port" -g "$group" -m "$mode" -c "$connections" -n "$count" \
           -s "$size" -P "$prefix" 2>/dev/null | tail -1)
  after=$(cpu_ticks)
  printf '%-22s %s' "$name" "$line"
  if [ -n "$before" ] && [ "$mode" != check ]; then
    awk -v t=$((after - before)) -v hz="$(getconf CLK_TCK)" -v n="$count" \
      'BEGIN { printf "  server CPU %.1f us/article", t / hz * 1e6 / n }'
  fi
  echo
}

# read NAME MODE [PORT OPTION...]: one nntpread run of READ_SECONDS, its summary line.
read_load() {
  local name=$1 mode=$2 to=${3:-$port}
  shift $(($# < 3 ? $# : 3))
  printf '%-22s %s\n' "$name" "$("$build/nntpread" -H "$host" -p "$to" -g "$group" -m "$mode" -t "$seconds" "$@" \
                               2>/dev/null | tail -1)"
}

feed "stream, 1 connection" stream 1 "$stream_n" "wl$run-s1"
feed "stream, 4 connections" stream 4 "$stream_n" "wl$run-s4"
feed "ihave, 1 connection" ihave 1 "$ihave_n" "wl$run-ih"
feed "check, known IDs" check 1 "$stream_n" "wl$run-s1"
read_load "xover" xover
read_load "over" over
read_load "article by number" article
read_load "article by ID" id
if [ -n "${TLS_PORT:-}" ]; then
  read_load "xover, TLS" xover "$TLS_PORT" -T
  read_load "article by ID, TLS" id "$TLS_PORT" -T
  read_load "connections" handshake "$port" -c 2
  read_load "TLS handshakes" handshake "$TLS_PORT" -c 2 -T
fi
