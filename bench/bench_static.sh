#!/bin/bash
# Static document benchmark: our webserver against a bare libmicrohttpd
# server (bench/bare_mhd.c) and lighttpd serving the same 4 KiB page.
#
#   bench/bench_static.sh BUILD_DIR [SECONDS] [CONNECTIONS]
#
# Builds nothing: BUILD_DIR must hold webserver and bare_mhd. Runs as root in
# a private mount namespace with tmpfs over /mnt and /tmp (the real ones are
# not touched); the sample web_root is copied to /mnt/app/web_root and the
# webserver is started as `webserver PORT lo`. The host network is used, on
# 127.0.0.1 only. Every server runs with its standard output and error
# redirected to files, as on a device (no stdbuf). Measures with wrk:
# requests/s of GET /bench4k.html (4096 bytes) on each, the servers' CPU time
# per request, idle RSS and private dirty memory after start, and the time
# from exec to the first accepted TCP connection. lighttpd adds the security
# and cache headers of the webserver's answer, so that both answers carry the
# same fields and wrk parses as much for each. Ports: BENCH_PORT_BARE
# (default 28081), BENCH_PORT_WEB (28080), BENCH_PORT_LIGHTTPD (28082).
# Lines "ROW|figure|ours|reference|ratio|target" feed bench/run_all.sh.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"

: "${1:?usage: bench/bench_static.sh BUILD_DIR [SECONDS] [CONNECTIONS]}"
seconds=${2:-5}
connections=${3:-16}
port_bare=${BENCH_PORT_BARE:-28081}
port_web=${BENCH_PORT_WEB:-28080}
port_lighttpd=${BENCH_PORT_LIGHTTPD:-28082}
file=bench4k.html

command -v wrk >/dev/null || { echo "wrk is not installed" >&2; exit 1; }
bench_enter "webserver bare_mhd" "$@"
bench_cover_tmp
[[ -f /mnt/app/web_root/config/command_para ]] || { echo "no command_para in web_root" >&2; exit 1; }
head -c 4096 /dev/zero | tr '\0' 'x' >"/mnt/app/web_root/$file"
lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
[[ -x $lighttpd ]] || { echo "lighttpd is not installed (scripts/setup.sh)" >&2; exit 1; }

# Starts a program in the background; sets started_pid and started_ms, the
# milliseconds from the fork to the first TCP connection the port accepts.
start_and_time() {
    local port=$1 log=$2
    shift 2
    local t0 t1
    t0=$EPOCHREALTIME
    "$@" >"$log" 2>&1 &
    started_pid=$!
    bench_pids+=("$started_pid")
    for ((i = 0; i < 200000; i++)); do
        if { : <>"/dev/tcp/127.0.0.1/$port"; } 2>/dev/null; then
            t1=$EPOCHREALTIME
            started_ms=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.1f", (b - a) * 1000 }')
            return 0
        fi
        kill -0 "$started_pid" 2>/dev/null || {
            echo "$* exited early; its output:" >&2
            cat "$log" >&2
            return 1
        }
    done
    echo "$* never listened on $port" >&2
    return 1
}

rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# Private dirty memory of a process: its anonymous pages (heap, stacks,
# written data). The Private_Dirty of smaps would also count the program's
# own text, because pages of a file on tmpfs (where the bench copies the
# programs) are always dirty; on a device they come from flash and are clean.
dirty_kib() { awk '/^Anonymous:/ { print $2 }' "/proc/$1/smaps_rollup"; }
# Anonymous KiB by mapping, largest first (where the idle memory goes).
dirty_by_mapping() {
    awk '/^[0-9a-f]+-[0-9a-f]+ / { name = ($6 == "" ? "[anon " $1 "]" : $6) }
         /^Anonymous:/ && $2 > 0 { kib[name] += $2 }
         END { for (n in kib) printf "%8d %s\n", kib[n], n }' "/proc/$1/smaps" | sort -rn | head -12
}

# CPU time (user + system) of a process in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }

# One wrk run against a server; prints "REQUESTS_PER_SECOND MICROSECONDS_OF_CPU_PER_REQUEST".
run_wrk() {
    local port=$1 pid=$2 out c0 c1
    c0=$(cpu_ticks "$pid")
    out=$(wrk -t2 -c"$connections" -d"${seconds}s" "http://127.0.0.1:$port/$file")
    c1=$(cpu_ticks "$pid")
    if grep -q 'Non-2xx' <<<"$out"; then
        echo "wrk saw error answers on port $port:" >&2
        echo "$out" >&2
    fi
    awk -v ticks=$((c1 - c0)) -v hz="$(getconf CLK_TCK)" '
        / requests in / { n = $1 }
        /^Requests\/sec:/ { rps = $2 }
        END { printf "%.0f %.1f\n", rps, (n > 0 ? ticks * 1e6 / hz / n : 0) }' <<<"$out"
}

start_and_time "$port_bare" /tmp/bare.log /mnt/bench/bare_mhd "$port_bare" /mnt/app/web_root "$file" /json
bare_pid=$started_pid
bare_ms=$started_ms
start_and_time "$port_web" /tmp/webserver.log /mnt/bench/webserver "$port_web" lo
web_pid=$started_pid
web_ms=$started_ms

