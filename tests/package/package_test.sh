#!/usr/bin/env bash
# package_test.sh - builds the Debian packages from this build tree with
# CPack and checks them as a user of each would find them.
#
# The three packages are built into a scratch directory and unpacked into
# one temporary root, without installing anything on this machine. For each
# package the file list (with owners and modes) and the control fields
# (Package, Version, Architecture, Depends) are compared with what they must
# be; every shared object that a packaged program loads must come from a
# package named in Depends. No package has maintainer scripts: the library's
# activates the ldconfig trigger instead, so that removing it leaves nothing
# behind. The library's symbols file lists every symbol it exports, and
# dpkg-shlibdeps reads it for a program built against the library. Each
# package carries its changelog. Then the tools in the root are run (their
# version, a lock taken and released, and the two tools excluding each other
# on one file), and a C program is built against the unpacked development
# package through its pkg-config file (which names /usr plainly) and through
# find_package(ovplatform), and run against the unpacked shared library.
# Where lintian is installed, every package passes it without an error or a
# warning; the informational tags and the overrides are shown.
#
# Where there is no dpkg-deb (not a Debian system) the test reports itself
# skipped (status 77); where there is, the other Debian tools it needs must be
# there too (scripts/install-deps.sh installs them). Sanitizer builds are
# skipped: packages are made from plain builds.
#
# Usage: package_test.sh --source=DIR --build=DIR --work=DIR --cpack=PATH
#   --cmake=PATH --generator=NAME --cc=PATH --pkg-config=PATH --libdir=DIR
#   --build-type=TYPE --version=X.Y.Z.B --short-version=X.Y.Z --soversion=N
#   --dynamic-tool=ON|OFF --sanitize=NAME --ovlockrun=PATH-OR-EMPTY
#   --etcd=PATH-OR-EMPTY (the etcd helper, when the build has it)
#   --docs=ON|OFF (the reference manual's package, when Doxygen was found;
#   its docs target is built here first, as `make package` does)
set -uo pipefail

for arg in "$@"; do
    case "$arg" in
        --source=*) source_dir=${arg#*=} ;;
        --build=*) build_dir=${arg#*=} ;;
        --work=*) work=${arg#*=} ;;
        --cpack=*) cpack=${arg#*=} ;;
        --cmake=*) cmake=${arg#*=} ;;
        --generator=*) generator=${arg#*=} ;;
        --cc=*) cc=${arg#*=} ;;
        --pkg-config=*) pkg_config=${arg#*=} ;;
        --libdir=*) libdir=${arg#*=} ;;
        --build-type=*) build_type=${arg#*=} ;;
        --version=*) version=${arg#*=} ;;
        --short-version=*) short_version=${arg#*=} ;;
        --soversion=*) soversion=${arg#*=} ;;
        --dynamic-tool=*) dynamic_tool=${arg#*=} ;;
        --sanitize=*) sanitize=${arg#*=} ;;
        --ovlockrun=*) ovlockrun_built=${arg#*=} ;;
        --etcd=*) etcd_built=${arg#*=} ;;
        --docs=*) docs=${arg#*=} ;;
        *) echo "package_test.sh: unknown argument $arg" >&2; exit 2 ;;
    esac
done

if ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: no dpkg-deb here, so no Debian packages can be built"
    exit 77
fi
if [ -n "$sanitize" ]; then
    echo "SKIP: packages are built from plain builds, not from this $sanitize sanitizer build"
    exit 77
fi

failures=0
bad() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
step() { echo "== $*"; }

# Runs a command, showing its output only when it fails.
quiet() {
    local log=$work/quiet.log
    if ! "$@" >"$log" 2>&1; then
        cat "$log" >&2
        bad "command failed: $*"
        return 1
    fi
}

for program in dpkg-deb dpkg-shlibdeps dpkg-architecture dpkg-parsechangelog file readelf nm; do
    command -v $program >/dev/null ||
        { echo "FAIL: $program is missing; scripts/install-deps.sh installs it" >&2; exit 1; }
done

