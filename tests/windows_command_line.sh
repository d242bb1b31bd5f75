#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# windows_command_line.sh EOLFIX.EXE WINE-RUNNER...: runs the real Windows program under Wine, in a
# fresh folder per case, and looks at what it leaves behind: only what the command-line tests,
# which run under Wine too, cannot do from the Windows side (another user, a mount, Ctrl-C).
set -u
exe=$(realpath "$1")
shift
runner=("$@")
# How run starts the program: through the runner, or as the owner of the files.
launch=("${runner[@]}" "$exe")
# Wine reads the Linux names and arguments in the locale's character set.
export LC_ALL=C.UTF-8
work=$(mktemp -d)
failed=0

# Wine lets root write a read-only file, so as root that case runs as nobody, in a Wine prefix
# of nobody's own, on copies of the program and the runner in a folder every user can enter: the
# checkout may sit in a folder only root can enter (/root).
as_nobody=()
owner_launch=("${runner[@]}" "$exe")
owner_skip=""
if [ "$(id -u)" -eq 0 ]; then
    chmod 755 "$work"
    install -d -o 65534 -g 65534 "$work/nobody"
    install -d -m 755 "$work/program"
    install -m 755 "$exe" "${runner[0]}" "$work/program/"
    as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work/nobody" WINEPREFIX="$work/nobody/prefix")
    owner_launch=("${as_nobody[@]}" "$work/program/${runner[0]##*/}" "${runner[@]:1}" "$work/program/${exe##*/}")
    if ! "${as_nobody[@]}" test -x "$work/program/${runner[0]##*/}" -a -r "$work/program/${exe##*/}"; then
        owner_skip="nobody cannot run the copies in $work/program (is the temporary folder open to all, and not noexec?)"
    fi
