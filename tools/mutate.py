#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Mutation testing for eolfix: how many small faults in the product code do the tests catch?

Applies one small change at a time to the C++ sources under the given paths (default: convert/ and
cli/), rebuilds, runs ctest with a short timeout, and reports each change as
  killed      the build passed and a test failed (or timed out);
  survived    the build passed and every test passed: a gap in the tests, or a change that
              cannot be observed;
  same code   the product's object files came out byte for byte as before, so nothing can tell
              the change apart (code behind an inactive #if, or folded away by the optimiser);
  not viable  the change does not build.
The score is killed / (killed + survived).

The changes: relational operators (< <=, > >=, == !=), logical ones (&& ||, dropping a unary !),
integer constants plus and minus one, return 0 <-> return -1, and dropping a call whose result is
checked (the call becomes 0, the success value). Binary operators are recognised by the spaces
around them, as the project writes them, so template brackets are never taken for comparisons.

Everything happens in a scratch copy of the work tree; the tree itself is never modified.
Not run by CI: a full run takes a few minutes to tens of minutes.

    tools/mutate.py [--jobs 2] [--timeout 20] [--only convert/translate.cpp:42] [--list] [paths...]
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections import OrderedDict

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Longest first, so that "<=" is one token and never "<" followed by "=".
PUNCTUATORS = sorted(
    "<<= >>= <=> ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^= "
    "{ } [ ] ( ) ; : ? . , + - * / % ^ & | ~ ! = < > #".split(),
    key=len, reverse=True)
TOKEN = re.compile(
    r"(?P<space>\s+)"
    r"|(?P<comment>//[^\n]*|/\*.*?\*/)"
    r"|(?P<string>(?:u8|u|U|L)?\"(?:\\.|[^\"\\\n])*\"|'(?:\\.|[^'\\\n])+')"
    r"|(?P<number>0[xX][0-9a-fA-F']+[uUlL]*|\d[\d']*(?:\.\d+)?[uUlLfF]*)"
    r"|(?P<ident>[A-Za-z_]\w*)"
    r"|(?P<punct>" + "|".join(re.escape(p) for p in PUNCTUATORS) + ")",
    re.S)
KEYWORDS_TAKING_PARENS = {"if", "while", "for", "switch", "return", "sizeof", "alignof", "decltype",
                          "static_assert", "noexcept", "catch", "defined", "operator"}
COMPARISONS = {"==", "!=", "<", "<=", ">", ">="}
SWAPS = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "&&": "||", "||": "&&"}


class Token:
    def __init__(self, kind, text, start, end, spaced_before, spaced_after):
        self.kind, self.text, self.start, self.end = kind, text, start, end
        self.spaced_before, self.spaced_after = spaced_before, spaced_after


def tokenize(source):
    """The code tokens of `source`: no comments, no literals' insides, no preprocessor lines."""
    tokens = []
    position = 0
    line_start = True
    while position < len(source):
        if line_start:
            # A preprocessor line, continuation lines included, is never mutated.
            stripped = re.match(r"[ \t]*#(?:[^\n\\]|\\.)*", source[position:], re.S)
            if stripped:
                position += stripped.end()
                continue
        match = TOKEN.match(source, position)
        if not match:
            raise ValueError("cannot read the source at offset %d" % position)
        kind = match.lastgroup
        if kind not in ("space", "comment"):
            tokens.append(Token(kind, match.group(), match.start(), match.end(), False, False))
        line_start = kind == "space" and "\n" in match.group()
        position = match.end()
    for token in tokens:
        token.spaced_before = token.start > 0 and source[token.start - 1] in " \t\n"
        token.spaced_after = token.end < len(source) and source[token.end] in " \t\n"
    return tokens


def matching_paren(tokens, open_index):
    depth = 0
    for i in range(open_index, len(tokens)):
        if tokens[i].text == "(":
            depth += 1
        elif tokens[i].text == ")":
            depth -= 1
            if depth == 0:
                return i
    return None


def bump_literal(text, delta):
    match = re.match(r"(0[xX][0-9a-fA-F']+|\d[\d']*)([uUlL]*)$", text)
    if not match:
        return None  # floating point: left alone
    digits, suffix = match.group(1).replace("'", ""), match.group(2)
    if digits[:2].lower() == "0x":
        base, form = 16, "0x%X"
    elif len(digits) > 1 and digits[0] == "0":
        base, form = 8, "0%o"
    else:
        base, form = 10, "%d"
    value = int(digits, base) + delta
    return form % value + suffix if value >= 0 else None


