#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for its time budget
# (seconds in tests/fuzz/budget.txt, "name seconds" per line), two at a time.
# Exit status non-zero when any target crashed, leaked or failed to build.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
build=${WS_FUZZ_BUILD_DIR:-$repo/build-fuzz}
scale=${WS_FUZZ_SCALE:-1}   # e.g. 0.1 for a quick local run

CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -DWS_FUZZ=ON -DWS_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$build.cmake.log" 2>&1 || { cat "$build.cmake.log"; exit 1; }

targets=()
for f in "$here"/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
cmake --build "$build" -j2 --target "${targets[@]}" >"$build.build.log" 2>&1 \
    || { tail -50 "$build.build.log"; echo "fuzz: 0 passed, ${#targets[@]} failed"; exit 1; }

budget() {
    local t
    t=$(awk -v n="$1" '$1==n {print $2}' "$here/budget.txt" 2>/dev/null)
    t=${t:-30}
    awk -v t="$t" -v s="$scale" 'BEGIN { v = int(t * s); if (v < 1) v = 1; print v }'
}

run_one() {
    local name=$1 secs work seeds log
    secs=$(budget "$name")
    seeds="$here/corpus/${name#fuzz_}"
    work=$(mktemp -d)
    log="$build/$name.log"
    mkdir -p "$seeds"
    (cd "$work" && "$build/$name" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 "$work" "$seeds") >"$log" 2>&1
    local rc=$?
    rm -rf "$work"
    if [[ $rc -eq 0 ]]; then
        echo "fuzz $name: ok ($secs s, $(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs)"
    else
        echo "fuzz $name: FAILED (rc $rc), log $log"; tail -40 "$log"
    fi
    return $rc
}

passed=0; failed=0
pids=(); names=()
collect() {  # waits for the running targets and counts them
    local i
    for i in "${!pids[@]}"; do
        if wait "${pids[$i]}"; then passed=$((passed+1)); else failed=$((failed+1)); fi
        cat "$build/${names[$i]}.summary"
    done
    pids=(); names=()
}
for t in "${targets[@]}"; do
    run_one "$t" > "$build/$t.summary" 2>&1 &
    pids+=($!); names+=("$t")
    if [[ ${#pids[@]} -eq 2 ]]; then collect; fi
done
collect
echo "fuzz: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
