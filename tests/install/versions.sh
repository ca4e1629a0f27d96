#!/usr/bin/env bash
# Both programs answer --version with their name and the project's version, and exit 0,
# whatever else is on the line.
#   versions.sh KESTREL_ISP KESTREL_SIM VERSION
set -u
isp=$1 sim=$2 version=$3
failed=0

expect_version() { # NAME COMMAND...
    local name=$1 out status
    shift
    out=$("$@" 2>&1)
    status=$?
    [ "$status" -eq 0 ] && [ "$out" = "$name $version" ] && return
    echo "FAIL: $* gave '$out' (status $status), not '$name $version' and 0"
    failed=1
}

expect_version kestrel-isp "$isp" --version
expect_version kestrel-isp "$isp" --port /nonexistent --version
expect_version kestrel-sim "$sim" --version
expect_version kestrel-sim "$sim" --flash-kib 128 --version
exit $failed
