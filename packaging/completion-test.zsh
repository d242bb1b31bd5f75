# SPDX-License-Identifier: MIT
# Loads the zsh completion $1 through compinit, as zsh finds it in a folder of $fpath, then calls
# it at each argument position with compadd and _files standing in for zsh's own.
dir=$(mktemp -d) || exit 1
trap 'rm -rf $dir' EXIT
cp $1 $dir/_eolfix || exit 1
fpath=($dir $fpath)
autoload -Uz compinit && compinit -u -d $dir/zcompdump

failed=0
[[ $_comps[eolfix] == _eolfix ]] || { print 'eolfix is not bound to _eolfix'; failed=1 }
# As zsh's compadd with its default matching: the words after -- that start with what was typed.
compadd() { local w; for w in ${@[${@[(i)--]}+1,-1]}; do [[ $w == $PREFIX* ]] && print -r -- $w; done }
_files() { print -r -- '<files>' }

# expect WANT WORD...: complete the last WORD of `eolfix WORD...`; WANT lists the offers, sorted,
# joined by '|'.
expect() {
    local want=$1
    shift
    local got=$(CURRENT=$(( $# + 1 )) PREFIX=$argv[-1] _eolfix | LC_ALL=C sort | paste -sd '|')
    if [[ $got != $want ]]; then
        print -r -- "eolfix $*<TAB>: offered '$got', expected '$want'"
        failed=1
    fi
}

expect 'D|M|U' ''
expect 'U' U
expect 'u' u
expect '' x
expect '' -
expect '<files>' D ''
expect '<files>' u no
expect '' D notes.txt ''
expect '' D notes.txt o
exit $failed
