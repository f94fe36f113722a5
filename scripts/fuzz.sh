#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each, starting from the seed corpus in
# tests/fuzz/corpus (a regression input for every fault found so far among the seeds). Prints
# a table of executions per target; a crash stops the run and leaves its input in build-fuzz/.
#
#   scripts/fuzz.sh [SECONDS]   each target for SECONDS (default 60)
#   scripts/fuzz.sh --long      each target for at least 10 million executions
set -euo pipefail
cd "$(dirname "$0")/.."
limit=(-max_total_time="${1:-60}")
[ "${1:-}" = "--long" ] && limit=(-runs=10000000)
scripts/install-deps.sh
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DTARVIK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$(nproc)"

printf '%-8s %12s %10s %s\n' target executions seconds result
status=0
for target in turn soap onvif probe; do
    corpus=build-fuzz/corpus-$target
    mkdir -p "$corpus"
    log=build-fuzz/fuzz-$target.log
    start=$(date +%s)
    if (cd build-fuzz && "./tests/fuzz/fuzz_$target" "${limit[@]}" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
        "corpus-$target" "../tests/fuzz/corpus/$target" >"fuzz-$target.log" 2>&1); then
        result=ok
    else
        result="FAILED (see $log)"
        status=1
    fi
    runs=$(grep -oE 'Done [0-9]+ runs' "$log" | grep -oE '[0-9]+' || echo 0)
    printf '%-8s %12s %10s %s\n' "$target" "$runs" "$(( $(date +%s) - start ))" "$result"
done
exit $status
