#!/usr/bin/env bash
# Installs what is missing, builds, and runs the server on the sample
# document root with the device simulator, on http://127.0.0.1:8080/.
# /mnt and /tmp are private tmpfs mounts of this run (a mount namespace of
# its own); the host's network is used, so a browser here reaches it.
# Log in with admin / qorvu. Ctrl-C ends it.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
port=${PORT:-8080}

if [[ "${WS_DEMO_NS:-}" != 1 ]]; then
    scripts/setup.sh
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build -j2 --target webserver devsim >/dev/null
    export WS_DEMO_NS=1
    if [[ $(id -u) -eq 0 ]]; then
        exec unshare -m --propagation private "$0" "$@"
    fi
    exec unshare -U -r -m --propagation private "$0" "$@"
fi

mount -t tmpfs -o mode=0755 tmpfs /mnt
mount -t tmpfs -o mode=1777 tmpfs /tmp
mkdir -p /mnt/app
cp -a web_root /mnt/app/web_root
scripts/device_files.sh
# The stored port wins over the command line; store the demo port.
printf '{\n\t"Port":\t%d\n}' "$port" > /mnt/usr/config/app_parameters/WebServerParameter.json

build/devsim --table /mnt/app/web_root/config/command_para --scenario devsim/scenario.json &
devsim_pid=$!
trap 'kill $devsim_pid 2>/dev/null' EXIT
sleep 0.3
echo "webserver on http://127.0.0.1:$port/ (admin / qorvu)"
build/webserver "$port" lo