start=$SECONDS
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null)
[ -n "$multiarch" ] || { echo "FAIL: dpkg-architecture gives no multiarch name" >&2; exit 1; }
runtime=libovplatform$soversion
tools_dir=usr/bin
lib=usr/$libdir
with_ovlockrun=1
if [ -z "$ovlockrun_built" ]; then
    with_ovlockrun=0
    echo "NOTE: ovlockrun is not part of this build yet; the checks of ovlockrun are left out"
fi

rm -rf "$work"
mkdir -p "$work/debs" "$work/root"

if [ "${docs:-OFF}" = ON ]; then
    step "the reference manual (docs target) for libovplatform-doc"
    quiet "$cmake" --build "$build_dir" --target docs || exit 1
fi

step "cpack -G DEB from $build_dir"
quiet "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$work/debs" || exit 1
echo "   packages built in $((SECONDS - start)) s"

declare -A deb
packages=(ovlockfile "$runtime" libovplatform-dev)
[ -z "${etcd_built:-}" ] || packages+=(ovlockrun-etcd)
[ "${docs:-OFF}" != ON ] || packages+=(libovplatform-doc)
# The architecture of a package: the manual's pages are the same for all.
arch_of() { if [ "$1" = libovplatform-doc ]; then echo all; else echo "$arch"; fi; }
for package in "${packages[@]}"; do
    deb[$package]=$work/debs/${package}_${version}_$(arch_of "$package").deb
    [ -f "${deb[$package]}" ] || bad "no package file ${deb[$package]##*/}"
done
made=$(cd "$work/debs" && ls -- *.deb 2>/dev/null | sort | tr '\n' ' ')
[ "$(wc -w <<<"$made")" -eq ${#packages[@]} ] ||
    bad "expected ${#packages[@]} packages, CPack made: $made"
[ $failures -eq 0 ] || exit 1

# ---- File lists ----------------------------------------------------------------------------

# The entries of a package that are not directories, as "MODE OWNER PATH" or
# "MODE OWNER PATH -> TARGET", sorted.
contents() {
    dpkg-deb -c "$1" | awk '$1 !~ /^d/ {
        line = $1 " " $2
        for (i = 6; i <= NF; ++i) line = line " " $i
        print line }' | sort
}

expect_tools=(
    "-rwxr-xr-x root/root ./$tools_dir/ovlockfile"
    "-rw-r--r-- root/root ./usr/share/man/man1/ovlockfile.1.gz"
    "-rw-r--r-- root/root ./usr/share/bash-completion/completions/ovlockfile"
)
if [ $with_ovlockrun -eq 1 ]; then
    expect_tools+=(
        "-rwxr-xr-x root/root ./$tools_dir/ovlockrun"
        "-rw-r--r-- root/root ./usr/share/man/man1/ovlockrun.1.gz"
        "-rw-r--r-- root/root ./usr/share/bash-completion/completions/ovlockrun"
    )
fi
expect_runtime=(
    "-rw-r--r-- root/root ./$lib/libovplatform.so.$short_version"
    "lrwxrwxrwx root/root ./$lib/libovplatform.so.$soversion -> libovplatform.so.$short_version"
)
config_suffix=$(tr '[:upper:]' '[:lower:]' <<<"${build_type:-noconfig}")
expect_dev=(
    "-rw-r--r-- root/root ./$lib/libovplatform.a"
    "lrwxrwxrwx root/root ./$lib/libovplatform.so -> libovplatform.so.$soversion"
    "-rw-r--r-- root/root ./$lib/pkgconfig/ovplatform.pc"
    "-rw-r--r-- root/root ./$lib/cmake/ovplatform/ovplatformConfig.cmake"
    "-rw-r--r-- root/root ./$lib/cmake/ovplatform/ovplatformConfigVersion.cmake"
    "-rw-r--r-- root/root ./$lib/cmake/ovplatform/ovplatformTargets.cmake"
    "-rw-r--r-- root/root ./$lib/cmake/ovplatform/ovplatformTargets-$config_suffix.cmake"
)
for header in "$source_dir"/base/ovplatform/include/ovplatform/*.h \
    "$source_dir"/base/ovplatform/include/ovplatform/*.hpp; do
    expect_dev+=("-rw-r--r-- root/root ./usr/include/ovplatform/${header##*/}")
