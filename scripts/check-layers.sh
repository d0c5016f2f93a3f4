#!/usr/bin/env bash
# Keeps the layer order of docs/design.md: fails when a module includes a
# header of a layer above its own, or when a source outside platform/ (and
# the corvask/ library, which has its own I/O) makes one of the system calls
# that platform/ wraps.
#   scripts/check-layers.sh [source root]
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
cd "$root"

# "layer N name: entry entry ..." lines of the design document; an entry is
# a module (folder/name) or a whole folder (folder/*).
layers=$(sed -n 's/^layer \([0-9]\+\) [a-z]*: //p' docs/design.md | awk '{print NR - 1 ": " $0}')
if [ -z "$layers" ]; then
  echo "check-layers: no layer table in docs/design.md" >&2
  exit 2
fi

# X_internal.h and X_format.h belong to module X; a folder's own internal.h
# (corvask/) to the module named after the folder.
module_of() {
  local base=${1%.*}
  local folder=${base%%/*} name=${base#*/}
  [ "$name" = internal ] && name=$folder
  name=${name%_internal}
  name=${name%_format}
  echo "$folder/$name"
}

# The layer of a module: its own entry, else its folder's; empty when none.
layer_of() {
  local module=$1 folder=${1%%/*}
  awk -v m="$module" -v f="$folder/*" '
    { for (i = 2; i <= NF; ++i) { if ($i == m) exact = $1; if ($i == f && wild == "") wild = $1 } }
    END { sub(":", "", exact); sub(":", "", wild); print (exact != "" ? exact : wild) }' <<<"$layers"
}

# Calls that belong to platform/ only. A name counts when it is called
# directly or through ::/std::, not as a member (x.send(, x->connect().
raw_calls='socket|socketpair|setsockopt|getsockopt|bind|listen|accept4?|connect|getsockname|getpeername'
raw_calls+='|send|sendto|sendmsg|recv|recvfrom|sendfile|getaddrinfo|getnameinfo'
raw_calls+='|fork|vfork|execl|execlp|execle|execv|execvp|execve|waitpid|kill|system|popen|pclose'
raw_calls+='|signal|sigaction|sigwait|pthread_sigmask|openlog|syslog|closelog'
raw_calls+='|open|openat|close|read|write|pread|pwrite|lseek|fsync|fdatasync|ftruncate|fallocate'
raw_calls+='|dup|dup2|fcntl|mmap|munmap|unlink|rename|mkdir|opendir|stat|fstat|access|readlink'
raw_pattern="(^|[^A-Za-z0-9_.>:]|::)($raw_calls)[[:space:]]*\\("

folders=$(find . -mindepth 1 -maxdepth 1 -type d ! -name '.*' ! -name 'build*' \
            ! -name tests ! -name bench ! -name tools ! -name fuzz ! -name docs ! -name etc ! -name scripts \
            -printf '%f\n' | sort)
failures=0
declare -A layer_cache
cached_layer() {
  if [ -z "${layer_cache[$1]+set}" ]; then
    layer_cache[$1]=$(layer_of "$1")
  fi
  echo "${layer_cache[$1]}"
}

for folder in $folders; do
  for file in "$folder"/*.cpp "$folder"/*.h; do
    [ -e "$file" ] || continue
    module=$(module_of "$file")
    own=$(cached_layer "$module")
    if [ -z "$own" ]; then
      echo "$file: module $module has no layer in docs/design.md"
      failures=$((failures + 1))
      continue
    fi
    while IFS=: read -r line header; do
      target=$(module_of "$header")
      [ "$target" = "$module" ] && continue
      theirs=$(cached_layer "$target")
      if [ -n "$theirs" ] && [ "$theirs" -gt "$own" ]; then
        echo "$file:$line: $module (layer $own) includes $header (layer $theirs)"
        failures=$((failures + 1))
      fi
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]*/' "$file" |
             sed 's/^\([0-9]*\):[^"]*"\([^"]*\)".*/\1:\2/' || true)
    case "$folder" in platform | corvask) continue ;; esac
    # Comments and string literals are no calls.
    while IFS=: read -r line _; do
      echo "$file:$line: a system call outside platform/: $(sed -n "${line}s/^[[:space:]]*//p" "$file")"
      failures=$((failures + 1))
    done < <(sed -E 's://.*$::; s/"([^"\\]|\\.)*"/""/g' "$file" | grep -nE "$raw_pattern" || true)
  done
done

if [ "$failures" -ne 0 ]; then
  echo "check-layers: $failures violation(s) of the layer order (docs/design.md)" >&2
  exit 1
fi
echo "check-layers: layer order kept"
