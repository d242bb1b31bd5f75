#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Drives the completion function as bash would, without the bash-completion package,
# and compares what it offers at each argument position.
set -u
source "$1" || exit 1
dir=$(mktemp -d) && cd "$dir" || exit 1
trap 'rm -rf "$dir"' EXIT
touch notes.txt 'no tes.txt' other

failed=0
# expect WANT WORD...: complete the last WORD of `eolfix WORD...`; WANT lists the offers, sorted,
# joined by '|'.
expect()
{
    local want=$1
    shift
    COMP_WORDS=(eolfix "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _eolfix
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd '|')
    if [ "$got" != "$want" ]; then
        echo "eolfix $*<TAB>: offered '$got', expected '$want'"
        failed=1
    fi
}

expect 'D|M|U' ''
expect 'U' U
expect 'u' u
expect '' x
expect '' -
expect 'no tes.txt|notes.txt|other' D ''
expect 'no tes.txt|notes.txt' u no
expect '' D notes.txt ''
expect '' D notes.txt o
complete -p eolfix | grep -q -- '-F _eolfix' || { echo 'eolfix is not bound to _eolfix'; failed=1; }
exit $failed
