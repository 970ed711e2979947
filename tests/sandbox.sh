#!/usr/bin/env bash
# Runs a command inside a private user, mount and network namespace that
# looks like the device: tmpfs over /mnt and /tmp, loopback up, a veth named
# eth0 with 192.0.2.10/24, and stubs over sync and reboot that only print a
# marker line. Nothing on the host's /mnt, /tmp or network is touched.
#   tests/sandbox.sh CMD [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")

if [[ "${WS_SANDBOX:-}" != 1 ]]; then
    export WS_SANDBOX=1
    exec unshare -U -r -m -n --propagation private "$0" "$@"
fi

build=${WS_BUILD_DIR:-build}
[[ "$build" = /* ]] || build="$repo/$build"
export WS_BUILD_DIR="$build"

# Stubs live beside the build, outside the tmpfs that tests wipe.
stubs="$build/sandbox-stubs"
mkdir -p "$stubs"
printf '#!/bin/sh\necho "STUB sync $*"\n' > "$stubs/sync"
printf '#!/bin/sh\necho "STUB reboot $*"\n' > "$stubs/reboot"
chmod 755 "$stubs/sync" "$stubs/reboot"

ip link set lo up
ip link add eth0 type veth peer name eth0peer
ip addr add 192.0.2.10/24 dev eth0
ip link set eth0 up
ip link set eth0peer up
# An interface that exists but has no IPv4 address.
ip link add eth1 type veth peer name eth1peer
ip link set eth1 up
ip link set eth1peer up

# A checkout (or build) that itself lives under /mnt or /tmp stays visible:
# it is parked on a private tmpfs while the tmpfs mounts go up, then bound back.
keep=()
for dir in "$repo" "$build"; do
    case "$dir/" in /mnt/*|/tmp/*) keep+=("$dir") ;; esac
done
if [[ ${#keep[@]} -gt 0 ]]; then
    park=/srv
    [[ -d $park ]] || park=/opt
    mount -t tmpfs tmpfs "$park"
    for i in "${!keep[@]}"; do
        mkdir -p "$park/$i"
        mount --bind "${keep[$i]}" "$park/$i"
    done
fi
mount -t tmpfs -o mode=0755 tmpfs /mnt
mount -t tmpfs -o mode=1777 tmpfs /tmp
for i in "${!keep[@]}"; do
    mkdir -p "${keep[$i]}"
    mount --bind "$park/$i" "${keep[$i]}"
done

# The command runner tries /bin/<name> then /sbin/<name>; cover both.
for prog in sync reboot; do
    for dir in /bin /sbin; do
        target="$dir/$prog"
        if [[ -e "$target" ]]; then
            mount --bind "$stubs/$prog" "$target"
        fi
    done
done
if [[ ! -e /sbin/reboot && ! -e /bin/reboot ]]; then
    # No reboot program on this machine: lay an overlay over /sbin with one.
    mkdir -p /tmp/.sbin-upper /tmp/.sbin-work
    cp "$stubs/reboot" /tmp/.sbin-upper/reboot
    real=$(readlink -f /sbin)
    mount -t overlay overlay -o "lowerdir=$real,upperdir=/tmp/.sbin-upper,workdir=/tmp/.sbin-work" "$real"
fi

exec "$@"
