#!/usr/bin/env bash
# exported_symbols.sh - the shared library exports exactly the functions and
# objects that the public headers declare with OV_API.
#
# A symbol exported without a declaration is an accidental interface: a
# program can bind to it and then breaks when it changes or goes. A declared
# symbol that is not exported links against the static library but not
# against the shared one. Both lists are printed by name.
#
# Usage: exported_symbols.sh NM LIBRARY HEADER...
set -euo pipefail

if [ $# -lt 3 ]; then
    echo "usage: exported_symbols.sh NM LIBRARY HEADER..." >&2
    exit 2
fi
nm=$1 library=$2
shift 2

# The names declared with OV_API, read the way a compiler would see the
# statements: comments and preprocessor lines go first (ovexport.h defines
# OV_API itself), the rest is split at semicolons, so a declaration spread
# over several lines is one statement. Attributes and the OV_* function-like
# macros (OV_PRINTF) are removed so that the name is the first identifier
# before a parameter list, or, for an object, the last identifier.
declared=$(perl -0777 -ne '
    s{/\*.*?\*/}{ }gs;
    s{^[ \t]*#(?:[^\n]*\\\n)*[^\n]*}{}gm;
    s{//[^\n]*}{}g;
    for my $statement (split /;/) {
        next unless $statement =~ s/^.*?\bOV_API\b//s;
        1 while $statement =~ s/__attribute__\s*\(\((?:[^()]|\((?:[^()]|\([^()]*\))*\))*\)\)//g;
        $statement =~ s/\bOV_[A-Z0-9_]+\s*\([^()]*\)//g;
        if ($statement =~ /\(\s*\*\s*([A-Za-z_]\w*)\s*\(/) {
            print "$1\n";          # a function that returns a function pointer
        } elsif ($statement =~ /([A-Za-z_]\w*)\s*\(/) {
            print "$1\n";
        } elsif ($statement =~ /([A-Za-z_]\w*)\s*(?:\[[^\]]*\]\s*)*(?:=.*)?$/s) {
            print "$1\n";
        } else {
            print STDERR "exported_symbols.sh: no name in OV_API declaration: $statement\n";
            exit 1;
        }
    }' "$@" | sort -u)

# Version nodes (type A) are not symbols a program calls.
exported=$("$nm" -D --defined-only "$library" | awk '$2 != "A" { sub(/@.*/, "", $3); print $3 }' | sort -u)

# An empty list on either side means the extraction broke, not that the
# library is right.
[ -n "$declared" ] || { echo "FAIL: no OV_API declarations found in $*" >&2; exit 1; }
[ -n "$exported" ] || { echo "FAIL: $library exports no symbols" >&2; exit 1; }

undeclared=$(comm -13 <(echo "$declared") <(echo "$exported"))
missing=$(comm -23 <(echo "$declared") <(echo "$exported"))
echo "$(wc -l <<<"$declared") OV_API declarations, $(wc -l <<<"$exported") exported symbols in $library"
status=0
if [ -n "$undeclared" ]; then
    echo "FAIL: exported but not declared with OV_API in a public header:"
    sed 's/^/  /' <<<"$undeclared"
    status=1
fi
if [ -n "$missing" ]; then
    echo "FAIL: declared with OV_API but not exported:"
    sed 's/^/  /' <<<"$missing"
    status=1
fi
exit $status