done
for example in README.md CMakeLists.txt Makefile rotating_log.c lock_work.c walk_tree.cpp \
    word_count.cpp; do
    expect_dev+=("-rw-r--r-- root/root ./usr/share/doc/libovplatform-dev/examples/$example")
done

# check_contents PACKAGE EXPECTED...: the package holds exactly these files,
# and the copyright file and changelog that every package has.
check_contents() {
    local package=$1 differences
    shift
    set -- "$@" "-rw-r--r-- root/root ./usr/share/doc/$package/changelog.gz" \
        "-rw-r--r-- root/root ./usr/share/doc/$package/copyright"
    step "$package: files"
    differences=$(diff <(printf '%s\n' "$@" | sort) <(contents "${deb[$package]}"))
    if [ -n "$differences" ]; then
        bad "$package does not hold exactly the expected files (< missing, > unexpected):"
        echo "$differences" >&2
    else
        echo "   $# files as expected"
    fi
}
check_contents ovlockfile "${expect_tools[@]}"
if [ -n "${etcd_built:-}" ]; then
    check_contents ovlockrun-etcd \
        "-rwxr-xr-x root/root ./usr/libexec/ovlockrun-etcd" \
        "-rw-r--r-- root/root ./usr/share/lintian/overrides/ovlockrun-etcd"
fi
check_contents "$runtime" "${expect_runtime[@]}"
check_contents libovplatform-dev "${expect_dev[@]}"

# The manual's pages are many and change with every header; the package
# holds the HTML that the docs target built, file for file, its copyright,
# change log and documentation index entry, and nothing else.
if [ "${docs:-OFF}" = ON ]; then
    doc=usr/share/doc/libovplatform-doc
    expect_doc=(
        "-rw-r--r-- root/root ./usr/share/doc-base/libovplatform-doc.ovplatform-reference"
    )
    while IFS= read -r page; do
        expect_doc+=("-rw-r--r-- root/root ./$doc/html/$page")
    done < <(cd "$build_dir/docs/html" && find . -type f | sed 's|^\./||')
    for page in index.html getting_started.html group__lockfiles.html group__errors.html; do
        [ -f "$build_dir/docs/html/$page" ] || bad "libovplatform-doc: the docs target built no $page"
    done
    check_contents libovplatform-doc "${expect_doc[@]}"
    grep -qF " ./$doc/html/index.html" <(contents "${deb[libovplatform-doc]}") ||
        bad "libovplatform-doc has no $doc/html/index.html"
    changelog=$(dpkg-deb --fsys-tarfile "${deb[libovplatform-doc]}" | tar -xO "./$doc/changelog.gz" | gzip -dc)
    head -n1 <<<"$changelog" | grep -qF "libovplatform-doc ($version)" ||
        bad "libovplatform-doc: the change log begins '$(head -n1 <<<"$changelog")'"
fi

for package in "${!deb[@]}"; do
    dpkg-deb -x "${deb[$package]}" "$work/root" || bad "dpkg-deb -x ${deb[$package]##*/} failed"
done

# ---- Control fields ------------------------------------------------------------------------

field() { dpkg-deb -f "${deb[$1]}" "$2"; }

# The package names in a Depends field, one a line.
depends_names() {
    tr ',|' '\n\n' <<<"$1" | sed -E 's/\(.*\)//; s/^[[:space:]]+//; s/[[:space:]]+$//' | sed '/^$/d'
}

# The package that provides a shared object of this machine, by its name.
# Only this architecture's library directory counts: libm.so.6, for one, is
# also in libc6-i386 under /lib32.
owner_of() {
    case $1 in
        libovplatform.so.*) echo "$runtime" ;;
        *) dpkg -S "*/$multiarch/$1" 2>/dev/null | sed -n '1s/[:,].*//p' ;;
    esac
}

# check_loads PACKAGE FILE...: every shared object the files load comes from
# a package that PACKAGE depends on.
check_loads() {
    local package=$1 file needed owner depends
    shift
    depends=$(depends_names "$(field "$package" Depends)")
    for file in "$@"; do
        needed=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
        echo "   ${file##*/} loads:" $needed
        for soname in $needed; do
            owner=$(owner_of "$soname")
            if [ -z "$owner" ]; then
                bad "$package: no package of this machine provides $soname, which ${file##*/} loads"
            elif ! grep -qx "$owner" <<<"$depends"; then
                bad "$package: ${file##*/} loads $soname from $owner, which Depends does not name"
            fi
        done
    done
}

