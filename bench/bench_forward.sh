#!/bin/bash
# Forwarded command benchmark: latency (p50, p99) and throughput of a command
# that the webserver forwards over nanomsg to the device simulator, against,
# in the same run, the two bare round trips it is made of:
#   - bare_req: the same nanomsg REQ round trip to the same simulator, with a
#     new socket per request (bench/bare_req.cpp);
#   - bare_mhd: an HTTP round trip to a bare libmicrohttpd server answering a
#     fixed JSON text (bench/bare_mhd.c), measured with the same HTTP client.
# Target: webserver p50 <= 1.25 x (bare_req p50 + bare_mhd p50).
#
#   bench/bench_forward.sh BUILD_DIR [COUNT] [COMMAND]
#
# Builds nothing: BUILD_DIR must hold webserver, devsim, bare_req and
# bare_mhd. Runs in a private mount namespace with tmpfs over /mnt and /tmp
# (the real ones are not touched); the sample web_root is copied to
# /mnt/app/web_root, devsim serves its protocol table with
# devsim/scenario.json, and the webserver runs as `webserver PORT lo`. Only
# 127.0.0.1 is used; the webserver's output goes to files, as on a device.
# Both HTTP latencies are wrk's (one connection, sequential requests, for
# BENCH_SECONDS, default 3), so the client's own cost is on both sides of the
# ratio; bare_req keeps one more nanomsg socket open for its run, as the web
# server keeps its log socket. Prints a "ROW|..." line for bench/run_all.sh.
# Ports: BENCH_PORT_WEB (default 28090), BENCH_PORT_BARE (28091).
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"

: "${1:?usage: bench/bench_forward.sh BUILD_DIR [COUNT] [COMMAND]}"
count=${2:-2000}
seconds=${BENCH_SECONDS:-3}
command=${3:-GetVideoOutputDisplayParameter}
port_web=${BENCH_PORT_WEB:-28090}
port_bare=${BENCH_PORT_BARE:-28091}

bench_enter "webserver devsim bare_req bare_mhd" "$@"
cp "$repo/devsim/scenario.json" /mnt/bench/
bench_cover_tmp
bench_device_files "$port_web"

table=/mnt/app/web_root/config/command_para
url=$(awk -v c="$command" '$1 == c && $3 ~ /^ipc/ { print $3; exit }' "$table")
[[ -n $url ]] || { echo "$command has no IPC address in $table" >&2; exit 1; }

wait_for() {  # description, test command...
    local what=$1
    shift
    for ((i = 0; i < 500; i++)); do
        "$@" 2>/dev/null && return 0
        sleep 0.01
    done
    echo "$what did not come up" >&2
    return 1
}
port_open() { { : <>"/dev/tcp/127.0.0.1/$1"; } 2>/dev/null; }

/mnt/bench/devsim --quiet --table "$table" --scenario /mnt/bench/scenario.json >/tmp/devsim.log 2>&1 &
bench_pids+=($!)
wait_for devsim test -S "${url#ipc://}"
/mnt/bench/webserver "$port_web" lo >/tmp/webserver.out 2>/tmp/webserver.err &
web_pid=$!
bench_pids+=("$web_pid")
wait_for webserver port_open "$port_web"
/mnt/bench/bare_mhd "$port_bare" /mnt/app/web_root login.html "/action/device/$command" >/tmp/bare.log 2>&1 &
bench_pids+=($!)
wait_for bare_mhd port_open "$port_bare"

# wrk with one connection (sequential requests, keep-alive) for SECONDS;
# prints "P50 P99 REQUESTS_PER_SECOND" with the latencies in microseconds.
wrk_latency() {  # url
    wrk -t1 -c1 -d"${seconds}s" --latency "$1" | awk '
        function us(v) { if (v ~ /ms$/) return v * 1000; if (v ~ /us$/) return v + 0; if (v ~ /s$/) return v * 1e6; return v }
        $1 == "50%" { p50 = us($2) }
        $1 == "99%" { p99 = us($2) }
        /^Requests\/sec:/ { rps = $2 }
        / Non-2xx / { bad = 1 }
        END { if (bad) print "error answers" > "/dev/stderr"; printf "%.1f %.1f %.0f\n", p50, p99, rps }'
}

