#!/bin/sh
# SPDX-License-Identifier: MIT
# Fails when groff or mandoc has anything to say about the manual page $1.
# Exits 77 (skipped) when a linter is missing; CI installs both.
for tool in groff mandoc; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "$tool is not installed: manual page not checked"
        exit 77
    fi
done
status=0
out=$(groff -man -ww -z "$1" 2>&1) || status=1
out2=$(mandoc -T lint "$1" 2>&1) || status=1
printf '%s\n%s\n' "$out" "$out2" | grep . && status=1
exit $status
