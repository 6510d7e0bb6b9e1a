#!/usr/bin/env bash
# Runs every benchmark against the build directory given (default build-bench).
set -euo pipefail
build=${1:-build-bench}
command -v flock >/dev/null || { echo "flock(1) is needed (util-linux)" >&2; exit 1; }
"$build/bench/tool_bench" "$build/frameworks/c/apps/ovlockfile/ovlockfile" "$build/bench/c_floor" \
    "${ROUNDS:-200}" "${HELD_SECONDS:-10}"
"$build/bench/lockrun_bench" "$build/frameworks/c/apps/ovlockrun/ovlockrun" "${ROUNDS:-200}" \
    "${WAKE_ROUNDS:-50}" "${CONTENTION_REPEATS:-3}"
if [ -x "$build/bench/etcd_bench" ]; then
    "$build/bench/etcd_bench" "$build/frameworks/c/apps/ovlockrun/ovlockrun" "$build/bench/stamp" \
        "${ETCD_RUNS:-50}" \
        "${ETCD_HANDOFFS:-50}" "${ETCD_CONTENDERS:-8}" "${ETCD_ROUNDS:-100}"
else
    echo "etcd_bench: not built (OV_WITH_ETCD is off)" >&2
fi
"$build/bench/string_bench"
"$build/bench/sync_bench"
"$build/bench/log_bench"
"$build/bench/path_bench"
"$build/bench/platform_bench"
"$build/bench/conv_bench"
"$build/bench/hash_bench"
# Built only where ICU, its reference, was found.
if [ -x "$build/bench/utf_bench" ]; then "$build/bench/utf_bench"; else echo "utf_bench: not built (no ICU)" >&2; fi
"$(dirname "$0")/fs_bench.sh" "$build"
