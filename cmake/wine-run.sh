#!/bin/sh
# SPDX-License-Identifier: MIT
# wine-run.sh PREFIX PROGRAM.exe [ARGUMENT...]: runs a Windows program under Wine without a display.
# WINEPREFIX, when set, overrides PREFIX.
set -e
: "${WINEPREFIX:=$1}"
shift
export WINEPREFIX WINEARCH=win64 WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
mkdir -p "$WINEPREFIX"
WINEPREFIX=$(cd "$WINEPREFIX" && pwd) # Wine takes only an absolute path
# A server started here, apart from the caller's pipes, stays up for the later runs: a server and
# services started by the program itself would hold the caller's output open, and CTest would
# wait for them. The lock keeps parallel test runs from starting two.
(
    flock 9
    if "$wineserver" -p </dev/null >/dev/null 2>&1 9>&-; then
        "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&-
    fi
) 9>"$WINEPREFIX.lock"
exec "$wine" "$@"
