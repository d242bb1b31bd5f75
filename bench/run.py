#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Times eolfix against its floor program, a plain copy and dd, shape by shape, and per small file.

    bench/run.py [--build DIR | --kernels chosen|all] [--mib N] [--runs N] [--small-runs N]
                 [--cases SHAPE:MODE,...] [--dir SCRATCH]

Without --build it builds Release trees beside the source: with --kernels chosen (the default) one,
build-bench/, holding every kernel and running the one this processor gets; with --kernels all one
tree per kernel this processor can run (configured with -DEOLFIX_KERNEL=NAME), and the same for the
32-bit i686 program where this machine runs 32-bit x86 programs itself. Each shape's input is made
once; the page cache is warmed by one untimed run of each tool; then eolfix, the floor program
(bench/floor.c: the same system calls and as many bytes written, with memcpy in place of
translation), the plain copy (the floor program with --plain: one buffer, no memcpy) and dd run in
turn, each copy removed before its run. Text shapes have lines as long as real text's (dos-text,
unix-text, mixed-text) or long lines (dos-long, ...). Printed are the medians of wall
and processor time (user + sys), and as ratios the medians over the turns of eolfix's time divided
by the other tool's in the same turn. Peak memory is the largest resident set of the eolfix runs.
Then 2 KiB and 64 KiB files are converted --small-runs times each, alternating eolfix, the floor,
cp and an empty C program, in microseconds per file. Each eolfix output is compared once with a
reference conversion. Exits 1 if any output is wrong.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20
REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TERMINATORS = {"D": b"\r\n", "U": b"\n", "M": b"\r"}
EXTENSIONS = {"D": ".DOS", "U": ".UNIX", "M": ".MAC"}
# (shape, mode): the shapes people convert, with lines as long as real text's and long lines, and the
# worst cases for the translator.
CASES = [("dos-text", "U"), ("mixed-text", "M"), ("unix-text", "D"), ("dos-text", "D"), ("unix-text", "U"),
         ("dos-long", "U"), ("mixed-long", "M"), ("unix-long", "D"), ("dos-long", "D"),
         ("binary", "U"), ("short-lines", "U"), ("all-lf", "D")]


def line_length(shape, rng):
    """Real text (the C and C++ headers installed on Debian among it): an eighth of the lines empty,
    the rest 1 to 76 bytes, 34 on average. Long lines: 20 to 120 bytes, 70 on average."""
    if shape == "short-lines":
        return rng.randint(0, 12)
    if shape.endswith("-long"):
        return rng.randint(20, 120)
    return 0 if rng.randrange(8) == 0 else rng.randint(1, 76)


