#!/usr/bin/env bash
# hardening_test.sh BUILD_TYPE OBJECT BINARY... - the binaries are hardened as
# a distribution builds them: position independent (ELF type DYN), every
# relocation bound at start and its table read-only afterwards (BIND_NOW and
# GNU_RELRO). The object, compiled from our own code, carries the stack
# protector's canary checks and, in optimised builds, fortified calls; a
# binary alone would not tell, since a static runtime linked into it may
# bring both of its own.
set -u
build_type=$1
object=$2
shift 2
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
undefined=$(nm -u "$object") || fail "$object" "not readable"
grep -q '__stack_chk_fail' <<<"$undefined" || fail "$object" "compiled without a stack protector"
if [ "$build_type" != Debug ]; then
    grep -Eq '__[a-z]+_chk$' <<<"$undefined" || fail "$object" "compiled without _FORTIFY_SOURCE"
fi
echo "checked: $object"
exit $failed
