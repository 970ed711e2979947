#!/usr/bin/env bash
# Installs on Debian 12 what building and the demo need; with --tests also
# what the tests need. Quiet, and no apt-get at all, when everything is there.
#   scripts/setup.sh           compiler, CMake, the libraries (about 370 MB)
#   scripts/setup.sh --tests   the above plus the test tool chain (about 1.6 GB more)
set -euo pipefail

# Building and the demo.
build_packages=(
    g++ cmake make pkg-config
    libmicrohttpd-dev libcjson-dev libnanomsg-dev libmd-dev
)
# The tests: unit, end-to-end sandbox, fuzzing, browser tests, benchmarks.
test_packages=(
    googletest libgtest-dev
    net-tools iproute2 util-linux python3 busybox
    wrk clang libclang-rt-14-dev lighttpd strace valgrind
    chromium chromium-driver python3-selenium fonts-wqy-microhei
)

with_tests=0
case "${1:-}" in
    "") ;;
    --tests) with_tests=1 ;;
    *) echo "usage: scripts/setup.sh [--tests]" >&2; exit 2 ;;
esac

missing_of() {  # package... -> those not installed
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
    done
}

missing_build=($(missing_of "${build_packages[@]}"))  # names have no blanks
missing_test=()
if [[ $with_tests -eq 1 ]]; then
    missing_test=($(missing_of "${test_packages[@]}"))
fi
total=$(( ${#missing_build[@]} + ${#missing_test[@]} ))
[[ $total -eq 0 ]] && exit 0

sudo=()
if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
        echo "setup: missing packages: ${missing_build[*]} ${missing_test[*]}" >&2
        echo "setup: run as root or install sudo (then run this again), or install them yourself:" >&2
        echo "    apt-get install ${missing_build[*]} ${missing_test[*]}" >&2
        exit 1
    fi
    sudo=(sudo)
fi

log=$(mktemp "${TMPDIR:-/tmp}/webserver-setup.XXXXXX")
apt() {  # apt-get with its output in the log, shown when it fails
    if ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "$@" >>"$log" 2>&1; then
        tail -n 30 "$log" >&2
        echo "setup: apt-get $1 failed (whole log: $log)" >&2
        exit 1
    fi
}
echo "setup: updating the package lists"
apt update -q
if [[ ${#missing_build[@]} -gt 0 ]]; then
    echo "setup: installing ${#missing_build[@]} packages for building: ${missing_build[*]}"
    apt install -y -q --no-install-recommends "${missing_build[@]}"
fi
if [[ ${#missing_test[@]} -gt 0 ]]; then
    echo "setup: installing ${#missing_test[@]} packages for the tests (a few minutes): ${missing_test[*]}"
    apt install -y -q "${missing_test[@]}"
fi
rm -f "$log"
echo "setup: done"
