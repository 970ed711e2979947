#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for its time budget (seconds in tests/fuzz/budget.txt, "name
# seconds" per line), two at a time. Exit status non-zero when any target crashed, leaked or failed to build.
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

run_one() {  # prints one summary line (and the log's tail on failure); status of the run
    local name=$1 secs work log="$build/$1.log" seeds="$here/corpus/${1#fuzz_}"
    secs=$(awk -v n="$name" -v s="$scale" '$1==n {t=$2} END {v=int((t?t:30)*s); print v<1?1:v}' "$here/budget.txt")
    work=$(mktemp -d)
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

passed=0; failed=0; pids=(); names=()
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
