#!/usr/bin/env bash
# Style checks: clang-format (.clang-format) and clang-tidy (.clang-tidy).
#   scripts/check-style.sh            both checks below
#   scripts/check-style.sh --format   lines changed since the branch left main
#                                     (commits and uncommitted edits) must be
#                                     in the .clang-format layout
#   scripts/check-style.sh --tidy     clang-tidy over the server's and corvask's
#                                     sources; needs build/compile_commands.json
#                                     (VERDALIX_BUILD_DIR names another build)
#   scripts/check-style.sh --files F...  whole files in the layout (new files)
# Only changed lines are held to the layout: the older sources keep some
# hand-aligned tables and line breaks the formatter would redo, and rewriting
# them all would bury their history.
# VERDALIX_STYLE_BASE overrides the commit changes are counted from.
set -euo pipefail
cd "$(dirname "$0")/.."

server_dirs="server nntp article history groups feed access control date platform corvask"

need()
{
    command -v "$1" >/dev/null || { echo "check-style: $1 is not installed (scripts/install-deps.sh)" >&2; exit 1; }
}

check_format()
{
    need git-clang-format
    if ! git rev-parse --git-dir >/dev/null 2>&1; then
        echo "check-style: not a git checkout, format check skipped"
        return 0
    fi
    local base="${VERDALIX_STYLE_BASE:-}"
    if [ -z "$base" ]; then
        base=$(git merge-base HEAD main 2>/dev/null) || {
            echo "check-style: no branch main to compare with, format check skipped"
            return 0
        }
    fi
    local diff
    diff=$(git clang-format --diff --extensions cpp,h "$base" -- 2>&1) || true
    case "$diff" in
      "" | "no modified files to format" | "clang-format did not modify any files") ;;
      *)
        echo "$diff"
        echo "check-style: changed lines are not in the .clang-format layout;" \
             "'git add' the files, then 'git clang-format $base' rewrites them" >&2
        return 1 ;;
    esac
    echo "check-style: format of changed lines ok"
}

check_files()
{
    need clang-format
    clang-format --dry-run -Werror "$@"
    echo "check-style: format of $# file(s) ok"
}

check_tidy()
{
    need clang-tidy
    local build="${VERDALIX_BUILD_DIR:-build}"
    if [ ! -f "$build/compile_commands.json" ]; then
        echo "check-style: $build/compile_commands.json missing; configure with cmake first" >&2
        return 1
    fi
    local sources
    # shellcheck disable=SC2086
    sources=$(find $server_dirs -maxdepth 1 -name '*.cpp' | sort)
    # --quiet drops the counts of suppressed warnings; findings still print.
    if ! printf '%s\n' $sources | xargs -n 4 -P "$(nproc)" clang-tidy -p "$build" --quiet 2>/dev/null; then
        echo "check-style: clang-tidy findings above (.clang-tidy)" >&2
        return 1
    fi
    echo "check-style: clang-tidy ok ($(printf '%s\n' $sources | wc -l) files)"
}

case "${1:-}" in
  --format) check_format ;;
  --tidy) check_tidy ;;
  --files) shift; [ "$#" -gt 0 ] || { echo "usage: $0 --files FILE..." >&2; exit 2; }; check_files "$@" ;;
  "") check_format; check_tidy ;;
  *) echo "usage: $0 [--format|--tidy|--files FILE...]" >&2; exit 2 ;;
esac
