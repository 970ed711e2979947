#!/bin/bash
# Runs every benchmark against BUILD_DIR (a Release build holding webserver,
# devsim and the bench programs) and prints one table: figure, ours,
# reference, ratio, target. Each benchmark's own report goes to
# BUILD_DIR/bench-*.log.
#
#   bench/run_all.sh BUILD_DIR
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: bench/run_all.sh BUILD_DIR}" && pwd)
rows=()
for bench in static dispatch forward listing syscalls; do
    log="$build/bench-$bench.log"
    if ! "$here/bench_$bench.sh" "$build" >"$log" 2>&1; then
        echo "bench_$bench.sh failed, see $log:" >&2
        tail -5 "$log" >&2
    fi
    while IFS= read -r line; do rows+=("$line"); done < <(grep '^ROW|' "$log")
done
printf '%-44s %10s %10s %10s  %s\n' figure ours reference ratio target
for row in "${rows[@]}"; do
    IFS='|' read -r _ figure ours ref ratio target <<<"$row"
    printf '%-44s %10s %10s %10s  %s\n' "$figure" "$ours" "$ref" "$ratio" "$target"
done
