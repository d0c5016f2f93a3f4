#!/usr/bin/env bash
# Builds the Debian package verdalix_<version>_<arch>.deb into dist/ with
# dpkg-buildpackage and debhelper (debian/), then checks it with lintian.
#   scripts/package.sh
# The source is copied to a scratch directory first, so the build leaves
# the tree (and its build/ folder) alone.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh --package
scratch=$(mktemp -d /tmp/verdalix-package-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/verdalix"
tar -C "$root" --exclude='./build*' --exclude=./demo --exclude=./dist --exclude=./.git -cf - . |
  tar -C "$scratch/verdalix" -xf -
if command -v ccache >/dev/null; then export CMAKE_CXX_COMPILER_LAUNCHER=ccache; fi
(cd "$scratch/verdalix" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" dpkg-buildpackage -b -us -uc)
mkdir -p dist
rm -f dist/verdalix_*.deb
cp "$scratch"/verdalix_*.deb dist/
lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs dist/verdalix_*.deb
ls dist/verdalix_*.deb
