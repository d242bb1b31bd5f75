#!/usr/bin/env bash
# Throughput and memory benchmark for eolfix, measured against plain dd copying the same file.
#
#   bench/run.sh [path/to/eolfix]
#
# Without a binary it builds one in Release into build-bench/ at the repository root.
# Environment: BENCH_MIB (input size, default 256), BENCH_RUNS (timed runs per tool, default 5),
# BENCH_SPARSE (1: also convert a sparse 4 GiB + 1 MiB file across the 4 GiB boundary; default 1),
# BENCH_DIR (scratch folder, default ${TMPDIR:-/tmp}/eolfix-bench).
# Progress goes to standard error, the results to standard output. Exits 1 if any check fails.
set -euo pipefail
export LC_ALL=C

MIB=$((1024 * 1024))
BENCH_MIB=${BENCH_MIB:-256}
BENCH_RUNS=${BENCH_RUNS:-5}
BENCH_SPARSE=${BENCH_SPARSE:-1}
SCRATCH=${BENCH_DIR:-${TMPDIR:-/tmp}/eolfix-bench}
REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

log() { printf '%s\n' "$*" >&2; }
die() { log "run.sh: $*"; exit 1; }

[[ $BENCH_MIB =~ ^[1-9][0-9]*$ ]] || die "BENCH_MIB must be a positive whole number of MiB"
[[ $BENCH_RUNS =~ ^[1-9][0-9]*$ ]] || die "BENCH_RUNS must be a positive number"
command -v python3 >/dev/null || die "python3 is needed to generate the inputs"
[[ -x /usr/bin/time ]] || die "/usr/bin/time is needed for the peak memory (Debian package 'time')"

if [[ $# -ge 1 ]]; then
    EOLFIX=$(realpath -- "$1")
    [[ -x $EOLFIX ]] || die "not an executable: $1"
else
    log "building eolfix (Release) into build-bench/"
    (cd "$REPO" && cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DEOLFIX_TESTS=OFF \
        && cmake --build build-bench) >&2
    EOLFIX=$REPO/build-bench/eolfix
fi

# Every file made here has one of these names, so only they are removed, whatever else the
# folder holds.
mkdir -p "$SCRATCH"
SCRATCH=$(cd "$SCRATCH" && pwd)
cleanup() {
    rm -f "$SCRATCH"/bench-*
    rmdir "$SCRATCH" 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

STARTED=$(date +%s%N)
FAILED=0
fail() { printf 'FAIL: %s\n' "$*"; log "FAIL: $*"; FAILED=1; }

# Text blocks: 1 MiB chunks that each end exactly on a line break, so any whole number of MiB
# cut from the repeated block ends on a break and the cheap whole-file checks below hold.
GEN_PY='
import random, sys
shape, size = sys.argv[1], int(sys.argv[2])
rng = random.Random(20240601)
chunk = 1 << 20
ends = {"dos-text": [b"\r\n"], "unix-text": [b"\n"], "mixed-text": [b"\r", b"\n", b"\r\n", b"\n\r"]}[shape]
printable = bytes(range(0x20, 0x7F)) * 3
table = bytes(printable[i] for i in range(256))
pool = rng.randbytes(size + chunk).translate(table)
out, pos = bytearray(), 0
for _ in range(size // chunk):
    left = chunk
    while left > 0:
        end = rng.choice(ends)
        n = rng.randint(20, 120) if left > 250 else left - len(end)
        out += pool[pos:pos + n]
        out += end
        pos += n
        left -= n + len(end)
sys.stdout.buffer.write(out)
'

# Streams the expected conversion of argv[2] in mode argv[1] and compares it with argv[3].
# Breaks pair from the left, so a trailing run of CR/LF bytes is held back until the next read.
REF_PY='
import re, sys
mode, src, dst = sys.argv[1], sys.argv[2], sys.argv[3]
brk = {"D": b"\r\n", "U": b"\n", "M": b"\r"}[mode]
pat = re.compile(rb"\r\n|\n\r|\r|\n")
carry, at = b"", 0
with open(src, "rb") as fi, open(dst, "rb") as fo:
    while True:
        data = fi.read(1 << 22)
        buf = carry + data
        if data:
            keep = len(buf) - len(buf.rstrip(b"\r\n"))
            carry, buf = (buf[len(buf) - keep:], buf[:len(buf) - keep]) if keep else (b"", buf)
        want = pat.sub(brk, buf)
        got = fo.read(len(want))
        if got != want:
            i = next((k for k in range(min(len(got), len(want))) if got[k] != want[k]), min(len(got), len(want)))
            sys.exit("output differs at byte %d" % (at + i))
        at += len(want)
        if not data:
            break
    if fo.read(1):
        sys.exit("output longer than expected (%d bytes)" % at)
'

make_input() { # shape file bytes
    local shape=$1 file=$2 bytes=$3
    case $shape in
    binary) head -c "$bytes" /dev/urandom >"$file" ;;
    all-lf) head -c "$bytes" /dev/zero | tr '\0' '\n' >"$file" ;;
    *)
        local block_mib=$((BENCH_MIB < 4 ? BENCH_MIB : 4))
        python3 -c "$GEN_PY" "$shape" $((block_mib * MIB)) >"$SCRATCH/bench-block"
        local copies=$(((bytes + block_mib * MIB - 1) / (block_mib * MIB)))
        # head stops reading once it has enough, so the copying loop may die of SIGPIPE.
        for ((i = 0; i < copies; i++)); do cat "$SCRATCH/bench-block"; done | head -c "$bytes" >"$file" || true
        rm -f "$SCRATCH/bench-block"
        ;;
    esac
    [[ $(stat -c %s "$file") == "$bytes" ]] || die "could not generate $file"
}

# Runs a command under /usr/bin/time; sets ELAPSED_NS and PEAK_KIB. Both tools go through the
# same wrapper, so its small start-up cost is in both times alike.
timed() {
    local t0 t1 status=0
    # Write back what earlier runs left dirty, so no run pays for another's output (all-lf writes
    # twice as much as dd, and background writeback would otherwise land on its runs).
    sync
    t0=$(date +%s%N)
    /usr/bin/time -f %M -o "$SCRATCH/bench-rss" "$@" || status=$?
    t1=$(date +%s%N)
    ELAPSED_NS=$((t1 - t0))
    PEAK_KIB=$(tail -n 1 "$SCRATCH/bench-rss")
    return "$status"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

verify() { # shape mode input output
    local shape=$1 mode=$2 in=$3 out=$4 bytes
    bytes=$(stat -c %s "$in")
    case $shape in
    dos-text) cmp -s <(tr -d '\r' <"$in") "$out" ;;
    unix-text) cmp -s <(sed 's/$/\r/' "$in") "$out" ;;
    all-lf) cmp -s <(yes $'\r' | head -c $((2 * bytes))) "$out" ;;
    *) python3 -c "$REF_PY" "$mode" "$in" "$out" >&2 ;;
    esac
}

