#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Cycle estimates for the sse and neon kernels' steps, from llvm-mca.

    bench/mca.py        # needs g++, aarch64-linux-gnu-g++ and llvm-mca (the llvm package)

Each kernel is built to assembly with the Release flags and its marks (MCA_STEP_BEGIN/END) switched
on. In each loop named below, the shortest path of instructions from the step's start to the end of
the path that shape of text takes is handed to llvm-mca, which runs it as a loop on each processor.
Printed are cycles per 32-byte step (simulated cycles over iterations, then the block's reciprocal
throughput) and bytes per cycle. Branches are taken as predicted; mispredictions are not counted.
"""

import collections
import os
import re
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FLAGS = ["-O3", "-DNDEBUG", "-std=c++20", "-fno-exceptions", "-I" + REPO, "-DEOLFIX_MCA"]
SSE = ("sse", ["g++", "-mssse3", "-DEOLFIX_X86=1"], "x86_64-linux-gnu", ["znver3"], [
    ("U, real text (general: pairs from the vectors, 8-byte tables)", "11pack_chunksIL9line_mode1ELb0ELb0ELb0ELb0E", "step"),
    ("U, DOS text (run of whole pairs, 8-byte tables)", "11pack_chunksIL9line_mode1ELb0ELb1ELb0ELb0E", "pairs"),
    ("M, real text (general)", "11pack_chunksIL9line_mode2ELb0ELb0ELb0ELb0E", "step"),
    ("U, UNIX text (run without a CR, stored)", "11pack_chunksIL9line_mode1ELb0ELb0ELb1ELb0E", "no CR"),
    ("D, UNIX text (run without a CR: spread)", "13spread_chunksILb0ELb1ELb0E", "unix"),
    ("D, DOS text (run of whole pairs stored)", "13spread_chunksILb1ELb0ELb0E", "dos")])
NEON = ("neon", ["aarch64-linux-gnu-g++"], "aarch64-linux-gnu", ["cortex-a72", "neoverse-n1", "apple-m1"], [
    ("U, real text (general: pair scan, 8-byte lookups)", "10pack_stepsIL9line_mode1ELb0ELNS_9step_workE2E", "step"),
    ("U, DOS text (whole pairs, 8-byte lookups)", "10pack_stepsIL9line_mode1ELb0ELNS_9step_workE1E", "step"),
    ("M, real text (general)", "10pack_stepsIL9line_mode2ELb0ELNS_9step_workE2E", "step"),
    ("U, few pairs (masks and pair scan, stored)", "10pack_stepsIL9line_mode1ELb0ELNS_9step_workE0E", "step"),
    ("U, UNIX text (run without a CR, stored)", "10pack_stepsIL9line_mode1ELb0ELNS_9step_workE3E", "no CR"),
    ("M, UNIX text (run without a CR, LFs made CR)", "10pack_stepsIL9line_mode2ELb0ELNS_9step_workE3E", "no CR"),
    ("D, UNIX text (no CR: spread)", "12spread_stepsILb0ELb0E", "step"),
    ("D, DOS text (whole pairs stored)", "12spread_stepsILb0ELb1E", "step")])

LABEL = re.compile(r"^([.\w$]+):")
# Unconditional jumps and returns end a block; the others may fall through.
ALWAYS = re.compile(r"^\s+(jmp|b|ret)\b")
BRANCH = re.compile(r"^\s+(j\w+|b\S*|cbn?z|tbn?z)\s+(?:[^,]*,\s*)*(\.L\w+)\s*$")


def function_of(asm, fragment):
    """The lines of the function whose mangled name holds `fragment`."""
    out, inside = [], False
    for line in asm.splitlines():
        if re.match(r"^_Z\S*:$", line):
            inside = fragment in line
        if inside:
            out.append(line)
    if not out:
        sys.exit(f"no function {fragment}")
    return out


def step_path(lines, mark):
    """The instructions on the shortest way from the start mark named `mark` to its end mark."""
    code = [l for l in lines if l.strip() and not l.strip().startswith((".cfi", ".p2align", ".align", ".loc"))]
    labels = {m.group(1): i for i, l in enumerate(code) if (m := LABEL.match(l))}
    begin = next(i for i, l in enumerate(code) if l.strip().endswith("LLVM-MCA-BEGIN " + mark))
    end = next(i for i, l in enumerate(code) if l.strip().endswith("LLVM-MCA-END " + mark))
    before = {begin: None}
    queue = collections.deque([begin])
    while queue and end not in before:
        i = queue.popleft()
        nexts = []
        if not ALWAYS.match(code[i]) and i + 1 < len(code):
            nexts.append(i + 1)
        if (m := BRANCH.match(code[i])) and m.group(2) in labels:
            nexts.append(labels[m.group(2)])
        for j in nexts:
            if j not in before:
                before[j] = i
                queue.append(j)
    path, i = [], before[end]
    while i is not None and i != begin:
        path.append(code[i])
        i = before[i]
    # Branches left out: along the path each goes the way predicted, and llvm-mca cannot follow them.
    return [l for l in reversed(path) if not LABEL.match(l) and not BRANCH.match(l) and not ALWAYS.match(l)]


def main():
    print("cycles per 32-byte step: simulated (block reciprocal throughput), bytes per cycle\n")
    with tempfile.TemporaryDirectory() as work:
        for kernel, compiler, triple, cpus, loops in (SSE, NEON):
            asm_file = os.path.join(work, kernel + ".s")
            subprocess.run(compiler + FLAGS + ["-S", "-o", asm_file, os.path.join(REPO, "convert/kernels", kernel + ".cpp")],
                           check=True)
            asm = open(asm_file).read()
            print("| kernel | step | instructions | " + " | ".join(cpus) + " |")
            print("|---|---|---:|" + "---:|" * len(cpus))
            for what, fragment, mark in loops:
                path = step_path(function_of(asm, fragment), mark)
                region = os.path.join(work, "step.s")
                with open(region, "w") as f:
                    f.write("\n".join(path) + "\n")
                cells = []
                for cpu in cpus:
                    report = subprocess.run(["llvm-mca", "-mtriple=" + triple, "-mcpu=" + cpu, "-iterations=200", region],
                                            check=True, capture_output=True, text=True).stdout
                    iterations = int(re.search(r"^Iterations:\s+(\d+)", report, re.M).group(1))
                    cycles = int(re.search(r"^Total Cycles:\s+(\d+)", report, re.M).group(1))
                    block = float(re.search(r"^Block RThroughput:\s+([\d.]+)", report, re.M).group(1))
                    cells.append(f"{cycles / iterations:.1f} ({block:.1f}), {32 * iterations / cycles:.2f} B/c")
                print(f"| {kernel} | {what} | {len(path)} | " + " | ".join(cells) + " |")
            print()


if __name__ == "__main__":
    main()