for package in "${!deb[@]}"; do
    step "$package: control fields and files"
    dpkg-deb -f "${deb[$package]}" Package Version Architecture Multi-Arch Source Section Depends | sed 's/^/   /'
    [ "$(field "$package" Package)" = "$package" ] || bad "$package: Package is $(field "$package" Package)"
    [ "$(field "$package" Version)" = "$version" ] ||
        bad "$package: Version is '$(field "$package" Version)', not $version"
    [ "$(field "$package" Architecture)" = "$(arch_of "$package")" ] ||
        bad "$package: Architecture is '$(field "$package" Architecture)', not $(arch_of "$package")"
    [ "$(field "$package" Source)" = ovplatform ] ||
        bad "$package: Source is '$(field "$package" Source)', not ovplatform"
    [ -n "$(field "$package" Description)" ] || bad "$package has no Description"
    # The library packages can be installed for several architectures at once
    # when the library is in the architecture's own directory; dpkg takes a
    # package without the field for "no".
    multi_arch=no
    if [ "$libdir" = "lib/$multiarch" ] && [ "$package" = "$runtime" -o "$package" = libovplatform-dev ]; then
        multi_arch=same
    fi
    [ "$(field "$package" Multi-Arch)" = "$multi_arch" ] ||
        bad "$package: Multi-Arch is '$(field "$package" Multi-Arch)', not '$multi_arch'"
    # No maintainer scripts: a postrm would keep a removed package in state
    # "rc" until it is purged.
    scripts=$(dpkg-deb --ctrl-tarfile "${deb[$package]}" | tar -t | sed 's|^\./||' |
        grep -xE 'preinst|postinst|prerm|postrm')
    [ -z "$scripts" ] || bad "$package has maintainer scripts:" $scripts
    # The changelog is a Debian changelog whose latest entry is this version.
    changelog=$work/root/usr/share/doc/$package/changelog.gz
    logged=$(zcat "$changelog" 2>/dev/null | dpkg-parsechangelog -l- -S Version 2>&1)
    [ "$logged" = "$version" ] || bad "$package: the latest entry of changelog.gz is '$logged', not $version"
done

if [ "${docs:-OFF}" = ON ]; then
    [ "$(field libovplatform-doc Section)" = doc ] ||
        bad "libovplatform-doc: Section is '$(field libovplatform-doc Section)', not doc"
fi

depends=$(field ovlockfile Depends)
grep -qx libc6 <(depends_names "$depends") || bad "ovlockfile: Depends lacks libc6: $depends"
# The tools are linked against the static library: installing them must not
# need the shared library's package.
! grep -qx "$runtime" <(depends_names "$depends") ||
    bad "ovlockfile depends on $runtime, but its programs carry the library inside"
tools=("$work/root/$tools_dir/ovlockfile")
[ $with_ovlockrun -eq 0 ] || tools+=("$work/root/$tools_dir/ovlockrun")
check_loads ovlockfile "${tools[@]}"
if [ "$dynamic_tool" != ON ]; then
    # By default the tools carry libuuid and the C++ runtime inside too.
    for file in "${tools[@]}"; do
        extra=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -vE '^(libc\.so\.6|ld-linux.*)$')
        [ -z "$extra" ] || bad "${file##*/} loads more than the C library:" $extra
    done
fi

if [ -n "${etcd_built:-}" ]; then
    depends=$(field ovlockrun-etcd Depends)
    grep -qE "(^|, )ovlockfile \(= $version\)(,|$)" <<<"$depends" ||
        bad "ovlockrun-etcd: Depends lacks 'ovlockfile (= $version)': $depends"
    grep -qx libcurl4 <(depends_names "$depends") ||
        bad "ovlockrun-etcd: Depends lacks libcurl4: $depends"
    check_loads ovlockrun-etcd "$work/root/usr/libexec/ovlockrun-etcd"
fi

depends=$(field "$runtime" Depends)
for need in libc6 libuuid1; do
    grep -qx $need <(depends_names "$depends") || bad "$runtime: Depends lacks $need: $depends"
