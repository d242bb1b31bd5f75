#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# install-test.sh BUILD UNINSTALL_SCRIPT: installs the build into a scratch prefix standing for
# /usr/local, and into a staged /usr as the Debian package does; each shell, searching its own
# default places with the scratch folder in place of the real one, must find eolfix's completion.
# Then the uninstall must leave the prefix as it found it. A missing shell is skipped with a
# message, and the run then exits 77 (skipped) unless something failed.
set -u
build=$1 uninstall=$2
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failed=0 missing=""
fail() { echo "$*"; failed=1; }

# As `cmake --install`, but writing CMake's manifest to install_manifest_Unspecified.txt and the
# uninstall record here, so the build folder's own install, if any, stays undoable.
install_to() {
    DESTDIR=${2:-} cmake -DCMAKE_INSTALL_PREFIX="$1" -DCMAKE_INSTALL_COMPONENT=Unspecified \
        -DEOLFIX_INSTALL_RECORD="$work/record.cmake" -P "$build/cmake_install.cmake" >"$work/log" ||
        { cat "$work/log"; exit 1; }
}
# A folder zsh's package makes under /usr/local, which an uninstall must leave.
mkdir -p "$prefix/share/zsh/site-functions"
install_to "$prefix"
install_to /usr "$work/root"

if command -v zsh >/dev/null; then
    # zsh's own $fpath, with its folders under the real prefix also found under the scratch one.
    for real in /usr/local /usr; do
        root=$prefix
        [ $real = /usr ] && root=$work/root/usr
        zsh -f -c 'fpath=(${${(M)fpath:#$2/*}/#$2/$3} $fpath); autoload -Uz compinit
                   compinit -u -d $1/zcompdump; [[ $_comps[eolfix] == _eolfix ]]' zsh "$work" $real "$root" ||
            fail "zsh does not find the completion installed under $root, standing for $real"
        rm -f "$work/zcompdump"
    done
else
    missing="$missing zsh"
fi

# bash-completion's own loader, with the XDG data folders it defaults to, the prefix for /usr/local.
loader=/usr/share/bash-completion/bash_completion
if [ -f "$loader" ]; then
    XDG_DATA_DIRS=$prefix/share:/usr/share bash --norc --noprofile -c \
        'source "$1" && __load_completion eolfix && complete -p eolfix | grep -q -- "-F _eolfix"' bash "$loader" ||
        fail "bash-completion does not find the completion under $prefix/share"
else
    missing="$missing bash-completion"
fi

# fish looks in vendor_completions.d of each XDG data folder, for a command it finds on PATH.
if command -v fish >/dev/null; then
    mkdir "$work/home"
    offered=$(HOME=$work/home XDG_CONFIG_HOME=$work/home XDG_DATA_HOME=$work/home \
        XDG_DATA_DIRS=$prefix/share:/usr/share PATH=$prefix/bin:$PATH \
        fish -c 'complete -C "eolfix "' </dev/null | cut -f1 | LC_ALL=C sort | paste -sd '|')
    [ "$offered" = "D|M|U" ] || fail "fish offers '$offered' after eolfix, not the modes, from $prefix/share"
else
    missing="$missing fish"
fi

cmake -DEOLFIX_INSTALL_RECORD="$work/record.cmake" -P "$uninstall" >"$work/log" || { cat "$work/log"; exit 1; }
left=$(cd "$prefix" && find . | LC_ALL=C sort | paste -sd ' ')
[ "$left" = ". ./share ./share/zsh ./share/zsh/site-functions" ] || fail "the uninstall left: $left"

[ "$failed" = 0 ] && [ -n "$missing" ] && { echo "not installed, so not checked:$missing"; exit 77; }
exit $failed
