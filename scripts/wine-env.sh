# Shell helpers for running the Windows build under Wine, headless and private.
# Source it from bash:   . scripts/wine-env.sh
# Or run one Windows program (the cross build's test launcher, CMAKE_CROSSCOMPILING_EMULATOR):
#   bash scripts/wine-env.sh --emulate STATEDIR EXE ARGS...
# which uses one prefix kept in STATEDIR, made on first use (or ahead of time with
# --prepare STATEDIR, as scripts/run-tests does), shared by concurrent runs.
#
#   kw_setup [--display]     locale, private prefix (and a private Xvfb with --display)
#   kw_map_port COM7 PATH... map COM ports to device paths (pairs), then restart Wine
#   kw_run SECS EXE ARGS...  run a Windows program with a time limit (124 on timeout)
#   kw_winpath UNIXPATH      the Windows form (Z:\...) of a Unix path
#   kw_cleanup               stop what these helpers started, remove the temp dir
#   kw_stop_pid PID          end one process of ours (TERM, then KILL after 5 s)
#
# Pieces, for callers that need them separately: kw_ensure_locale, kw_start_xvfb,
# kw_make_prefix, kw_start_server, kw_stop_wine. A caller typically does
#   trap kw_cleanup EXIT; kw_setup || exit 1
# Every Wine or X command here runs under `timeout`, so nothing can hang a test run.
# Set KW_KEEP=1 to keep the temp dir (prefix, logs) after kw_cleanup.
#
# KW_ARCH picks the kind of prefix and loader: win32 (the default; the 32-bit product and its
# tests) or win64 (the 64-bit test tree, for kernels that cannot execute 32-bit programs,
# where Debian's `wine` wrapper cannot start either: it always execs the 32-bit loader).

: "${KW_WINEBOOT_SECS:=240}"  # a fresh prefix takes about 12 s when the machine is idle
: "${KW_WINE_CMD_SECS:=60}"
KW_TMP=${KW_TMP:-}
KW_XVFB_PID=${KW_XVFB_PID:-}
export -n KW_TMP KW_XVFB_PID 2>/dev/null

kw_log() { echo "wine-env: $*" >&2; }

: "${KW_ARCH:=win32}"
case "$KW_ARCH" in
win32 | win64) ;;
*) kw_log "KW_ARCH is win32 or win64, not $KW_ARCH"; KW_ARCH=win32 ;;
esac

# The Wine loader for KW_ARCH's programs, as words to run (timeout needs a program, not a
# function). The 64-bit one is not on the PATH in Debian.
if [ "$KW_ARCH" = win64 ]; then
    KW_WINE="env WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64"
else
    KW_WINE=wine
fi

# The settings every Wine command of ours runs with.
kw_export_wine_settings() {
    export WINEARCH=$KW_ARCH WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    export LANG=zh_CN.UTF-8 LC_ALL=zh_CN.UTF-8
}

# zh_CN.UTF-8 must exist so that Wine's ANSI code page is 936 (GBK).
kw_ensure_locale() {
    if locale -a 2>/dev/null | grep -qiE '^zh_CN\.utf-?8$'; then
        return 0
    fi
    if [ "$(id -u)" != 0 ] || ! command -v locale-gen >/dev/null 2>&1; then
        kw_log "zh_CN.UTF-8 is missing and cannot be generated here (needs root and locales)"
        return 1
    fi
    if ! grep -qE '^[[:space:]]*zh_CN\.UTF-8[[:space:]]+UTF-8' /etc/locale.gen 2>/dev/null; then
        echo "zh_CN.UTF-8 UTF-8" >>/etc/locale.gen || return 1
    fi
    timeout 300 locale-gen >/dev/null || { kw_log "locale-gen failed"; return 1; }
    locale -a 2>/dev/null | grep -qiE '^zh_CN\.utf-?8$'
}

# Not exported: a child that sources these helpers makes (and removes) its own.
kw_tmpdir() {
    if [ -z "$KW_TMP" ] || [ ! -d "$KW_TMP" ]; then
        KW_TMP=$(mktemp -d "${TMPDIR:-/tmp}/kestrel-wine.XXXXXX") || return 1
    fi
}

