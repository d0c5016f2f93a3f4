#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/*_fuzz.cpp) with clang and the address
# and undefined-behaviour sanitizers in build-fuzz/, then runs each for a
# bounded time on a copy of its seed corpus fuzz/corpus/<name>/. Fails when
# any target finds a crash, a leak, an undefined operation or an input that
# runs longer than 10 s; the input is left in build-fuzz/fuzz/ (crash-*,
# leak-*, timeout-*) and the target's log in build-fuzz/fuzz/<name>.log.
#   scripts/fuzz.sh [seconds-per-target]    (default 30)
# Replay one input: build-fuzz/fuzz/<name>_fuzz build-fuzz/fuzz/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [seconds-per-target]" >&2; exit 2 ;;
esac

scripts/install-deps.sh

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DVERDALIX_FUZZ=ON -DVERDALIX_SANITIZE=address >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target fuzz_targets

out=build-fuzz/fuzz
failed=()
for source in fuzz/*_fuzz.cpp; do
  target=$(basename "$source" .cpp)
  name=${target%_fuzz}
  if [ ! -d "fuzz/corpus/$name" ]; then
    echo "== $name: no seed corpus in fuzz/corpus/$name" >&2
    failed+=("$name")
    continue
  fi
  # The fuzzer adds what it finds to the copy; the seeds in the tree stay.
  rm -rf "$out/corpus-$name"
  cp -r "fuzz/corpus/$name" "$out/corpus-$name"
  echo "== $name: ${seconds} s"
  if (cd "$out" && "./$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "corpus-$name" >"$name.log" 2>&1); then
    grep -E '^stat::(number_of_executed_units|new_units_added):' "$out/$name.log" | tr '\n' ' '
    echo
  else
    failed+=("$name")
    tail -n 40 "$out/$name.log"
  fi
done

if [ "${#failed[@]}" -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzzing: every target ran ${seconds} s without a fault"
