#!/usr/bin/env bash
# A Debian package made now from this build holds exactly the two programs, their man pages
# and the completion under /usr, says what it is and needs, and its kestrel-isp runs.
#   package-contents.sh CPACK BUILD_DIR VERSION   (exit 77, skipped, without dpkg-deb)
set -u
cpack=$1 build=$2 version=$3
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
./usr/bin/kestrel-isp
./usr/bin/kestrel-sim
./usr/share/bash-completion/completions/kestrel-isp
./usr/share/bash-completion/completions/kestrel-sim
./usr/share/man/man1/kestrel-isp.1
./usr/share/man/man1/kestrel-sim.1
LIST
)
[ "$files" = "$expected" ] ||
    fail "the package holds"$'\n'"$files"$'\n'"instead of"$'\n'"$expected"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kestrel ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version), not $version"
[[ "$(field Depends)" == *libc6* ]] || fail "Depends without libc6: $(field Depends)"
[[ "$(field Maintainer)" == *@* ]] || fail "Maintainer without an address: $(field Maintainer)"
[ -n "$(field Description)" ] || fail "no Description"

dpkg-deb -x "$deb" "$work/root"
out=$("$work/root/usr/bin/kestrel-isp" --version 2>&1)
[ "$out" = "kestrel-isp $version" ] || fail "packaged kestrel-isp --version: $out"
exit $failed
