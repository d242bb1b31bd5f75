# SPDX-License-Identifier: MIT
# Installs the fish completion $argv[1] as a vendor completion under a scratch prefix, where fish
# finds it through XDG_DATA_DIRS, and compares what `complete -C` offers at each argument position.
set -g dir (mktemp -d); or exit 1
mkdir -p $dir/share/fish/vendor_completions.d $dir/bin $dir/home $dir/files
cp $argv[1] $dir/share/fish/vendor_completions.d/eolfix.fish; or exit 1
# fish loads a command's completion only once the command exists.
printf '#!/bin/sh\n' >$dir/bin/eolfix
chmod +x $dir/bin/eolfix
cd $dir/files
touch notes.txt 'no tes.txt' other

set -g failed 0
# expect WANT WORD...: complete the last WORD of `eolfix WORD...` in a fresh fish; WANT lists the
# offers, sorted, joined by '|'.
function expect --argument-names want
    set -l line (string join ' ' eolfix $argv[2..-1])
    set -l got (env HOME=$dir/home XDG_CONFIG_HOME=$dir/home XDG_DATA_HOME=$dir/home PATH=(string join : $dir/bin $PATH) \
        XDG_DATA_DIRS=$dir/share fish -c 'complete -C $argv[1]' $line | LC_ALL=C sort | paste -sd '|')
    if test "$got" != "$want"
        echo "$line<TAB>: offered '$got', expected '$want'"
        set -g failed 1
    end
end

expect 'D|M|U' ''
expect U U
expect u u
expect '' x
expect '' -
expect 'no tes.txt|notes.txt|other' D ''
expect 'no tes.txt|notes.txt' u no
expect '' D notes.txt ''
expect '' D notes.txt o
rm -rf $dir
exit $failed
