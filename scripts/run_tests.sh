#!/usr/bin/env bash
# Installs what is missing, builds (warnings are errors), and runs every
# test: unit tests (also under ASan/UBSan), end-to-end tests in the sandbox,
# the same for 32-bit ARM under emulation (scripts/cross.sh armhf), and the
# fuzz targets.
# Ends with one line "tests: N passed, N failed" and a non-zero status when
# anything failed.
set -uo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"

scripts/setup.sh --tests || exit 1

passed=0; failed=0
source scripts/test_counts.sh

echo "== building (a few minutes the first time)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWS_TESTS=ON -DWS_WERROR=ON >build.cmake.log 2>&1 || { cat build.cmake.log; exit 1; }
cmake --build build -j2 >build.log 2>&1 || { grep -E -A5 'error' build.log | head -60; tail -20 build.log; echo "tests: 0 passed, 1 failed"; exit 1; }

echo "== unit tests"
ctest --test-dir build --output-on-failure -j2 2>&1 | tee build/ctest.log | tail -n 15
count_ctest build/ctest.log

echo "== unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DWS_SANITIZE=ON -DWS_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null 2>&1 \
  && cmake --build build-asan -j2 >build-asan.log 2>&1 \
  || { tail -40 build-asan.log; failed=$((failed+1)); }
if [[ -x build-asan/webserver ]]; then
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        ctest --test-dir build-asan --output-on-failure -j2 2>&1 | tee build-asan/ctest.log | tail -n 15
    count_ctest build-asan/ctest.log
fi

echo "== running the end-to-end tests (about a minute)"
tests/run_e2e.sh > build/e2e.log 2>&1
e2e_rc=$?
tail -n 40 build/e2e.log
count_unittest build/e2e.log $e2e_rc

echo "== 32-bit ARM (armhf): cross build, unit and end-to-end tests under qemu-user"
scripts/cross.sh armhf > build/cross-armhf.log 2>&1
tail -n 12 build/cross-armhf.log
line=$(grep -E '^armhf: [0-9]+ passed, [0-9]+ failed$' build/cross-armhf.log | tail -1)
if [[ -n "$line" ]]; then
    passed=$((passed + $(awk '{print $2}' <<<"$line"))); failed=$((failed + $(awk '{print $4}' <<<"$line")))
else
    failed=$((failed + 1))
fi

echo "== fuzzing (about 3 minutes)"
tests/fuzz/run.sh | tee build/fuzz.log
fz=${PIPESTATUS[0]}
# Each target counts: the runner ends with "fuzz: N passed, N failed".
fuzz_line=$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed$' build/fuzz.log | tail -1)
if [[ -n "$fuzz_line" ]]; then
    read -r fp ff < <(sed -E 's/fuzz: ([0-9]+) passed, ([0-9]+) failed/\1 \2/' <<<"$fuzz_line")
    passed=$((passed + fp)); failed=$((failed + ff))
    [[ $fz -ne 0 && $ff -eq 0 ]] && failed=$((failed + 1))
else
    failed=$((failed + 1))
fi

echo "tests: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