def mutants(source):
    """Yields (start, end, replacement, description) for every change to `source`."""
    tokens = tokenize(source)
    for i, token in enumerate(tokens):
        previous = tokens[i - 1] if i > 0 else None
        following = tokens[i + 1] if i + 1 < len(tokens) else None
        # Binary operators are spaced on both sides; template brackets and the like are not.
        if token.text in SWAPS and token.spaced_before and token.spaced_after:
            kind = "logical" if token.text in ("&&", "||") else "relational"
            yield token.start, token.end, SWAPS[token.text], "%s: %s -> %s" % (kind, token.text, SWAPS[token.text])
        if token.text == "!" and not token.spaced_after:
            yield token.start, token.end, "", "logical: drop !"
        # "return -1" becomes "return 0" below; "return -0" would only repeat it.
        returns_minus_one = previous is not None and previous.text == "-" and i >= 2 and tokens[i - 2].text == "return"
        if token.kind == "number" and not returns_minus_one:
            for delta in (1, -1):
                bumped = bump_literal(token.text, delta)
                if bumped is not None:
                    yield token.start, token.end, bumped, "constant: %s -> %s" % (token.text, bumped)
        if token.text == "return" and following is not None:
            after = tokens[i + 2] if i + 2 < len(tokens) else None
            if following.text == "0" and after is not None and after.text == ";":
                yield following.start, following.end, "-1", "return: 0 -> -1"
            if following.text == "-" and after is not None and after.text == "1":
                yield following.start, after.end, "0", "return: -1 -> 0"
        # A call whose result is compared or negated becomes 0: the call is gone and "succeeded".
        if (token.kind == "ident" and token.text not in KEYWORDS_TAKING_PARENS
                and following is not None and following.text == "("):
            close = matching_paren(tokens, i + 1)
            if close is None:
                continue
            first = i
            while first >= 2 and tokens[first - 1].text in (".", "->", "::") and tokens[first - 2].kind == "ident":
                first -= 2
            before = tokens[first - 1] if first > 0 else None
            after = tokens[close + 1] if close + 1 < len(tokens) else None
            compared = after is not None and after.text in COMPARISONS and after.spaced_before
            negated = before is not None and before.text == "!"
            if compared or negated:
                name = source[tokens[first].start:token.end]
                yield tokens[first].start, tokens[close].end, "0", "call: drop %s()" % name


def line_of(source, offset):
    return source.count("\n", 0, offset) + 1


def run(command, cwd, timeout=None):
    try:
        done = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              timeout=timeout)
        return done.returncode, done.stdout.decode(errors="replace")
    except subprocess.TimeoutExpired:
        return -1, "timed out"


def product_objects(build):
    """Hashes of the program's and the library's object files."""
    hashes = {}
    for folder in ("eolfix_convert.dir", "eolfix.dir"):
        for dirpath, _, names in os.walk(os.path.join(build, "CMakeFiles", folder)):
            for name in names:
                if name.endswith(".o") or name.endswith(".obj"):
                    path = os.path.join(dirpath, name)
                    with open(path, "rb") as f:
                        hashes[path] = hashlib.sha256(f.read()).hexdigest()
    return hashes


