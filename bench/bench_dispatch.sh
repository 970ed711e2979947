#!/bin/bash
# Dispatcher benchmark: requests/s of "detection_sessionid" with a live
# session through our webserver, against a bare libmicrohttpd server
# (bench/bare_mhd.c) answering the same JSON text from memory.
#
#   bench/bench_dispatch.sh BUILD_DIR [SECONDS] [CONNECTIONS]
#
# Builds nothing: BUILD_DIR must hold webserver, devsim and bare_mhd. Runs as
# root in a private mount namespace with tmpfs over /mnt and /tmp (the real
# ones are not touched); the sample web_root is copied to /mnt/app/web_root,
# devsim plays the device applications (for the login's password check) and
# the webserver is started as `webserver PORT lo` with its standard output
# and error redirected to a file, as on a device. Host network, 127.0.0.1
# only. Prints a "ROW|..." line for bench/run_all.sh. Ports: BENCH_PORT_BARE (default 28091), BENCH_PORT_WEB (28090).
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"

: "${1:?usage: bench/bench_dispatch.sh BUILD_DIR [SECONDS] [CONNECTIONS]}"
seconds=${2:-5}
connections=${3:-16}
port_bare=${BENCH_PORT_BARE:-28091}
port_web=${BENCH_PORT_WEB:-28090}

command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 1; }
bench_enter "webserver devsim bare_mhd" "$@"
bench_cover_tmp
bench_device_files "$port_web"

wait_listen() {
    local port=$1 pid=$2
    for ((i = 0; i < 2000; i++)); do
        { : <>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null && return 0
        kill -0 "$pid" 2>/dev/null || { echo "process $pid ended before listening on $port" >&2; return 1; }
        sleep 0.01
    done
    echo "nothing listens on $port" >&2
    return 1
}

/mnt/bench/devsim --quiet --table /mnt/app/web_root/config/command_para >/tmp/devsim.log 2>&1 &
bench_pids+=($!)
for ((i = 0; i < 500; i++)); do [[ -S /tmp/ipc/app_system ]] && break; sleep 0.01; done

/mnt/bench/bare_mhd "$port_bare" /mnt/app/web_root login.html /json >/tmp/bare.log 2>&1 &
bare_pid=$!
bench_pids+=("$bare_pid")
/mnt/bench/webserver "$port_web" lo >/tmp/webserver.log 2>&1 &
web_pid=$!
bench_pids+=("$web_pid")
wait_listen "$port_bare" "$bare_pid"
wait_listen "$port_web" "$web_pid"

login=$(curl -s -X POST --data '{"username": "admin", "password": "qorvu", "timeout": 1800}' \
    "http://127.0.0.1:$port_web/action/device/login")
sid=$(sed -n 's/.*"sessionid":[[:space:]]*"\([0-9a-f-]*\)".*/\1/p' <<<"$(tr -d '\n' <<<"$login")")
[[ -n $sid ]] || { echo "login failed: $login" >&2; exit 1; }
path_web="/action/device/detection_sessionid?sessionid=$sid"

ok=$(curl -s "http://127.0.0.1:$port_web$path_web")
bare=$(curl -s "http://127.0.0.1:$port_bare/json")
[[ $ok == "$bare" ]] || { echo "answers differ: [$ok] vs [$bare]" >&2; exit 1; }

run_wrk() {
    local url=$1 out
    out=$(wrk -t2 -c"$connections" -d"${seconds}s" "$url")
    if grep -q 'Non-2xx' <<<"$out"; then
        echo "wrk saw error answers on $url:" >&2
        echo "$out" >&2
    fi
    awk '/^Requests\/sec:/ { printf "%.0f\n", $2 }' <<<"$out"
}

# Alternate the two servers and keep the best run of each, which evens out
# noise from other work on the machine.
rounds=${BENCH_ROUNDS:-3}
best_bare=0
best_web=0
for ((round = 0; round < rounds; round++)); do
    r=$(run_wrk "http://127.0.0.1:$port_bare/json"); ((r > best_bare)) && best_bare=$r
    r=$(run_wrk "http://127.0.0.1:$port_web$path_web"); ((r > best_web)) && best_web=$r
done

# The session is still live afterwards (the check does not refresh it).
after=$(curl -s "http://127.0.0.1:$port_web$path_web")
[[ $after == "$ok" ]] || echo "warning: session check answered $after after the runs" >&2

awk -v bb="$best_bare" -v bw="$best_web" -v c="$connections" -v s="$seconds" -v n="$rounds" 'BEGIN {
    printf "detection_sessionid with a live session, wrk -t2 -c%d -d%ds, best of %d runs each\n", c, s, n
    printf "%-14s %12s %12s   %s\n", "", "bare_mhd", "webserver", "result (target)"
    printf "%-14s %12d %12d   %.2fx (>= 0.90x)\n", "requests/s", bb, bw, (bb > 0 ? bw / bb : 0)
    printf "ROW|detection_sessionid req/s|%d|%d|%.2fx|>= 0.90x\n", bw, bb, (bb > 0 ? bw / bb : 0)
}'
