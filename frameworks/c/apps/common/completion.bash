# Bash completion for ovlockfile and ovlockrun.                 -*- shell-script -*-
#
# Installed twice under share/bash-completion/completions, as ovlockfile and
# as ovlockrun, so that bash-completion's loader finds it by either name;
# sourcing it from ~/.bashrc works too. It needs nothing of bash-completion.
# Where bash-completion's helpers are loaded, file names and the command after
# ovlockrun's FILE go through them (and their loader finds that command's own
# completion); without them, file names come from compgen and the command's
# arguments from what `complete` has registered for it, else file names.
#
# What is completed, as the tools read their command lines:
#   ovlockfile   options are whole arguments, anywhere (-D -D, never -DD);
#                the first other argument is FILE, the next a number.
#   ovlockrun    options up to FILE, getopt-style (-w5, -qD, --wait=5, a
#                long option's unique prefix); "--" ends them. After FILE,
#                a command and then that command's own arguments. With
#                --endpoints or --etcd, NAME is a lock's name on the
#                cluster, not a file, and nothing is offered for it.
# Numbers, URLs and user names are not a choice among known values: nothing
# is offered for them.

# _ovlock_words: the words before the cursor as the tool will get them.
# Readline also breaks words at '=' and ':' (COMP_WORDBREAKS), which splits
# --cacert=FILE and http://host:port; pieces that no blank separates are
# joined again. Sets _ovlock_w (the words; the last is the one being
# completed, up to the cursor), _ovlock_at (the index in COMP_WORDS of
# each word's first piece) and _ovlock_off (where it begins in COMP_LINE).
_ovlock_words() {
    local line=${COMP_LINE:0:COMP_POINT} pos=0 i piece rest gap
    _ovlock_w=()
    _ovlock_at=()
    _ovlock_off=()
    for ((i = 0; i <= COMP_CWORD && i < ${#COMP_WORDS[@]}; i++)); do
        rest=${line:pos}
        gap=${rest%%[![:space:]]*}
        ((pos += ${#gap}))
        piece=${COMP_WORDS[i]}
        piece=${line:pos:${#piece}}
        ((pos += ${#piece}))
        if ((i > 0 && ${#gap} == 0)); then
            _ovlock_w[-1]+=$piece
        else
            _ovlock_w+=("$piece")
            _ovlock_at+=("$i")
            _ovlock_off+=($((pos - ${#piece})))
        fi
    done
}

# _ovlock_files: file names that begin with $cur.
_ovlock_files() {
    if declare -F _filedir >/dev/null; then
        _filedir
    else
        compopt -o filenames 2>/dev/null
        # A name begun with a quote or with backslash escapes, as typed.
        local word=$cur
        [[ $word == [\'\"]* ]] && word=${word:1}
        word=${word//\\/}
        [[ $word == \~/* ]] && word=$HOME/${word#\~/}
        mapfile -t COMPREPLY < <(compgen -f -- "$word")
    fi
    # Readline replaces only what follows the last '=' or ':' of the word.
    local c prefix=
    for c in = :; do
        [[ $COMP_WORDBREAKS == *"$c"* && $cur == *"$c"* ]] || continue
        [[ ${cur%"$c"*}$c == "$prefix"* ]] && prefix=${cur%"$c"*}$c
    done
    [[ -z $prefix ]] || COMPREPLY=("${COMPREPLY[@]#"$prefix"}")
}

# _ovlock_options LIST: the options of LIST that begin with $cur.
_ovlock_options() {
    local IFS=$' \t\n'
    mapfile -t COMPREPLY < <(compgen -W "$1" -- "$cur")
}

_ovlockfile() {
    local _ovlock_w _ovlock_at _ovlock_off
    _ovlock_words
    local n=${#_ovlock_w[@]} i args=0
    local cur=${_ovlock_w[n - 1]}
    COMPREPLY=()
    for ((i = 1; i < n - 1; i++)); do
        case ${_ovlock_w[i]} in
            -D | --debug | -A | --version | -h | --help) ;;
            *) ((args++)) ;;
        esac
    done
    if [[ $cur == -* ]]; then
        _ovlock_options "-D --debug -A --version -h --help"
        ((${#COMPREPLY[@]} > 0)) && return 0
    fi
    # FILE; after it comes the expiration in seconds.
    ((args == 0)) && _ovlock_files
    return 0
}

_ovlockrun_options="-w --wait -e --expire -E --conflict-exit-code -k --kill-after -q --quiet
    -D --debug --check --endpoints --etcd --cacert --cert --key --user --password-file
    --help --version"

# _ovlockrun_long WORD: sets name to the long option that WORD names, in
# full, as getopt_long reads it: the option itself or its only one that
# begins with WORD. Empty when there is none or several.
_ovlockrun_long() {
    local option found=0 IFS=$' \t\n'
    name=
    for option in $_ovlockrun_options; do
        [[ $option == --* ]] || continue
        if [[ $option == "$1" ]]; then
            name=$option
            return
        fi
        [[ $option == "$1"* ]] && name=$option && ((++found))
    done
    ((found == 1)) || name=
}

# _ovlock_command K: completes the command that begins at the word K.
_ovlock_command() {
    local k=$1
    local raw=${_ovlock_at[k]}
    if declare -F _command_offset >/dev/null; then
        _command_offset "$raw"
        return 0
    fi
    if ((k == ${#_ovlock_w[@]} - 1)); then
        # Commands, functions and builtins, or a path to a program.
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -c -- "$cur")
        return 0
    fi
    # The command's own completion, on its line as if typed alone.
    local cmd=${_ovlock_w[k]} rule func
    local off=${_ovlock_off[k]}
    local COMP_LINE=${COMP_LINE:off} COMP_POINT=$((COMP_POINT - off))
    local COMP_WORDS=("${COMP_WORDS[@]:raw}") COMP_CWORD=$((COMP_CWORD - raw))
    rule=$(complete -p -- "$cmd" 2>/dev/null) || rule=$(complete -p -- "${cmd##*/}" 2>/dev/null)
    if [[ $rule == *" -F "* ]]; then
        func=${rule#* -F }
        func=${func%% *}
        "$func" "$cmd" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
        # Its -o options (default, filenames, nospace...) hold as for the
        # command itself.
        while [[ $rule == *" -o "* ]]; do
            rule=${rule#* -o }
            compopt -o "${rule%% *}" 2>/dev/null
        done
    elif [[ -n $rule ]]; then
        rule=${rule#complete }
        local IFS=$' \t\n'
        mapfile -t COMPREPLY < <(eval "compgen ${rule% *} -- \"\$cur\"")
    else
        _ovlock_files
    fi
    return 0
}

_ovlockrun() {
    local _ovlock_w _ovlock_at _ovlock_off
    _ovlock_words
    local n=${#_ovlock_w[@]} i=1 j word name file=0 value='' etcd=0 check=0
    local cur=${_ovlock_w[n - 1]}
    COMPREPLY=()
    # The options up to FILE: where FILE is, or what the word being
    # completed is.
    while ((i < n - 1)); do
        word=${_ovlock_w[i]}
        if [[ $word == -- ]]; then
            file=$((i + 1))
            break
        elif [[ $word == --?* ]]; then
            _ovlockrun_long "${word%%=*}"
            case $name in
                --etcd) etcd=1 ;;
                --check) check=1 ;;
                --wait | --expire | --conflict-exit-code | --kill-after | --endpoints | --cacert | --cert | \
                    --key | --user | --password-file)
                    [[ $name == --endpoints ]] && etcd=1
                    # Its value is in the word (--wait=5) or the next one.
                    [[ $word == *=* ]] || { ((++i == n - 1)) && value=$name; }
                    ;;
            esac
        elif [[ $word == -?* ]]; then
            # Short options bundle; one that takes a value takes the rest of
            # the word, or the next word.
            for ((j = 1; j < ${#word}; j++)); do
                case ${word:j:1} in
                    [weEk])
                        ((j == ${#word} - 1)) && ((++i == n - 1)) && value=-${word:j:1}
                        break
                        ;;
                esac
            done
        else
            file=$i
            break
        fi
        ((i++))
    done

    if [[ -n $value ]]; then
        case $value in
            --cacert | --cert | --key | --password-file) _ovlock_files ;;
        esac
        return 0
    fi
    if ((file == 0)) && [[ $cur == -* ]]; then
        if [[ $cur == --*=* ]]; then
            _ovlockrun_long "${cur%%=*}"
            cur=${cur#*=}
            case $name in
                --cacert | --cert | --key | --password-file) _ovlock_files ;;
            esac
        else
            _ovlock_options "$_ovlockrun_options"
        fi
        return 0
    fi
    if ((file == 0 || file == n - 1)); then
        # FILE; on a cluster NAME is a lock's name.
        ((etcd)) || _ovlock_files
        return 0
    fi
    # --check takes no command.
    ((check)) || _ovlock_command $((file + 1))
    return 0
}

complete -F _ovlockfile ovlockfile
complete -F _ovlockrun ovlockrun