fi
cleanup()
{
    if [ -d "$work/nobody/prefix" ]; then
        "${as_nobody[@]}" /usr/lib/wine/wineserver64 -k 2>/dev/null
        "${as_nobody[@]}" /usr/lib/wine/wineserver64 -w 2>/dev/null
    fi
    umount "$work/case/small" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail()
{
    echo "FAILED: $case_name: $*"
    failed=1
}

# new_case NAME: an empty folder for the next case.
new_case()
{
    case_name=$1
    rm -rf "$work/case"
    mkdir "$work/case"
    cd "$work/case" || exit 1
}

# run WANT_STATUS ARGUMENT...: runs eolfix.exe with the arguments and checks its status; it must
# print nothing.
run()
{
    local want=$1
    shift
    "${launch[@]}" "$@" >"$work/out" 2>"$work/err"
    local status=$?
    [ "$status" -eq "$want" ] || fail "eolfix $* exited with $status, expected $want"
    [ ! -s "$work/out" ] || fail "eolfix $* wrote to standard output: $(od -c "$work/out" | head -3)"
    [ ! -s "$work/err" ] || fail "eolfix $* wrote to standard error: $(od -c "$work/err" | head -3)"
}

# holds FILE TEXT: FILE holds exactly the bytes printf makes of TEXT.
holds()
{
    printf "$2" | cmp -s - "$1" || fail "$1 holds $(od -c "$1" | head -3)"
}

# only FILE...: the case folder holds exactly these names.
only()
{
    local want got
    want=$(printf '%s\n' "$@" | LC_ALL=C sort)
    got=$(ls -A | LC_ALL=C sort)
    [ "$got" = "$want" ] || fail "folder holds [$got], expected [$want]"
}

mixed='a\r\nb\rc\n\rd\ne\0f\032g\377\r'

# Run by root, Wine writes a read-only file: the command-line tests can try this only from here.
if [ -z "$owner_skip" ]; then
    new_case "read-only existing copy"
    printf "$mixed" >in.txt
    printf 'old' >in.txt.UNIX
    chmod 444 in.txt.UNIX
    chmod 755 .
    launch=("${owner_launch[@]}")
    run 0 U in.txt
    launch=("${runner[@]}" "$exe")
    holds in.txt.UNIX 'old'
else
    echo "skipping the read-only case: $owner_skip"
fi

new_case "disk full part-way"
mkdir small
if mount -t tmpfs -o size=1m eolfix-test small 2>/dev/null; then
    # 600 KiB of LF lines fit once, not again as CR LF beside them.
    head -c 614400 /dev/zero | tr '\0' '\n' >small/in.txt
    run 2 D small/in.txt
    [ "$(ls small)" = in.txt ] || fail "small holds $(ls small)"
    [ "$(stat -c %s small/in.txt)" = 614400 ] || fail "the input changed"
    # Through a link: the file behind it goes, the link stays.
    cp small/in.txt big.txt 2>/dev/null
    : >small/in.txt.DOS
    ln -s small/in.txt.DOS big.txt.DOS
    run 2 D big.txt
    [ "$(ls small)" = in.txt ] || fail "small holds $(ls small) after a copy through a link"
    [ -L big.txt.DOS ] || fail "the link was removed"
    umount small
else
    echo "skipping the disk-full case: cannot mount a tmpfs (needs root)"
fi

# interrupt CALLS HELD_FILE AT: runs `eolfix U in.txt` with strace holding each of the CALLS (each
# kind counted apart) on HELD_FILE for a second from its AT-th on, and interrupts it in the AT-th of
# the last kind. Wine turns SIGINT into Ctrl-C, but only once the program's thread runs again: the
# interrupt comes while one call is held, and the console handler works while the next one is.
# Sets `status`.
interrupts=0
interrupt()
{
    local calls=$1 held=$2 at=$3
    # A trace of this run alone, there before strace starts: the last run's calls, counted as this
    # one's, would send the interrupt before the program even starts, which then runs to the end.
    local trace="$work/trace$((++interrupts))"
    : >"$trace"
    strace -D -f -qq -o "$trace" -P "$held" -e trace="$calls" -e inject="$calls:delay_enter=1s:when=$at+" \
        "${runner[@]}" "$exe" U in.txt 2>/dev/null &
    local pid=$!
    local i held_now=0
    for i in $(seq 3000); do
        kill -0 "$pid" 2>/dev/null || break
        [ "$(grep -cE "^[0-9]+ +${calls##*,}\(" "$trace")" -ge "$at" ] && held_now=1 && break
        sleep 0.01
    done
    [ "$held_now" -eq 1 ] || fail "the program was never held at ${calls##*,} number $at"
    kill -INT "$pid" 2>/dev/null
    wait "$pid"
    status=$?
}

# Ctrl-C ends a program with 0xC000013A, of which Linux sees the low byte.
ctrl_c_status=$((0xC000013A & 0xFF))
# 2 MB: eight writes of the copy.
interrupted_input() { head -c 2000000 /dev/zero | tr '\0' '\r' >in.txt; }
if strace -o /dev/null true 2>/dev/null; then
    new_case "Ctrl-C removes an incomplete new copy"
    interrupted_input
    interrupt write "$PWD/in.txt.UNIX" 3
    [ "$status" -eq "$ctrl_c_status" ] || fail "exited with $status, expected $ctrl_c_status"
    only in.txt

    new_case "Ctrl-C removes an emptied old copy behind a link, and keeps the link"
    interrupted_input
    mkdir elsewhere
    printf 'old' >elsewhere/copy
    ln -s elsewhere/copy in.txt.UNIX
    interrupt write "$PWD/elsewhere/copy" 3
    [ "$status" -eq "$ctrl_c_status" ] || fail "exited with $status, expected $ctrl_c_status"
    [ -L in.txt.UNIX ] || fail "the link was removed"
    [ -z "$(ls elsewhere)" ] || fail "elsewhere holds $(ls elsewhere)"

    # Held while the times are set, after the copy is complete: Ctrl-C has its usual effect, which
    # under Wine (unlike Windows) is status 0.
    new_case "Ctrl-C after the copy is complete keeps it"
    interrupted_input
    interrupt close,utimensat "$PWD/in.txt.UNIX" 1
    [ "$status" -eq 0 ] || fail "exited with $status, expected Wine's usual 0"
    head -c 2000000 /dev/zero | tr '\0' '\n' | cmp -s - in.txt.UNIX || fail "the complete copy was not kept"
else
    echo "skipping the Ctrl-C cases: strace cannot trace here (install strace)"
fi

exit $failed
