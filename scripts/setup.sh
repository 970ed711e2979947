#!/usr/bin/env bash
# Installs what building, running and testing webserver needs on Debian 12.
# Idempotent: quiet, and no apt-get at all, when everything is there.
set -euo pipefail

packages=(
    g++ cmake make pkg-config
    libmicrohttpd-dev libcjson-dev libnanomsg-dev libmd-dev
    googletest libgtest-dev
    net-tools iproute2 util-linux python3 busybox
    wrk clang libclang-rt-14-dev
    chromium chromium-driver python3-selenium fonts-wqy-microhei
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo=sudo
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
