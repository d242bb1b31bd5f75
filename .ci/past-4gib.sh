#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# past-4gib.sh COMMAND...: runs COMMAND U FILE on a sparse 4 GiB + 4 KiB file with a CR LF
# straddling the 4 GiB mark, where 32-bit sizes and offsets would wrap or be refused, and compares
# the whole copy. Too big for a test row under emulation, cheap enough once in CI.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
four=$((4 * 1024 * 1024 * 1024))
truncate -s $((four + 4096)) "$work/big"
put() { printf "$2" | dd of="$work/big" bs=64K seek="$1" oflag=seek_bytes conv=notrunc status=none; }
put 0 'begin\n\r'
put $((four - 4)) 'abc\r\nxyz'
put $((four + 4096 - 4)) 'end\r'
"$@" U "$work/big"
rm "$work/big"
# Only the four bytes before the 4 GiB mark and the two ends differ from the input's zeros.
expected() {
    printf 'begin\n'
    head -c $((four - 4 - 7)) /dev/zero
    printf 'abc\nxyz'
    head -c $((4096 - 4 - 4)) /dev/zero
    printf 'end\n'
}
[ "$(stat -c %s "$work/big.UNIX")" -eq $((four + 4096 - 2)) ] || { echo "wrong size" >&2; exit 1; }
expected | cmp - "$work/big.UNIX"
echo "sparse 4 GiB + 4 KiB through $*: ok"
