#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh              plain build in build/
#   scripts/test.sh --sanitize   address+undefined sanitizers, in build-asan/
#   scripts/test.sh --tsan       thread sanitizer, in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
sanitize=""
case "${1:-}" in
  --sanitize) build=build-asan; sanitize=address ;;
  --tsan) build=build-tsan; sanitize=thread ;;
  "") ;;
  *) echo "usage: $0 [--sanitize|--tsan]" >&2; exit 2 ;;
esac

scripts/install-deps.sh

cmake -S . -B "$build" -DVERDALIX_SANITIZE="$sanitize" >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300 -LE interop
# The layout of changed lines takes a second; clang-tidy is slower and runs
# from .ci/run (scripts/check-style.sh --tidy).
[ -n "$sanitize" ] || scripts/check-style.sh --format
# Feeding a news server from Debian's packages needs that server (inn2) and root.
innd="${VERDALIX_INND:-/usr/lib/news/bin/innd}"
if [ -x "$innd" ] && [ "$(id -u)" = 0 ]; then
  ctest --test-dir "$build" --output-on-failure --timeout 300 -L interop
else
  echo "interop tests skipped: $innd is not installed or not running as root"
fi
