#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# (default 60), starting from the seed corpus in tests/fuzz/corpus. Prints a table of
# executions per target; a crash stops the run and leaves its input in build-fuzz/.
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTARVIK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)"

printf '%-12s %12s %10s %s\n' target executions seconds result
status=0
for target in request soap; do
    corpus=build-fuzz/corpus-$target
    mkdir -p "$corpus"
    log=build-fuzz/fuzz-$target.log
    if (cd build-fuzz && "./tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 "corpus-$target" "../tests/fuzz/corpus/$target" >"fuzz-$target.log" 2>&1); then
        result=ok
    else
        result="FAILED (see $log)"
        status=1
    fi
    runs=$(grep -oE 'Done [0-9]+ runs' "$log" | grep -oE '[0-9]+' || echo 0)
    printf '%-12s %12s %10s %s\n' "$target" "$runs" "$seconds" "$result"
done
exit $status
