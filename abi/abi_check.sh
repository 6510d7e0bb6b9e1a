#!/usr/bin/env bash
# abi_check.sh - records the ABI of the shared library and checks a build
# against the recorded one, so that programs built against one 4.x keep
# working with every later one.
#
#   abi_check.sh compare --abidiff=PATH --library=FILE --baseline=FILE
#       --suppressions=FILE
#       Compares the built library with the baseline. A function or variable
#       removed, or one whose type changed (a parameter, a return value, a
#       field or the size of a public struct it reaches), fails while the
#       SONAME is the one recorded; a SONAME that differs from the baseline's
#       fails too, until a baseline is recorded for it. Additions pass and are
#       listed. A library without debug information (a Release build) can
#       only be compared by its exported symbols, which the output says;
#       every other build compares the types too.
#
#   abi_check.sh record --abidw=PATH --library=FILE --headers=DIR
#       --baseline=FILE --build-type=TYPE --compiler=ID --sanitize=NAME
#       [--gensymbols=PATH --symbols=FILE --package=NAME --version=VERSION
#        --dev-package=NAME]
#       Writes the baseline (`make abi-baseline`). Only a GCC Debug build
#       without a sanitizer is accepted: unoptimised, every exported function
#       has its own debug information (an optimised build folds identical functions
#       into one), and one compiler keeps the recorded file stable. Types that
#       the public headers do not define are left out, so the opaque records
#       behind the handles are not part of the ABI. With --symbols, the
#       Debian symbols file kept in packaging/ is brought up to date too: a
#       new symbol gets VERSION, a known one keeps its version, a removed one
#       goes.
set -uo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

mode=${1:-}
[ $# -gt 0 ] && shift
abidiff="" abidw="" library="" baseline="" suppressions="" headers="" build_type="" compiler=""
sanitize="" gensymbols="" symbols="" package="" version="" dev_package=""
for arg in "$@"; do
    case "$arg" in
        --abidiff=*) abidiff=${arg#*=} ;;
        --abidw=*) abidw=${arg#*=} ;;
        --library=*) library=${arg#*=} ;;
        --baseline=*) baseline=${arg#*=} ;;
        --suppressions=*) suppressions=${arg#*=} ;;
        --headers=*) headers=${arg#*=} ;;
        --build-type=*) build_type=${arg#*=} ;;
        --compiler=*) compiler=${arg#*=} ;;
        --sanitize=*) sanitize=${arg#*=} ;;
        --gensymbols=*) gensymbols=${arg#*=} ;;
        --symbols=*) symbols=${arg#*=} ;;
        --package=*) package=${arg#*=} ;;
        --version=*) version=${arg#*=} ;;
        --dev-package=*) dev_package=${arg#*=} ;;
        *) echo "abi_check.sh: unknown argument $arg" >&2; exit 2 ;;
    esac
done

[ -f "$library" ] || fail "no library at '$library'"
soname=$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ -n "$soname" ] || fail "$library has no SONAME"

# The exported functions and variables, one a line (version nodes are not
# symbols a program calls).
exports() {
    nm -D --defined-only "$1" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort -u
}

