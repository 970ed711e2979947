#!/usr/bin/env bash
# Installs what building needs, builds, and runs the server on the sample
# document root with the device simulator, on http://127.0.0.1:$PORT/
# (PORT defaults to 8080). Log in with admin / qorvu. Ctrl-C ends it.
#
# Whoever runs it, root included, the demo runs in a sandbox: a private user
# and mount namespace on the host's network (so a browser here reaches it),
# tmpfs over /mnt and /tmp, and stubs over sync and reboot that only record
# what would have happened (in <build>/demo/stub-calls.log). In a user
# namespace setting the clock fails (EPERM), so the pages' clock change
# answers a failure and the host's clock stays as it is.
#
# The server's and devsim's output go to <build>/demo/webserver.log and
# devsim.log; the terminal gets a short summary.
#   WS_BUILD_DIR   build folder (default build)
#   WS_DEMO_PREBUILT=1   skip the set-up and the build (the tests use it)
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
port=${PORT:-8080}
build=${WS_BUILD_DIR:-build}
[[ "$build" = /* ]] || build="$repo/$build"
demo="$build/demo"

if [[ "${WS_DEMO_NS:-}" != 1 ]]; then
    if [[ "${WS_DEMO_PREBUILT:-}" != 1 ]]; then
        scripts/setup.sh
        mkdir -p "$build"
        echo "demo: building webserver and devsim in $build (a minute or two the first time)"
        tests=()  # a new build folder skips the unit tests, which need GoogleTest
        [[ -f "$build/CMakeCache.txt" ]] || tests=(-DWS_TESTS=OFF)
        if ! { cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${tests[@]}" &&
               cmake --build "$build" -j2 --target webserver devsim; } >"$build/demo-build.log" 2>&1; then
            tail -n 30 "$build/demo-build.log"
            echo "demo: the build failed (whole log: $build/demo-build.log)" >&2
            exit 1
        fi
    fi
    rm -rf "$demo"
    mkdir -p "$demo"
    export WS_DEMO_NS=1
    exec unshare -U -r -m --propagation private "$0" "$@"
fi

# In the namespace, as its root: tmpfs /mnt and /tmp (the checkout and build stay visible).
source "$repo/scripts/private_mounts.sh"
private_mnt_and_tmp "$repo" "$build"

# Stubs over sync and reboot, in every place the server's command runner or
# a shell could find them; each prints and records what would have happened.
stubs="$demo/stubs"
mkdir -p "$stubs"
for prog in sync reboot; do
    printf '#!/bin/sh\necho "demo: would run %s $*"\necho "%s $*" >> %q\n' \
        "$prog" "$prog" "$demo/stub-calls.log" > "$stubs/$prog"
    chmod 755 "$stubs/$prog"
    for dir in /bin /sbin /usr/bin /usr/sbin; do
        [[ -e "$dir/$prog" ]] && mount --bind "$stubs/$prog" "$dir/$prog"
    done
done
if [[ ! -e /sbin/reboot ]]; then
    # No reboot program here: an overlay over /sbin holds the stub.
    mkdir -p /tmp/.sbin-upper /tmp/.sbin-work
    cp "$stubs/reboot" /tmp/.sbin-upper/reboot
    real=$(readlink -f /sbin)
    mount -t overlay overlay -o "lowerdir=$real,upperdir=/tmp/.sbin-upper,workdir=/tmp/.sbin-work" "$real"
fi
# Nor can a real reboot program reach the init system through its sockets.
for dir in /run/systemd /run/dbus /run/initctl; do
    [[ -d "$dir" ]] && mount -t tmpfs -o mode=0755 tmpfs "$dir"
done

mkdir -p /mnt/app
cp -a web_root /mnt/app/web_root
scripts/device_files.sh
# The stored port wins over the command line; store the demo port.
printf '{\n\t"Port":\t%d\n}' "$port" > /mnt/usr/config/app_parameters/WebServerParameter.json

pids=()
stop() {
    trap - EXIT INT TERM
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap stop EXIT
trap 'stop; exit 0' INT TERM

"$build/devsim" --table /mnt/app/web_root/config/command_para --scenario devsim/scenario.json \
    > "$demo/devsim.log" 2>&1 &
pids+=($!)
"$build/webserver" "$port" lo > "$demo/webserver.log" 2>&1 &
server=$!
pids+=("$server")

# The server's last start-up line says where it listens.
for ((i = 0; i < 200; i++)); do
    grep -q '^listening on ' "$demo/webserver.log" && break
    kill -0 "$server" 2>/dev/null || break
    sleep 0.05
done
if ! grep -q '^listening on ' "$demo/webserver.log"; then
    tail -n 20 "$demo/webserver.log" >&2
    echo "demo: the server did not start (port $port taken? set PORT); log: $demo/webserver.log" >&2
    exit 1
fi

shown=$demo
[[ "$demo" == "$repo"/* ]] && shown=${demo#"$repo"/}
cat <<EOF
webserver demo running in a sandbox (private /mnt and /tmp; reboot and clock changes only simulated)
  open   http://127.0.0.1:$port/   log in as admin / qorvu
         (on a remote machine: ssh -L $port:127.0.0.1:$port that-machine, then open it here)
  logs   $shown/webserver.log, $shown/devsim.log
  stop   Ctrl-C
EOF
# The server ends with status 0 on Ctrl-C (SIGINT) or SIGTERM.
wait "$server" && exit 0
echo "demo: the server ended; log: $demo/webserver.log" >&2
exit 1
