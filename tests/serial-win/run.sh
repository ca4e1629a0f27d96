#!/bin/bash
# Runs the Windows serial-port tests under Wine against the native simulated target.
#   run.sh PATH/TO/serial-win-tests.exe [gtest options...]
# kestrel-sim is taken from $KESTREL_SIM, else $KESTREL_NATIVE_BUILD/kestrel-sim, else
# build/kestrel-sim of this repository. The simulator's pty is served as COM7 and COM12
# (through one stable link, so it survives a restart); COM9 points at a device that does
# not exist. The test program asks for the device to be removed and brought back by
# writing a request file, which this script answers.
set -u

if [ $# -lt 1 ]; then
    echo "usage: $0 TEST.exe [gtest options...]" >&2
    exit 2
fi
exe=$(readlink -f "$1")
shift
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
sim=${KESTREL_SIM:-${KESTREL_NATIVE_BUILD:-$repo/build}/kestrel-sim}
limit=${KESTREL_WINE_TEST_SECS:-420}

if [ ! -x "$sim" ]; then
    echo "run.sh: kestrel-sim not found at $sim (build it natively, or set KESTREL_SIM or" \
        "KESTREL_NATIVE_BUILD)" >&2
    exit 1
fi
if [ ! -f "$exe" ]; then
    echo "run.sh: no test program at $exe" >&2
    exit 1
fi

. "$repo/scripts/wine-env.sh"

sim_pid=
work=
link=

start_sim() {
    rm -f "$link"
    "$sim" --link "$link" --wire-log "$work/wire.log" --bl-version 0x22 --pid 0x0410 \
        >>"$work/sim.out" 2>>"$work/sim.err" &
    sim_pid=$!
    local i
    for i in $(seq 1 100); do
        [ -e "$link" ] && return 0
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    echo "run.sh: kestrel-sim did not start:" >&2
    cat "$work/sim.err" >&2
    return 1
}

stop_sim() {
    kw_stop_pid "$sim_pid"
    sim_pid=
}

# One request at a time: "unplug N" or "replug N"; the ack repeats it.
answer_request() {
    local req
    req=$(cat "$work/ctl/request" 2>/dev/null) || return 0
    rm -f "$work/ctl/request"
    case "$req" in
    unplug*) stop_sim ;;
    replug*) start_sim ;;
    *) echo "run.sh: unknown request '$req'" >&2 ;;
    esac
    echo "$req" >"$work/ctl/ack.tmp" && mv -f "$work/ctl/ack.tmp" "$work/ctl/ack"
}

cleanup() {
    stop_sim
    kw_cleanup
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

kw_setup || exit 1
work=$KW_TMP/serial
link=$work/sim-tty
mkdir -p "$work/ctl" || exit 1

# A pts number that does not exist, for the port whose device is missing.
dead=/dev/pts/9999
n=9999
while [ -e "$dead" ]; do
    n=$((n + 1))
    dead=/dev/pts/$n
done

start_sim || exit 1
kw_map_port COM7 "$link" COM12 "$link" COM9 "$dead" || exit 1

export KESTREL_SIM_PORT=COM7
export KESTREL_SIM_PORT_HIGH=COM12
export KESTREL_DEAD_PORT=COM9
KESTREL_WIRE_LOG=$(kw_winpath "$work/wire.log")
KESTREL_CTL_DIR=$(kw_winpath "$work/ctl")
export KESTREL_WIRE_LOG KESTREL_CTL_DIR

kw_run "$limit" "$exe" "$@" &
test_pid=$!
while kill -0 "$test_pid" 2>/dev/null; do
    [ -f "$work/ctl/request" ] && answer_request
    sleep 0.05
done
wait "$test_pid"
rc=$?
if [ "$rc" = 124 ]; then
    echo "run.sh: the test program ran out of time (${limit} s)" >&2
fi
exit "$rc"