# A private X server on the first free display (Xvfb picks it: -displayfd).
kw_start_xvfb() {
    local geometry=${1:-1024x768x24} i
    [ -n "$KW_XVFB_PID" ] && kill -0 "$KW_XVFB_PID" 2>/dev/null && return 0
    kw_tmpdir || return 1
    : >"$KW_TMP/xvfb.display"
    Xvfb -displayfd 3 -screen 0 "$geometry" -nolisten tcp -noreset \
        3>"$KW_TMP/xvfb.display" >"$KW_TMP/xvfb.log" 2>&1 &
    KW_XVFB_PID=$!
    for i in $(seq 1 150); do
        if [ -s "$KW_TMP/xvfb.display" ]; then
            export DISPLAY=":$(head -n1 "$KW_TMP/xvfb.display" | tr -d '[:space:]')"
            return 0
        fi
        kill -0 "$KW_XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    kw_log "Xvfb did not start (see $KW_TMP/xvfb.log)"
    kill "$KW_XVFB_PID" 2>/dev/null
    KW_XVFB_PID=
    return 1
}

# kw_wineboot LOG: makes the prefix WINEPREFIX names. A 64-bit prefix's set-up also starts
# two 32-bit helpers (the WoW64 part); where 32-bit programs cannot execute they fail and
# wineboot says so in its status, yet the prefix is whole for 64-bit programs: there the
# registry files decide.
kw_wineboot() {
    local log=$1
    timeout -k 10 "$KW_WINEBOOT_SECS" $KW_WINE wineboot -i >"$log" 2>&1
    local status=$?
    [ "$status" = 124 ] && return 1
    timeout -k 5 "$KW_WINE_CMD_SECS" wineserver -w 2>/dev/null
    [ "$status" = 0 ] || { [ "$KW_ARCH" = win64 ] && [ -f "$WINEPREFIX/system.reg" ]; }
}

# A fresh prefix of our own (KW_ARCH's kind); Mono and Gecko are disabled so that no
# installer dialog can wait for a click.
kw_make_prefix() {
    kw_tmpdir || return 1
    export WINEPREFIX="$KW_TMP/prefix"
    kw_export_wine_settings
    if [ -f "$WINEPREFIX/system.reg" ]; then
        kw_start_server
        return
    fi
    if ! kw_wineboot "$KW_TMP/wineboot.log"; then
        kw_log "wineboot -i failed or timed out (see $KW_TMP/wineboot.log)"
        kw_stop_wine
        return 1
    fi
    [ -f "$WINEPREFIX/system.reg" ] || { kw_log "no prefix at $WINEPREFIX"; return 1; }
    kw_start_server
}

# Starts the prefix's server and Wine's own background processes (device drivers,
# services) ahead of a program, with their output in a log (default: our temp dir). They
# would otherwise inherit the program's output and hold a pipe on it open after the program
# has ended; and the server reports to stderr whatever it is sent (a SIGHUP when a mapped
# pseudo-terminal's other side goes away makes it dump every object it holds). The server
# stays up KW_SERVER_PERSIST seconds after the last program, then ends with them.
kw_start_server() {
    local log=${1:-$KW_TMP/wineserver.log}
    timeout -k 5 "$KW_WINE_CMD_SECS" wineserver -p"${KW_SERVER_PERSIST:-10}" >>"$log" 2>&1
    timeout -k 5 "$KW_WINE_CMD_SECS" $KW_WINE cmd.exe /c exit </dev/null >>"$log" 2>&1
    return 0
}

# Ends every Wine process of our prefix and the prefix's server.
kw_stop_wine() {
    [ -n "$WINEPREFIX" ] && [ -n "$KW_TMP" ] && [ "${WINEPREFIX#"$KW_TMP"}" != "$WINEPREFIX" ] ||
        return 0
    timeout -k 5 20 wineserver -k >/dev/null 2>&1
    timeout -k 5 20 wineserver -w >/dev/null 2>&1
    return 0
}

