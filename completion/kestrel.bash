# bash completion for kestrel-isp and kestrel-sim                      -*- shell-script -*-
# Installed under both names, so that bash-completion loads it for either. Options, commands,
# choice values (--erase all|pages) and fault kinds are read from the program's own --help,
# so what is added there completes without a change here. Needs nothing from bash-completion.

# Splits the line up to the cursor at blanks into the caller's words array; the last entry
# (empty after a blank) is the word being completed. COMP_WORDS would cut a fault such as
# nack:read or a path with ':' into pieces.
_kestrel_split_line() {
    local line=${COMP_LINE:0:COMP_POINT}
    read -ra words <<<"$line"
    [[ -z $line || $line =~ [[:blank:]]$ ]] && words+=("")
}

# Sets COMPREPLY to the candidates (one a line) that start with cur. Bash replaces only the
# part of the word after its last ':' or '=', so that much is cut off each reply.
_kestrel_reply() { # CUR CANDIDATES
    local cur=$1 candidate
    COMPREPLY=()
    while IFS= read -r candidate; do
        [[ -n $candidate && $candidate == "$cur"* ]] && COMPREPLY+=("$candidate")
    done <<<"$2"
    local cut=${cur%"${cur##*[:=]}"}
    if [[ -n $cut && $COMP_WORDBREAKS == *"${cut: -1}"* ]]; then
        COMPREPLY=("${COMPREPLY[@]#"$cut"}")
    fi
}

# Directories and the files matching the glob (all files without one), for cur.
_kestrel_files() { # CUR [GLOB]
    compopt -o filenames 2>/dev/null
    _kestrel_reply "$1" "$(compgen -d -- "$1"; compgen -f -X "!${2:-*}" -- "$1")"
}

# The first column of `kestrel-sim --list-chips`, from the simulator beside the program or
# on PATH; nothing from a simulator without that option.
_kestrel_chips() { # PROGRAM
    local sim=kestrel-sim list
    [[ $1 == */* && -x ${1%/*}/kestrel-sim ]] && sim=${1%/*}/kestrel-sim
    list=$("$sim" --list-chips 2>/dev/null) || return 0
    awk 'NF { print $1 }' <<<"$list"
}

# The usage lines of the help, each with its continuation lines joined to it.
_kestrel_usage() { # NAME HELP
    awk -v start="^  $1 " '
        $0 ~ start { if (line != "") print line; line = $0; next }
        line != "" && /^   +\[/ { line = line " " $0; next }
        { if (line != "") print line; line = "" }
        END { if (line != "") print line }' <<<"$2"
}

# The options --help names, less those that only other commands take (they stand after
# another command in its usage line).
_kestrel_options() { # NAME HELP COMMAND
    local options others
    options=$(grep -oE -- '--[a-z][a-z0-9-]*' <<<"$2" | sort -u)
    if [[ -n $3 ]]; then
        others=$(_kestrel_usage "$1" "$2" | grep -vE "\] $3( |$)" |
            sed -nE 's/.*\] [a-z][a-z-]* (.*)/\1/p' | grep -oE -- '--[a-z][a-z0-9-]*')
        [[ -n $others ]] && options=$(grep -vxF -e "$others" <<<"$options")
    fi
    echo "$options"
}

# Completes the value of option prev; false when prev takes none.
_kestrel_value() { # PROGRAM HELP PREV CUR
    local program=$1 help=$2 prev=$3 cur=$4 choices
    [[ $prev == -* ]] || return 1
    choices=$(grep -oE -- "$prev [a-z0-9]+(\|[a-z0-9]+)+" <<<"$help" 2>/dev/null | head -n1)
    if [[ -n $choices ]]; then
        _kestrel_reply "$cur" "$(tr '|' '\n' <<<"${choices#* }")"
        return 0
    fi
    case $prev in
    --port)
        local ports
        ports=$("$program" ports 2>/dev/null | awk 'NF { print $1 }')
        _kestrel_reply "$cur" "$ports"$'\n'"$(compgen -G '/dev/serial/by-id/*')"
        [[ ${#COMPREPLY[@]} -eq 0 ]] && _kestrel_files "$cur"
        return 0
        ;;
    --chip)
        _kestrel_reply "$cur" "$(_kestrel_chips "$program")"
        return 0
        ;;
    --fault)
        # Kinds start a line indented by four, then ':' or the help's column of blanks.
        local kinds
        kinds=$(sed -nE 's/^    ([a-z][a-z0-9-]*)(:|  ).*/\1\2/p' <<<"$help" | tr -d ' ')
        _kestrel_reply "$cur" "$kinds"
        [[ ${#COMPREPLY[@]} -eq 1 && ${COMPREPLY[0]} == *: ]] && compopt -o nospace 2>/dev/null
        return 0
        ;;
    esac
    if grep -qE -- "$prev (FILE|PATH)" <<<"$help" 2>/dev/null; then
        _kestrel_files "$cur"
        return 0
    fi
    # A number or a name: nothing to offer, but no command either.
    grep -qE -- "$prev [A-Z0-9]" <<<"$help" 2>/dev/null
}

_kestrel() {
    COMPREPLY=()
    local -a words
    _kestrel_split_line
    local n=${#words[@]} cur prev=""
    cur=${words[n - 1]}
    ((n > 1)) && prev=${words[n - 2]}
    local program=${words[0]} name=${words[0]##*/} help
    [[ -x $program ]] || program=$name
    help=$("$program" --help 2>/dev/null) || return 0
    _kestrel_value "$program" "$help" "$prev" "$cur" && return 0

    # The command and the arguments after it, skipping options and their values.
    local command="" arguments=0 i word
    for ((i = 1; i < n - 1; i++)); do
        word=${words[i]}
        if [[ $word == -* ]]; then
            grep -qE -- "$word [A-Za-z0-9]" <<<"$help" 2>/dev/null && ((i++))
        elif [[ -z $command ]]; then
            command=$word
        else
            ((arguments++))
        fi
    done

    local usage
    usage=$(_kestrel_usage "$name" "$help")
    if [[ $cur == -* ]]; then
        _kestrel_reply "$cur" "$(_kestrel_options "$name" "$help" "$command")"
    elif [[ -z $command ]]; then
        _kestrel_reply "$cur" "$(sed -nE "s/^  $name ((\[[^]]*\] *)*)([a-z][a-z-]*).*/\3/p" <<<"$usage")"
    elif ((arguments == 0)) && grep -qE "\] $command FILE\.hex" <<<"$usage"; then
        _kestrel_files "$cur" '*.[hH][eE][xX]'
    elif ((arguments == 0)) && grep -qE "\] $command FILE" <<<"$usage"; then
        _kestrel_files "$cur"
    fi
    return 0
}
complete -F _kestrel kestrel-isp kestrel-sim
