#!/usr/bin/env bash
# Builds the Debian package build-package/tarvik_<version>_<architecture>.deb, for the
# architecture of the machine it runs on, from a build tree installed under /usr.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${1:-build-package}
# Debian's hardening flags, as dpkg-buildpackage would set them.
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
export CXXFLAGS LDFLAGS
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DTARVIK_TESTS=OFF >/dev/null
cmake --build "$build" --target tarvik tarvik_icon tarvik_docs -j "$(nproc)"
(cd "$build" && cpack -G DEB -B "$PWD" >/dev/null)
ls "$PWD/$build"/tarvik_*.deb
