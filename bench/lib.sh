# shellcheck shell=bash
# The prelude shared by the benchmarks; sourced, not run.
#
# bench_static.sh, bench_dispatch.sh and bench_forward.sh run their servers
# in a private mount namespace with tmpfs over /mnt and /tmp, so the real
# ones are never touched. Such a script reads its arguments, then:
#
#   bench_enter "webserver bare_mhd" "$@"   # the programs BUILD_DIR ($1) must hold
#   ...copy what else it needs from $repo to /mnt...
#   bench_cover_tmp
#
# Outside the namespace bench_enter checks BUILD_DIR and runs the script
# again inside a new namespace with BUILD_DIR made absolute; it does not
# return. Inside it covers /mnt, copies the programs to /mnt/bench and the
# sample web_root to /mnt/app/web_root, and stops every process listed in
# bench_pids when the script ends. /tmp is covered last, after the copies,
# in case the build or the checkout lives under /tmp.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bench_pids=()

# bench_check_programs BUILD_DIR PROGRAM...: exits unless BUILD_DIR holds each.
bench_check_programs() {
    local dir=$1 program
    shift
    for program in "$@"; do
        [[ -x $dir/$program ]] || { echo "missing $dir/$program (build it first, with -DWS_BENCH=ON)" >&2; exit 1; }
    done
}

# bench_enter "PROGRAM..." BUILD_DIR [ARG...]
bench_enter() {
    local programs build=$2 program
    read -ra programs <<<"$1"
    shift
    if [[ ${BENCH_INSIDE:-} != 1 ]]; then
        build=$(cd "$build" && pwd)
        bench_check_programs "$build" "${programs[@]}"
        local ns=(unshare -m --propagation private)
        [[ $(id -u) -eq 0 ]] || ns=(unshare -U -r -m --propagation private)
        exec "${ns[@]}" env BENCH_INSIDE=1 bash "$repo/bench/${0##*/}" "$build" "${@:2}"
    fi
    mount -t tmpfs -o mode=0755 tmpfs /mnt
    mkdir -p /mnt/bench /mnt/app
    for program in "${programs[@]}"; do cp "$build/$program" /mnt/bench/; done
    cp -a "$repo/web_root" /mnt/app/web_root
    trap bench_cleanup EXIT
}

bench_cover_tmp() {
    mount -t tmpfs -o mode=1777 tmpfs /tmp
}

# The folder of the device applications' sockets, and the stored web port,
# which wins over the one on the webserver's command line.
bench_device_files() {
    local port=$1
    mkdir -p /tmp/ipc /mnt/usr/config/app_parameters
    printf '{\n\t"Port":\t%d\n}' "$port" >/mnt/usr/config/app_parameters/WebServerParameter.json
}

bench_cleanup() {
    local p
    for p in "${bench_pids[@]}"; do kill "$p" 2>/dev/null || true; done
    for p in "${bench_pids[@]}"; do wait "$p" 2>/dev/null || true; done
}
