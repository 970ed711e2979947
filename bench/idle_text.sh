#!/bin/bash
# Writes cmake/idle-text.ld: the list of functions webserver runs while it
# starts and then waits idle, which the link places together at the front of
# the program's code, so that the code pages mapped at idle are few (the
# kernel maps code in 64 KiB runs around each page used). Regenerate it
# after larger changes to the start-up path; a missing or stale name only
# costs memory, never correctness.
#
#   bench/idle_text.sh BUILD_DIR     (a Release build; needs valgrind)
#
# Runs `webserver PORT lo` under callgrind in the benchmarks' private mount
# namespace (sample web_root, tmpfs /mnt and /tmp), connects once as the
# benchmarks do to see that it listens, waits a second, and lists every
# function of the program that ran until then.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
: "${1:?usage: bench/idle_text.sh BUILD_DIR}"
port=${BENCH_PORT_WEB:-28097}
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
bench_enter "webserver" "$@"
bench_cover_tmp

valgrind --tool=callgrind --demangle=no --callgrind-out-file=/tmp/idle.cg \
    /mnt/bench/webserver "$port" lo >/tmp/webserver.log 2>&1 &
pid=$!
bench_pids+=("$pid")
for ((i = 0; i < 600; i++)); do
    { : <>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null && break
    kill -0 "$pid" 2>/dev/null || { cat /tmp/webserver.log >&2; exit 1; }
    sleep 0.05
done
sleep 1
# What runs from here on (the stop) is not counted; the counts are written
# when the server ends.
callgrind_control -i off "$pid" >/dev/null 2>&1
kill -TERM "$pid"
wait "$pid" || true

out=$repo/cmake/idle-text.ld
{
    cat <<'HEAD'
/* Functions webserver runs while starting and idling, placed together before
 * the rest of its code (written by bench/idle_text.sh; see CMakeLists.txt). */
SECTIONS
{
  .text.idle :
  {
    *(.text.startup .text.startup.*)
HEAD
    # Names that ran, kept where they are functions of the program. A
    # constructor or destructor is in the section of one of its variants
    # (complete/base object), whichever the compiler emitted.
    LC_ALL=C join <(callgrind_annotate --inclusive=no --threshold=100 /tmp/idle.cg |
                        sed -n "s|^ *[0-9,]* ([^)]*) *[^ ]*:\([^ ]*\) \[.*\]$|\1|p" |
                        sed "s/'[0-9]*$//" | LC_ALL=C sort -u) \
                    <(nm --defined-only /mnt/bench/webserver | awk '$2 ~ /^[tTwW]$/ { print $3 }' |
                        LC_ALL=C sort -u) |
        sed -E 's/C[123]([EI])/C[123]\1/; s/D[012]([EI])/D[012]\1/' |
        LC_ALL=C sort -u | sed 's/.*/    *(.text.&)/'
    cat <<'TAIL'
  }
}
INSERT BEFORE .text;
TAIL
} >"$out"
echo "$(grep -c '^    \*(\.text\.' "$out") section patterns written to $out"
