#!/usr/bin/env bash
# hardening_test.sh BUILD_TYPE CODE... -- BINARY...
#
# The binaries are hardened as a distribution builds them: position
# independent (ELF type DYN), every relocation bound at start and its table
# read-only afterwards (BIND_NOW and GNU_RELRO). The code (objects or
# archives compiled from our own sources) carries the stack protector's
# canary checks and, in optimised builds, fortified C library calls; a binary
# alone would not tell, since a static runtime linked into it may bring both
# of its own. Which calls the compiler fortifies differs between compilers,
# so any fortified call in the code counts.
set -u
build_type=$1
shift
code=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    code+=("$1")
    shift
done
shift
failed=0
fail() {
    echo "FAIL: $1: $2"
    failed=1
}
for binary in "$@"; do
    header=$(readelf -h "$binary") || { fail "$binary" "not readable as ELF"; continue; }
    grep -Eq 'Type:[[:space:]]+DYN' <<<"$header" || fail "$binary" "not position independent"
    readelf -d "$binary" | grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*NOW' ||
        fail "$binary" "relocations not bound at start (no BIND_NOW)"
    readelf -l "$binary" | grep -q 'GNU_RELRO' || fail "$binary" "no GNU_RELRO segment"
    echo "checked: $binary"
done
fortified=0
for file in "${code[@]}"; do
    undefined=$(nm -u "$file" 2>/dev/null) || { fail "$file" "not readable"; continue; }
    grep -q '__stack_chk_fail' <<<"$undefined" || fail "$file" "compiled without a stack protector"
    grep -v '__stack_chk_fail' <<<"$undefined" | grep -Eq '__[a-z_]+_chk$' && fortified=1
    echo "checked: $file"
done
if [ "$build_type" != Debug ] && [ $fortified = 0 ]; then
    fail "${code[*]}" "compiled without _FORTIFY_SOURCE"
fi
exit $failed