login=$(curl -s -X POST --data '{"username": "admin", "password": "qorvu", "timeout": 1800}' \
    "http://127.0.0.1:$port_web/action/device/login")
sid=$(sed -n 's/.*"sessionid":[[:space:]]*"\([0-9a-f-]*\)".*/\1/p' <<<"$(tr -d '\n' <<<"$login")")
[[ -n $sid ]] || { echo "login failed: $login" >&2; exit 1; }
first=$(curl -s "http://127.0.0.1:$port_web/action/device/$command?sessionid=$sid")
grep -q '"Result":[[:space:]]*"OK"' <<<"$first" || { echo "$command answered $first" >&2; exit 1; }

# Alternate the three measurements twice and keep the better p50 of each.
best() {  # current-line new-line: keeps the line with the lower first field
    if [[ -z $1 ]] || awk -v a="$1" -v b="$2" 'BEGIN { split(a, x, " "); split(b, y, " "); exit !(y[1] < x[1]) }'; then
        echo "$2"
    else
        echo "$1"
    fi
}
web="" req="" mhd=""
for round in 1 2; do
    web=$(best "$web" "$(wrk_latency "http://127.0.0.1:$port_web/action/device/$command?sessionid=$sid")")
    line=$(/mnt/bench/bare_req "$url" "$command" "$count" 200)
    req=$(best "$req" "$(sed -E 's/.*p50=([0-9.]+) us p99=([0-9.]+) us throughput=([0-9]+).*/\1 \2 \3/' <<<"$line")")
    mhd=$(best "$mhd" "$(wrk_latency "http://127.0.0.1:$port_bare/action/device/$command")")
done

# Context switches of all the server's threads per forwarded request.
switches() { cat /proc/"$1"/task/*/status | awk '/ctxt_switches:/ { n += $2 } END { print n }'; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
s0=$(switches "$web_pid")
c0=$(cpu_ticks "$web_pid")
n=$(wrk -t1 -c1 -d2s "http://127.0.0.1:$port_web/action/device/$command?sessionid=$sid" | awk '/ requests in / { print $1 }')
s1=$(switches "$web_pid")
c1=$(cpu_ticks "$web_pid")
req_switches=$(sed -n 's/.*switches=\([0-9.]*\).*/\1/p' <<<"$line")
req_cpu=$(sed -n 's/.*cpu=\([0-9.]*\) us.*/\1/p' <<<"$line")
awk -v a="$s0" -v b="$s1" -v n="$n" -v r="$req_switches" -v rc="$req_cpu" -v c=$((c1 - c0)) -v hz="$(getconf CLK_TCK)" 'BEGIN {
    printf "context switches per request: webserver %.1f (all threads), bare_req %.1f\n", (b - a) / n, r
    printf "CPU per request: webserver %.1f us (all threads), bare_req %.1f us\n", c * 1e6 / hz / n, rc }'

awk -v w="$web" -v r="$req" -v m="$mhd" -v c="$command" -v n="$count" -v s="$seconds" 'BEGIN {
    split(w, W, " "); split(r, R, " "); split(m, M, " ")
    printf "forwarded %s: HTTP latency by wrk (one keep-alive connection, %d s), bare_req %d round trips; better of 2 runs\n", c, s, n
    printf "%-28s %10s %10s %12s\n", "", "p50 (us)", "p99 (us)", "requests/s"
    printf "%-28s %10.1f %10.1f %12d\n", "webserver -> devsim", W[1], W[2], W[3]
    printf "%-28s %10.1f %10.1f %12d\n", "bare_req (nanomsg REQ)", R[1], R[2], R[3]
    printf "%-28s %10.1f %10.1f %12d\n", "bare_mhd (HTTP)", M[1], M[2], M[3]
    sum = R[1] + M[1]
    printf "%-28s %10.1f\n", "bare_req + bare_mhd", sum
    printf "webserver p50 / (bare sum) = %.2fx (target <= 1.25x)\n", (sum > 0 ? W[1] / sum : 0)
    printf "ROW|forwarded %s p50 us|%.1f|%.1f|%.2fx|<= 1.25x\n", c, W[1], sum, (sum > 0 ? W[1] / sum : 0)
}'
