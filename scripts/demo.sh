#!/usr/bin/env bash
# Builds the server if needed, lays out a demo instance under ./demo/ and
# runs it in the console on 127.0.0.1:1119. Ctrl+C stops it.
#   scripts/demo.sh           keep the demo's articles, history and log
#   scripts/demo.sh --fresh   start from an empty demo directory
# The configuration file, the start-up script and the control policy are
# written anew from etc/verdalix.conf.in, etc/init.tcl.in and
# etc/control.policy.in at every run: edit those.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
demo="$root/demo"
port="${VERDALIX_DEMO_PORT:-1119}"
metrics="${VERDALIX_DEMO_METRICS_PORT:-1120}"
tls_port="${VERDALIX_DEMO_TLS_PORT:-1563}"

case "${1:-}" in
  --fresh) rm -rf "$demo" ;;
  "") ;;
  *) echo "usage: $0 [--fresh]" >&2; exit 2 ;;
esac

scripts/install-deps.sh
[ -f build/CMakeCache.txt ] || cmake -S . -B build >/dev/null
# The server, its control program and the load tools the README names.
cmake --build build -j"$(nproc)" --target verdalix verdalixctl nntpfeed nntppost nntpread

mkdir -p "$demo"/{logs,history,groups,stores,posts,control,feeds}
fill() {
  # The replacement is escaped for sed, so any directory name works.
  local dir_escaped
  dir_escaped=$(printf '%s' "$demo" | sed -e 's/[\/&|]/\\&/g')
  sed -e "s|@DIR@|$dir_escaped|g" -e "s|@PORT@|$port|g" "$1" > "$2"
}
fill etc/verdalix.conf.in "$demo/verdalix.conf"
fill etc/init.tcl.in "$demo/init.tcl"
fill etc/control.policy.in "$demo/control.policy"
# The demo shows its status page and metrics; the template leaves them off.
echo "MetricsPort = $metrics" >> "$demo/verdalix.conf"
# TLS with a self-signed certificate made at the first start (kept after):
# STARTTLS on the demo port and TLS from the first byte on $tls_port.
if [ ! -f "$demo/tls/cert.pem" ]; then
  mkdir -p "$demo/tls"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 825 \
    -subj /CN=localhost -addext "subjectAltName=DNS:localhost,IP:127.0.0.1" \
    -keyout "$demo/tls/key.pem" -out "$demo/tls/cert.pem" 2>/dev/null
  chmod 600 "$demo/tls/key.pem"
fi
printf 'TLSCertificateFile = %s\nTLSKeyFile = %s\nTLSListenPort = %s\n' \
  "$demo/tls/cert.pem" "$demo/tls/key.pem" "$tls_port" >> "$demo/verdalix.conf"

echo "demo server on 127.0.0.1:$port (TLS on $tls_port, certificate demo/tls/cert.pem); log in demo/logs/verdalix.log; Ctrl+C stops it"
echo "status page http://127.0.0.1:$metrics/; control: VERDALIX_CONFIGFILE=demo/verdalix.conf build/verdalixctl status"
cd "$demo"
VERDALIX_CONFIGFILE="$demo/verdalix.conf" exec "$root/build/verdalix" -debug
