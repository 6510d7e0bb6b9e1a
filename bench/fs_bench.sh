#!/usr/bin/env bash
# fs_bench.sh - whole-process comparisons of the library's file copy and tree
# removal with the command-line tools, on the same file system.
#
#   ov_copy_file of a 1 GiB file      against  cp --reflink=never
#   ov_dir_remove of 100,000 entries  against  rm -rf
#
# Usage: fs_bench.sh [BUILD_DIR] (default build-bench). FS_ROUNDS sets the
# rounds (default 9), FS_BENCH_DIR the directory to work in (default /tmp).
# Each round runs both commands one after the other, in alternating order,
# on equal starting states: the copy's destination is removed and the file
# system synced before every run (the source stays in the page cache for
# both), and every removal gets a freshly made tree, synced. Prints each
# run, the medians and their ratio (library / tool) with its target.
set -euo pipefail
build=${1:-build-bench}
rounds=${FS_ROUNDS:-9}
driver=$build/bench/fs_driver
[ -x "$driver" ] || { echo "fs_bench: $driver is missing" >&2; exit 1; }

work=$(mktemp -d "${FS_BENCH_DIR:-/tmp}/ovfsbench.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Source, destination and a tree, with room to spare.
avail_kib=$(df -Pk "$work" | awk 'NR == 2 { print $4 }')
if [ "$avail_kib" -lt $((3 * 1024 * 1024)) ]; then
    echo "fs_bench: fewer than 3 GiB free in $work" >&2
    exit 1
fi

usec() { echo $(($(date +%s%N) / 1000)); }
# Runs the command and prints its wall time in microseconds.
timed() {
    local start end
    start=$(usec)
    "$@" >/dev/null
    end=$(usec)
    echo $((end - start))
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
report() { # label, library times, tool times, target
    local lib tool
    lib=$(tr ' ' '\n' <<<"$2" | grep . | median)
    tool=$(tr ' ' '\n' <<<"$3" | grep . | median)
    awk -v l="$1" -v a="$lib" -v b="$tool" -v t="$4" 'BEGIN {
        r = a / b
        printf "ratio %-40s %6.3f  (%.1f ms / %.1f ms, target <= %.2f: %s)\n",
            l, r, a / 1000, b / 1000, t, (r <= t) ? "met" : "MISSED" }'
}

# ---- Copy of a 1 GiB file ----
head -c 1G /dev/urandom >"$work/source"
# One untimed copy first: the first copy after the source was written runs
# several times slower, whichever program makes it.
cp --reflink=never "$work/source" "$work/copy"
copy_lib=""
copy_tool=""
for round in $(seq "$rounds"); do
    if [ $((round % 2)) -eq 1 ]; then order="lib tool"; else order="tool lib"; fi
    for side in $order; do
        rm -f "$work/copy"
        sync
        if [ "$side" = lib ]; then
            t=$(timed "$driver" copy "$work/source" "$work/copy")
            copy_lib="$copy_lib $t"
        else
            t=$(timed cp --reflink=never "$work/source" "$work/copy")
            copy_tool="$copy_tool $t"
        fi
        echo "copy  round $round  $side  $((t / 1000)) ms"
    done
done
# The library's copy must be the file, not merely as fast.
rm -f "$work/copy"
"$driver" copy "$work/source" "$work/copy"
cmp "$work/source" "$work/copy"
rm -f "$work/source" "$work/copy"
sync

# ---- Removal of a tree of 100,000 entries ----
# 100 directories of 999 names, the directories and the top: 100,001.
remove_lib=""
remove_tool=""
for round in $(seq "$rounds"); do
    if [ $((round % 2)) -eq 1 ]; then order="lib tool"; else order="tool lib"; fi
    for side in $order; do
        "$driver" tree "$work/tree" 100 999
        sync
        if [ "$side" = lib ]; then
            t=$(timed "$driver" remove "$work/tree")
            remove_lib="$remove_lib $t"
        else
            t=$(timed rm -rf "$work/tree")
            remove_tool="$remove_tool $t"
        fi
        [ ! -e "$work/tree" ] || { echo "fs_bench: $side left the tree behind" >&2; exit 1; }
        echo "remove  round $round  $side  $((t / 1000)) ms"
    done
done

echo
report "ov_copy_file / cp --reflink=never (1 GiB)" "$copy_lib" "$copy_tool" 1.1
report "ov_dir_remove / rm -rf (100,001 entries)" "$remove_lib" "$remove_tool" 1.5