done
check_loads "$runtime" "$work/root/$lib/libovplatform.so.$short_version"
soname=$(readelf -d "$work/root/$lib/libovplatform.so.$short_version" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = "libovplatform.so.$soversion" ] || bad "$runtime: the library's SONAME is '$soname'"
shlibs=$(dpkg-deb -I "${deb[$runtime]}" shlibs 2>/dev/null)
[ "$shlibs" = "libovplatform $soversion $runtime (>= $version)" ] ||
    bad "$runtime: the shlibs file says '$shlibs'"
# The loader's cache is brought up to date by libc's trigger, once per dpkg
# run, instead of by a maintainer script.
triggers=$(dpkg-deb -I "${deb[$runtime]}" triggers 2>/dev/null | sed 's/#.*//; /^[[:space:]]*$/d')
[ "$triggers" = "activate-noawait ldconfig" ] || bad "$runtime: the triggers file says '$triggers'"

# The symbols file names the library and its package, the development
# package that programs are built with, and every exported symbol once, with
# the version that introduced it: the version that packaging/ in the source
# tree gives, or this one for a symbol that file does not know yet.
step "$runtime: the symbols file"
symbols=$work/symbols
template=$source_dir/packaging/$runtime.symbols
dpkg-deb -I "${deb[$runtime]}" symbols >"$symbols" 2>/dev/null || bad "$runtime has no symbols file"
[ "$(sed -n 1p "$symbols")" = "libovplatform.so.$soversion $runtime #MINVER#" ] ||
    bad "$runtime: the symbols file begins '$(sed -n 1p "$symbols")'"
grep -qx '\* Build-Depends-Package: libovplatform-dev' "$symbols" ||
    bad "$runtime: the symbols file names no Build-Depends-Package"
listed=$(awk '$1 ~ /@Base$/ { sub(/@Base$/, "", $1); print $1 }' "$symbols" | sort)
exported=$(nm -D --defined-only "$work/root/$lib/libovplatform.so.$short_version" |
    awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort)
[ -n "$exported" ] || bad "nm finds no exported symbol in the packaged library"
if [ "$listed" != "$exported" ]; then
    bad "$runtime: the symbols file does not list exactly the exported symbols (< listed only, > exported only):"
    diff <(echo "$listed") <(echo "$exported") | grep '^[<>]' >&2
