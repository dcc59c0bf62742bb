#!/usr/bin/env python3
"""The flake hunt: runs a build tree's whole suite again and again with its
usual parallelism, and counts, for each test program, how often it ran and
how often it failed, keeping each failure's output. A test that fails at
random shows here long before it blocks a submission.

usage: repeat_suite.py BUILD_TREE RUNS [ctest arguments...]
Prints one line per run as it ends, then a table of every program with a
failure and a total; exits 1 if any run failed.
"""
import os
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

tree, runs, extra = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
out_dir = os.path.join(tree, "repeat")
os.makedirs(out_dir, exist_ok=True)
ran, failed, seconds = {}, {}, {}
started = time.time()
for run in range(1, runs + 1):
    junit = os.path.abspath(os.path.join(out_dir, f"run{run}.xml"))
    log = os.path.join(out_dir, f"run{run}.log")
    t0 = time.time()
    with open(log, "w") as f:
        subprocess.run(["ctest", "--test-dir", tree, "-j2", "--output-on-failure", "--output-junit", junit, *extra],
                       stdout=f, stderr=subprocess.STDOUT)
    bad = []
    try:
        cases = ElementTree.parse(junit).getroot().iter("testcase")
    except (ElementTree.ParseError, FileNotFoundError):
        cases = []
        bad.append("<no junit report>")
    for case in cases:
        name = case.get("name")
        ran[name] = ran.get(name, 0) + 1
        seconds[name] = seconds.get(name, 0.0) + float(case.get("time") or 0)
        if case.get("status") not in ("run", "pass") or case.find("failure") is not None:
            failed[name] = failed.get(name, 0) + 1
            bad.append(name)
    print(f"run {run}/{runs}: {time.time() - t0:.0f} s, failed: {', '.join(bad) or 'none'}"
          f"{' (output in ' + log + ')' if bad else ''}", flush=True)

print(f"\n{runs} runs of {len(ran)} programs in {(time.time() - started) / 60:.0f} min")
print("| program | runs | failures | mean s |")
print("|---|---|---|---|")
for name in sorted(ran):
    print(f"| {name} | {ran[name]} | {failed.get(name, 0)} | {seconds[name] / ran[name]:.1f} |")
total_failed = sum(failed.values())
print(f"\n{sum(ran.values()) - total_failed} passed, {total_failed} failed")
sys.exit(1 if total_failed else 0)
