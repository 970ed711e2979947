#!/bin/bash
# Forwarded command benchmark: latency (p50, p99) and throughput of a command
# that the webserver forwards over nanomsg to the device simulator, against,
# in the same run, the two bare round trips it is made of:
#   - bare_req: the same nanomsg REQ round trip to the same simulator, with a
#     new socket per request (bench/bare_req.cpp);
#   - bare_mhd: an HTTP round trip to a bare libmicrohttpd server answering a
#     fixed JSON text (bench/bare_mhd.cpp), measured with the same HTTP client.
# Target: webserver p50 <= 1.5 x (bare_req p50 + bare_mhd p50).
#
#   bench/bench_forward.sh BUILD_DIR [COUNT] [COMMAND]
#
# Builds nothing: BUILD_DIR must hold webserver, devsim, bare_req and
# bare_mhd. Runs in a private mount namespace with tmpfs over /mnt and /tmp
# (the real ones are not touched); the sample web_root is copied to
# /mnt/app/web_root, devsim serves its protocol table with
# devsim/scenario.json, and the webserver runs as `webserver PORT lo`. Only
# 127.0.0.1 is used. The HTTP client (python http.client, one keep-alive
# connection, sequential requests) logs in first and sends
# /action/device/COMMAND?sessionid=... COUNT times after a warm-up.
# Ports: BENCH_PORT_WEB (default 28090), BENCH_PORT_BARE (28091).
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"

: "${1:?usage: bench/bench_forward.sh BUILD_DIR [COUNT] [COMMAND]}"
count=${2:-2000}
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
/mnt/bench/webserver "$port_web" lo >/dev/null 2>/tmp/webserver.err &
bench_pids+=($!)
wait_for webserver port_open "$port_web"
/mnt/bench/bare_mhd "$port_bare" /mnt/app/web_root login.html "/action/device/$command" >/tmp/bare.log 2>&1 &
bench_pids+=($!)
wait_for bare_mhd port_open "$port_bare"

http_latency() {  # port path-prefix count login(0/1)
    python3 - "$@" <<'PY'
import http.client, json, sys, time
port, path, count, login = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1"
conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
def get(p, body=None):
    conn.request("POST" if body else "GET", p, body=body)
    r = conn.getresponse()
    data = r.read()
    if r.status != 200:
        raise SystemExit(f"HTTP {r.status} for {p}")
    return data
if login:
    reply = json.loads(get("/action/device/login",
                           json.dumps({"username": "admin", "password": "qorvu", "timeout": 1800})))
    path += "?sessionid=" + reply["sessionid"]
first = get(path)
if login and json.loads(first).get("Result") != "OK":
    raise SystemExit(f"{path} answered {first!r}")
for _ in range(min(200, count)):
    get(path)
lat = []
start = time.perf_counter()
for _ in range(count):
    t0 = time.perf_counter()
    get(path)
    lat.append((time.perf_counter() - t0) * 1e6)
total = time.perf_counter() - start
lat.sort()
pick = lambda p: lat[min(len(lat) - 1, int(p * (len(lat) - 1) + 0.5))]
print(f"{pick(0.50):.1f} {pick(0.99):.1f} {count / total:.0f}")
PY
}

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
    web=$(best "$web" "$(http_latency "$port_web" "/action/device/$command" "$count" 1)")
    line=$(/mnt/bench/bare_req "$url" "$command" "$count" 200)
    req=$(best "$req" "$(sed -E 's/.*p50=([0-9.]+) us p99=([0-9.]+) us throughput=([0-9]+).*/\1 \2 \3/' <<<"$line")")
    mhd=$(best "$mhd" "$(http_latency "$port_bare" "/action/device/$command" "$count" 0)")
done

awk -v w="$web" -v r="$req" -v m="$mhd" -v c="$command" -v n="$count" 'BEGIN {
    split(w, W, " "); split(r, R, " "); split(m, M, " ")
    printf "forwarded %s, %d sequential requests on one keep-alive connection, better of 2 runs\n", c, n
    printf "%-28s %10s %10s %12s\n", "", "p50 (us)", "p99 (us)", "requests/s"
    printf "%-28s %10.1f %10.1f %12d\n", "webserver -> devsim", W[1], W[2], W[3]
    printf "%-28s %10.1f %10.1f %12d\n", "bare_req (nanomsg REQ)", R[1], R[2], R[3]
    printf "%-28s %10.1f %10.1f %12d\n", "bare_mhd (HTTP)", M[1], M[2], M[3]
    sum = R[1] + M[1]
    printf "%-28s %10.1f\n", "bare_req + bare_mhd", sum
    printf "webserver p50 / (bare sum) = %.2fx (target <= 1.50x)\n", (sum > 0 ? W[1] / sum : 0)
}'