fi
wrong=$(awk -v current="$version" '
    FNR == 1 { file++ }
    $1 ~ /@Base$/ {
        name = $1
        sub(/@Base$/, "", name)
        if (file == 1) { kept[name] = $2; next }
        want = (name in kept) ? kept[name] : current
        if ($2 != want) print name " " $2 " (" want " expected)"
        if (!(name in kept)) added++
    }
    END { print added + 0 > "/dev/stderr" }' "$template" "$symbols" 2>"$work/added")
[ -z "$wrong" ] || bad "$runtime: symbols with the wrong version:" $'\n'"$wrong"
echo "   $(wc -l <<<"$listed") symbols, $(cat "$work/added") of them new since packaging/$runtime.symbols"

depends=$(field libovplatform-dev Depends)
grep -qE "(^|, )$runtime \(= $version\)(,|$)" <<<"$depends" ||
    bad "libovplatform-dev: Depends lacks '$runtime (= $version)': $depends"
grep -qx uuid-dev <(depends_names "$depends") || bad "libovplatform-dev: Depends lacks uuid-dev: $depends"

# ---- The tools, run from the unpacked root -------------------------------------------------

step "the tools in the unpacked root"
ovlockfile=$work/root/$tools_dir/ovlockfile
ovlockrun=$work/root/$tools_dir/ovlockrun
out=$("$ovlockfile" --version 2>&1)
[ "$out" = "ovlockfile version $version" ] || bad "ovlockfile --version printed: $out"
echo "   $out"
if [ $with_ovlockrun -eq 1 ]; then
    out=$("$ovlockrun" --version 2>&1) || bad "ovlockrun --version exited with $?"
    grep -qF "$version" <<<"$out" || bad "ovlockrun --version printed: $out"
    echo "   $out"
fi

locks=$work/locks
mkdir -p "$locks"
# This script is the caller the worker watches, so the lock stays until the
# worker gets SIGHUP. The worker keeps the tool's standard output open: its
# pid is read from a file.
if "$ovlockfile" "$locks/job" 10 >"$locks/worker" 2>"$locks/errors"; then
    read -r worker <"$locks/worker"
    record=$(cat "$locks/job.lck" 2>/dev/null)
    grep -qE "^[0-9]+:[0-9a-f-]{36}:" <<<"$record" || bad "ovlockfile: the lock file holds '$record'"
    echo "   ovlockfile took the lock: worker $worker, record $record"
    if [ $with_ovlockrun -eq 1 ]; then
        "$ovlockrun" "$locks/job" true 2>"$locks/busy"
        status=$?
        [ $status -eq 1 ] || bad "ovlockrun ran under a lock that ovlockfile holds (status $status)"
        echo "   ovlockrun found it busy: status $status, $(cat "$locks/busy")"
    fi
    kill -HUP "$worker"
    for _ in $(seq 50); do
        [ -e "$locks/job.lck" ] || ! kill -0 "$worker" 2>/dev/null || sleep 0.1
    done
    [ ! -e "$locks/job.lck" ] || bad "the lock file is still there 5 s after SIGHUP to the worker"
    ! kill -0 "$worker" 2>/dev/null || { bad "the worker still runs after SIGHUP"; kill "$worker"; }
    echo "   SIGHUP released it"
else
    bad "ovlockfile could not take a free lock: $(cat "$locks/errors")"
fi

if [ $with_ovlockrun -eq 1 ]; then
    "$ovlockrun" "$locks/job" sh -c \
        'printf "%s\n" "$OVLOCK_RECORD" >"$0.record" && cat "$OVLOCK_FILE" >"$0.file" && exit 7' \
        "$locks/seen" 2>"$locks/errors"
    status=$?
    [ $status -eq 7 ] || bad "ovlockrun exited with $status, not the command's 7: $(cat "$locks/errors")"
    if [ -s "$locks/seen.record" ] && cmp -s "$locks/seen.record" "$locks/seen.file"; then
        echo "   ovlockrun ran the command under the lock: $(cat "$locks/seen.record")"
    else
        bad "the command under ovlockrun saw OVLOCK_RECORD '$(cat "$locks/seen.record" 2>/dev/null)'," \
            "the lock file held '$(cat "$locks/seen.file" 2>/dev/null)'"
    fi
    [ ! -e "$locks/job.lck" ] || bad "ovlockrun left the lock file behind"
fi
if [ -n "${etcd_built:-}" ]; then
    # The helper answers on its own; ovlockrun looks for it where the
    # package puts it, which is not in the unpacked root.
    out=$("$work/root/usr/libexec/ovlockrun-etcd" --version 2>&1) ||
        bad "ovlockrun-etcd --version exited with $?"
    grep -qF "$version" <<<"$out" || bad "ovlockrun-etcd --version printed: $out"
    echo "   ovlockrun-etcd: $out"
    if [ ! -e /usr/libexec/ovlockrun-etcd ]; then
        out=$("$ovlockrun" --endpoints http://127.0.0.1:1 job true 2>&1)
        status=$?
        [ $status -eq 4 ] && grep -qF "the etcd backend is not installed" <<<"$out" ||
            bad "ovlockrun without its etcd helper: status $status, $out"
        echo "   ovlockrun without the helper installed: status $status, $out"
    fi
fi

# ---- A C program built against the unpacked development package ---------------------------

consumer=$source_dir/tests/install/consumer
pcdir=$work/root/$lib/pkgconfig
export LD_LIBRARY_PATH=$work/root/$lib

step "a C program built through the unpacked pkg-config file"
unset PKG_CONFIG_PATH PKG_CONFIG_SYSROOT_DIR
# Packaged for /usr, the file names /usr plainly, so that pkg-config knows
# /usr/include for the system's own directory and leaves it out.
pc_prefix=$(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --variable=prefix ovplatform)
system_cflags=$(echo $(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --cflags ovplatform))
kept_cflags=$(echo $(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --keep-system-cflags --cflags ovplatform))
echo "   prefix $pc_prefix, --cflags '$system_cflags', with --keep-system-cflags '$kept_cflags'"
[ "$pc_prefix" = /usr ] || bad "the packaged pkg-config file gives the prefix '$pc_prefix', not /usr"
[ -z "$system_cflags" ] && [ "$kept_cflags" = -I/usr/include ] ||
    bad "the packaged pkg-config file does not name /usr/include plainly"
# Read from the unpacked root, as a staged build reads it.
export PKG_CONFIG_SYSROOT_DIR=$work/root
includedir=$(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --variable=includedir ovplatform)
pc_libdir=$(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --variable=libdir ovplatform)
# The pkg-config file finds the installation from its own place, so it
# points into the root the packages were unpacked to.
[ "$(realpath -m "$includedir")" = "$work/root/usr/include" ] ||
    bad "pkg-config gives includedir $includedir, outside the unpacked root"
[ "$(realpath -m "$pc_libdir")" = "$work/root/$lib" ] ||
    bad "pkg-config gives libdir $pc_libdir, outside the unpacked root"
read -r -a cflags <<<"$(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --cflags ovplatform)"
read -r -a libs <<<"$(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --libs ovplatform)"
read -r -a static_libs <<<"$(PKG_CONFIG_LIBDIR=$pcdir "$pkg_config" --static --libs ovplatform)"
for i in "${!static_libs[@]}"; do
    [ "${static_libs[$i]}" != -lovplatform ] || static_libs[$i]=$pc_libdir/libovplatform.a
done
if quiet "$cc" -Wall -Wextra -Werror "${cflags[@]}" "$consumer/consumer.c" -o "$work/c-shared" "${libs[@]}"; then
    loaded=$(ldd "$work/c-shared" | awk '$1 ~ /^libovplatform/ { print $3 }')
    [ "$loaded" = "$work/root/$lib/libovplatform.so.$soversion" ] ||
        bad "the shared consumer loads the library from '$loaded', not from the unpacked root"
    out=$("$work/c-shared" 2>&1) || bad "the shared consumer failed: $out"
    echo "   shared: $out (library from $loaded)"

    # A package of this program depends on the library package at the
    # latest version that introduced a symbol it calls, as the symbols file
    # says, which dpkg-shlibdeps prefers to the shlibs file.
    step "dpkg-shlibdeps on the shared program, with the packaged symbols file"
    shlibdeps=$work/shlibdeps
    mkdir -p "$shlibdeps/debian"
    : >"$shlibdeps/debian/control"
    dpkg-deb -R "${deb[$runtime]}" "$shlibdeps/$runtime"
    out=$(cd "$shlibdeps" && dpkg-shlibdeps -v -O -S"$shlibdeps/$runtime" "$work/c-shared" 2>&1)
    used_from=$(grep -F "Using symbols file" <<<"$out" | grep -F "libovplatform.so.$soversion")
    depends=$(sed -n 's/^shlibs:Depends=//p' <<<"$out")
    needed_version=""
    for v in $(nm -D --undefined-only "$work/c-shared" | awk '{ sub(/@.*/, "", $2); print $2 }' |
        awk 'NR == FNR { used[$1]; next } $1 ~ /@Base$/ { sub(/@Base$/, "", $1); if ($1 in used) print $2 }' \
            - "$symbols" | sort -u); do
        if [ -z "$needed_version" ] || dpkg --compare-versions "$v" gt "$needed_version"; then
            needed_version=$v
        fi
    done
    echo "   ${used_from#*debug: }"
    echo "   Depends: $depends"
    [ -n "$used_from" ] || bad "dpkg-shlibdeps did not read the packaged symbols file: $out"
    [ -n "$needed_version" ] || bad "the shared consumer calls nothing that the symbols file lists"
    grep -qE "(^|, )$runtime \(>= ${needed_version//./\\.}\)(,|$)" <<<"$depends" ||
        bad "dpkg-shlibdeps gives '$depends', not $runtime (>= $needed_version)"
fi
if quiet "$cc" -Wall -Wextra -Werror "${cflags[@]}" "$consumer/consumer.c" -o "$work/c-static" "${static_libs[@]}"; then
    out=$("$work/c-static" 2>&1) || bad "the static consumer failed: $out"
    echo "   static: $out"
fi

step "a C project built through the unpacked find_package(ovplatform)"
if quiet "$cmake" -S "$consumer" -B "$work/cmake-consumer" -G "$generator" -DOV_CONSUMER_LANGUAGE=C \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" \
    -DCMAKE_PREFIX_PATH="$work/root/usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF; then
    found=$(sed -n 's/^ovplatform_DIR:PATH=//p' "$work/cmake-consumer/CMakeCache.txt")
    [ "$found" = "$work/root/$lib/cmake/ovplatform" ] || bad "find_package found '$found'"
    for kind in shared static; do
        if quiet "$cmake" --build "$work/cmake-consumer" --target consumer_$kind; then
            out=$("$work/cmake-consumer/consumer_$kind" 2>&1) || bad "consumer_$kind failed: $out"
            echo "   $kind: $out"
        fi
    done
fi

# ---- The packaged examples, built as their README says ---------------------------------------

examples=$work/root/usr/share/doc/libovplatform-dev/examples
# The build's C++ compiler comes in the environment (CXX), as make takes it.
cxx=${CXX:-c++}
# ran_word_count EXE LABEL: a built example runs against the unpacked library.
ran_word_count() {
    local out
    out=$(printf 'b a B\n' | "$1" 1 2>&1)
    [ "$out" = $'3 words, 2 different\n     2  b' ] || { bad "$2: word_count printed: $out"; return 1; }
    echo "   $2: the four examples built; word_count ran"
}
step "the packaged examples, built with their Makefile (pkg-config) and their CMake project"
mkdir -p "$work/examples-make"
if quiet env PKG_CONFIG_LIBDIR="$pcdir" make -C "$work/examples-make" -f "$examples/Makefile" \
    PKG_CONFIG="$pkg_config" CC="$cc" CXX="$cxx" CFLAGS="-O2 -Wall -Wextra -Werror" \
    CXXFLAGS="-O2 -Wall -Wextra -Werror"; then
    ran_word_count "$work/examples-make/word_count" "make and pkg-config"
fi
if quiet "$cmake" -S "$examples" -B "$work/examples-cmake" -G "$generator" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" \
    -DCMAKE_PREFIX_PATH="$work/root/usr" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF &&
    quiet "$cmake" --build "$work/examples-cmake"; then
    ran_word_count "$work/examples-cmake/word_count" "find_package"
fi

# ---- lintian ---------------------------------------------------------------------------------

# Every package passes Debian's own checker without an error or a warning.
# Informational tags and overridden ones (each override says why) are shown.
if command -v lintian >/dev/null; then
    step "lintian"
    options=(--display-info --show-overrides)
    if [ "$libdir" != "lib/$multiarch" ]; then
        # make package configures its build for /usr, which puts the
        # libraries and the pkg-config file below lib/$multiarch.
        echo "   NOTE: this build installs its libraries in /usr/$libdir, not in /usr/lib/$multiarch as" \
            "make package does, so lintian's pkg-config-unavailable-for-cross-compilation does not count"
        options+=(--suppress-tags pkg-config-unavailable-for-cross-compilation)
    fi
    report=$(lintian "${options[@]}" "${deb[@]}" 2>&1 | grep -E '^[A-Z]: ')
    for package in "${packages[@]}"; do
        tags=$(grep -E "^[A-Z]: $package: " <<<"$report" | awk '{ print $1 " " $3 }' | sort | uniq -c |
            awk '{ printf "%s%s %s x%d", (NR > 1 ? ", " : ""), $2, $3, $1 }')
        echo "   $package: ${tags:-no tags}"
    done
    serious=$(grep -E '^[EW]: ' <<<"$report")
    [ -z "$serious" ] || bad "lintian reports errors or warnings:"$'\n'"$serious"
else
    echo "NOTE: lintian is not installed (scripts/install-deps.sh installs it); the packages were not linted"
fi

if [ $failures -gt 0 ]; then
    echo "FAILED: $failures check(s) after $((SECONDS - start)) s; work files kept in $work"
    exit 1
fi
echo "the Debian packages passed in $((SECONDS - start)) s"
rm -rf "$work"