# kw_map_port COM7 /dev/pts/3 [COM12 /path ...]: Wine reads the port map when it starts,
# so the server is restarted afterwards.
kw_map_port() {
    [ -n "$WINEPREFIX" ] || { kw_log "kw_map_port: no prefix"; return 1; }
    while [ $# -ge 2 ]; do
        if ! timeout -k 5 "$KW_WINE_CMD_SECS" $KW_WINE reg add 'HKLM\Software\Wine\Ports' \
            /v "$1" /d "$2" /f >>"$KW_TMP/reg.log" 2>&1; then
            kw_log "could not map $1 to $2 (see $KW_TMP/reg.log)"
            return 1
        fi
        shift 2
    done
    kw_stop_wine
    kw_start_server
}

# kw_run SECS EXE ARGS...: the program's exit code, or 124 when it ran out of time.
kw_run() {
    local secs=$1
    shift
    kw_start_server
    timeout -k 10 "$secs" $KW_WINE "$@"
}

# kw_winpath /tmp/x -> Z:\tmp\x (Wine maps the Unix root to Z:).
kw_winpath() {
    local p
    p=$(readlink -m "$1")
    printf 'Z:%s\n' "${p//\//\\}"
}

kw_setup() {
    kw_ensure_locale || return 1
    if [ "${1:-}" = --display ]; then
        kw_start_xvfb || return 1
    fi
    kw_make_prefix
}

# kw_stop_pid PID: asks a process we started to end, gives it 5 s, then kills it.
kw_stop_pid() {
    [ -n "${1:-}" ] || return 0
    kill "$1" 2>/dev/null
    local i
    for i in $(seq 1 50); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    kill -9 "$1" 2>/dev/null
    wait "$1" 2>/dev/null
    return 0
}

kw_cleanup() {
    kw_stop_wine
    if [ -n "$KW_XVFB_PID" ]; then
        kw_stop_pid "$KW_XVFB_PID"
        KW_XVFB_PID=
    fi
    if [ -n "$KW_TMP" ] && [ -d "$KW_TMP" ] && [ "${KW_KEEP:-0}" != 1 ]; then
        rm -rf "$KW_TMP"
    fi
    KW_TMP=
    unset WINEPREFIX
}

# kw_emulate_prefix STATEDIR: makes the shared prefix once (one wineboot at a time; later
# callers find it ready) and exports the settings to run programs in it.
kw_emulate_prefix() {
    local state
    state=$(readlink -m "$1") # Wine wants an absolute prefix
    mkdir -p "$state" || return 1
    kw_ensure_locale || return 1
    export WINEPREFIX="$state/prefix"
    kw_export_wine_settings
    (
        flock -w "$KW_WINEBOOT_SECS" 9 || exit 1
        [ -f "$state/ready" ] && exit 0
        rm -rf "$WINEPREFIX"
        kw_wineboot "$state/wineboot.log" && [ -f "$WINEPREFIX/system.reg" ] && : >"$state/ready"
    ) 9>"$state/lock" || { kw_log "no Wine prefix in $state (see $state/wineboot.log)"; return 1; }
}

# kw_emulate STATEDIR EXE ARGS...: the program's exit code (124 when out of time).
kw_emulate() {
    local state
    state=$(readlink -m "$1")
    shift
    kw_emulate_prefix "$state" || return 1
    kw_start_server "$state/wineserver.log"
    timeout -k 10 "${KESTREL_WINE_RUN_SECS:-600}" $KW_WINE "$@"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    case "${1:-}" in
    --emulate)
        if [ $# -ge 3 ]; then
            shift
            kw_emulate "$@"
            exit $?
        fi
        ;;
    --prepare)
        if [ $# -eq 2 ]; then
            kw_emulate_prefix "$2"
            exit $?
        fi
        ;;
    esac
    echo "usage: . $0 (helpers)" >&2
    echo "   or: bash $0 --emulate STATEDIR EXE ARGS...   (run one Windows program)" >&2
    echo "   or: bash $0 --prepare STATEDIR               (make the shared prefix now)" >&2
    exit 2
fi
