#!/bin/bash
# Counts the webserver's system calls per request with strace -c (all
# threads) while wrk sends keep-alive requests on one connection: a static
# 4 KiB page, detection_sessionid with a live session and a forwarded
# GetVideoOutputDisplayParameter. Prints strace's table for each and a
# ROW line per figure. Needs strace and wrk. With BENCH_CALLGRIND=1 the
# server runs under callgrind instead and the instructions per request are
# counted (profiles in BUILD_DIR/callgrind.*).
#
#   bench/bench_syscalls.sh BUILD_DIR [SECONDS]
set -euo pipefail
source "$(dirname "$0")/lib.sh"

: "${1:?usage: bench/bench_syscalls.sh BUILD_DIR [SECONDS]}"
seconds=${2:-3}
port=${BENCH_PORT_WEB:-28095}

command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 1; }
command -v strace >/dev/null || { echo "strace is not installed" >&2; exit 1; }
build_dir=$(cd "$1" && pwd)
bench_enter "webserver devsim" "$@"
bench_cover_tmp
bench_device_files "$port"
head -c 4096 /dev/zero | tr '\0' 'x' >/mnt/app/web_root/bench4k.html

/mnt/bench/devsim --quiet --table /mnt/app/web_root/config/command_para >/tmp/devsim.log 2>&1 &
bench_pids+=($!)
for ((i = 0; i < 500; i++)); do [[ -S /tmp/ipc/app_system ]] && break; sleep 0.01; done
callgrind=${BENCH_CALLGRIND:-0}
if [[ $callgrind == 1 ]]; then
    valgrind --tool=callgrind --callgrind-out-file=/tmp/callgrind.out --dump-instr=no \
        /mnt/bench/webserver "$port" lo >/tmp/webserver.log 2>&1 &
else
    /mnt/bench/webserver "$port" lo >/tmp/webserver.log 2>&1 &
fi
web_pid=$!
bench_pids+=("$web_pid")
for ((i = 0; i < 3000; i++)); do
    { : <>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null && break
    sleep 0.01
done

login=$(curl -s -X POST --data '{"username": "admin", "password": "qorvu", "timeout": 1800}' \
    "http://127.0.0.1:$port/action/device/login")
sid=$(sed -n 's/.*"sessionid":[[:space:]]*"\([0-9a-f-]*\)".*/\1/p' <<<"$(tr -d '\n' <<<"$login")")
[[ -n $sid ]] || { echo "login failed: $login" >&2; exit 1; }

count() {
    local figure=$1 path=$2 target=$3 requests calls
    curl -s -o /dev/null "http://127.0.0.1:$port$path"  # a first request fills caches
    if [[ $callgrind == 1 ]]; then
        callgrind_control -z "$web_pid" >/dev/null
        requests=$(wrk -t1 -c1 -d"${seconds}s" "http://127.0.0.1:$port$path" |
            awk '/requests in/ { print $1 }')
        callgrind_control -d "$figure" "$web_pid" >/dev/null
        local out
        out=$(ls -t /tmp/callgrind.out.* | head -1)
        cp "$out" "$build_dir/callgrind.${figure// /_}"
        calls=$(awk '/^summary:/ { print $2 }' "$out")
        echo "== $figure: $requests requests, $calls instructions"
        awk -v f="$figure" -v c="$calls" -v r="$requests" \
            'BEGIN { printf "ROW|instructions/request %s|%.0f|-|-|-\n", f, (r > 0 ? c / r : 0) }'
        return
    fi
    strace -f -c -o /tmp/strace.out -p "$web_pid" &
    local strace_pid=$!
    sleep 0.5
    requests=$(wrk -t1 -c1 -d"${seconds}s" "http://127.0.0.1:$port$path" |
        awk '/requests in/ { print $1 }')
    kill -INT "$strace_pid"
    wait "$strace_pid" || true
    echo "== $figure: $requests requests"
    cat /tmp/strace.out
    # The total line: % seconds usecs/call calls [errors] total
    calls=$(awk '$NF == "total" { print $4 }' /tmp/strace.out)
    awk -v f="$figure" -v c="$calls" -v r="$requests" -v t="$target" \
        'BEGIN { printf "ROW|syscalls/request %s|%.2f|-|-|%s\n", f, (r > 0 ? c / r : 0), t }'
}
count "static 4 KiB" /bench4k.html "<= 3"
count "detection_sessionid" "/action/device/detection_sessionid?sessionid=$sid" "<= 3 + 1 write"
count "forwarded GetX" "/action/device/GetVideoOutputDisplayParameter?sessionid=$sid" "-"
