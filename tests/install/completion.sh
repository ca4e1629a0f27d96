#!/usr/bin/env bash
# The bash completion, sourced into a plain bash (no bash-completion), against the built
# programs: commands, options per command, choice values (after --name and in --name=value),
# short options, command choices, ports, files, fault kinds, and --chip values from a
# simulator that lists chips and from one that cannot.
#   completion.sh COMPLETION_FILE BUILD_DIR
set -u
completion=$1 build=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/files/sub" "$work/fake"
ln -s "$build/kestrel-isp" "$work/bin/kestrel-isp"
ln -s "$build/kestrel-sim" "$work/bin/kestrel-sim"
touch "$work/files/app.hex" "$work/files/APP2.HEX" "$work/files/app.bin" "$work/files/a:b.bin"
export PATH="$work/bin:$PATH" KESTREL_PORTS=/dev/ttyUSB0:/dev/ttyACM1
# shellcheck source=/dev/null
source "$completion"
failed=0

# Completes LINE (cursor at its end) and compares the sorted replies with the expected.
expect() { # LINE EXPECTED...
    local line=$1 got want
    shift
    COMP_LINE=$line COMP_POINT=${#line}
    _kestrel 2>"$work/stderr"
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | xargs)
    want=$(printf '%s\n' "$@" | sort | xargs)
    if [ "$got" != "$want" ] || [ -s "$work/stderr" ]; then
        echo "FAIL: '$line' gave '$got', not '$want'; stderr: $(cat "$work/stderr")"
        failed=1
    fi
}
# As expect, but only that the replies include these.
expect_among() { # LINE WANTED...
    local line=$1 word
    shift
    COMP_LINE=$line COMP_POINT=${#line}
    _kestrel 2>/dev/null
    for word in "$@"; do
        if ! printf '%s\n' "${COMPREPLY[@]}" | grep -qxF -- "$word"; then
            echo "FAIL: '$line' gave '${COMPREPLY[*]}', without '$word'"
            failed=1
        fi
    done
}

# kestrel-isp: commands first, options by command, values.
expect "kestrel-isp " ports info program verify read-out erase go unprotect protect
expect "kestrel-isp --port /dev/ttyUSB0 --baud 9600 r" read-out
expect "kestrel-isp -p /dev/ttyUSB0 -b 9600 u" unprotect
# Bundles and attached values: -qp takes the next word, -b9600 and -qb9600 do not.
expect "kestrel-isp -qp /dev/ttyUSB0 -b9600 -qb9600 u" unprotect
expect "kestrel-isp -qp /dev/ttyA" /dev/ttyACM1
# Every option of the list; --name (of "--name value or --name=value") is none.
expect "kestrel-isp --" --port --all-ports --baud --erase --verify --no-verify --run \
    --address --length --format --reset --boot --invert-reset --invert-boot --retries --chip \
    --flash-kib --yes --json --lang --quiet --verbose --help --version --list-chips
expect "kestrel-isp info --" --port --all-ports --baud --reset --boot --invert-reset \
    --invert-boot --retries --chip --flash-kib --json --lang --quiet --verbose --help \
    --version --list-chips
expect "kestrel-isp program app.hex --no" --no-verify
expect "kestrel-isp program app.hex --a" --address --all-ports
expect "kestrel-isp verify app.hex --a" --address --all-ports
expect "kestrel-isp verify app.hex --f" --format --flash-kib
expect "kestrel-isp program app.hex --format " auto binary elf hex srec
expect "kestrel-isp read-out app.bin --l" --length --lang --list-chips
expect "kestrel-isp erase --" --port --all-ports --baud --address --length --reset --boot \
    --invert-reset --invert-boot --retries --chip --flash-kib --json --lang --quiet --verbose \
    --help --version --list-chips
expect "kestrel-isp go --l" --lang --list-chips
expect "kestrel-isp unprotect read --y" --yes
expect "kestrel-isp protect read --y"
expect "kestrel-isp --erase " all pages
expect "kestrel-isp --reset " dtr none rts
expect "kestrel-isp --boot r" rts
expect "kestrel-isp --erase=p" pages
expect "kestrel-isp --port /dev/tty" /dev/ttyACM1 /dev/ttyUSB0
expect "kestrel-isp -p /dev/ttyA" /dev/ttyACM1
expect "kestrel-isp --port=/dev/ttyU" /dev/ttyUSB0
expect "kestrel-isp --baud "
expect "kestrel-isp -a "
expect "kestrel-isp --retries "
expect "$build/kestrel-isp i" info
# Command choices: what unprotect and protect take, nothing past it.
expect "kestrel-isp unprotect " read write
expect "kestrel-isp --port /dev/ttyUSB0 unprotect w" write
expect "kestrel-isp protect " read
expect "kestrel-isp unprotect read "
# Files: anything for program, verify and read-out (HEX or binary), nothing past the one
# file, and "-" stands for a file.
cd "$work/files" || exit 1
expect "kestrel-isp program " app.hex APP2.HEX app.bin a:b.bin sub
expect "kestrel-isp verify -a 0x08004000 app" app.bin app.hex
expect "kestrel-isp --port /dev/ttyUSB0 read-out app" app.bin app.hex
expect "kestrel-isp program app.hex "
expect "kestrel-isp program - "
expect "kestrel-isp read-out --address=0x08000000 a" app.bin app.hex a:b.bin
# Bash replaces only what follows a ':' in the word.
expect "kestrel-sim --dump a:" b.bin

# kestrel-sim: options and their values.
expect_among "kestrel-sim --" --flash-kib --fault --load --readout-protected --version
expect_among "kestrel-sim --flash-timing " none f1
expect "kestrel-sim --erase-cmd " 0x43 0x44
expect "kestrel-sim --fault s" silent short: stall:
expect "kestrel-sim --load app.h" app.hex

# --chip: the first column of --list-chips; nothing, quietly, from a simulator without it.
cat >"$work/fake/kestrel-sim" <<'SIM'
#!/bin/sh
[ "$1" = --list-chips ] || { echo "kestrel-sim: unknown option '$1' (see --help)" >&2; exit 2; }
printf 'f103    STM32F10x medium density    PID 0x410\nf407    STM32F40x/41x    PID 0x413\n'
SIM
chmod +x "$work/fake/kestrel-sim"
cp "$build/kestrel-isp" "$work/fake/kestrel-isp"
expect "$work/fake/kestrel-isp --chip " f103 f407
expect "$work/fake/kestrel-isp --chip f4" f407
sed -i 's/^printf.*/exit 2/' "$work/fake/kestrel-sim"
expect "$work/fake/kestrel-isp --chip "
exit $failed
