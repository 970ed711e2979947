#!/bin/bash
# Card listing benchmark: "get_video_directory" on a folder of 10 000 files
# and 1 000 subfolders, against bench/ref_scan (a bare readdir + stat loop
# with the same rules) in the same run.
#
#   bench/bench_listing.sh BUILD_DIR [REPEATS]
#
# Builds nothing: BUILD_DIR must hold webserver, devsim and ref_scan. Runs in
# the private user, mount and network namespace of tests/sandbox.sh (tmpfs
# over /mnt and /tmp; the real ones are not touched). The folder is made on
# the card (/mnt/app/web_root/sd/bench), files and folders interleaved.
# The listing scans at most 4096 entries of a folder (its own limit), so of
# the 11 000 entries 4096 are scanned, by the server and by the reference.
# Reports the best of REPEATS (default 5) listings per grade, measured by the
# client from request to last byte, the reference's best scan time, the
# server's peak RSS (VmHWM) before and after the listings, and the RSS kept
# after ten more listings (the memory not given back).
# Targets: grade 1 time <= 2x the reference, VmHWM growth < 8 MiB, RSS
# after ten listings at most 1 MiB over before. Prints "ROW|..." lines for
# bench/run_all.sh.
set -euo pipefail
# shellcheck source=bench/lib.sh
source "$(dirname "$0")/lib.sh"
build_dir=$(cd "${1:?usage: bench/bench_listing.sh BUILD_DIR [REPEATS]}" && pwd)
repeats=${2:-5}
bench_check_programs "$build_dir" webserver devsim ref_scan

export BENCH_REPEATS=$repeats BENCH_REF_SCAN="$build_dir/ref_scan"
export WS_BUILD_DIR="$build_dir" PYTHONPATH="$repo/tests/e2e"
exec "$repo/tests/sandbox.sh" python3 - <<'PY'
import os, subprocess, sys, time
import harness
from harness import SD_ROOT

repeats = int(os.environ["BENCH_REPEATS"])
sb = harness.Sandbox("bench-listing")
try:
    folder = SD_ROOT / "bench"
    folder.mkdir()
    for i in range(11000):
        if i % 11 == 10:
            (folder / ("%04d-01-01" % (i // 11))).mkdir()
        else:
            with open(folder / ("2024%010d.mp4" % i), "wb") as f:
                f.write(b"r" * (i % 977))
    sb.start_devsim("--quiet")
    server = sb.start_server()
    sid = sb.login()
    time.sleep(0.2)
    rss_before = server.status("VmRSS")
    hwm_before = server.status("VmHWM")

    def listing(grade):
        best, size = 1e9, 0
        for _ in range(repeats):
            start = time.perf_counter()
            r = sb.cmd("get_video_directory", query={"sessionid": sid},
                       body={"dir": str(folder), "tagfiles": "", "grade": grade}, timeout=60)
            took = (time.perf_counter() - start) * 1000
            reply = r.json()
            assert reply["Result"] == "OK", r.text[:300]
            best, size = min(best, took), len(r.body)
            shown = reply["Parameters"]
        return best, size, shown

    def minflt():
        return int(open(f"/proc/{server.popen.pid}/stat").read().rsplit(")", 1)[1].split()[7])

    f0 = minflt()
    g1, size1, shown1 = listing(1)
    faults1 = (minflt() - f0) / repeats
    g0, size0, shown0 = listing(0)
    hwm_after = server.status("VmHWM")
    for _ in range(10 - 2 * repeats if repeats < 5 else 0):
        listing(1)
    rss_after = server.status("VmRSS")

    def ref(grade):
        out = subprocess.run([os.environ["BENCH_REF_SCAN"], str(folder), str(repeats), str(grade)],
                             check=True, capture_output=True, text=True).stdout.split()
        return {k: float(v) for k, v in (w.split("=") for w in out)}

    r1, r0 = ref(1), ref(0)
    assert len(shown1[0]["file_info"]) == r1["files"] and len(shown1) - 1 == r1["dirs"], "grade 1 differs from ref"
    assert len(shown0) == r0["dirs"] == 1000, "grade 0 differs from ref"
    growth = hwm_after - hwm_before
    print("folder: 10000 files + 1000 subfolders (tmpfs), 4096 entries scanned (the listing's limit); best of %d"
          % repeats)
    print("grade 1: server %.1f ms (%d files, %d folders, %d bytes)  ref_scan %.1f ms  ratio %.2f  target <= 2"
          % (g1, r1["files"], r1["dirs"], size1, r1["best_ms"], g1 / r1["best_ms"]))
    print("grade 0: server %.1f ms (%d folders, %d bytes)  ref_scan %.1f ms  ratio %.2f"
          % (g0, r0["dirs"], size0, r0["best_ms"], g0 / max(r0["best_ms"], 1e-3)))
    print("page faults per grade 1 listing: %.0f" % faults1)
    print("VmHWM: before %d kB, after %d kB, growth %d kB (%.2f MiB)  target < 8 MiB"
          % (hwm_before, hwm_after, growth, growth / 1024))
    print("VmRSS: before %d kB, after %d listings %d kB, kept %+d kB  target <= +1024 kB"
          % (rss_before, max(10, 2 * repeats), rss_after, rss_after - rss_before))
    print("ROW|listing grade 1 ms (4096 of 11000 entries)|%.1f|%.1f|%.2fx|<= 2.00x" % (g1, r1["best_ms"], g1 / r1["best_ms"]))
    print("ROW|RSS kept after 10 listings KiB|%d|%d|%+d KiB|<= +1024 KiB" % (rss_after, rss_before, rss_after - rss_before))
    ok = g1 <= 2 * r1["best_ms"] and growth < 8 * 1024
    print("result:", "PASS" if ok else "MISS")
finally:
    sb.cleanup()
PY
