#!/usr/bin/env bash
# Installs what building and running Tarvik needs (not the test tools), builds Tarvik in
# build-run/ and starts it with the sample configuration (placed beside the executable only
# where no Config or html file exists yet). The build tree is one of its own, without the
# tests, so that it neither needs GoogleTest nor changes the tree scripts/test.sh builds.
# Without a display Tarvik runs headless: the motor and the web server still work.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh run
cmake -S . -B build-run -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_TESTS=OFF >/dev/null
cmake --build build-run --target tarvik tarvik_sample_files -j "$(nproc)"
exec build-run/app/tarvik "$@"
