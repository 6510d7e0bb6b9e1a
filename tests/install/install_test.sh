#!/usr/bin/env bash
# install_test.sh - installs ovplatform and builds programs against it as
# other projects would.
#
# Two installations are checked. The current build is installed into a
# temporary prefix and then moved elsewhere, because the installed tree is
# meant to be relocatable. A second, library-only build of the same sources
# is configured as a Debian package is (prefix /usr, libdir
# lib/x86_64-linux-gnu) and installed below a DESTDIR, where a package config
# that assumes a one-level libdir points at the wrong directories. Its
# pkg-config file names /usr plainly, as a distribution's does, and is read
# with pkg-config's sysroot set to the DESTDIR.
#
# Against each installation the consumer programs in consumer/ are built in
# C and in C++, through pkg-config and through find_package(ovplatform),
# linked to the static and to the shared library, and run; each exits
# non-zero on a wrong answer from the library. Their dynamic sections show
# what they were really linked to. Every consumer is tried even when an
# earlier one failed, and the failures are listed at the end.
#
# Usage: install_test.sh --source=DIR --build=DIR --work=DIR --cmake=PATH
#   --generator=NAME --cc=PATH --cxx=PATH --pkg-config=PATH --libdir=DIR
#   --build-type=TYPE [--sanitize=NAME] [--sanitize-flags=FLAGS]
#   [--c-flags=FLAGS] [--cxx-flags=FLAGS] [--werror=ON|OFF]
set -euo pipefail

sanitize="" sanitize_flags="" c_flags="" cxx_flags="" werror=ON pkg_config=""
for arg in "$@"; do
    case "$arg" in
        --source=*) source_dir=${arg#*=} ;;
        --build=*) build_dir=${arg#*=} ;;
        --work=*) work=${arg#*=} ;;
        --cmake=*) cmake=${arg#*=} ;;
        --generator=*) generator=${arg#*=} ;;
        --cc=*) cc=${arg#*=} ;;
        --cxx=*) cxx=${arg#*=} ;;
        --pkg-config=*) pkg_config=${arg#*=} ;;
        --libdir=*) libdir=${arg#*=} ;;
        --build-type=*) build_type=${arg#*=} ;;
        --sanitize=*) sanitize=${arg#*=} ;;
        --sanitize-flags=*) sanitize_flags=${arg#*=} ;;
        --c-flags=*) c_flags=${arg#*=} ;;
        --cxx-flags=*) cxx_flags=${arg#*=} ;;
        --werror=*) werror=${arg#*=} ;;
        *) echo "install_test.sh: unknown argument $arg" >&2; exit 2 ;;
    esac
done

# The checks below run in functions whose status is tested, where bash
# ignores set -e, so each step returns its failure itself after reporting it.
bad() {
    echo "FAIL: $*" >&2
}
step() { echo "== $*"; }

# Runs a command, showing its output only when it fails.
quiet() {
    local log
    log=$(mktemp "$work/log.XXXXXX")
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        rm -f "$log"
        bad "command failed: $*"
        return 1
    fi
    rm -f "$log"
}

if [ -z "$pkg_config" ] || ! [ -x "$pkg_config" ]; then
    bad "pkg-config was not found when the build was configured; install the Debian package pkgconf"
    exit 1
fi

consumer_src="$source_dir/tests/install/consumer"
# Sanitizer builds put the sanitizer runtime into the library's own
# dependencies, so every program linked to it needs the same -fsanitize flags.
read -r -a san <<<"$sanitize_flags"
warn=(-Wall -Wextra -Werror)
# The toolchain may drop unused libraries from a link. Without that, an
# executable's dynamic section lists every library its link line named, which
# shows what the pkg-config file and the exported targets hand to consumers.
link=(-Wl,--no-as-needed)

rm -rf "$work"
mkdir -p "$work"
failed=()

# needed EXE: the shared objects an executable was linked to, one a line.
needed() {
    readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'
}

# check_links EXE static|shared: a static consumer carries the library inside;
# a shared one loads it and is not linked to libuuid, which only the library
# itself uses. (A static consumer has to link libuuid: an archive cannot name
# its dependencies.)
check_links() {
    local exe=$1 kind=$2 libs
    libs=$(needed "$exe") || return 1
    if [ "$kind" = shared ]; then
        grep -qx 'libovplatform\.so\.[0-9]*' <<<"$libs" ||
            { bad "$exe is not linked to the shared library; it needs: $(echo $libs)"; return 1; }
        ! grep -q '^libuuid' <<<"$libs" ||
            { bad "$exe is linked to libuuid: uuid is in the shared library's link interface"; return 1; }
    else
        ! grep -q '^libovplatform' <<<"$libs" ||
            { bad "$exe should contain the static library but loads it"; return 1; }
    fi
}

