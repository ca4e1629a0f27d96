#!/usr/bin/env bash
# The hand-written pages format without a single groff warning (an unknown macro or font,
# a bad escape), which man would otherwise render as stray text.
#   man-format.sh PAGE...   (exit 77, skipped, without groff)
set -u
if ! command -v groff >/dev/null; then
    echo "SKIP: groff is not installed (apt-get install groff-base)"
    exit 77
fi
failed=0
for page in "$@"; do
    warnings=$(LC_ALL=C.UTF-8 groff -man -ww -z "$page" 2>&1)
    if [ -n "$warnings" ]; then
        echo "FAIL: $page:"
        echo "$warnings"
        failed=1
    fi
done
exit $failed