extension() { case $1 in D) echo DOS ;; U) echo UNIX ;; M) echo MAC ;; esac; }

TABLE=()
MEMORY_LINE=""
SIZE=$((BENCH_MIB * MIB))

for job in dos-text:U unix-text:D mixed-text:M binary:U all-lf:D; do
    shape=${job%:*} mode=${job#*:}
    in=$SCRATCH/bench-$shape
    out=$in.$(extension "$mode")
    log "[$shape] generating $BENCH_MIB MiB"
    make_input "$shape" "$in" "$SIZE"
    cat "$in" >/dev/null # page cache warm for the first timed run
    dd_ns=() fix_ns=() fix_kib=()
    for ((run = 1; run <= BENCH_RUNS; run++)); do
        log "[$shape] run $run/$BENCH_RUNS"
        rm -f "$out"
        timed dd if="$in" of="$out" bs=128K status=none || die "dd failed on $in"
        dd_ns+=("$ELAPSED_NS")
        rm -f "$out"
        status=0
        timed "$EOLFIX" "$mode" "$in" || status=$?
        ((status == 0)) || fail "$shape: eolfix $mode exited with status $status"
        fix_ns+=("$ELAPSED_NS") fix_kib+=("$PEAK_KIB")
    done
    log "[$shape] checking the output"
    if [[ ! -f $out ]]; then
        fail "$shape: eolfix $mode wrote no $(basename "$out")"
    elif ! verify "$shape" "$mode" "$in" "$out"; then
        fail "$shape: eolfix $mode output is wrong"
    fi
    rm -f "$out"

    dd_med=$(printf '%s\n' "${dd_ns[@]}" | median)
    fix_med=$(printf '%s\n' "${fix_ns[@]}" | median)
    kib_med=$(printf '%s\n' "${fix_kib[@]}" | median)
    TABLE+=("$(awk -v s="$shape" -v m="$mode" -v b="$SIZE" -v f="$fix_med" -v d="$dd_med" -v k="$kib_med" \
        'BEGIN { printf "| %s | %s | %d | %.0f | %.0f | %.2f | %.1f |", s, m, b / 1048576, b / f * 1000, b / d * 1000, f / d, k / 1024 }')")

    if [[ $shape == mixed-text ]]; then
        # Memory must not grow with the input: compare the worst peak on 1 MiB and on the full size.
        log "[$shape] peak memory on 1 MiB and $BENCH_MIB MiB"
        head -c "$MIB" "$in" >"$SCRATCH/bench-small"
        small=0 large=0
        for ((run = 1; run <= 3; run++)); do
            rm -f "$SCRATCH/bench-small.MAC" "$out"
            timed "$EOLFIX" M "$SCRATCH/bench-small" || fail "eolfix M failed on the 1 MiB input"
            if ((PEAK_KIB > small)); then small=$PEAK_KIB; fi
            timed "$EOLFIX" M "$in" || fail "eolfix M failed on the $BENCH_MIB MiB input"
            if ((PEAK_KIB > large)); then large=$PEAK_KIB; fi
        done
        rm -f "$SCRATCH/bench-small" "$SCRATCH/bench-small.MAC" "$out"
        diff=$((large - small))
        verdict=ok
        ((diff < 512)) || { verdict="over the 512 KiB limit"; fail "peak memory grows by $diff KiB with the input"; }
        MEMORY_LINE="Memory (mixed-text, M, worst of 3): peak RSS $small KiB on 1 MiB, $large KiB on $BENCH_MIB MiB, difference $diff KiB ($verdict)"
    fi
    rm -f "$in"
done

echo "| shape | mode | input MiB | eolfix MB/s | dd MB/s | ratio (eolfix / dd time) | eolfix peak RSS MiB |"
echo "|---|---|---:|---:|---:|---:|---:|"
printf '%s\n' "${TABLE[@]}"
echo
echo "Medians of $BENCH_RUNS runs each, dd and eolfix alternating, page cache warm, MB = 10^6 bytes."
echo "$MEMORY_LINE"

if [[ $BENCH_SPARSE == 1 ]]; then
    # A CR LF straddling the 4 GiB mark: offsets and counts must not wrap at 32 bits.
    log "[sparse] converting a sparse 4 GiB + 1 MiB file"
    four=$((4 * 1024 * 1024 * 1024))
    f=$SCRATCH/bench-sparse
    rm -f "$f" "$f.UNIX"
    truncate -s $((four + MIB)) "$f"
    put() { printf "$2" | dd of="$f" bs=64K seek="$1" oflag=seek_bytes conv=notrunc status=none; }
    put 0 'begin'
    put $((four - 4)) 'abc\r\nxyz'
    put $((four + MIB - 3)) 'end'
    got() { dd if="$f.UNIX" bs=64K skip="$1" count="$2" iflag=skip_bytes,count_bytes status=none | od -An -c | tr -s ' '; }
    want() { printf "$1" | od -An -c | tr -s ' '; }
    problems=()
    t0=$(date +%s%N)
    "$EOLFIX" U "$f" || problems+=("exit status $?")
    t1=$(date +%s%N)
    if [[ ! -f $f.UNIX ]]; then
        problems+=("no output written")
    else
        size=$(stat -c %s "$f.UNIX")
        ((size == four + MIB - 1)) || problems+=("output size $size, expected $((four + MIB - 1))")
        [[ $(got 0 5) == "$(want 'begin')" ]] || problems+=("first bytes: $(got 0 5)")
        [[ $(got $((four - 5)) 8) == "$(want '\0abc\nxyz')" ]] ||
            problems+=("bytes at 4 GiB - 5: $(got $((four - 5)) 8)")
        cmp -s <(tail -c $((MIB - 1)) "$f.UNIX") <(tail -c $((MIB - 1)) "$f") ||
            problems+=("the last MiB differs from the input's")
    fi
    rm -f "$f" "$f.UNIX"
    secs=$(awk -v n=$((t1 - t0)) 'BEGIN { printf "%.1f", n / 1e9 }')
    if ((${#problems[@]} == 0)); then
        echo "Sparse 4 GiB + 1 MiB, CR LF across offset 4 GiB, U: PASS (${secs} s)"
    else
        fail "sparse 4 GiB check: $(IFS=';'; echo "${problems[*]}")"
    fi
fi

echo "Total run time: $(awk -v n=$(($(date +%s%N) - STARTED)) 'BEGIN { printf "%.0f", n / 1e9 }') s"
exit "$FAILED"