run() {
    local out
    out=$("$1" 2>&1) || { bad "$1 exited with $?: $out"; return 1; }
    echo "   $(basename "$1"): $out"
}

# pc_consumer PCDIR OUT LANG shared|static|all-static
pc_consumer() {
    local pcdir=$1 out=$2 lang=$3 kind=$4
    # The C++ consumer is written in C++17; a compiler whose default is
    # older (clang 14: C++14) is told so, as any C++17 project tells it.
    local compiler=("$cc") src=consumer.c
    [ "$lang" = c ] || compiler=("$cxx" -std=c++17) src=consumer.cpp
    local pc=("$pkg_config" ovplatform) cflags libs pc_libdir i
    read -r -a cflags <<<"$(PKG_CONFIG_LIBDIR=$pcdir "${pc[@]}" --cflags)" || return 1
    pc_libdir=$(PKG_CONFIG_LIBDIR=$pcdir "${pc[@]}" --variable=libdir) || return 1
    local exe=$out/$lang-$kind
    case $kind in
        shared)
            read -r -a libs <<<"$(PKG_CONFIG_LIBDIR=$pcdir "${pc[@]}" --libs)" || return 1
            quiet "${compiler[@]}" "${warn[@]}" "${san[@]}" "${link[@]}" "${cflags[@]}" \
                "$consumer_src/$src" -o "$exe" "${libs[@]}" "-Wl,-rpath,$pc_libdir" || return 1
            check_links "$exe" shared || return 1
            ;;
        static | all-static)
            # A build that links a library statically through pkg-config
            # takes the --static flags with the archive in place of its -l.
            read -r -a libs <<<"$(PKG_CONFIG_LIBDIR=$pcdir "${pc[@]}" --static --libs)" || return 1
            for i in "${!libs[@]}"; do
                [ "${libs[$i]}" != -lovplatform ] || libs[$i]="$pc_libdir/libovplatform.a"
            done
            if [ "$kind" = static ]; then
                quiet "${compiler[@]}" "${warn[@]}" "${san[@]}" "${link[@]}" "${cflags[@]}" \
                    "$consumer_src/$src" -o "$exe" "${libs[@]}" || return 1
                check_links "$exe" static || return 1
            else
                # Fully static, the C++ runtime and what it needs come only
                # from Libs.private.
                quiet "${compiler[@]}" "${warn[@]}" -static "${cflags[@]}" \
                    "$consumer_src/$src" -o "$exe" "${libs[@]}" || return 1
                [ -z "$(needed "$exe")" ] || { bad "$exe is not fully static"; return 1; }
            fi
            ;;
    esac
    run "$exe"
}

