#!/usr/bin/env bash
# A Debian package made now from this build holds exactly the two programs, their man pages,
# the completion, the udev rule, the copyright file and the changelog; says what it is and
# needs; its programs are hardened as the build says and kestrel-isp runs; and lintian (which
# also wants them stripped) finds no error and no warning in it.
#   package-contents.sh CPACK BUILD_DIR VERSION SOURCE_DIR [HARDENING]
# HARDENING lists what the programs must show: stack-protector relro now pie fortify.
# Exit 77 (skipped) without dpkg-deb, or, once everything else has passed, without lintian.
set -u
cpack=$1 build=$2 version=$3 source=$4 hardening=${5:-}
if ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: dpkg-deb is not installed (it comes with dpkg)"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! "$cpack" -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1; then
    echo "FAIL: cpack -G DEB:"
    cat "$work/cpack.log"
    exit 1
fi
deb=$(ls "$work"/*.deb)
failed=0
fail() { echo "FAIL: $*"; failed=1; }

files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
expected=$(sort <<'LIST'
./lib/udev/rules.d/60-kestrel.rules
./usr/bin/kestrel-isp
./usr/bin/kestrel-sim
./usr/share/bash-completion/completions/kestrel-isp
./usr/share/bash-completion/completions/kestrel-sim
./usr/share/doc/kestrel/changelog.gz
./usr/share/doc/kestrel/copyright
./usr/share/man/man1/kestrel-isp.1.gz
./usr/share/man/man1/kestrel-sim.1.gz
LIST
)
[ "$files" = "$expected" ] ||
    fail "the package holds"$'\n'"$files"$'\n'"instead of"$'\n'"$expected"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kestrel ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
[[ "$(field Depends)" == *libc6* ]] || fail "Depends without libc6: $(field Depends)"
[[ "$(field Maintainer)" == *@* ]] || fail "Maintainer without an address: $(field Maintainer)"
[ -n "$(field Section)" ] && [ -n "$(field Priority)" ] ||
    fail "Section '$(field Section)', Priority '$(field Priority)'"
# A synopsis line and a long description under it.
[ "$(field Description | wc -l)" -ge 2 ] || fail "no long description: $(field Description)"

root=$work/root
dpkg-deb -x "$deb" "$root"
out=$("$root/usr/bin/kestrel-isp" --version 2>&1)
[ "$out" = "kestrel-isp $version" ] || fail "packaged kestrel-isp --version: $out"

# Compressed as Debian wants: gzip -9n gives the same bytes from the same text.
same_gzip() { # PACKAGED SOURCE
    cmp -s "$root/$1" <(gzip -9n -c "$source/$2") || fail "$1 is not gzip -9n of $2"
}
same_gzip usr/share/man/man1/kestrel-isp.1.gz man/kestrel-isp.1
same_gzip usr/share/man/man1/kestrel-sim.1.gz man/kestrel-sim.1
same_gzip usr/share/doc/kestrel/changelog.gz packaging/changelog
logged=$(gzip -dc "$root/usr/share/doc/kestrel/changelog.gz" | dpkg-parsechangelog -l- -SVersion)
[ "$logged" = "$version" ] || fail "the changelog's latest entry is $logged, not $version"

# Lintian reads the copyright file's form; its holder and licence must be LICENSE's.
copyright=$root/usr/share/doc/kestrel/copyright
grep -qx "Copyright: $(sed -n 's/^Copyright (c) //p' "$source/LICENSE")" "$copyright" ||
    fail "copyright's holder is not LICENSE's"
terms=$(awk '/^License: Expat$/ { n++; next }
    n == 2 { sub(/^ /, ""); if ($0 == ".") $0 = ""; print }' "$copyright")
[ "$terms" = "$(sed -n '/^Permission/,$p' "$source/LICENSE")" ] ||
    fail "copyright's licence text differs from LICENSE's"

rule=$root/lib/udev/rules.d/60-kestrel.rules
for vendor in 0403 10c4 1a86 067b; do
    grep -q "ATTRS{idVendor}==\"$vendor\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"" "$rule" ||
        fail "the udev rule does not keep ModemManager off vendor $vendor"
done
grep -q 'DRIVER=="ftdi_sio", ATTR{latency_timer}="1"' "$rule" ||
    fail "the udev rule leaves the FTDI latency timer alone"

for program in kestrel-isp kestrel-sim; do
    binary=$root/usr/bin/$program
    for feature in $hardening; do
        case $feature in
        stack-protector) readelf --dyn-syms -W "$binary" | grep -q ' __stack_chk_fail' ;;
        fortify) readelf --dyn-syms -W "$binary" | grep -q ' __[a-z]*_chk@' ;;
        relro) readelf -lW "$binary" | grep -q GNU_RELRO ;;
        now) readelf -dW "$binary" | grep -Eq 'BIND_NOW|FLAGS_1.* NOW' ;;
        pie) readelf -hW "$binary" | grep -q 'Type: *DYN' ;;
        *) false ;;
        esac || fail "$program: no $feature"
    done
done

if ! command -v lintian >/dev/null; then
    [ "$failed" = 0 ] && echo "SKIP: lintian is not installed (everything else passed)" && exit 77
    exit 1
fi
lintian --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1
status=$?
if [ "$status" != 0 ] || grep -q '^[EW]:' "$work/lintian.log"; then
    fail "lintian (status $status):"
    cat "$work/lintian.log"
fi
exit $failed
