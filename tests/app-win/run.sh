#!/bin/bash
# Runs the Windows program's tests under Wine in a private prefix and a private Xvfb: the
# unit tests, then the driver that works Kestrel_Bootloader.exe from outside. COM12 and COM3
# are pseudo-terminals with nothing behind them, COM9 a port whose device does not exist, and
# COM5 the simulated bootloader (when kestrel-sim is there). Wine adds ports of its own for
# the machine's serial devices.
#
# The driver may ask for the simulator to be replaced while it runs, by writing a request
# file into the control folder it is given (--ctl); this script answers each with an ack
# file that repeats the request:
#   sim [ARGS...]  end the simulator (its flash goes to flash.bin) and start a fresh one
#                  on the same link with the extra kestrel-sim options ARGS (run in the
#                  control folder, so file names there need no path)
#   stop           end the simulator and leave the link missing (the device is gone)
#   speed          answered with "speed N": the baud rate the host set on the line (ask
#                  only while the program has the port open)
# Each simulator logs its wire traffic into wire.log there, and blinky.hex and blinky.bin,
# the sample firmware, lie there too.
#
#   tests/app-win/run.sh [--build DIR] [--sim PATH] [--screenshot PNG] [--english]
#                        [--no-unit] [-- DRIVER-ARGS...]
#
# --build: the Windows build tree (default build-win); --sim: the native kestrel-sim
# (default build/kestrel-sim; the device cases are skipped without it); --screenshot: also
# save a picture of the dialog; --english: no unit tests, and only the driver's Unicode cases,
# with Wine in an English locale (LANG=C.UTF-8) whose ANSI code page is not GBK's; --no-unit:
# the driver alone (DRIVER-ARGS such as --gtest_filter pick its cases, so that parts of it run
# side by side). Exits 0 when every test passed.
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD=$ROOT/build-win
SIM=${KESTREL_NATIVE_BUILD:-$ROOT/build}/kestrel-sim
SHOT=
ENGLISH=0
RUN_UNIT=1
while [ $# -gt 0 ]; do
    case $1 in
    --build) BUILD=$(readlink -m "$2"); shift 2 ;;
    --sim) SIM=$(readlink -m "$2"); shift 2 ;;
    --screenshot) SHOT=$(readlink -m "$2"); shift 2 ;;
    --english) ENGLISH=1; shift ;;
    --no-unit) RUN_UNIT=0; shift ;;
    --) shift; break ;;
    *) echo "run.sh: unknown argument $1" >&2; exit 2 ;;
    esac
done

# The full test run names the native build; there the device cases must not be skipped.
if [ -n "${KESTREL_NATIVE_BUILD:-}" ] && [ ! -x "$SIM" ]; then
    echo "run.sh: no kestrel-sim at $SIM" >&2
    exit 1
fi

APP=$BUILD/Kestrel_Bootloader.exe
UNIT=$BUILD/kestrel_app_win_tests.exe
DRIVER=$BUILD/kestrel_app_driver.exe
for f in "$APP" "$UNIT" "$DRIVER"; do
    [ -f "$f" ] || { echo "run.sh: $f is missing (build the Windows tree first)" >&2; exit 2; }
done

. "$ROOT/scripts/wine-env.sh"
HOLDER_PID=
SIM_PID=
# The simulator's SIGTERM handler writes the flash dump before it exits.
stop_sim() {
    kw_stop_pid "$SIM_PID"
    SIM_PID=
}

finish() {
    stop_sim
    [ -n "$HOLDER_PID" ] && kill "$HOLDER_PID" 2>/dev/null && wait "$HOLDER_PID" 2>/dev/null
    kw_cleanup
}
trap finish EXIT
kw_setup --display || exit 1

