#!/usr/bin/env bash
# man_pages.sh - checks the tools' manual pages.
#
#   man_pages.sh render GROFF MANDOC PAGE...
#       Renders each page as man(1) does, for a terminal and for print, and
#       fails on any warning groff gives (-ww: all of them); then lints it
#       with mandoc, which also reports what groff silently accepts (a blank
#       line inside a paragraph tag, a macro out of place), down to the
#       level of style.
#
#   man_pages.sh options TOOL PAGE [both]
#       Fails unless every option that `TOOL --help` prints has an entry in
#       the page's OPTIONS section (the tag of a .TP paragraph there), so
#       that the page cannot fall behind the tool. Short options grouped in
#       one bracket ("[-AD]") count one by one. With "both", also the other
#       way round: every option the page documents is in --help, for a tool
#       whose help lists all of its options. An empty TOOL means its target
#       is not part of this build: the check is skipped (status 77).
#
#   man_pages.sh synopsis GROFF TOOL PAGE [FILE...]
#       Fails unless the first form of the page's SYNOPSIS, rendered as
#       text, is the usage line that `TOOL --help` prints (without its
#       "Usage: "), and each FILE (a README) shows that line on a line of
#       its own, so that the three say the same. An empty TOOL skips the
#       check, as above.
set -u
# Byte order for sort and comm, and "-e" apart from "-E", in any locale.
export LC_ALL=C

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# The tags of the .TP paragraphs in the OPTIONS section of PAGE, as text:
# ".BR \-D \", \" \-\-debug" gives "-D ,  --debug". Options only mentioned
# in the section's prose do not count as documented.
option_tags() {
    awk '/^\.SH/ { inside = ($2 == "OPTIONS") } inside && previous ~ /^\.TP/ { print } { previous = $0 }' "$1" |
        sed -e 's/^\.[A-Z]*[[:space:]]*//' -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' -e 's/"//g'
}

# The option names in standard input, one a line: "-w", "--wait", and "-A"
# and "-D" from "-AD". A dash inside a word ("non-zero") starts no option.
option_names() {
    grep -oE '(^|[^[:alnum:]_-])--?[[:alpha:]][[:alnum:]_-]*' |
        sed -E 's/^[^-]*//' |
        while read -r name; do
            if [[ $name == --* ]]; then
                printf "%s\n" "$name"
            else
                local letters=${name#-} i
                for ((i = 0; i < ${#letters}; ++i)); do printf -- "-%s\n" "${letters:i:1}"; done
            fi
        done | sort -u
}

mode=${1:-}
[ $# -gt 0 ] && shift

case $mode in
    render)
        groff=${1:-}
        mandoc=${2:-}
        [ $# -gt 2 ] || fail "usage: man_pages.sh render GROFF MANDOC PAGE..."
        shift 2
        # scripts/install-deps.sh installs both.
        [ -x "$groff" ] || fail "groff was not found when the build was configured (Debian package groff-base)"
        [ -x "$mandoc" ] || fail "mandoc was not found when the build was configured (Debian package mandoc)"
        status=0
        for page in "$@"; do
            clean=1
            for device in ps utf8; do
                warnings=$("$groff" -man -ww -z -T"$device" "$page" 2>&1) && [ -z "$warnings" ] || {
                    echo "FAIL: $page (groff -T$device) renders with warnings:" >&2
                    echo "$warnings" >&2
                    clean=0
                }
            done
            warnings=$("$mandoc" -T lint -W style "$page" 2>&1) && [ -z "$warnings" ] || {
                echo "FAIL: mandoc finds fault with $page:" >&2
                echo "$warnings" >&2
                clean=0
            }
            if [ $clean -eq 1 ]; then
                echo "rendered and linted without a warning: $page"
            else
                status=1
            fi
        done
        exit $status
        ;;
    options)
        tool=${1:-}
        page=${2:-}
        both=${3:-}
        [ -n "$page" ] || fail "usage: man_pages.sh options TOOL PAGE [both]"
        if [ -z "$tool" ]; then
            echo "SKIP: $(basename "$page" .1) is not built yet, so its --help cannot be compared with $page"
            exit 77
        fi
        help=$("$tool" --help 2>&1) || fail "$tool --help exited with $?: $help"
        tags=$(option_tags "$page")
        [ -n "$tags" ] || fail "$page has no OPTIONS section with tagged paragraphs"
        documented=$(option_names <<<"$tags")
        offered=$(option_names <<<"$help")
        [ -n "$offered" ] || fail "$tool --help names no option: $help"
        missing=$(comm -23 <(echo "$offered") <(echo "$documented"))
        if [ -n "$missing" ]; then
            echo "FAIL: $tool --help offers options that have no entry under OPTIONS in $page:" >&2
            sed 's/^/  /' <<<"$missing" >&2
            echo "$tool --help said:" >&2
            sed 's/^/  | /' <<<"$help" >&2
            exit 1
        fi
        echo "every option of $(basename "$tool") --help is in $page:" $offered
        if [ "$both" = both ]; then
            unknown=$(comm -13 <(echo "$offered") <(echo "$documented"))
            if [ -n "$unknown" ]; then
                echo "FAIL: $page documents options that $tool --help does not list:" >&2
                sed 's/^/  /' <<<"$unknown" >&2
                exit 1
            fi
            echo "and every option under OPTIONS in $page is in its --help"
        fi
        ;;
    synopsis)
        groff=${1:-}
        tool=${2:-}
        page=${3:-}
        [ -n "$page" ] || fail "usage: man_pages.sh synopsis GROFF TOOL PAGE [FILE...]"
        shift 3
        [ -x "$groff" ] || fail "groff was not found when the build was configured (Debian package groff-base)"
        if [ -z "$tool" ]; then
            echo "SKIP: $(basename "$page" .1) is not built yet, so its usage line cannot be compared with $page"
            exit 77
        fi
        usage=$("$tool" --help 2>&1 | sed -n '1s/^Usage: //p' | tr -s ' ')
        [ -n "$usage" ] || fail "$tool --help prints no usage line"
        # The SYNOPSIS as plain text; a form begins with the tool's name and
        # may go on over the next lines.
        name=${usage%% *}
        first=$("$groff" -man -Tascii -P-cbou "$page" 2>/dev/null |
            awk -v name="$name" '
                /^[^ ]/ { inside = ($1 == "SYNOPSIS"); next }
                inside && $1 == name { forms++ }
                inside && forms == 1 { printf "%s ", $0 }' |
            tr -s ' ' | sed 's/^ //; s/ $//')
        [ "$first" = "$usage" ] || fail "the SYNOPSIS of $page begins with '$first', but $tool --help says '$usage'"
        for file in "$@"; do
            grep -qxF -- "$usage" "$file" || fail "$file does not show the usage line '$usage' on a line of its own"
        done
        echo "$page${*:+ and }$* show the usage line of $(basename "$tool") --help: $usage"
        ;;
    *)
        fail "unknown mode $mode"
        ;;
esac