case $mode in
    compare)
        [ -x "$abidiff" ] ||
            fail "abidiff was not found when the build was configured (Debian package abigail-tools)"
        if [ ! -f "$baseline" ]; then
            fail "no ABI is recorded for $soname ($baseline is missing). A new SONAME starts a" \
                "new baseline: record it with make abi-baseline"
        fi
        recorded=$(sed -n "1s/.* soname='\([^']*\)'.*/\1/p" "$baseline")
        [ "$recorded" = "$soname" ] ||
            fail "$library has the SONAME $soname, but $baseline describes $recorded"
        echo "$(basename "$library") ($soname) against $baseline: $(grep -c '<elf-symbol ' "$baseline") symbols recorded"
        compared="interface"
        if ! readelf -S -W "$library" | grep -q '\.debug_info'; then
            compared="exported symbols"
            echo "NOTE: $(basename "$library") has no debug information (a build without -g, such as" \
                "Release): only its exported symbols are compared; the builds with debug information" \
                "compare the types too"
        fi
        options=(--exported-interfaces-only --suppressions "$suppressions")
        # First everything but additions: any such change breaks programs
        # built against the recorded ABI. abidiff's status is a bit set: 1 an
        # error, 2 a usage error, 4 a change, 8 an incompatible change.
        report=$("$abidiff" "${options[@]}" --no-added-syms "$baseline" "$library" 2>&1)
        status=$?
        if [ $((status & 3)) -ne 0 ]; then
            fail "abidiff could not compare the library with the baseline (status $status):"$'\n'"$report"
        fi
        if [ $status -ne 0 ]; then
            echo "FAIL: the interface of $(basename "$library") differs from the one recorded in" \
                "$baseline, and its SONAME is still $soname:" >&2
            echo "$report" >&2
            echo "Programs built against the recorded interface would break. Keep the interface, or" \
                "change the SONAME (the project's major version) and record a new baseline with" \
                "make abi-baseline." >&2
            exit 1
        fi
        report=$("$abidiff" "${options[@]}" "$baseline" "$library" 2>&1)
        status=$?
        if [ $status -eq 0 ]; then
            echo "the $compared: the recorded ones"
        else
            echo "the $compared: the recorded ones are kept; these additions are not recorded yet" \
                "(make abi-baseline records them):"
            echo "$report"
        fi
        ;;
    record)
        [ -x "$abidw" ] || fail "abidw was not found when the build was configured (Debian package abigail-tools)"
        [ -d "$headers" ] || fail "no public headers at '$headers'"
        if [ "$build_type" != Debug ] || [ "$compiler" != GNU ] || [ -n "$sanitize" ]; then
            fail "the baseline is recorded from a GCC Debug build without a sanitizer (make abi-baseline)," \
                "not from this one (${compiler:-unknown compiler}, ${build_type:-no build type}${sanitize:+, $sanitize sanitizer})"
        fi
        scratch=$(mktemp "${baseline}.XXXXXX") || exit 1
        trap 'rm -f "$scratch"' EXIT
        "$abidw" --headers-dir "$headers" --drop-private-types --exported-interfaces-only \
            --drop-undefined-syms --no-corpus-path --no-comp-dir-path --no-show-locs \
            --type-id-style hash --out-file "$scratch" "$library" ||
            fail "abidw could not read $library"
        # A complete record: every exported symbol is in it, and
        # nothing else is.
        described=$(grep -o "elf-symbol-id='[^']*'" "$scratch" | sed "s/.*='//; s/'\$//" | sort -u)
        missing=$(comm -13 <(echo "$described") <(exports "$library"))
        [ -z "$missing" ] || fail "abidw describes no declaration for these exported symbols:" $missing
        # Each translation unit is named by its file name alone, so that the
        # record does not depend on where the source tree was.
        sed -i "s|^\(  <abi-instr [^>]* path='\)[^']*/\([^/']*'\)|\1\2|" "$scratch"
        chmod 644 "$scratch"
        mv "$scratch" "$baseline"
        echo "recorded $soname in $baseline: $(wc -l <<<"$described") functions and variables"
        if [ -n "$symbols" ]; then
            [ -x "$gensymbols" ] || fail "dpkg-gensymbols was not found when the build was configured (Debian package dpkg-dev)"
            before=""
            [ -f "$symbols" ] && before=$(sed -n 's/^ \([^@ ]*\)@.*/\1/p' "$symbols" | sort)
            template=()
            [ -f "$symbols" ] && template=(-I"$symbols")
            scratch=$(mktemp "${symbols}.XXXXXX") || exit 1
            "$gensymbols" -p"$package" -v"$version" "${template[@]}" -e"$library" -O"$scratch" -c0 -q ||
                fail "dpkg-gensymbols failed on $library"
            # The development package that programs are built with, for
            # dpkg-shlibdeps to name when a symbol is missing.
            if ! grep -q '^\* Build-Depends-Package:' "$scratch"; then
                sed -i "1a * Build-Depends-Package: $dev_package" "$scratch"
            fi
            chmod 644 "$scratch"
            mv "$scratch" "$symbols"
            after=$(sed -n 's/^ \([^@ ]*\)@.*/\1/p' "$symbols" | sort)
            echo "wrote $symbols: $(wc -l <<<"$after") symbols," \
                "$(comm -13 <(echo "$before") <(echo "$after") | grep -c .) new at $version," \
                "$(comm -23 <(echo "$before") <(echo "$after") | grep -c .) gone"
        fi
        ;;
    *)
        echo "usage: abi_check.sh compare|record --name=value..." >&2
        exit 2
        ;;
esac
