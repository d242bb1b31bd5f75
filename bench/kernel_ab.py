#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""One kernel before and after a change, timed in turn in one process on the same blocks.

    bench/kernel_ab.py KERNEL [--base REV] [--build DIR] [--cxx CXX] [--turns N] [--blocks N]
                       [SHAPE:MODE ...]

"Before" is convert/kernels/KERNEL.cpp at REV (HEAD by default), "after" the file in the working
tree. Both are compiled with the Release flags and the kernel's own flags from CMakeLists.txt,
their functions and loops aligned to 64 bytes (a change elsewhere in the file then moves no loop),
under two names, into bench/kernel_ab.cpp, and linked with the convert library of DIR (a Release
tree, build-bench by default; give --cxx i686-linux-gnu-g++ and an i686 tree for the 32-bit
program). Each turn times both on the same blocks, each copied in from 16 MiB of input so the
branch predictor cannot learn them; printed are the median turn of each, as GB/s, and the median
ratio. Both are checked against the byte-at-a-time table; exits 1 if one is wrong.
Cases are names (dos-text:U) and default to the text shapes in each mode and short lines.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHAPES = ["dos-text", "unix-text", "mixed-text", "dos-long", "unix-long", "mixed-long", "binary", "all-lf",
          "short-lines"]
MODES = "DUM"
DEFAULT_CASES = ["dos-text:U", "mixed-text:M", "unix-text:D", "dos-text:D", "short-lines:U", "dos-long:U",
                 "mixed-long:M", "unix-long:D"]


def kernel_flags(kernel):
    """The kernel's own compiler flags, as CMakeLists.txt gives them."""
    with open(os.path.join(REPO, "CMakeLists.txt")) as f:
        found = re.search(rf"set\(EOLFIX_KERNEL_FLAGS_{kernel}\s+([^)]*)\)", f.read())
    if not found:
        sys.exit(f"no kernel {kernel}")
    return found.group(1).replace('"', "").split()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("kernel")
    parser.add_argument("cases", nargs="*", default=DEFAULT_CASES)
    parser.add_argument("--base", default="HEAD")
    parser.add_argument("--build", default=os.path.join(REPO, "build-bench"))
    parser.add_argument("--cxx", default="g++")
    parser.add_argument("--turns", type=int, default=30)
    parser.add_argument("--blocks", type=int, default=32)
    args = parser.parse_intermixed_args()
    cases = []
    for case in args.cases:
        shape, _, mode = case.partition(":")
        if shape not in SHAPES or mode not in MODES or not mode:
            sys.exit(f"unknown case {case}")
        cases.append(f"{SHAPES.index(shape)}:{MODES.index(mode)}")
    source = f"convert/kernels/{args.kernel}.cpp"
    flags = ["-O3", "-DNDEBUG", "-std=c++20", "-fno-exceptions", "-I" + REPO, "-falign-functions=64", "-falign-loops=64"] + kernel_flags(args.kernel)
    with tempfile.TemporaryDirectory() as scratch:
        before = os.path.join(scratch, "before.cpp")
        with open(before, "wb") as f:
            f.write(subprocess.run(["git", "-C", REPO, "show", f"{args.base}:{source}"], check=True,
                                   capture_output=True).stdout)
        objects = []
        for name, path in (("kernel_before", before), ("kernel_after", os.path.join(REPO, source))):
            objects.append(os.path.join(scratch, name + ".o"))
            subprocess.run([args.cxx, *flags, f"-Dtranslate_block_{args.kernel}={name}", "-c", path, "-o",
                            objects[-1]], check=True)
        program = os.path.join(scratch, "kernel_ab")
        subprocess.run([args.cxx, *flags[:5], os.path.join(REPO, "bench", "kernel_ab.cpp"), *objects,
                        os.path.join(args.build, "libeolfix_convert.a"), "-o", program], check=True)
        return subprocess.run([program, str(args.turns), str(args.blocks), *cases]).returncode


if __name__ == "__main__":
    sys.exit(main())
