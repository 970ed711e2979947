#!/bin/bash
# Idle memory by mapping: starts bare_mhd (the C reference) and webserver the
# way bench_static.sh does, waits for both to listen, and prints the resident
# KiB of each mapped file (and of anonymous memory) side by side, largest
# difference first, then the totals. No load is generated.
#
#   bench/rss_map.sh BUILD_DIR
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
: "${1:?usage: bench/rss_map.sh BUILD_DIR}"
port_bare=${BENCH_PORT_BARE:-28091}
port_web=${BENCH_PORT_WEB:-28090}
bench_enter "webserver bare_mhd" "$@"
bench_cover_tmp
head -c 4096 /dev/zero | tr '\0' 'x' >/mnt/app/web_root/bench4k.html

start() {
    local port=$1 log=$2
    shift 2
    "$@" >"$log" 2>&1 &
    bench_pids+=("$!")
    for ((i = 0; i < 200000; i++)); do
        { : <>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null && return 0
        kill -0 "${bench_pids[-1]}" 2>/dev/null || { cat "$log" >&2; return 1; }
    done
    return 1
}
# Rss KiB per mapping name: files by base name, anonymous memory as [anon],
# the stacks and heap as the kernel names them.
by_mapping() {
    awk '/^[0-9a-f]+-[0-9a-f]+ / { n = ($6 == "" ? "[anon]" : $6); sub(".*/", "", n) }
         /^Rss:/ { kib[n] += $2 }
         END { for (n in kib) print n, kib[n] }' "/proc/$1/smaps"
}
start "$port_bare" /tmp/bare.log /mnt/bench/bare_mhd "$port_bare" /mnt/app/web_root bench4k.html /json
bare_pid=${bench_pids[-1]}
start "$port_web" /tmp/web.log /mnt/bench/webserver "$port_web" lo
web_pid=${bench_pids[-1]}
sleep 0.5
join -a1 -a2 -e0 -o 0,1.2,2.2 <(by_mapping "$web_pid" | sort) <(by_mapping "$bare_pid" | sort) |
    awk '{ printf "%d %d %d %s\n", $2, $3, $2 - $3, $1; w += $2; b += $3 }
         END { printf "%d %d %d %s\n", w, b, w - b, "TOTAL" }' |
    sort -k3,3nr | awk 'BEGIN { printf "%8s %8s %8s  %s\n", "ours", "bare", "diff", "Rss KiB by mapping" }
                         $1 + $2 > 0 { printf "%8d %8d %+8d  %s\n", $1, $2, $3, $4 }'
printf 'anonymous KiB: ours %d, bare %d\n' \
    "$(awk '/^Anonymous:/ { print $2 }' "/proc/$web_pid/smaps_rollup")" \
    "$(awk '/^Anonymous:/ { print $2 }' "/proc/$bare_pid/smaps_rollup")"
