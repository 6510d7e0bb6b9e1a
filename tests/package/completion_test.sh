#!/usr/bin/env bash
# completion_test.sh - drives the tools' bash completion through bash itself.
#
#   completion_test.sh SCRIPT HELPERS OVLOCKFILE_PAGE OVLOCKRUN_PAGE
#
# SCRIPT is the completion script (installed as share/bash-completion/
# completions/ovlockfile and .../ovlockrun), HELPERS bash-completion's
# bash_completion file. The cases run twice, each time in a fresh
# `bash --norc --noprofile` with an empty environment: once with SCRIPT
# sourced alone, once with bash-completion's helpers loaded and SCRIPT
# found by their loader under the names it is installed as. For each case a
# command line is split into words as readline splits it (at blanks, and at
# '=' and ':'), COMP_WORDS, COMP_CWORD, COMP_LINE and COMP_POINT are set
# for the cursor at its end, the function that `complete -p TOOL` names is
# called, and COMPREPLY is compared with what it must hold. The options
# offered must be exactly those under OPTIONS in the tool's manual page.
set -u
export LC_ALL=C

if [ "${1:-}" != --inner ]; then
    script=${1:-}
    helpers=${2:-}
    [ $# -eq 4 ] || { echo "usage: completion_test.sh SCRIPT HELPERS OVLOCKFILE_PAGE OVLOCKRUN_PAGE" >&2; exit 2; }
    [ -f "$script" ] || { echo "FAIL: no completion script $script" >&2; exit 1; }
    [ -f "$helpers" ] || {
        echo "FAIL: bash-completion's $helpers is missing; scripts/install-deps.sh installs it" >&2
        exit 1
    }
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    status=0
    for mode in plain helpers; do
        env -i HOME="$work" PATH="$work/bin:/usr/bin:/bin" \
            bash --norc --noprofile "$0" --inner "$mode" "$(realpath "$1")" "$(realpath "$2")" \
            "$(realpath "$3")" "$(realpath "$4")" "$work"
        inner=$?
        # 3: cases failed; anything else ended the shell before they were done.
        if [ $inner -ne 0 ] && [ $inner -ne 3 ]; then
            echo "FAIL: [$mode] bash ended with status $inner before the cases were done" >&2
        fi
        [ $inner -eq 0 ] || status=1
    done
    exit $status
fi

mode=$2 script=$3 helpers=$4 file_page=$5 run_page=$6 work=$7

# A scratch directory to complete in, and programs on PATH: one with a
# completion function that reports how it was called, one with a word list,
# one whose function offers nothing and leaves it to readline's default, and
# one with no completion.
mkdir -p "$work/bin" "$work/files/sub" "$work/bc/completions" "$work/none"
touch "$work/files/alpha.pem" "$work/files/beta.key" "$work/files/-dash" "$work/files/x:y.pem"
for program in ovtestprog ovcolour ovempty ovnocompl; do
    printf '#!/bin/sh\n' >"$work/bin/$program"
    chmod +x "$work/bin/$program"
done
_ovtestprog() {
    # The helpers leave the blank before the command on its line.
    local line=${COMP_LINE:0:COMP_POINT}
    line=${line#"${line%%[![:space:]]*}"}
    COMPREPLY=("args $1|$2|$3" "cword $COMP_CWORD" "words ${COMP_WORDS[*]}" "line $line|")
}
complete -F _ovtestprog ovtestprog
complete -W "red green blue" ovcolour
_ovempty() { COMPREPLY=(); }
complete -o default -F _ovempty ovempty
cd "$work/files" || exit 1

if [ "$mode" = plain ]; then
    # shellcheck source=/dev/null
    . "$script"
else
    # The helpers' loader finds the script by the tool's name, as a system
    # that installed the package does; nothing of this machine's own.
    cp "$script" "$work/bc/completions/ovlockfile"
    cp "$script" "$work/bc/completions/ovlockrun"
    export BASH_COMPLETION_USER_DIR=$work/bc XDG_DATA_DIRS=$work/none
    # shellcheck source=/dev/null
    . "$helpers"
    declare -F _command_offset >/dev/null || { echo "FAIL: $helpers defines no _command_offset" >&2; exit 1; }
    for tool in ovlockfile ovlockrun; do
        _completion_loader "$tool"
        complete -p "$tool" >/dev/null 2>&1 || { echo "FAIL: [$mode] the loader found no completion for $tool" >&2; exit 1; }
    done
fi

# compopt works only while readline completes; what it asks of readline is
# kept in compopts.
compopt() { compopts+=" $*"; }

failures=0
cases=0

# complete LINE: sets got to the sorted COMPREPLY for the cursor at the end
# of LINE. Words are split as readline splits them: at blanks, and each
# run of '=' or ':' is a word of its own.
complete_line() {
    local line=$1 token piece rule func
    local -a tokens
    COMP_WORDS=()
    read -ra tokens <<<"$line"
    for token in "${tokens[@]}"; do
        while [ -n "$token" ]; do
            if [[ $token == [=:]* ]]; then piece=${token%%[!=:]*}; else piece=${token%%[=:]*}; fi
            COMP_WORDS+=("$piece")
            token=${token:${#piece}}
        done
    done
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMP_LINE=$line
    COMP_POINT=${#line}
    COMPREPLY=()
    compopts=
    rule=$(complete -p "${COMP_WORDS[0]}" 2>/dev/null) || { got="(no completion for ${COMP_WORDS[0]})"; return; }
    func=${rule#* -F }
    func=${func%% *}
    "$func" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    got=$( ((${#COMPREPLY[@]} == 0)) || printf '%s\n' "${COMPREPLY[@]}" | sort -u)
}

fail() {
    echo "FAIL: [$mode] '$1': $2" >&2
    [ -z "$got" ] || printf '    got: %s\n' "${got//$'\n'/$'\n'    got: }" >&2
    failures=$((failures + 1))
}

# expect LINE WORD...: COMPREPLY holds exactly the WORDs (none: nothing).
expect() {
    local line=$1 want
    shift
    cases=$((cases + 1))
    complete_line "$line"
    want=$( (($# == 0)) || printf '%s\n' "$@" | sort -u)
    [ "$got" = "$want" ] || fail "$line" "expected exactly: $*"
}

# expect_each has|lacks LINE WORD...: COMPREPLY holds each WORD (and maybe
# more), or none of them.
expect_each() {
    local want=$1 line=$2 word found
    shift 2
    cases=$((cases + 1))
    complete_line "$line"
    for word in "$@"; do
        if grep -qxF -- "$word" <<<"$got"; then found=has; else found=lacks; fi
        [ "$found" = "$want" ] && continue
        if [ "$want" = has ]; then
            fail "$line" "expected $word among them"
        else
            fail "$line" "did not expect $word"
        fi
        return 0
    done
}

expect_has() { expect_each has "$@"; }
expect_lacks() { expect_each lacks "$@"; }

# The options documented under OPTIONS in a manual page, one a line, as
# tests/package/man_pages.sh reads them: "-A" and "-D" from "-AD".
page_options() {
    awk '/^\.SH/ { inside = ($2 == "OPTIONS") } inside && previous ~ /^\.TP/ { print } { previous = $0 }' "$1" |
        sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' |
        grep -oE '(^|[^[:alnum:]_-])--?[[:alpha:]][[:alnum:]_-]*' | sed -E 's/^[^-]*//' |
        while read -r name; do
            if [[ $name == --* ]]; then
                printf '%s\n' "$name"
            else
                for ((i = 1; i < ${#name}; ++i)); do printf -- '-%s\n' "${name:i:1}"; done
            fi
        done | sort -u
}
mapfile -t file_options < <(page_options "$file_page")
mapfile -t run_options < <(page_options "$run_page")
[ ${#file_options[@]} -ge 6 ] || { echo "FAIL: found only ${file_options[*]} in $file_page" >&2; exit 1; }
[ ${#run_options[@]} -ge 20 ] || { echo "FAIL: found only ${run_options[*]} in $run_page" >&2; exit 1; }
files=(-dash alpha.pem beta.key sub x:y.pem)

# ---- ovlockfile: whole-argument options anywhere, FILE, then a number -------------------
expect "ovlockfile -" "${file_options[@]}"
expect "ovlockfile -D -" "${file_options[@]}"
expect "ovlockfile -D -D -" "${file_options[@]}"
expect "ovlockfile alpha.pem -" "${file_options[@]}"
expect "ovlockfile -D" -D
expect "ovlockfile --d" --debug
expect "ovlockfile " "${files[@]}"
expect "ovlockfile -D al" alpha.pem
expect "ovlockfile -D --debug s" sub
expect "ovlockfile alpha.pem "
expect "ovlockfile -D alpha.pem -D "
expect "ovlockfile alpha.pem 10 "

# ---- ovlockrun: its options, and their values ----------------------------------------------
expect "ovlockrun -" "${run_options[@]}"
expect "ovlockrun -q -" "${run_options[@]}"
expect "ovlockrun --etcd --cacert alpha.pem -" "${run_options[@]}"
expect "ovlockrun --pa" --password-file
expect "ovlockrun --c" --cacert --cert --check --conflict-exit-code
# Numbers, URLs and user names: nothing.
for option in -w --wait -e --expire -E --conflict-exit-code -k --kill-after -qw -Dk \
    --endpoints --user --wai --kill; do
    expect "ovlockrun $option "
done
expect "ovlockrun --wait="
expect "ovlockrun --etcd --user="
# A value consumed, however given, leaves FILE next.
expect "ovlockrun -w 5 " "${files[@]}"
expect "ovlockrun -w5 al" alpha.pem
expect "ovlockrun -qw 5 -e 10 al" alpha.pem
expect "ovlockrun --wait=5 al" alpha.pem
expect "ovlockrun --kill 2 -E 9 al" alpha.pem
# The files of the TLS and password options.
for option in --cacert --cert --key --password-file --cac; do
    expect "ovlockrun --etcd $option al" alpha.pem
done
expect "ovlockrun --etcd --cacert=al" alpha.pem
expect "ovlockrun --etcd --key=s" sub
expect "ovlockrun --etcd --cert " "${files[@]}"

# ---- FILE, then a command, then the command's own arguments -----------------------------
expect "ovlockrun al" alpha.pem
expect "ovlockrun " "${files[@]}"
# Readline puts in what follows the ':' of the word.
expect "ovlockrun x:" y.pem
expect "ovlockrun --etcd --cacert=x:y" y.pem
expect "ovlockrun -w 5 alpha.pem ovtestpr" ovtestprog
expect "ovlockrun alpha.pem ovnoc" ovnocompl
expect "ovlockrun alpha.pem ovtestprog -x " "args ovtestprog||-x" "cword 2" \
    "words ovtestprog -x " "line ovtestprog -x |"
expect "ovlockrun -w 5 -qD beta.key ovtestprog --one tw" "args ovtestprog|tw|--one" "cword 2" \
    "words ovtestprog --one tw" "line ovtestprog --one tw|"
# A command without a completion of its own gets file names.
expect "ovlockrun alpha.pem ovnocompl " "${files[@]}"
expect "ovlockrun alpha.pem ls al" alpha.pem
expect "ovlockrun alpha.pem ovcolour r" red
expect "ovlockrun --etcd job ovcolour blue g" green
expect "ovlockrun alpha.pem ovempty "
[[ $compopts == *"-o default"* ]] || fail "ovlockrun alpha.pem ovempty " "readline's default completion was not asked for:$compopts"
# After FILE every word is the command's, also one that begins with a dash.
expect_lacks "ovlockrun alpha.pem -" "${run_options[@]}"
expect_lacks "ovlockrun alpha.pem ovnocompl -" "${run_options[@]}"
expect "ovlockrun alpha.pem ovnocompl -w "  "${files[@]}"
# ovlockrun under ovlockrun.
expect "ovlockrun alpha.pem ovlockrun -" "${run_options[@]}"
expect "ovlockrun alpha.pem ovlockrun -w 1 beta.key ovtestprog " "args ovtestprog||ovtestprog" "cword 1" \
    "words ovtestprog " "line ovtestprog |"
if [ "$mode" = helpers ]; then
    # The helpers' own completion of ls, loaded for it.
    expect_has "ovlockrun alpha.pem ls --al" --all --almost-all
fi

# ---- "--": the next word is FILE, whatever it begins with --------------------------------
expect "ovlockrun -- -" -dash
expect "ovlockrun -w 5 -- " "${files[@]}"
expect "ovlockrun -- -dash ovtestpr" ovtestprog
expect "ovlockrun -- -dash ovtestprog " "args ovtestprog||ovtestprog" "cword 1" "words ovtestprog " "line ovtestprog |"

# ---- --check: FILE and nothing after it ---------------------------------------------------
expect "ovlockrun --check al" alpha.pem
expect "ovlockrun -e 10 --check " "${files[@]}"
expect "ovlockrun --check alpha.pem "
expect "ovlockrun --check alpha.pem ovt"

# ---- A lock on etcd: NAME is a lock's name, not a file -----------------------------------
expect "ovlockrun --etcd "
expect "ovlockrun --etcd al"
expect "ovlockrun --endpoints http://127.0.0.1:2379 "
expect "ovlockrun --endpoints=https://[::1]:2379,https://h:2379 -w 3 "
expect "ovlockrun -- --etcd ovtestpr" ovtestprog
expect "ovlockrun --endpoints http://127.0.0.1:2379 job ovtestpr" ovtestprog
expect "ovlockrun --endpoints=http://127.0.0.1:2379 job ovtestprog a:b " "args ovtestprog||b" "cword 4" \
    "words ovtestprog a : b " "line ovtestprog a:b |"
expect "ovlockrun --etcd --cacert alpha.pem --check "
expect "ovlockrun --etcd --check job "

if [ $failures -ne 0 ]; then
    echo "[$mode] $failures of $cases cases failed"
    exit 3
fi
echo "[$mode] all $cases cases passed"