# Two pseudo-terminals with nothing behind them: prints each one's path, discards what the
# host writes, and once the host has closed one, gives it back its first line settings (and
# lifts exclusive mode, as the simulator does with its own): under Wine a port whose pty
# keeps the last host's line settings fails to open a second time.
python3 - >"$KW_TMP/ptys" 2>>"$KW_TMP/holder.log" <<'PY' &
import os, pty, select, termios, fcntl, time
masters = {}
for _ in range(2):
    master, slave = pty.openpty()
    name = os.ttyname(slave)
    raw = termios.tcgetattr(slave)
    os.close(slave)
    print(name, flush=True)
    masters[master] = [name, raw, False]  # path, fresh settings, a host has it open
while True:
    for fd, state in masters.items():
        p = select.poll()
        p.register(fd, select.POLLIN)
        events = p.poll(0)
        hungUp = any(e & select.POLLHUP for _, e in events)
        if any(e & select.POLLIN for _, e in events):
            try:
                os.read(fd, 4096)
            except OSError:
                pass
        if not hungUp:
            state[2] = True
        elif state[2]:
            state[2] = False
            try:
                s = os.open(state[0], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                termios.tcsetattr(s, termios.TCSANOW, state[1])
                fcntl.ioctl(s, termios.TIOCNXCL)
                termios.tcflush(s, termios.TCIOFLUSH)
                os.close(s)
            except OSError:
                pass
    time.sleep(0.02)
PY
HOLDER_PID=$!
for _ in $(seq 1 100); do [ "$(wc -l <"$KW_TMP/ptys")" -ge 2 ] && break; sleep 0.1; done
PTY1=$(sed -n 1p "$KW_TMP/ptys")
PTY2=$(sed -n 2p "$KW_TMP/ptys")
[ -n "$PTY1" ] && [ -n "$PTY2" ] || { echo "run.sh: no pseudo-terminals" >&2; exit 1; }

CTL=$KW_TMP/ctl
LINK=$KW_TMP/sim-port
mkdir -p "$CTL" || exit 1
cp "$ROOT/examples/blinky/blinky.hex" "$ROOT/examples/blinky/blinky.bin" "$CTL/" || exit 1

# start_sim [ARGS...]: a fresh simulator behind the link, with the extra options.
start_sim() {
    rm -f "$LINK"
    (cd "$CTL" && exec "$SIM" --link "$LINK" --wire-log "$CTL/wire.log" \
        --dump "$CTL/flash.bin" "$@") >>"$KW_TMP/sim.out" 2>&1 &
    SIM_PID=$!
    for _ in $(seq 1 100); do
        [ -e "$LINK" ] && return 0
        kill -0 "$SIM_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "run.sh: kestrel-sim did not start with: $*" >&2
    tail -n 5 "$KW_TMP/sim.out" >&2
    return 1
}

# One request at a time; the ack repeats it, or reports the failure.
answer_request() {
    local req words ok=1
    req=$(cat "$CTL/request" 2>/dev/null) || return 0
    rm -f "$CTL/request"
    req=${req//$'\r'/}
    read -r -a words <<<"$req"
    case "${words[0]:-}" in
    sim) stop_sim; start_sim "${words[@]:1}" || ok=0 ;;
    stop) stop_sim ;;
    speed) req="speed $(timeout 10 stty -F "$LINK" speed 2>/dev/null)" ;;
    *) echo "run.sh: unknown request '$req'" >&2; ok=0 ;;
    esac
    [ "$ok" = 1 ] || req="failed $req"
    echo "$req" >"$CTL/ack.tmp" && mv -f "$CTL/ack.tmp" "$CTL/ack"
}

MAP=(COM12 "$PTY1" COM3 "$PTY2" COM9 "$KW_TMP/no-such-device")
SIM_ARGS=()
if [ -x "$SIM" ]; then
    start_sim || exit 1
    MAP+=(COM5 "$LINK")
    SIM_ARGS=(--sim-port=COM5 --ctl="$(kw_winpath "$CTL")")
else
    echo "run.sh: no $SIM: the cases that need a bootloader are skipped" >&2