def make_input(shape, size, seed=20261207):
    """Bytes of one shape: text lines of printable bytes with the shape's breaks, or raw bytes."""
    import random
    rng = random.Random(seed)
    # 4 MiB repeated: far more than the branch predictor or the caches can learn.
    period = min(size, 4 * MIB)
    if shape == "all-lf":
        return b"\n" * size
    if shape == "binary":
        return (rng.randbytes(period) * (size // period + 1))[:size]
    breaks = {"dos": [b"\r\n"], "unix": [b"\n"], "short": [b"\r\n"],
              "mixed": [b"\r", b"\n", b"\r\n", b"\n\r"]}[shape.split("-")[0]]
    printable = bytes(0x20 + i % 95 for i in range(256))
    pool = rng.randbytes(period + 120).translate(printable)
    out, pos = bytearray(), 0
    while len(out) < period:
        n = line_length(shape, rng)
        out += pool[pos:pos + n]
        out += rng.choice(breaks)
        pos += n
    return (bytes(out[:period]) * (size // period + 1))[:size]


def matches_reference(data, mode, copy):
    """Whether the file `copy` holds `data` converted to `mode`.

    Breaks pair from the left, and so does a regular expression that tries a pair before a lone
    byte. It runs over pieces of about 1 MiB, each cut where no pair can straddle: after a plain
    byte, or between two equal break bytes.
    """
    breaks = re.compile(rb"\r\n|\n\r|[\r\n]")
    with open(copy, "rb") as f:
        start = 0
        while start < len(data):
            end = min(len(data), start + MIB)
            while end < len(data) and end > start + 1 and data[end - 1] in b"\r\n" and data[end] != data[end - 1]:
                end -= 1
            if end == start + 1:
                end = len(data)
            want = breaks.sub(TERMINATORS[mode], data[start:end])
            if f.read(len(want)) != want:
                return False
            start = end
        return f.read(1) == b""


def timed(argv, scratch):
    """Runs argv; returns (wall s, user + sys s, peak resident KiB).

    The times come from os.wait4, which counts the tool through the small GNU time process that
    starts it. The peak comes from GNU time: a child's own ru_maxrss starts at the high-water mark of
    the process that forked it, and that is this script, which holds the inputs.
    """
    peak_file = os.path.join(scratch, "bench-peak")
    os.sync()  # earlier output written back now rather than during the timed run
    start = time.perf_counter()
    process = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", peak_file, *argv],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    errors = process.stderr.read().decode(errors="replace")
    process.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv[0]} failed: {errors}")
    with open(peak_file) as f:
        peak = int(f.read().split()[-1])
    return wall, usage.ru_utime + usage.ru_stime, peak


def remove(path):
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def copy_size(eolfix, mode, path):
    """The size of the copy eolfix makes, which the floor program writes in all (an untimed run)."""
    copy = path + EXTENSIONS[mode]
    subprocess.run([eolfix, mode, path], check=True)
    size = os.path.getsize(copy)
    remove(copy)
    return str(size)


def measure(eolfix, floor, path, mode, runs, scratch):
    """Median wall and processor times of eolfix, the floor, the plain copy and dd, alternating, and
    eolfix's peak memory."""
    copy, floor_copy, plain_copy, dd_copy = (path + EXTENSIONS[mode], path + ".floor", path + ".copy",
                                             path + ".dd")
    size = copy_size(eolfix, mode, path)
    tools = (("eolfix", [eolfix, mode, path], copy),
             ("floor", [floor, size, path, floor_copy], floor_copy),
             ("copy", [floor, "--plain", size, path, plain_copy], plain_copy),
             ("dd", ["dd", f"if={path}", f"of={dd_copy}", "bs=128K", "status=none"], dd_copy))
    samples = {tool: [] for tool, _, _ in tools}
    peak = 0
    for turn in range(runs + 1):
        for tool, argv, out in tools:
            remove(out)
            wall, cpu, rss = timed(argv, scratch)
            if turn > 0:  # the first turn only warms the page cache
                samples[tool].append((wall, cpu))
                peak = max(peak, rss) if tool == "eolfix" else peak
    remove(floor_copy)
    remove(plain_copy)
    remove(dd_copy)
    median = {tool: (statistics.median(w for w, _ in s), statistics.median(c for _, c in s))
              for tool, s in samples.items()}
    return median, turn_ratios(samples), peak, copy


def turn_ratios(samples):
    """Medians over the turns of eolfix's wall and processor time divided by each other tool's in
    the same turn: the machine's slow drifts (other guests, clock changes) then cancel out."""
    return {tool: tuple(statistics.median(e[i] / max(t[i], 1e-6) for e, t in zip(samples["eolfix"], s))
                        for i in (0, 1))
            for tool, s in samples.items() if tool != "eolfix"}


def spawned(argv):
    """Runs argv without a shell or GNU time in between; returns (wall s, user + sys s) of that process."""
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, os.environ)
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{argv[0]} failed")
    return wall, usage.ru_utime + usage.ru_stime


def small_files(eolfix, floor, empty, runs, scratch):
    """Per-file cost of 2 KiB and 64 KiB dos-text to U: eolfix, the floor, cp and an empty program,
    one run of each in turn; prints median microseconds per file and ratios to the floor."""
    if runs < 1:  # --small-runs 0: the large files only
        return False
    cp = subprocess.run(["sh", "-c", "command -v cp"], capture_output=True, text=True, check=True).stdout.strip()
    print(f"\nMany small files: dos-text to U, median of {runs} runs of each, alternating; microseconds per file")
    print("| size | eolfix wall | floor wall | cp wall | empty main wall | eolfix cpu | floor cpu | cp cpu "
          "| empty main cpu | eolfix/floor wall | eolfix/floor cpu | eolfix/cp cpu | eolfix peak RSS KiB |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    failed = False
    for size in (2 * 1024, 64 * 1024):
        path = os.path.join(scratch, f"bench-small-{size}")
        data = make_input("dos-text", size)
        with open(path, "wb") as f:
            f.write(data)
        copy = path + EXTENSIONS["U"]
        tools = (("eolfix", [eolfix, "U", path], copy),
                 ("floor", [floor, copy_size(eolfix, "U", path), path, path + ".floor"], path + ".floor"),
                 ("cp", [cp, path, path + ".cp"], path + ".cp"), ("empty", [empty], None))
        samples = {tool: [] for tool, _, _ in tools}
        for turn in range(runs + 3):
            for tool, argv, out in tools:
                if out:
                    remove(out)
                wall, cpu = spawned(argv)
                if turn >= 3:  # the first turns warm the page cache and the loader's files
                    samples[tool].append((wall, cpu))
        if not matches_reference(data, "U", copy):
            print(f"FAIL: {size} bytes of dos-text to U differ from the reference")
            failed = True
        remove(copy)
        _, peak = measure_peak(eolfix, path, scratch)
        us = {tool: (statistics.median(w for w, _ in s) * 1e6, statistics.median(c for _, c in s) * 1e6)
              for tool, s in samples.items()}
        ratio = turn_ratios(samples)
        for _, _, out in tools:
            if out:
                remove(out)
        print(f"| {size // 1024} KiB | {us['eolfix'][0]:.0f} | {us['floor'][0]:.0f} | {us['cp'][0]:.0f} | "
              f"{us['empty'][0]:.0f} | {us['eolfix'][1]:.0f} | {us['floor'][1]:.0f} | {us['cp'][1]:.0f} | "
              f"{us['empty'][1]:.0f} | {ratio['floor'][0]:.2f} | {ratio['floor'][1]:.2f} | {ratio['cp'][1]:.2f} | {peak} |",
              flush=True)
    return failed


def measure_peak(eolfix, path, scratch):
    """One run of eolfix U under GNU time, for its peak resident set."""
    remove(path + EXTENSIONS["U"])
    wall, _, peak = timed([eolfix, "U", path], scratch)
    remove(path + EXTENSIONS["U"])
    return wall, peak


def processor_name():
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown processor"


def build_tree(path, *options):
    """Configures and builds a Release tree of the benchmark programs at `path`."""
    subprocess.run(["cmake", "-S", REPO, "-B", path, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DEOLFIX_TESTS=OFF", "-DEOLFIX_BENCH=ON", *options], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", path], check=True, stdout=subprocess.DEVNULL)
    return path


def runnable_kernels(build):
    """The kernels built into `build` that this processor runs, or None if its programs do not start."""
    try:
        listed = subprocess.run([os.path.join(build, "bench", "eolfix_kernel"), "--runnable"],
                                capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return listed.stdout.split()


def trees_to_measure(kernels):
    """(label, build tree) for each program to measure: the one this processor gets, or every kernel."""
    chosen = build_tree(os.path.join(REPO, "build-bench"))
    if kernels == "chosen":
        return [("x86-64" if os.uname().machine == "x86_64" else os.uname().machine, chosen)]
    trees = []
    targets = [(os.uname().machine, chosen, [])]
    if os.uname().machine == "x86_64":
        toolchain = os.path.join(REPO, "cmake", "i686-linux-gnu.cmake")
        if subprocess.run(["sh", "-c", "command -v i686-linux-gnu-g++"], capture_output=True).returncode != 0:
            print("the 32-bit i686 program: not measured: no i686-linux-gnu-g++ (Debian package g++-i686-linux-gnu)")
        else:
            targets.append(("i686", build_tree(os.path.join(REPO, "build-bench-i686"), "--toolchain", toolchain),
                            ["--toolchain", toolchain]))
    for target, auto_tree, options in targets:
        names = runnable_kernels(auto_tree)
        if names is None:
            print(f"the {target} program: not measured: this machine does not run {target} programs itself")
            continue
        for name in names:
            tree = build_tree(f"{auto_tree}-{name}", f"-DEOLFIX_KERNEL={name}", *options)
            trees.append((f"{target}, {name} kernel alone", tree))
    return trees


def measure_tree(label, build, inputs, args):
    """Every shape and the small files with the programs of one build tree; True if an output was wrong."""
    eolfix = os.path.abspath(os.path.join(build, "eolfix"))
    floor = os.path.abspath(os.path.join(build, "bench", "eolfix_floor"))
    empty = os.path.abspath(os.path.join(build, "bench", "empty_main"))
    kernel = subprocess.run([os.path.join(build, "bench", "eolfix_kernel")], capture_output=True,
                            text=True, check=True).stdout.strip()
    print(f"\n{processor_name()}; {label}; translator kernel: {kernel}; {args.mib} MiB inputs, "
          f"median of {args.runs} runs alternating with the floor program, the plain copy and dd bs=128K")
    print("| shape | mode | floor wall s | copy wall s | dd wall s | eolfix wall s | wall / floor | wall / copy | "
          "wall / dd | floor cpu s | copy cpu s | dd cpu s | eolfix cpu s | cpu / floor | cpu / copy | cpu / dd | "
          "eolfix peak RSS KiB |")
    print("|---|---|" + "---:|" * 15)
    failed = False
    for shape, mode in args.cases:
        path = os.path.join(args.dir, f"bench-{shape}")
        median, ratio, peak, copy = measure(eolfix, floor, path, mode, args.runs, args.dir)
        if not matches_reference(inputs[shape], mode, copy):
            print(f"FAIL: {shape} to {mode} differs from the reference")
            failed = True
        remove(copy)
        tools = ("floor", "copy", "dd")
        print(f"| {shape} | {mode} | " + " | ".join(f"{median[t][0]:.3f}" for t in tools) +
              f" | {median['eolfix'][0]:.3f} | " + " | ".join(f"{ratio[t][0]:.2f}" for t in tools) + " | " +
              " | ".join(f"{median[t][1]:.3f}" for t in tools) + f" | {median['eolfix'][1]:.3f} | " +
              " | ".join(f"{ratio[t][1]:.2f}" for t in tools) + f" | {peak} |", flush=True)
    # Memory must not grow with the file: the same conversion of a 1 MiB input for comparison.
    small = os.path.join(args.dir, "bench-small")
    with open(small, "wb") as f:
        f.write(inputs["mixed-text"][:MIB])
    _, _, small_peak, copy = measure(eolfix, floor, small, "M", 3, args.dir)
    remove(copy)
    print(f"peak RSS converting mixed-text to M: {small_peak} KiB for 1 MiB")
    return small_files(eolfix, floor, empty, args.small_runs, args.dir) or failed


def cases(text):
    """SHAPE:MODE,... as (shape, mode) pairs: any shape of CASES in any mode (mixed text to UNIX, say)."""
    chosen = [tuple(case.split(":")) for case in text.split(",")]
    shapes = {shape for shape, _ in CASES}
    for case in chosen:
        if len(case) != 2 or case[0] not in shapes or case[1] not in TERMINATORS:
            raise argparse.ArgumentTypeError(f"{':'.join(case)} is not a shape of the cases in a mode D, U or M")
    return chosen


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", help="a build tree holding eolfix and bench/eolfix_kernel")
    parser.add_argument("--kernels", choices=("chosen", "all"), default="chosen",
                        help="without --build: measure the kernel this processor gets, or every one it runs")
    parser.add_argument("--mib", type=int, default=256, help="input size in MiB (default 256)")
    parser.add_argument("--runs", type=int, default=7, help="timed runs of each tool (default 7)")
    parser.add_argument("--small-runs", type=int, default=300,
                        help="timed runs of each tool per small file size (default 300; 0 skips them)")
    parser.add_argument("--cases", type=cases, default=CASES,
                        help="SHAPE:MODE,... to measure those, any shape in any mode (default: %s)" %
                        ", ".join(f"{s}:{m}" for s, m in CASES))
    parser.add_argument("--dir", help="scratch folder for the inputs and copies (default: a new one in $TMPDIR)")
    args = parser.parse_args()

    if not os.access("/usr/bin/time", os.X_OK):
        sys.exit("GNU time is needed for the peak memory (Debian package 'time')")
    trees = [("given build", args.build)] if args.build else trees_to_measure(args.kernels)
    # A folder of its own by default, so two runs at once cannot take each other's files.
    args.dir = args.dir or tempfile.mkdtemp(prefix="eolfix-bench-")
    os.makedirs(args.dir, exist_ok=True)
    inputs = {}
    for shape in {shape for shape, _ in args.cases} | {"mixed-text"}:
        if shape not in inputs:
            inputs[shape] = make_input(shape, args.mib * MIB)
            with open(os.path.join(args.dir, f"bench-{shape}"), "wb") as f:
                f.write(inputs[shape])
    failed = False
    for label, build in trees:
        failed = measure_tree(label, build, inputs, args) or failed
    for name in os.listdir(args.dir):
        if name.startswith("bench-"):
            remove(os.path.join(args.dir, name))
    if not os.listdir(args.dir):
        os.rmdir(args.dir)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
