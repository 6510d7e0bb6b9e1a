#!/usr/bin/env bash
# examples_test.sh - installs this build into a scratch prefix, builds the
# programs of examples/library against it as a user would (with CMake's
# find_package and with pkg-config and make), runs each build's programs and
# compares what they print with what their comments promise.
#
# Usage: examples_test.sh --source=DIR --build=DIR --work=DIR --cmake=PATH
#   --generator=NAME --cc=PATH --cxx=PATH --pkg-config=PATH --libdir=DIR
#   [--sanitize-flags=FLAGS]
set -uo pipefail

sanitize_flags="" pkg_config=""
for arg in "$@"; do
    case "$arg" in
        --source=* | --build=* | --work=* | --cmake=* | --generator=* | --cc=* | --cxx=* | \
            --pkg-config=* | --libdir=* | --sanitize-flags=*)
            name=${arg%%=*}
            name=${name#--}
            name=${name//-/_}
            [ "$name" = source ] || [ "$name" = build ] && name=${name}_dir
            printf -v "$name" '%s' "${arg#*=}"
            ;;
        *) echo "examples_test.sh: unknown argument $arg" >&2; exit 2 ;;
    esac
done

examples="$source_dir/examples/library"
failures=0
bad() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# Runs a command, showing its output only when it fails.
quiet() {
    local out
    out=$("$@" 2>&1) || { echo "$out" >&2; bad "command failed: $*"; return 1; }
}

if [ -z "$pkg_config" ] || ! [ -x "$pkg_config" ]; then
    bad "pkg-config was not found when the build was configured; install the Debian package pkgconf"
    exit 1
fi

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
quiet "$cmake" --install "$build_dir" --prefix "$prefix" || exit 1
flags="-O2 -Wall -Wextra -Werror $sanitize_flags"

echo "== building with find_package(ovplatform)"
quiet "$cmake" -S "$examples" -B "$work/cmake" -G "$generator" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$sanitize_flags" \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF &&
    quiet "$cmake" --build "$work/cmake"

echo "== building with pkg-config and make"
mkdir -p "$work/pkg-config"
PKG_CONFIG_LIBDIR="$prefix/$libdir/pkgconfig" quiet make -C "$work/pkg-config" \
    -f "$examples/Makefile" PKG_CONFIG="$pkg_config" \
    CC="$cc" CXX="$cxx" CFLAGS="$flags" CXXFLAGS="$flags" \
    LDFLAGS="$sanitize_flags -Wl,-rpath,$prefix/$libdir"

# expect LABEL STATUS EXPECTED-OUTPUT COMMAND...: runs the command and
# compares its exit status and its standard output.
expect() {
    local label=$1 status=$2 want=$3 got rc
    shift 3
    got=$("$@" 2>"$run/stderr")
    rc=$?
    if [ $rc -ne "$status" ] || [ "$got" != "$want" ]; then
        bad "$label: exit $rc (want $status), output:"
        printf '%s\n' "$got" | sed 's/^/    | /' >&2
        echo "  wanted:" >&2
        printf '%s\n' "$want" | sed 's/^/    | /' >&2
        sed 's/^/    stderr: /' "$run/stderr" >&2
        return 1
    fi
    echo "   $label: exit $rc as promised"
}

record='1:00000000-0000-0000-0000-000000000000:elsewhere'
worked="holding job.lck
step 1 of 3 done
step 2 of 3 done
step 3 of 3 done
released job.lck"

for kind in cmake pkg-config; do
    bin=$work/$kind
    [ -x "$bin/word_count" ] || continue
    run=$work/run-$kind
    mkdir -p "$run"
    echo "== the programs built with $kind"

    # rotating_log: about 2.5 MiB in files of 1 MiB.
    mkdir "$run/log"
    expect "rotating_log" 0 "app.0.log: full
app.1.log: full
app.2.log: being written (app.log)" "$bin/rotating_log" "$run/log"
    grep -q 'record 1 of 16000:' "$run/log/app.0.log" || bad "rotating_log: app.0.log does not start the log"
    tail -n 1 "$run/log/app.log" | grep -q 'record 16000 of 16000:' ||
        bad "rotating_log: app.log does not end with the last record"

    # lock_work: free, busy to the end of the wait, freed during the wait,
    # interrupted, and a directory that cannot hold a lock.
    cd "$run" || exit 1
    expect "lock_work, free lock" 0 "$worked" "$bin/lock_work" job 1
    [ ! -e job.lck ] || bad "lock_work left job.lck behind"

    echo "$record" >job.lck
    expect "lock_work, lock held throughout" 1 \
        "busy after 1 s: job.lck is held by $record" "$bin/lock_work" job 1
    [ "$(cat job.lck)" = "$record" ] || bad "lock_work changed another holder's lock"

    (sleep 0.5 && rm -f job.lck) &
    expect "lock_work, lock released during the wait" 0 "$worked" "$bin/lock_work" job 10
    wait

    echo "$record" >job.lck
    "$bin/lock_work" job 30 >interrupted.out 2>&1 &
    pid=$!
    sleep 0.5
    kill -INT $pid
    wait $pid
    rc=$?
    [ $rc -eq 2 ] && [ "$(cat interrupted.out)" = "interrupted while waiting for job.lck" ] &&
        echo "   lock_work, interrupted: exit 2 as promised" ||
        bad "lock_work, interrupted: exit $rc, output: $(cat interrupted.out)"
    [ "$(cat job.lck)" = "$record" ] || bad "lock_work changed another holder's lock"
    rm -f job.lck

    ln -s nowhere gone
    expect "lock_work, dangling directory" 4 \
        "cannot hold a lock in gone: No such file or directory" "$bin/lock_work" gone/job 1
    cd - >/dev/null || exit 1

    # walk_tree: a small tree; "sub.txt" sorts after sub's contents; links,
    # a dangling one and one that leads back up, are listed, not followed.
    mkdir -p "$run/tree/sub/deeper" "$run/tree/empty"
    printf hello >"$run/tree/a.txt"
    : >"$run/tree/sub/b.txt"
    head -c 1000 /dev/zero >"$run/tree/sub/deeper/c.bin"
    printf 'x\n' >"$run/tree/sub.txt"
    ln -s nowhere "$run/tree/dangling"
    ln -s .. "$run/tree/sub/up"
    expect "walk_tree" 0 "a.txt  5 bytes
dangling@
empty/
sub/
  b.txt  0 bytes
  deeper/
    c.bin  1000 bytes
  up@
sub.txt  2 bytes
3 directories, 4 files, 2 links, 1007 bytes" "$bin/walk_tree" "$run/tree/"
    expect "walk_tree, missing directory" 1 "" "$bin/walk_tree" "$run/missing"
    grep -qx "walk_tree: cannot walk $run/missing: No such file or directory" "$run/stderr" ||
        bad "walk_tree, missing directory: said $(cat "$run/stderr")"

    # word_count: words are letters and inner apostrophes, any case.
    expect "word_count" 0 "11 words, 7 different
     4  the
     2  and
     1  bowl" "$bin/word_count" 3 <<'TEXT'
The cat and the dog. The dog's bowl;
and THE end
TEXT
done

[ -x "$work/cmake/word_count" ] || bad "the CMake build made no programs"
[ -x "$work/pkg-config/word_count" ] || bad "the pkg-config build made no programs"
[ $failures -eq 0 ] || { echo "$failures failures; work files kept in $work" >&2; exit 1; }
rm -rf "$work"
echo "examples built both ways and ran as promised"
