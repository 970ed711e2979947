#!/usr/bin/env bash
# Cross build for the device's ARM boards, tested under emulation:
#   scripts/cross.sh armhf|arm64 [--build-only]
# Installs Debian's cross compiler and qemu-user-static when missing, makes a
# sysroot folder from the target architecture's Debian packages (apt-get
# download + dpkg -x; nothing of the target architecture is installed on this
# machine), builds the server, devsim and the unit tests with
# cmake/toolchain-<arch>.cmake, then runs the unit tests and the whole
# end-to-end suite against the ARM binaries under qemu-user in the test
# sandbox, and prints the figures for the device: stripped size, shared
# libraries needed, idle RSS under emulation.
# Output folder: build-<arch> (WS_CROSS_DIR overrides), sysroot in it.
# Ends with "<arch>: N passed, N failed" like scripts/run_tests.sh.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo"
source scripts/test_counts.sh

arch=${1:-}
case "$arch" in
    armhf) triplet=arm-linux-gnueabihf qemu=qemu-arm-static ;;
    arm64) triplet=aarch64-linux-gnu qemu=qemu-aarch64-static ;;
    *) echo "usage: scripts/cross.sh armhf|arm64 [--build-only]" >&2; exit 2 ;;
esac
build_only=0
[[ "${2:-}" == --build-only ]] && build_only=1
out=${WS_CROSS_DIR:-$repo/build-$arch}
mkdir -p "$out"
out=$(cd "$out" && pwd)
sysroot=$out/sysroot
t0=$SECONDS
step() { echo "== [$((SECONDS - t0))s] $*"; }

sudo=""
[[ $(id -u) -eq 0 ]] || sudo=sudo
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

step "host packages"
scripts/setup.sh
need=()
for p in "crossbuild-essential-$arch" qemu-user-static; do installed "$p" || need+=("$p"); done
# apt-get download of a foreign architecture's packages needs that
# architecture known to dpkg; adding it installs nothing.
if ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    $sudo dpkg --add-architecture "$arch"
    $sudo apt-get update -qq
fi
if [[ ${#need[@]} -gt 0 ]]; then
    echo "installing: ${need[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
fi

# The target's libraries: the -dev packages for headers and link names, and
# every runtime library they need (what the device must have), with the C
# and C++ runtimes qemu loads them with.
step "sysroot $sysroot"
# The C library's own -dev packages stay out: the cross compiler brings its
# headers. The other -dev packages below ours are there for their pkg-config
# files (libmicrohttpd.pc requires gnutls.pc, ...).
dev_roots=(libmicrohttpd-dev libcjson-dev libnanomsg-dev libmd-dev)
runtime_roots=(libmicrohttpd12 libcjson1 libnanomsg5 libmd0 libstdc++6 libgcc-s1 libc6)
depends() {
    apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks --no-replaces \
        --no-enhances "${@/%/:$arch}" | grep -E "^[a-z0-9][^ ]*:$arch\$" | sort -u
}
mapfile -t dev < <(depends "${dev_roots[@]}" | grep -E -- "-dev:$arch\$" \
    | grep -v -E "^(libc6|linux-libc|libcrypt|libnsl|libtirpc)-dev:")
mapfile -t runtime < <(depends "${runtime_roots[@]}")
pkgs=("${dev[@]}" "libgtest-dev:$arch" "${runtime[@]}")
stamp=$(printf '%s\n' "${pkgs[@]}" | sort | md5sum | cut -d' ' -f1)
if [[ ! -f "$sysroot/.stamp" || $(cat "$sysroot/.stamp") != "$stamp" ]]; then
    rm -rf "$sysroot" "$out/debs"
    mkdir -p "$sysroot" "$out/debs"
    (cd "$out/debs" && apt-get download -q "${pkgs[@]}" 2>&1 | grep -v '^Get:\|unsandboxed' || true)
    for deb in "$out"/debs/*.deb; do dpkg -x "$deb" "$sysroot"; done
    # Absolute links inside the packages point into the sysroot, not the host.
    find "$sysroot" -type l -lname '/*' | while read -r link; do
        ln -sfn "$sysroot$(readlink "$link")" "$link"
    done
    echo "$stamp" > "$sysroot/.stamp"
    rm -rf "$out/debs"
fi
echo "${#pkgs[@]} packages"

step "configure and build ($triplet)"
cmake -S . -B "$out" -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchain-$arch.cmake" -DWS_SYSROOT="$sysroot" \
    -DCMAKE_BUILD_TYPE=Release -DWS_WERROR=ON -DWS_TESTS=ON -DCMAKE_INSTALL_PREFIX=/usr >"$out.cmake.log" 2>&1 \
    || { cat "$out.cmake.log"; echo "$arch: 0 passed, 1 failed"; exit 1; }
cmake --build "$out" -j2 >"$out.build.log" 2>&1 \
    || { grep -E -A5 'error' "$out.build.log" | head -60; echo "$arch: 0 passed, 1 failed"; exit 1; }

step "figures"
"$triplet-strip" -o "$out/webserver.stripped" "$out/webserver"
echo "stripped size: $(stat -c %s "$out/webserver.stripped") bytes"
echo "needs: $("$triplet-readelf" -d "$out/webserver" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p' | tr '\n' ' ')"
[[ $build_only -eq 1 ]] && exit 0

passed=0; failed=0
export WS_TIME_SCALE=5  # tests with a time limit allow this many times longer
step "unit tests under $qemu"
ctest --test-dir "$out" --output-on-failure -j2 2>&1 | tee "$out/ctest.log" | tail -n 8 || true
count_ctest "$out/ctest.log"

# The harness starts $WS_BUILD_DIR/webserver and devsim behind WS_EXEC_WRAPPER.
export WS_BUILD_DIR="$out" WS_EXEC_WRAPPER="$qemu -L $sysroot"
step "idle RSS under $qemu"
tests/sandbox.sh python3 - <<'PY' || failed=$((failed + 1))
import sys, time
sys.path.insert(0, "tests/e2e")
import harness
sb = harness.Sandbox("idle-rss")
try:
    server = sb.start_server("8080", "lo")
    time.sleep(1)
    print(f"idle RSS under emulation (qemu included): {server.status('VmRSS')} kB")
finally:
    sb.cleanup()
PY

step "end-to-end tests under $qemu"
set +e
tests/run_e2e.sh > "$out/e2e.log" 2>&1
e2e_rc=$?
set -e
tail -n 25 "$out/e2e.log"
count_unittest "$out/e2e.log" $e2e_rc

step "done"
echo "$arch: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
