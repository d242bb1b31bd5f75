# SPDX-License-Identifier: MIT
# Loads the zsh completion $1 through compinit, as zsh finds it in a folder of $fpath, then calls
# it for each case of completion-cases beside this script, with compadd and _files standing in for
# zsh's own.
cases=${0:A:h}/completion-cases
dir=$(mktemp -d) || exit 1
trap 'rm -rf $dir' EXIT
mkdir $dir/completions $dir/files
cp $1 $dir/completions/_eolfix || exit 1
fpath=($dir/completions $fpath)
autoload -Uz compinit && compinit -u -d $dir/zcompdump
cd $dir/files && touch notes.txt 'no tes.txt' other

failed=0
[[ $_comps[eolfix] == _eolfix ]] || { print 'eolfix is not bound to _eolfix'; failed=1 }
# As zsh's compadd with its default matching: the words after -- that start with what was typed;
# and _files offers the names here in the same way.
compadd() { local w; for w in ${@[${@[(i)--]}+1,-1]}; do [[ $w == $PREFIX* ]] && print -r -- $w; done }
_files() { compadd -- *(N) }

# expect TYPED WANT: complete the last word of `eolfix TYPED`; WANT lists the offers, sorted,
# joined by '|'.
expect() {
    local typed=$1 want=$2
    local words=("${(@s: :)typed}")
    local got=$(CURRENT=$(( $#words + 1 )) PREFIX=$words[-1] _eolfix | LC_ALL=C sort | paste -sd '|')
    if [[ $got != $want ]]; then
        print -r -- "eolfix $typed<TAB>: offered '$got', expected '$want'"
        failed=1
    fi
}

# Each line not blank or a comment is a case: TYPED|WANT.
count=0
for line in "${(@f)$(<$cases)}"; do
    [[ -z $line || $line == '#'* ]] && continue
    expect "${line%%|*}" "${line#*|}"
    (( ++count ))
done
(( count > 0 )) || { print -r -- "no cases read from $cases"; failed=1 }
exit $failed
