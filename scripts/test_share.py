#!/usr/bin/env python3
"""The test code's share of all code: non-blank lines of the committed C, C++,
Python, shell and CMake files under tests/, over those of the whole tree (the
product, its companions in tools/ and bench/, and scripts/; not docs/ nor the
mutant lists).

usage: test_share.py"""
import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CODE = (".c", ".cpp", ".h", ".py", ".sh", ".cmake", ".rc", ".inf", "CMakeLists.txt")

files = subprocess.run(["git", "-C", ROOT, "ls-files"], capture_output=True, text=True, check=True).stdout.split()
lines = {}
for name in files:
    if not name.endswith(CODE) or name.startswith("docs/"):
        continue
    with open(os.path.join(ROOT, name), errors="replace") as f:
        lines[name] = sum(1 for line in f if line.strip())
tests = sum(n for name, n in lines.items() if name.startswith("tests/"))
total = sum(lines.values())
print(f"tests/ {tests} of {total} non-blank lines: {tests / total:.3f}")
