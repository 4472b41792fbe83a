#!/usr/bin/env python3
"""The suite's size against the code's: lines of C++ (.cpp, .h) that are neither blank nor a
whole-line // comment, in tests/ against every other top-level folder (build trees and hidden
folders left out). Prints one row per folder, then the totals and the share.
Usage: scripts/test-share.py [checkout]"""
import collections
import os
import sys

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
lines = collections.Counter()
for top in sorted(os.listdir(root)):
    if top.startswith((".", "build")) or not os.path.isdir(os.path.join(root, top)):
        continue
    for folder, _, files in os.walk(os.path.join(root, top)):
        for name in files:
            if not name.endswith((".cpp", ".h")):
                continue
            with open(os.path.join(folder, name), errors="replace") as f:
                n = sum(1 for l in f if l.strip() and not l.strip().startswith("//"))
            # tests/ by sub-folder, every other folder as a whole
            sub = os.path.relpath(folder, root).split(os.sep)[:2]
            lines[os.sep.join(sub) if top == "tests" else top] += n
tests = sum(n for k, n in lines.items() if k.startswith("tests"))
code = sum(n for k, n in lines.items() if not k.startswith("tests"))
for key, n in sorted(lines.items()):
    print(f"{n:7} {key}")
print(f"tests {tests} code {code} share {100.0 * tests / code:.1f} %")
