#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh              plain build in build/
#   scripts/test.sh --sanitize   address+undefined sanitizers, in build-asan/
#   scripts/test.sh --tsan       thread sanitizer, in build-tsan/
#   scripts/test.sh --plain      the same as no option, so a second one can follow
# A second argument names test folders, separated by "|" (e.g. 'e2e|feed'):
# only the server and those test programs are built, and only their tests
# run (the interop label not among them).
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
sanitize=""
case "${1:-}" in
  --sanitize) build=build-asan; sanitize=address ;;
  --tsan) build=build-tsan; sanitize=thread ;;
  ""|--plain) ;;
  *) echo "usage: $0 [--plain|--sanitize|--tsan] [folder|folder...]" >&2; exit 2 ;;
esac
folders="${2:-}"
if [[ -n "$folders" && ! "$folders" =~ ^[a-z0-9_]+(\|[a-z0-9_]+)*$ ]]; then
  echo "$0: test folders are names separated by '|', not '$folders'" >&2
  exit 2
fi

scripts/install-deps.sh
scripts/check-layers.sh

cmake -S . -B "$build" -DVERDALIX_SANITIZE="$sanitize" >/dev/null
if [ -n "$folders" ]; then
  targets=(verdalix)
  IFS='|' read -ra names <<< "$folders"
  for name in "${names[@]}"; do targets+=("test_$name"); done
  cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"
  ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300 -L "^($folders)\$" -LE interop
  exit 0
fi
cmake --build "$build" -j"$(nproc)"
# The package is built once, by the plain run: sanitizers change nothing in it.
excluded=interop
[ -z "$sanitize" ] || excluded="interop|package"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 600 -LE "$excluded"
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
