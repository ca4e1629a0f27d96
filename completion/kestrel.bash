# bash completion for kestrel-isp and kestrel-sim                      -*- shell-script -*-
# Installed under both names, so that bash-completion loads it for either. Options, commands,
# choice values (--erase all|pages, unprotect read|write) and fault kinds are read from the
# program's own --help, so what is added there completes without a change here. Short options
# (-p, or -qp at the end of a bundle) stand for the long ones the help pairs them with
# (-p, --port), and --name=value completes the value as --name value does. Needs nothing from bash-completion.

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

# Files and directories, for cur.
_kestrel_files() { # CUR
    compopt -o filenames 2>/dev/null
    _kestrel_reply "$1" "$(compgen -f -- "$1")"
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

# The long options of the help's option list: those that start one of its lines, alone or
# after a short one ("  -p, --port NAME"). An option only named in a text is none.
_kestrel_all_options() { # HELP
    sed -nE 's/^ {1,8}(-[A-Za-z0-9], )?(--[a-z][a-z0-9-]*).*/\2/p' <<<"$1" | sort -u
}

# The long option a short one stands for in the option list, or the last one of a bundle
# (-qp); any other word as it is, also a bundle in which an option takes the rest of the word
# as its value (-b9600).
_kestrel_long() { # HELP WORD
    local long="" i
    [[ $2 =~ ^-[A-Za-z0-9]+$ ]] || { echo "$2"; return; }
    for ((i = 1; i < ${#2}; i++)); do
        long=$(sed -nE "s/^ {1,8}-${2:i:1}, (--[a-z][a-z0-9-]*).*/\1/p" <<<"$1" | head -n1)
        ((i < ${#2} - 1)) && [[ -n $long ]] && _kestrel_takes_value "$1" "$long" && long="" &&
            break
    done
    echo "${long:-$2}"
}

# True when the option list shows a value after the long option ("--baud N").
_kestrel_takes_value() { # HELP LONG
    grep -qE -- "^ {1,8}(-[A-Za-z0-9], )?$2 [A-Za-z0-9]" <<<"$1" 2>/dev/null
}

# The options a usage line names after its command.
_kestrel_usage_options() {
    sed -nE 's/.*\] [a-z][a-z-]* (.*)/\1/p' | grep -oE -- '--[a-z][a-z0-9-]*'
}

# The options of the option list, less those that only other commands take: those that
# stand after another command in its usage line and not after this one in its own.
_kestrel_options() { # NAME HELP COMMAND
    local options usage others own
    options=$(_kestrel_all_options "$2")
    if [[ $3 =~ ^[a-z][a-z0-9-]*$ ]]; then
        usage=$(_kestrel_usage "$1" "$2")
        others=$(grep -vE "\] $3( |$)" <<<"$usage" | _kestrel_usage_options)
        own=$(grep -E "\] $3( |$)" <<<"$usage" | _kestrel_usage_options)
        [[ -n $own && -n $others ]] && others=$(grep -vxF -e "$own" <<<"$others")
        [[ -n $others ]] && options=$(grep -vxF -e "$others" <<<"$options")
    fi
    echo "$options"
}

# Completes the value of option prev (long, short, not with its value); false when it
# takes none.
_kestrel_value() { # PROGRAM HELP PREV CUR
    local program=$1 help=$2 prev cur=$4 choices
    [[ $3 == -?* && $3 != *=* ]] || return 1
    prev=$(_kestrel_long "$help" "$3")
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
    _kestrel_takes_value "$help" "$prev" || return 1
    if grep -qE -- "$prev (FILE|PATH)" <<<"$help" 2>/dev/null; then
        _kestrel_files "$cur"
    fi
    # A number or a name: nothing to offer, but no command either.
    return 0
}

# Completes the value of a word --name=value, as _kestrel_value would after --name.
_kestrel_inline_value() { # PROGRAM HELP CUR
    local option=${3%%=*} value=${3#*=} i
    _kestrel_value "$1" "$2" "$option" "$value" || return 0
    # Bash replaces what follows the last break in the word: without '=' (or a ':' in the
    # value) among them, the whole word, so each reply gets the option back in front.
    [[ $COMP_WORDBREAKS == *=* ]] && return 0
    [[ $value == *:* && $COMP_WORDBREAKS == *:* ]] && return 0
    for i in "${!COMPREPLY[@]}"; do COMPREPLY[i]=$option=${COMPREPLY[i]}; done
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
    if [[ $cur == --?*=* ]]; then
        _kestrel_inline_value "$program" "$help" "$cur"
        return 0
    fi

    # The command and the arguments after it, skipping options and their values ("-" is a
    # file; after "--" every word is an argument).
    local command="" arguments=0 i word options=1
    for ((i = 1; i < n - 1; i++)); do
        word=${words[i]}
        if ((options)) && [[ $word == -- ]]; then
            options=0
        elif ((options)) && [[ $word == -?* ]]; then
            [[ $word != *=* ]] && _kestrel_takes_value "$help" "$(_kestrel_long "$help" "$word")" &&
                ((i++))
        elif [[ -z $command ]]; then
            command=$word
        else
            ((arguments++))
        fi
    done

    local usage operand=""
    usage=$(_kestrel_usage "$name" "$help")
    # The command's first operand in its usage line: FILE, or choices such as read|write.
    [[ $command =~ ^[a-z][a-z0-9-]*$ ]] &&
        operand=$(sed -nE "s/^  $name ((\[[^]]*\] *)*)$command ([^ []+).*/\3/p" <<<"$usage" |
            head -n1)
    if ((options)) && [[ $cur == -* ]]; then
        _kestrel_reply "$cur" "$(_kestrel_options "$name" "$help" "$command")"
    elif [[ -z $command ]]; then
        _kestrel_reply "$cur" "$(sed -nE "s/^  $name ((\[[^]]*\] *)*)([a-z][a-z-]*).*/\3/p" <<<"$usage")"
    elif ((arguments == 0)) && [[ $operand == FILE* ]]; then
        _kestrel_files "$cur"
    elif ((arguments == 0)) && [[ $operand =~ ^[a-z][a-z0-9-]*(\|[a-z][a-z0-9-]*)*$ ]]; then
        _kestrel_reply "$cur" "$(tr '|' '\n' <<<"$operand")"
    fi
    return 0
}
complete -F _kestrel kestrel-isp kestrel-sim
