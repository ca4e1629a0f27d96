#!/usr/bin/env bash
# A man page and its program's --help cannot drift apart: the options --help names are the
# ones the page's OPTIONS describes, its commands (usage lines) those of COMMANDS, and its
# fault kinds those of FAULTS, each in both directions.
#   man-matches-help.sh PROGRAM MANPAGE
set -u
program=$1 page=$2
name=$(basename "$program")
help=$("$program" --help) || { echo "FAIL: $program --help exited $?"; exit 1; }
failed=0

# The first word of each item (.TP, then .B/.BI/.BR) of the page's section, escapes undone.
page_items() { # SECTION
    sed -e 's/\\f[BIRP]//g' -e 's/\\-/-/g' "$page" | awk -v want="$1" '
        /^\.SH / { section = $2; next }
        /^\.TP/ { item = 1; next }
        item && /^\.B[IR]? / { if (section == want) print $2 }
        { item = 0 }' | sed 's/:.*//' | sort -u
}

help_options() { grep -oE -- '--[a-z][a-z0-9-]*' <<<"$help" | sort -u; }
# Usage lines: the program, bracketed options, then the command.
help_commands() {
    sed -nE "s/^  $name ((\[[^]]*\] *)*)([a-z][a-z-]*).*/\3/p" <<<"$help" | sort -u
}
# Fault kinds start a line indented by four, followed by ':' or the help column's spaces.
help_faults() { sed -nE 's/^    ([a-z][a-z0-9-]*)(:|  ).*/\1/p' <<<"$help" | sort -u; }

compare() { # WHAT HELP_LIST PAGE_SECTION
    local what=$1 from_help=$2 section=$3 from_page
    from_page=$(page_items "$section")
    [ -z "$from_help" ] && [ -z "$from_page" ] && return
    local only_help only_page
    only_help=$(comm -23 <(echo "$from_help") <(echo "$from_page"))
    only_page=$(comm -13 <(echo "$from_help") <(echo "$from_page"))
    if [ -n "$only_help" ]; then
        echo "FAIL: $name --help has $what missing from $page ($section):" $only_help
        failed=1
    fi
    if [ -n "$only_page" ]; then
        echo "FAIL: $page ($section) has $what that $name --help does not:" $only_page
        failed=1
    fi
}

options=$(help_options)
[ -n "$options" ] || { echo "FAIL: no option found in $name --help"; exit 1; }
compare options "$options" OPTIONS
compare commands "$(help_commands)" COMMANDS
compare "fault kinds" "$(help_faults)" FAULTS
exit $failed