def source_files(paths):
    found = []
    for path in paths:
        full = os.path.join(ROOT, path)
        if os.path.isfile(full):
            found.append(os.path.relpath(full, ROOT))
            continue
        for dirpath, _, names in os.walk(full):
            for name in sorted(names):
                if name.endswith((".cpp", ".h")):
                    found.append(os.path.relpath(os.path.join(dirpath, name), ROOT))
    return sorted(found)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("paths", nargs="*", default=["convert", "cli"])
    parser.add_argument("--jobs", type=int, default=2, help="build and test jobs (default 2)")
    parser.add_argument("--timeout", type=int, default=20, help="seconds per test before it counts as failed")
    parser.add_argument("--only", help="FILE or FILE:LINE: run only the changes there")
    parser.add_argument("--list", action="store_true", help="list the changes and stop")
    parser.add_argument("--keep", action="store_true", help="keep the scratch copy")
    args = parser.parse_args()

    files = source_files(args.paths)
    plan = []
    for name in files:
        with open(os.path.join(ROOT, name)) as f:
            source = f.read()
        seen = set()
        for start, end, replacement, what in mutants(source):
            changed = source[:start] + replacement + source[end:]
            if changed in seen or changed == source:
                continue
            seen.add(changed)
            line = line_of(source, start)
            if args.only and args.only not in (name, "%s:%d" % (name, line)):
                continue
            plan.append((name, line, what, changed, source))
    if args.list:
        for name, line, what, _, _ in plan:
            print("%s:%d: %s" % (name, line, what))
        print("%d changes" % len(plan))
        return 0

    scratch = tempfile.mkdtemp(prefix="eolfix-mutate-")
    # A stop by SIGTERM still removes the scratch copy.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        tracked = subprocess.run(["git", "ls-files", "--cached", "--others", "--exclude-standard", "-z"],
                                 cwd=ROOT, stdout=subprocess.PIPE, check=True).stdout.decode().split("\0")
        for name in filter(None, tracked):
            if os.path.isfile(os.path.join(ROOT, name)):
                os.makedirs(os.path.dirname(os.path.join(scratch, name)), exist_ok=True)
                shutil.copy2(os.path.join(ROOT, name), os.path.join(scratch, name))
        build = os.path.join(scratch, "build")
        build_command = ["cmake", "--build", build, "-j", str(args.jobs)]
        test_command = ["ctest", "--test-dir", build, "--timeout", str(args.timeout), "--stop-on-failure",
                        "-j", str(args.jobs)]
        status, output = run(["cmake", "-S", scratch, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                              "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"], scratch)
        if status == 0:
            status, output = run(build_command, scratch)
        if status == 0:
            status, output = run(test_command, scratch)
        if status != 0:
            print(output)
            print("the unchanged code does not build or pass its tests; nothing to measure", file=sys.stderr)
            return 1
        baseline = product_objects(build)
        # A source this platform does not compile (another system's, another processor's) tells nothing here.
        with open(os.path.join(build, "compile_commands.json")) as f:
            compiled = {os.path.relpath(entry["file"], scratch) for entry in json.load(f)}
        skipped = sorted({name for name, *_ in plan if name.endswith(".cpp") and name not in compiled})
        plan = [change for change in plan if change[0] not in skipped]
        if skipped:
            print("not compiled here, skipped: " + ", ".join(skipped))

        tally = OrderedDict((name, {"killed": 0, "survived": 0, "same code": 0, "not viable": 0}) for name in files)
        survivors = []
        began = time.time()
        for number, (name, line, what, changed, original) in enumerate(plan, 1):
            target = os.path.join(scratch, name)
            with open(target, "w") as f:
                f.write(changed)
            status, _ = run(build_command, scratch)
            if status != 0:
                verdict = "not viable"
            elif product_objects(build) == baseline:
                verdict = "same code"
            else:
                # The whole suite gets a few timeouts' worth; a change that hangs counts as caught.
                status, _ = run(test_command, scratch, timeout=args.timeout * 10)
                verdict = "killed" if status != 0 else "survived"
            with open(target, "w") as f:
                f.write(original)
            tally[name][verdict] += 1
            text = changed.splitlines()[line - 1].strip()
            print("[%d/%d] %-10s %s:%d: %s    %s" % (number, len(plan), verdict, name, line, what, text), flush=True)
            if verdict == "survived":
                survivors.append("%s:%d: %s    %s" % (name, line, what, text))
        # Leave the scratch build matching the real sources for a --keep inspection.
        run(build_command, scratch)
    finally:
        if not args.keep:
            shutil.rmtree(scratch, ignore_errors=True)

    print("\n%-36s %7s %9s %10s %11s" % ("file", "killed", "survived", "same code", "not viable"))
    totals = {"killed": 0, "survived": 0, "same code": 0, "not viable": 0}
    for name, counts in tally.items():
        if sum(counts.values()):
            print("%-36s %7d %9d %10d %11d" % (name, counts["killed"], counts["survived"], counts["same code"], counts["not viable"]))
        for key in totals:
            totals[key] += counts[key]
    print("%-36s %7d %9d %10d %11d" % ("total", totals["killed"], totals["survived"], totals["same code"], totals["not viable"]))
    judged = totals["killed"] + totals["survived"]
    if judged:
        print("score: %d of %d killed (%.0f%%) in %.0f s" % (totals["killed"], judged, 100.0 * totals["killed"] / judged, time.time() - began))
    if survivors:
        print("\nsurvivors:")
        for survivor in survivors:
            print("  " + survivor)
    if args.keep:
        print("scratch copy kept in " + scratch)
    return 0


if __name__ == "__main__":
    sys.exit(main())
