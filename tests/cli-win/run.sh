#!/bin/bash
# kestrel-isp.exe under Wine: the simulator's pty as COM7, a second simulator's as COM8, a
# missing device as COM9. Checks exit codes, the log lines in the console's code page (936),
# the flash, and two boards at once.
#   run.sh PATH/TO/kestrel-isp.exe
set -u
exe=$(readlink -f "$1")
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
sim=${KESTREL_SIM:-${KESTREL_NATIVE_BUILD:-$repo/build}/kestrel-sim}
[ -x "$sim" ] || { echo "run.sh: no kestrel-sim at $sim" >&2; exit 1; }

. "$repo/scripts/wine-env.sh"
sim_pids=
cleanup() {
    local pid
    for pid in $sim_pids; do kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; done
    kw_cleanup
}
trap cleanup EXIT
kw_setup || exit 1

work=$KW_TMP/cli
mkdir -p "$work"
for board in tty tty2; do
    "$sim" --link "$work/$board" >"$work/$board.out" 2>"$work/$board.err" &
    sim_pids="$sim_pids $!"
done
for _ in $(seq 100); do [ -e "$work/tty" ] && [ -e "$work/tty2" ] && break; sleep 0.1; done
kw_map_port COM7 "$work/tty" COM8 "$work/tty2" COM9 /dev/pts/99999 || exit 1

failures=0
passes=0
check() {  # check NAME CONDITION...
    local name=$1
    shift
    if "$@"; then echo "ok   $name"; passes=$((passes + 1)); else echo "FAIL $name"; failures=$((failures + 1)); fi
}
# run_isp ARGS...: output (UTF-8, since it is not a console) in Chinese, status in $rc.
run_isp() {
    kw_run 120 "$exe" --lang zh "$@" >"$work/out.raw" 2>"$work/err.txt"
    rc=$?
    tr -d '\r' <"$work/out.raw" >"$work/out.txt"
}

run_isp --port COM7 info
cat >"$work/expected.txt" <<'TXT'
>>串口COM7打开成功!
>>连接ISP成功!
>>Bootloader版本：V2.2
>>Bootloader版本：V2.2，选项字节：00 00
>>芯片ID版本：V4.10
>>芯片：STM32F10x medium density（产品ID 0x0410）
>>FLASH：64KB，起始地址0x08000000，64 pages of 1 KiB
>>读保护：级别0（选项字节RDP=0xA5）
TXT
check "info exits 0" test "$rc" = 0
check "info prints the log lines in UTF-8 when not on a console" cmp -s "$work/out.txt" "$work/expected.txt"

run_isp --port COM7 program "$(kw_winpath "$repo/examples/blinky/blinky.hex")" --run
check "program exits 0" test "$rc" = 0
check "program ends with the run message" test "$(tail -n1 "$work/out.txt")" = ">>程序运行成功！"

run_isp --port COM7 read-out "$(kw_winpath "$work/readout.bin")"
check "read-out exits 0" test "$rc" = 0
check "read-out file is 65536 bytes" test "$(stat -c %s "$work/readout.bin" 2>/dev/null)" = 65536
size=$(stat -c %s "$repo/examples/blinky/blinky.bin")
check "read-out starts with the firmware" cmp -s -n "$size" "$work/readout.bin" \
    "$repo/examples/blinky/blinky.bin"

# Two boards at once, as threads of the one process.
run_isp -p COM7 -p COM8 program "$(kw_winpath "$repo/examples/blinky/blinky.hex")"
check "two boards exit 0" test "$rc" = 0
for port in COM7 COM8; do
    check "$port verified" grep -qx "\[$port\] >>FLASH校验成功.*" "$work/out.txt"
done
rows=$(head -n -3 "$work/out.txt" | grep -cvE '^\[COM[78]\] >>')
check "every line before the table is one board's, whole and prefixed" test "$rows" = 0
cat >"$work/table.txt" <<'TXT'
port  chip                      result    time
COM7  STM32F10x medium density  ok        _ s
COM8  STM32F10x medium density  ok        _ s
TXT
check "the table ends the output" cmp -s "$work/table.txt" \
    <(tail -n 3 "$work/out.txt" | sed -E 's/[0-9]+\.[0-9] s$/_ s/')

# SetupAPI knows no adapter behind Wine's ports: the names alone.
run_isp ports
check "ports exits 0" test "$rc" = 0
check "ports lists the mapped ports" test "$(grep -cx -e COM7 -e COM8 -e COM9 "$work/out.txt")" = 3

run_isp --port COM9 info
check "missing port exits 1" test "$rc" = 1
check "missing port logs the open failure" test "$(cat "$work/out.txt")" = ">>串口COM9打开失败!"
check "missing port is followed by a hint" grep -q "^kestrel-isp: 提示：" "$work/err.txt"

# JSON: every line fits the schema and the run ends with its result; a file's name in the
# ANSI code page (GBK here) comes as UTF-8 text and as its own bytes.
json_check() {  # json_check COMMAND EXIT [ARGS OF check-json.py...]
    tr -d '\r' <"$work/out.raw" >"$work/out.json"
    python3 "$repo/tests/cli/check-json.py" "$repo/docs/kestrel-isp.schema.json" "$work/out.json" \
        --command "$1" --exit "$2" "${@:3}" >"$work/check.txt" 2>&1
}
run_isp --json --port COM7 info
check "--json info fits the schema" json_check info 0 --events chip,log
run_isp --json --port COM9 info
check "--json on a missing port ends with an error and its hint" json_check info 1 --hint
run_isp --json --port COM7 read-out "$(kw_winpath "$work")\\读出.bin" --length 256
check "--json read-out fits the schema" json_check read-out 0 --events saved
check "a GBK name is UTF-8 in JSON" grep -q '"path":"[^"]*读出.bin","path_hex":"[0-9a-f]*b6c1b3f62e62696e"' \
    "$work/out.json"

run_isp --frobnicate
check "usage error exits 2" test "$rc" = 2
check "usage error prints one line on stderr" test "$(wc -l <"$work/err.txt")" = 1

if [ "$failures" -ne 0 ]; then
    echo "--- last output:"; cat "$work/out.txt"; cat "$work/err.txt"
    [ -f "$work/check.txt" ] && cat "$work/check.txt"
fi
echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
