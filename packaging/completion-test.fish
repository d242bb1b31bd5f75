# SPDX-License-Identifier: MIT
# Installs the fish completion $argv[1] as a vendor completion under a scratch prefix, where fish
# finds it through XDG_DATA_DIRS, and compares what `complete -C` offers with each case of
# completion-cases beside this script.
set -g cases (realpath (status dirname))/completion-cases
set -g dir (mktemp -d); or exit 1
mkdir -p $dir/share/fish/vendor_completions.d $dir/bin $dir/home $dir/files
cp $argv[1] $dir/share/fish/vendor_completions.d/eolfix.fish; or exit 1
# fish loads a command's completion only once the command exists.
printf '#!/bin/sh\n' >$dir/bin/eolfix
chmod +x $dir/bin/eolfix
cd $dir/files
touch notes.txt 'no tes.txt' other

set -g failed 0
# expect TYPED WANT: complete the last word of `eolfix TYPED` in a fresh fish; WANT lists the
# offers, sorted, joined by '|'.
function expect --argument-names typed want
    set -l line "eolfix $typed"
    set -l got (env HOME=$dir/home XDG_CONFIG_HOME=$dir/home XDG_DATA_HOME=$dir/home PATH=(string join : $dir/bin $PATH) \
        XDG_DATA_DIRS=$dir/share fish -c 'complete -C $argv[1]' $line </dev/null | LC_ALL=C sort | paste -sd '|')
    if test "$got" != "$want"
        echo "$line<TAB>: offered '$got', expected '$want'"
        set -g failed 1
    end
end

# Each line not blank or a comment is a case: TYPED|WANT.
set -l count 0
while read -l line
    string match -qr '^(#|$)' -- $line; and continue
    set -l fields (string split -m1 '|' -- $line)
    expect $fields[1] $fields[2]
    set count (math $count + 1)
end <$cases
test $count -gt 0; or begin
    echo "no cases read from $cases"
    set -g failed 1
end
rm -rf $dir
exit $failed
