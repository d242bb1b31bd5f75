#!/usr/bin/env bash
# windows_command_line.sh EOLFIX.EXE WINE-RUNNER...: runs the real Windows program under Wine, in a
# fresh folder per case, and looks at what it leaves behind.
set -u
exe=$(realpath "$1")
shift
runner=("$@")
as_user=()
# Wine reads the Linux names and arguments in the locale's character set.
export LC_ALL=C.UTF-8 TZ=UTC
work=$(mktemp -d)
failed=0

# Wine lets root write a read-only file, so as root that case runs as nobody, in a Wine prefix
# of nobody's own.
as_owner=()
if [ "$(id -u)" -eq 0 ]; then
    chmod 755 "$work"
    install -d -o 65534 -g 65534 "$work/nobody"
    as_owner=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$work/nobody" WINEPREFIX="$work/nobody/prefix")
fi
cleanup()
{
    if [ -d "$work/nobody/prefix" ]; then
        "${as_owner[@]}" /usr/lib/wine/wineserver64 -k 2>/dev/null
        "${as_owner[@]}" /usr/lib/wine/wineserver64 -w 2>/dev/null
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
# print nothing unless told the usage line (in `usage_expected`).
run()
{
    local want=$1
    shift
    "${as_user[@]}" "${runner[@]}" "$exe" "$@" >"$work/out" 2>"$work/err"
    local status=$?
    [ "$status" -eq "$want" ] || fail "eolfix $* exited with $status, expected $want"
    [ ! -s "$work/out" ] || fail "eolfix $* wrote to standard output: $(od -c "$work/out" | head -3)"
    if [ "$want" -eq 1 ]; then
        # A text stream on Windows ends its line with CR LF.
        printf 'EOLFIX (D|U|M) filename ...\r\n' | cmp -s - "$work/err" || fail "usage line: $(od -c "$work/err" | head -3)"
    elif [ -s "$work/err" ]; then
        fail "eolfix $* wrote to standard error: $(od -c "$work/err" | head -3)"
    fi
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

# All four break forms, and NUL, Ctrl-Z (with data after it) and 0xFF, which pass untouched.
mixed='a\r\nb\rc\n\rd\ne\0f\032g\377\r'
declare -A converted=(
    [D]='a\r\nb\r\nc\r\nd\r\ne\0f\032g\377\r\n'
    [U]='a\nb\nc\nd\ne\0f\032g\377\n'
    [M]='a\rb\rc\rd\re\0f\032g\377\r'
)
declare -A extension=([D]=.DOS [U]=.UNIX [M]=.MAC)

for mode in D U M; do
    new_case "mode $mode"
    printf "$mixed" >in.txt
    run 0 "$mode" in.txt
    holds in.txt "$mixed"
    holds "in.txt${extension[$mode]}" "${converted[$mode]}"
done

new_case "lower-case mode word, further arguments ignored"
printf "$mixed" >in.txt
printf 'x' >other
run 0 unix in.txt other
holds in.txt.UNIX "${converted[U]}"
only in.txt in.txt.UNIX other

new_case "many blocks"
printf 'abc\r\n%.0s' $(seq 200000) >in.txt
run 0 U in.txt
printf 'abc\n%.0s' $(seq 200000) | cmp -s - in.txt.UNIX || fail "in.txt.UNIX differs"

new_case "empty input"
: >in.txt
run 0 M in.txt
holds in.txt.MAC ''

# Greek, Cyrillic, CJK and a character beyond 16 bits: no ANSI code page holds them all.
new_case "Unicode name"
name='Ωμέγα-Жук-日本語-😀.txt'
printf "$mixed" >"$name"
run 0 D "$name"
holds "$name.DOS" "${converted[D]}"
only "$name" "$name.DOS"

new_case "usage"
printf "$mixed" >in.txt
run 1
run 1 D
run 1 x in.txt
run 1 '' in.txt
only in.txt

new_case "nothing to convert"
mkdir folder
run 0 D missing.txt
run 0 D folder
only folder

new_case "an older, longer copy is emptied first"
printf "$mixed" >in.txt
head -c 100000 /dev/zero >in.txt.MAC
run 0 M in.txt
holds in.txt.MAC "${converted[M]}"

new_case "copy's name a hard link to the input"
printf "$mixed" >in.txt
ln in.txt in.txt.DOS
run 0 D in.txt
holds in.txt "$mixed"
[ "$(stat -c %i in.txt)" = "$(stat -c %i in.txt.DOS)" ] || fail "the link was replaced"

new_case "read-only existing copy"
printf "$mixed" >in.txt
printf 'old' >in.txt.UNIX
chmod 444 in.txt.UNIX
chmod 755 .
as_user=("${as_owner[@]}")
run 0 U in.txt
as_user=()
holds in.txt.UNIX 'old'

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

# Fractions are cut towards the earlier second; before 1970 that is away from zero.
for moment in '1950-06-15 12:34:56.75' '2100-03-04 05:06:07.5'; do
    new_case "times $moment"
    printf "$mixed" >in.txt
    touch -m -d "$moment" in.txt
    touch -a -d "${moment%% *} 01:02:03.25" in.txt
    run 0 U in.txt
    want="$(date -d "${moment%% *} 01:02:03" +%s) $(date -d "${moment%.*}" +%s)"
    [ "$(stat -c '%X %Y' in.txt.UNIX)" = "$want" ] || fail "copy has times $(stat -c '%X %Y' in.txt.UNIX), expected $want"
    case "$(stat -c '%x %y' in.txt.UNIX)" in
    *.000000000*.000000000*) ;;
    *) fail "copy has times $(stat -c '%x / %y' in.txt.UNIX): whole seconds expected" ;;
    esac
done

exit $failed