# check_pkg_config PREFIX LIBDIR LABEL [SYSROOT]
# With SYSROOT, PREFIX is an installation for /usr made below SYSROOT (a
# DESTDIR). Its pkg-config file names /usr plainly, and the consumers are
# built as a staged build uses such a tree: with pkg-config's sysroot.
check_pkg_config() {
    local prefix=$1 lib=$1/$2 label=$3 sysroot=${4:-} out=$work/$3/pkg-config
    local pcdir=$lib/pkgconfig includedir pc_libdir lang kind cflags pc_prefix
    mkdir -p "$out"
    step "$label: pkg-config consumers"
    # Only this installation's pkg-config directory is searched.
    unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR
    if [ -n "$sysroot" ]; then
        pc_prefix=$(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --variable=prefix ovplatform) &&
            cflags=$(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --keep-system-cflags --cflags ovplatform) ||
            { bad "$label: pkg-config cannot read $pcdir/ovplatform.pc"; failed+=("$label pkg-config"); return; }
        echo "   installed for ${prefix#"$sysroot"}: prefix $pc_prefix, cflags $cflags"
        [ "$pc_prefix" = "${prefix#"$sysroot"}" ] && [[ $cflags != *..* ]] ||
            { bad "$label: the pkg-config file does not name ${prefix#"$sysroot"} plainly:" \
                "prefix $pc_prefix, cflags $cflags"; failed+=("$label pkg-config prefix"); }
        local -x PKG_CONFIG_SYSROOT_DIR=$sysroot
    fi
    includedir=$(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --variable=includedir ovplatform) &&
        pc_libdir=$(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --variable=libdir ovplatform) ||
        { bad "$label: pkg-config cannot read $pcdir/ovplatform.pc"; failed+=("$label pkg-config"); return; }
    echo "   includedir $includedir, libdir $pc_libdir"
    echo "   Libs.private: $(sed -n 's/^Libs.private: *//p' "$pcdir/ovplatform.pc")"
    [ -f "$includedir/ovplatform/ov.h" ] ||
        { bad "$label: includedir $includedir does not hold ovplatform/ov.h (installed under $prefix)"; failed+=("$label pkg-config includedir"); }
    [ -f "$pc_libdir/libovplatform.a" ] && [ -e "$pc_libdir/libovplatform.so" ] ||
        { bad "$label: libdir $pc_libdir does not hold the libraries (installed in $lib)"; failed+=("$label pkg-config libdir"); }
    for lang in c cxx; do
        for kind in shared static; do
            pc_consumer "$pcdir" "$out" $lang $kind || failed+=("$label pkg-config $lang $kind")
        done
    done
    if [ ${#san[@]} -eq 0 ]; then
        pc_consumer "$pcdir" "$out" c all-static || failed+=("$label pkg-config c fully static")
    else
        echo "   SKIP the fully static C consumer: sanitizer runtimes cannot be linked with -static"
    fi
}

# cmake_consumer PREFIX LIBDIR LABEL C|CXX
cmake_consumer() {
    local prefix=$1 lib=$1/$2 label=$3 lang=$4 out=$work/$3/cmake-$4 found kind
    quiet "$cmake" -S "$consumer_src" -B "$out" -G "$generator" \
        -DOV_CONSUMER_LANGUAGE="$lang" \
        -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
        -DCMAKE_C_FLAGS="${warn[*]} $sanitize_flags" -DCMAKE_CXX_FLAGS="${warn[*]} $sanitize_flags" \
        -DCMAKE_EXE_LINKER_FLAGS="${link[*]} $sanitize_flags" \
        -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF || return 1
    found=$(sed -n 's/^ovplatform_DIR:PATH=//p' "$out/CMakeCache.txt")
    [ "$found" = "$lib/cmake/ovplatform" ] ||
        { bad "$label: find_package found '$found', not $lib/cmake/ovplatform"; return 1; }
    for kind in static shared; do
        if quiet "$cmake" --build "$out" --target consumer_$kind &&
            check_links "$out/consumer_$kind" $kind && run "$out/consumer_$kind"; then
            :
        else
            failed+=("$label find_package $lang $kind")
        fi
    done
    return 0
}

# check_find_package PREFIX LIBDIR LABEL
check_find_package() {
    local lang baked
    # The package config and the exported targets name libuuid and locate
    # everything else from their own place; a path of this machine written
    # into them (the libuuid found here, the build or source tree) breaks on
    # a machine with another layout.
    baked=$(grep -rnE "/[^ \";]*libuuid|$source_dir|$build_dir" "$1/$2/cmake/ovplatform") &&
        { bad "$3: the package config holds paths of the building machine:"; echo "$baked" >&2; failed+=("$3 find_package paths"); }
    for lang in C CXX; do
        step "$3: find_package consumers in a $lang-only project"
        cmake_consumer "$1" "$2" "$3" $lang || failed+=("$3 find_package $lang configure")
    done
}

start=$SECONDS

# The current build, installed into one prefix and then moved to another.
step "installing $build_dir into a temporary prefix, then moving it"
quiet "$cmake" --install "$build_dir" --prefix "$work/staged" || exit 1
mv "$work/staged" "$work/moved"
check_pkg_config "$work/moved" "$libdir" moved
check_find_package "$work/moved" "$libdir" moved

# The distribution layout. The scratch build directory is kept between runs
# so that a second run only rebuilds what changed.
multiarch_build="$work.multiarch-build"
step "building the library for prefix /usr, libdir lib/x86_64-linux-gnu, in $multiarch_build"
quiet "$cmake" -S "$source_dir" -B "$multiarch_build" -G "$generator" \
    -DCMAKE_BUILD_TYPE="$build_type" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_FLAGS="$c_flags" -DCMAKE_CXX_FLAGS="$cxx_flags" \
    -DOV_SANITIZE="$sanitize" -DOV_WERROR="$werror" -DOV_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_INSTALL_LIBDIR=lib/x86_64-linux-gnu || exit 1
quiet "$cmake" --build "$multiarch_build" -j 2 || exit 1
quiet env DESTDIR="$work/destdir" "$cmake" --install "$multiarch_build" || exit 1
check_pkg_config "$work/destdir/usr" lib/x86_64-linux-gnu multiarch "$work/destdir"
check_find_package "$work/destdir/usr" lib/x86_64-linux-gnu multiarch

if [ ${#failed[@]} -gt 0 ]; then
    echo "FAILED after $((SECONDS - start)) s (work files kept in $work):"
    printf '  %s\n' "${failed[@]}"
    exit 1
fi
echo "install test passed in $((SECONDS - start)) s"
rm -rf "$work"
