#!/usr/bin/env bash
# Installs what is missing, builds Tarvik and starts it with the sample configuration
# (placed beside the executable only where no Config or html file exists yet).
# Without a display Tarvik runs headless: the motor and the web server still work.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target tarvik tarvik_sample_files -j "$(nproc)"
exec build/app/tarvik
