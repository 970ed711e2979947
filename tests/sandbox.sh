#!/usr/bin/env bash
# tests/sandbox.sh CMD [ARGS...]: runs CMD in a private user, mount and network namespace that looks like
# the device (tmpfs over /mnt and /tmp, lo up, veth eth0 192.0.2.10/24, eth1 without IPv4, stubs that only
# print a line over sync and reboot). Nothing on the host's /mnt, /tmp or network is touched.
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

stubs="$build/sandbox-stubs"  # beside the build, outside the tmpfs that tests wipe
mkdir -p "$stubs"
for prog in sync reboot; do
    printf '#!/bin/sh\necho "STUB %s $*"\n' "$prog" > "$stubs/$prog" && chmod 755 "$stubs/$prog"
done

ip link set lo up
for n in 0 1; do
    ip link add eth$n type veth peer name eth${n}peer && ip link set eth$n up && ip link set eth${n}peer up
done
ip addr add 192.0.2.10/24 dev eth0

# tmpfs /mnt and /tmp; the checkout and build stay visible.
source "$repo/scripts/private_mounts.sh"
private_mnt_and_tmp "$repo" "$build"

# The command runner tries /bin/<name> then /sbin/<name>; cover both.
for target in /bin/sync /sbin/sync /bin/reboot /sbin/reboot; do
    [[ ! -e $target ]] || mount --bind "$stubs/${target##*/}" "$target"
done
if [[ ! -e /sbin/reboot && ! -e /bin/reboot ]]; then
    # No reboot program on this machine: lay an overlay over /sbin with one.
    mkdir -p /tmp/.sbin-upper /tmp/.sbin-work
    cp "$stubs/reboot" /tmp/.sbin-upper/reboot
    real=$(readlink -f /sbin)
    mount -t overlay overlay -o "lowerdir=$real,upperdir=/tmp/.sbin-upper,workdir=/tmp/.sbin-work" "$real"
fi

exec "$@"
