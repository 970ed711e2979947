# Sourced by scripts/run_tests.sh and scripts/cross.sh: adds what a test
# run's log reports to the globals `passed` and `failed`. A log without its
# closing line counts as one failure.

count_ctest() {  # log
    local line total fail
    line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests failed out of [0-9]+' "$1" | tail -1 || true)
    if [[ -z "$line" ]]; then failed=$((failed + 1)); return 0; fi
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    fail=$(sed -E 's/.*passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
    passed=$((passed + total - fail)); failed=$((failed + fail))
}

count_unittest() {  # log exit-status (Python unittest)
    local ran bad=0 n
    ran=$(grep -E '^Ran [0-9]+ tests?' "$1" | tail -1 | awk '{print $2}' || true)
    for n in $(grep -E '^FAILED \(' "$1" | tail -1 | grep -oE '(failures|errors)=[0-9]+' | cut -d= -f2 || true); do
        bad=$((bad + n))
    done
    if [[ $2 -ne 0 && $bad -eq 0 ]]; then bad=1; fi
    passed=$((passed + ${ran:-0} - bad)); failed=$((failed + bad))
}
