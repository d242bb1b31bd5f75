#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Drives the completion function as bash would, without the bash-completion package,
# and compares what it offers with each case of completion-cases beside this script.
set -u
cases=$(realpath "$(dirname "$0")/completion-cases")
source "$1" || exit 1
dir=$(mktemp -d) && cd "$dir" || exit 1
trap 'rm -rf "$dir"' EXIT
touch notes.txt 'no tes.txt' other

failed=0
# expect TYPED WANT: complete the last word of `eolfix TYPED`; WANT lists the offers, sorted,
# joined by '|'.
expect()
{
    local typed=$1 want=$2 words
    read -r -a words <<<"$typed"
    # read drops an empty last word, the one a TAB after a space completes.
    [[ -z $typed || $typed == *' ' ]] && words+=('')
    COMP_WORDS=(eolfix "${words[@]}")
    COMP_CWORD=${#words[@]}
    COMPREPLY=()
    _eolfix
    local got
    got=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | paste -sd '|')
    if [ "$got" != "$want" ]; then
        echo "eolfix $typed<TAB>: offered '$got', expected '$want'"
        failed=1
    fi
}

# Each line not blank or a comment is a case: TYPED|WANT.
count=0
while IFS= read -r line <&3; do
    [[ -z $line || $line == '#'* ]] && continue
    expect "${line%%|*}" "${line#*|}"
    count=$((count + 1))
done 3<"$cases"
[ "$count" -gt 0 ] || { echo "no cases read from $cases"; failed=1; }
complete -p eolfix | grep -q -- '-F _eolfix' || { echo 'eolfix is not bound to _eolfix'; failed=1; }
exit $failed
