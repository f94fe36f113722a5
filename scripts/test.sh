#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: first the normal build,
# then the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer, then the
# tests that run the step thread beside the event loop under ThreadSanitizer, then a short
# run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure --timeout 600 -j "$jobs"

# The package test builds and checks the package; once, in the normal build above, is enough.
# The tests that use up every descriptor run there too: the sanitizers' own checks need
# descriptors of their own and would report false faults.
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_SANITIZE=ON >/dev/null
cmake --build build-asan -j "$jobs"
LSAN_OPTIONS="suppressions=$PWD/tests/sanitizer/lsan.supp" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    ctest --test-dir build-asan --output-on-failure --timeout 600 -j "$jobs" \
    -E 'PackageLayoutChecksAndInstalledRun|WithoutDescriptors|OutOfDescriptors' 

# ThreadSanitizer: the step thread and the core that shares the motor with it. (The window
# is left out: Qt's own uninstrumented threads would be reported.)
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_TSAN=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target app_tests
TSAN_OPTIONS="halt_on_error=1" \
    ctest --test-dir build-tsan --output-on-failure --timeout 600 -j "$jobs" -R 'StationTest' \
    -E 'WithoutDescriptors'

scripts/fuzz.sh 8
