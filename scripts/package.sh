#!/usr/bin/env bash
# Builds the Debian package build/tarvik_<version>_<architecture>.deb, for the architecture
# of the machine it runs on.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tarvik tarvik_icon -j "$(nproc)"
(cd build && cpack -G DEB -B "$PWD" >/dev/null)
ls "$PWD"/build/tarvik_*.deb
