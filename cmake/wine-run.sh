#!/bin/sh
# SPDX-License-Identifier: MIT
# wine-run.sh PREFIX PROGRAM.exe [ARGUMENT...]: runs a Windows program under Wine without a display,
# 32-bit Wine for a 32-bit program and 64-bit Wine otherwise. WINEPREFIX, when set, overrides
# PREFIX; a prefix holds one width only, so each build folder has its own.
set -e
: "${WINEPREFIX:=$1}"
shift
# The machine field of the PE header, found through the offset at 0x3c: 014c is 32-bit x86.
pe_offset=$(od -An -tu4 -j60 -N4 "$1" 2>/dev/null | tr -d ' ')
if [ -n "$pe_offset" ] && [ "$(od -An -tx2 -j$((pe_offset + 4)) -N2 "$1" | tr -d ' ')" = 014c ]; then
    WINEARCH=win32 wine=/usr/lib/wine/wine wineserver=/usr/lib/wine/wineserver32
else
    WINEARCH=win64 wine=/usr/lib/wine/wine64 wineserver=/usr/lib/wine/wineserver64
fi
export WINEPREFIX WINEARCH WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES="mscoree,mshtml="
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