sleep 0.5
bare_rss=$(rss_kib "$bare_pid")
web_rss=$(rss_kib "$web_pid")
bare_dirty=$(dirty_kib "$bare_pid")
web_dirty=$(dirty_kib "$web_pid")
echo "webserver anonymous memory by mapping (KiB):"; dirty_by_mapping "$web_pid"
echo "bare_mhd anonymous memory by mapping (KiB):"; dirty_by_mapping "$bare_pid"

code=$(curl -s -o /dev/null -w '%{http_code}' "http://127.0.0.1:$port_web/$file" 2>/dev/null || echo "?")
[[ $code == 200 ]] || echo "warning: webserver answered $code for /$file" >&2

# lighttpd adds the security and cache headers of the webserver's answer,
# taken from that answer, so that both carry the same fields.
{
    cat <<EOF
server.document-root = "/mnt/app/web_root"
server.bind = "127.0.0.1"
server.port = $port_lighttpd
server.errorlog = "/tmp/lighttpd.err"
mimetype.assign = (".html" => "text/html")
server.modules += ("mod_setenv")
EOF
    echo "setenv.add-response-header = ("
    curl -s -D - -o /dev/null "http://127.0.0.1:$port_web/$file" | tr -d '\r' |
        awk '{ i = index($0, ": "); name = substr($0, 1, i - 1) }
             i > 0 && tolower(name) ~ /^(cache-control|x-content-type-options|x-frame-options|content-security-policy|referrer-policy)$/ {
                 printf "    \"%s\" => \"%s\",\n", name, substr($0, i + 2) }'
    echo ")"
} >/tmp/lighttpd.conf
start_and_time "$port_lighttpd" /tmp/lighttpd.log "$lighttpd" -D -f /tmp/lighttpd.conf
lighttpd_pid=$started_pid
for p in "$port_web" "$port_lighttpd"; do
    echo "answer head on port $p:"
    curl -s -D - -o /dev/null "http://127.0.0.1:$p/$file" | tr -d '\r'
done

# Alternate the three servers and keep the best run of each, which evens
# out noise from other work on the machine. The CPU time per request (the
# lowest of the rounds) is the figure least disturbed by such noise: on two
# cores wrk takes what the server leaves, so requests/s also moves with the
# scheduler.
rounds=${BENCH_ROUNDS:-5}
best_bare=0 best_web=0 best_light=0 cpu_bare=0 cpu_web=0 cpu_light=0
low() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == 0 || b < a) ? b : a }'; }
for ((round = 1; round <= rounds; round++)); do
    read -r r c < <(run_wrk "$port_bare" "$bare_pid")
    if ((r > best_bare)); then best_bare=$r; fi
    cpu_bare=$(low "$cpu_bare" "$c")
    read -r r c < <(run_wrk "$port_web" "$web_pid")
    if ((r > best_web)); then best_web=$r; fi
    cpu_web=$(low "$cpu_web" "$c")
    read -r r c < <(run_wrk "$port_lighttpd" "$lighttpd_pid")
    if ((r > best_light)); then best_light=$r; fi
    cpu_light=$(low "$cpu_light" "$c")
done

awk -v bb="$best_bare" -v bw="$best_web" -v bl="$best_light" -v rb="$bare_rss" -v rw="$web_rss" \
    -v db="$bare_dirty" -v dw="$web_dirty" -v cb="$cpu_bare" -v cw="$cpu_web" -v cl="$cpu_light" \
    -v tb="$bare_ms" -v tw="$web_ms" -v c="$connections" -v s="$seconds" -v f="$file" -v n="$rounds" 'BEGIN {
    printf "static file /%s (4096 bytes), wrk -t2 -c%d -d%ds, best of %d runs each\n", f, c, s, n
    printf "%-26s %12s %12s %12s\n", "", "lighttpd", "bare_mhd", "webserver"
    printf "%-26s %12d %12d %12d\n", "requests/s", bl, bb, bw
    printf "%-26s %12.1f %12.1f %12.1f\n", "server CPU us/request", cl, cb, cw
    printf "%-26s %12s %12d %12d\n", "idle RSS (KiB)", "", rb, rw
    printf "%-26s %12s %12d %12d\n", "idle anonymous (KiB)", "", db, dw
    printf "%-26s %12s %12.1f %12.1f\n", "start to listen (ms)", "", tb, tw
    printf "ROW|static 4 KiB req/s vs lighttpd|%d|%d|%.2fx|>= 1.00x\n", bw, bl, (bl > 0 ? bw / bl : 0)
    printf "ROW|static 4 KiB server CPU us/request vs lighttpd|%.1f|%.1f|%.2fx|<= 1.00x\n", cw, cl, (cl > 0 ? cw / cl : 0)
    printf "ROW|static 4 KiB req/s vs bare libmicrohttpd|%d|%d|%.2fx|> 1.00x\n", bw, bb, (bb > 0 ? bw / bb : 0)
    printf "ROW|idle RSS KiB (vs bare C server)|%d|%d|%+d KiB|<= +1024 KiB\n", rw, rb, rw - rb
    printf "ROW|idle private dirty (anonymous) KiB|%d|%d|%+d KiB|<= +256 KiB\n", dw, db, dw - db
    printf "ROW|start to listen ms|%.1f|%.1f|-|< 50 ms\n", tw, tb
}'
