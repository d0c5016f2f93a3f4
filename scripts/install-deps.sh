#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are absent.
set -euo pipefail
# clang and libclang-rt-dev (its libFuzzer runtime) serve scripts/fuzz.sh;
# gpgv checks control-message signatures, gnupg makes the tests' keys;
# clang-format and clang-tidy serve scripts/check-style.sh; tmux, slrn and
# tin drive the readers' tests, python3 the nntplib test; libmicrohttpd-dev
# serves the metrics; chromium, its driver and python3-selenium drive the
# status page's browser test; libcrypt-dev
# checks and makes login password hashes; libssl-dev carries TLS and openssl
# makes the demo's certificate.
packages=(cmake g++ make pkg-config tcl-dev libgtest-dev libbenchmark-dev libmicrohttpd-dev clang libclang-rt-dev
          gpgv gnupg clang-format clang-tidy tmux slrn tin python3 chromium chromium-driver python3-selenium
          libcrypt-dev libssl-dev openssl)
# --package adds what scripts/package.sh needs.
[ "${1:-}" = --package ] && packages+=(debhelper dpkg-dev fakeroot lintian adduser)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
  sudo=(sudo)
fi
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