fi
kw_map_port "${MAP[@]}" || exit 1

DRIVER_ARGS=()
if [ "$ENGLISH" = 1 ]; then
    # Only now: the prefix and the port map are made in the Chinese locale as always. Wine
    # takes a process's locale from its environment, and the program inherits the driver's.
    export LANG=C.UTF-8 LC_ALL=C.UTF-8
    DRIVER_ARGS=(--english-locale --gtest_filter='UnicodeDialog.*')
fi

mkdir -p "$KW_TMP/bin"
cp "$APP" "$UNIT" "$DRIVER" "$KW_TMP/bin/"
cd "$KW_TMP/bin" || exit 1

status=0
# Into files, not pipes: Wine's background services inherit the output and would hold a
# pipe open after the test program ends.
: >"$KW_TMP/unit.log"
if [ "$ENGLISH" = 0 ] && [ "$RUN_UNIT" = 1 ]; then
    kw_run 600 kestrel_app_win_tests.exe >"$KW_TMP/unit.log" 2>&1 || status=1
    cat "$KW_TMP/unit.log"
fi
kw_run 2700 kestrel_app_driver.exe --app="$(kw_winpath "$KW_TMP/bin/Kestrel_Bootloader.exe")" \
    --work="$(kw_winpath "$KW_TMP/cases")" "${SIM_ARGS[@]}" "${DRIVER_ARGS[@]}" "$@" \
    >"$KW_TMP/driver.log" 2>&1 &
DRIVER_PID=$!
while kill -0 "$DRIVER_PID" 2>/dev/null; do
    [ -f "$CTL/request" ] && answer_request
    sleep 0.05
done
wait "$DRIVER_PID" || status=1
cat "$KW_TMP/driver.log"
# Later runs meet the simulator as the run began.
if [ -x "$SIM" ] && [ -n "$SHOT" ]; then
    stop_sim
    start_sim || status=1
fi

if [ -n "$SHOT" ]; then
    # No window manager here: let Wine draw the caption itself for the picture.
    kw_run 60 reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
    kw_stop_wine
    kw_run 120 kestrel_app_driver.exe --app="$(kw_winpath "$KW_TMP/bin/Kestrel_Bootloader.exe")" \
        --work="$(kw_winpath "$KW_TMP/shot")" "${SIM_ARGS[@]}" --show=8 >"$KW_TMP/show.out" 2>&1 &
    SHOW_PID=$!
    for _ in $(seq 1 600); do grep -q '^SHOWN' "$KW_TMP/show.out" && break; sleep 0.1; done
    if read -r _ X Y W H < <(grep '^SHOWN' "$KW_TMP/show.out"); then
        sleep 1
        import -window root "$KW_TMP/root.png" &&
            convert "$KW_TMP/root.png" -crop "${W}x${H}+${X}+${Y}" +repage "$SHOT" &&
            echo "run.sh: screenshot in $SHOT"
    else
        echo "run.sh: the dialog did not show for the screenshot" >&2
        status=1
    fi
    wait "$SHOW_PID"
fi

passed=$(grep -a -h -o '^\[  PASSED  \] [0-9]*' "$KW_TMP/unit.log" "$KW_TMP/driver.log" |
    awk '{s += $NF} END {print s + 0}')
failed=$(grep -a -h -o '^\[  FAILED  \] [0-9]* test' "$KW_TMP/unit.log" "$KW_TMP/driver.log" |
    awk '{s += $(NF - 1)} END {print s + 0}')
skipped=$(grep -a -h -o '^\[  SKIPPED \] [0-9]* test' "$KW_TMP/unit.log" "$KW_TMP/driver.log" |
    awk '{s += $(NF - 1)} END {print s + 0}')
if [ "$skipped" = 0 ]; then
    echo "app-win: $passed passed, $failed failed"
else
    echo "app-win: $passed passed, $failed failed, $skipped skipped"
fi
[ "$failed" = 0 ] && [ "$status" = 0 ]
