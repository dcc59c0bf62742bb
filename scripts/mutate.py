#!/usr/bin/env python3
"""Mutation run: plants one plausible fault at a time in a scratch clone of the
committed tree, rebuilds it, runs the test programs that link the changed
module, and says whether any of them noticed; when none did, the rest of the
suite is run before the mutant counts as survived.

usage: mutate.py [--list] [--only ID...] [--arch x86_64] [--timeout S] [--mutants FILE] [--module-only]

The mutants are listed in scripts/mutants.txt (see its head for the format).
The scratch clone lives in build-mutate-ARCH/ under the tree this script
belongs to; its build tree is built once and then rebuilt incrementally, one
mutant at a time, and the mutant is reverted before the next.
"""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The test programs that link each module, by CTest name. runtime/base lies
# under everything; its own tests and the HID layer's fake-driven tests are
# the ones that exercise it directly, and a fault that only the end-to-end run
# shows is what app/ is there for. A mutant may name more (its "tests:" line).
MODULE_TESTS = {
    "runtime/base": r"^(base_.*|hid_fake_test|app_device_watch_test)$",
    "runtime/window": r"^(window_.*|gadget_test.*|app_read_handover_test|app_device_watch_test)$",
    "runtime/gadget": r"^(gadget_test.*|window_window_test|app_device_watch_test|app_read_handover_test)$",
    "hid": r"^(hid_fake_test|hid_wine_test|hid_device_test|app_device_watch_test|hid_list_cli)$",
    "app": r"^(app_device_watch_test|app_read_handover_test|app_reader_stop_test|app_e2e|app_device_behaviour|app_watch)$",
    "tools/hid_list": r"^(hid_list_cli|hid_device_test)$",
}
MODULES = list(MODULE_TESTS)
# Set-up cases CTest pulls in as fixtures: their failure says nothing of the mutant.
FIXTURE = re.compile(r"^(wineprefix_setup|hidsim_setup_.*)$")


def parse_mutants(path):
    """Blocks separated by blank lines: 'key: value' lines (id, module, file,
    fault, optional tests and equivalent), then the original snippet as lines
    starting with '- ' and its replacement as lines starting with '+ ' (none:
    the snippet is removed). Lines starting with '#' are comments."""
    mutants, block = [], []
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for line in lines + [""]:
        if line.startswith("#"):
            continue
        if line.strip():
            block.append(line)
            continue
        if not block:
            continue
        m = {"old": [], "new": [], "tests": "", "equivalent": ""}
        for entry in block:
            if entry.startswith("-"):
                m["old"].append(entry[2:])
            elif entry.startswith("+"):
                m["new"].append(entry[2:])
            else:
                key, _, value = entry.partition(":")
                m[key.strip()] = value.strip()
        for key in ("id", "module", "file", "fault"):
            if not m.get(key):
                sys.exit(f"mutate: a mutant without '{key}': {block[0]}")
        if m["module"] not in MODULE_TESTS:
            sys.exit(f"mutate: {m['id']}: unknown module {m['module']} (one of {', '.join(MODULES)})")
        if not m["old"]:
            sys.exit(f"mutate: {m['id']}: no original snippet")
        m["old"] = "\n".join(m["old"])
        m["new"] = "\n".join(m["new"])
        mutants.append(m)
        block = []
    ids = [m["id"] for m in mutants]
    twice = {i for i in ids if ids.count(i) > 1}
    if twice:
        sys.exit(f"mutate: ids used twice: {' '.join(sorted(twice))}")
    return mutants


def check_snippets(mutants, tree):
    bad = []
    for m in mutants:
        with open(os.path.join(tree, m["file"]), encoding="utf-8") as f:
            count = f.read().count(m["old"])
        if count != 1:
            bad.append(f"{m['id']}: its snippet occurs {count} times in {m['file']}")
    return bad


def run(cmd, cwd=None, timeout=None, log=None):
    with open(log, "w") if log else open(os.devnull, "w") as out:
        try:
            return subprocess.run(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return None


def prepare_clone(scratch, arch):
    """The committed tree in scratch/src, its build tree built."""
    src = os.path.join(scratch, "src")
    head = subprocess.run(["git", "-C", ROOT, "rev-parse", "HEAD"], capture_output=True, text=True,
                          check=True).stdout.strip()
    if not os.path.isdir(os.path.join(src, ".git")):
        os.makedirs(scratch, exist_ok=True)
        subprocess.run(["git", "clone", "--quiet", "--no-checkout", ROOT, src], check=True)
    subprocess.run(["git", "-C", src, "fetch", "--quiet", ROOT, head], check=True)
    subprocess.run(["git", "-C", src, "checkout", "--quiet", "--force", "--detach", head], check=True)
    subprocess.run(["git", "-C", src, "clean", "--quiet", "-fdx", "-e", "build-*"], check=True)
    preset = "x86_64" if arch == "x86_64" else "default"
    build = os.path.join(src, "build-x86_64" if arch == "x86_64" else "build")
    log = os.path.join(scratch, "build.log")
    if run(["cmake", "--preset", preset, "-B", build], cwd=src, log=log) != 0 or \
       run(["cmake", "--build", build, "-j2"], cwd=src, log=log) != 0:
        sys.exit(f"mutate: the unmutated tree does not build, see {log}")
    return src, build, head


def end_servers(build):
    # The prefixes belong to this scratch tree: their servers end with each run.
    for name in os.listdir(build):
        if name.startswith(("wineprefix", "hidsim-")) and os.path.isdir(os.path.join(build, name)):
            env = dict(os.environ, WINEPREFIX=os.path.realpath(os.path.join(build, name)))
            subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def run_tests(build, regex, timeout, log, exclude=None):
    """The failed test programs, and those among them that ran out of time.
    regex selects the programs to run; with exclude, the rest of the suite is
    run instead, those excluded."""
    junit = os.path.join(build, "mutate-junit.xml")
    if os.path.exists(junit):
        os.remove(junit)
    select = ["-E", exclude] if exclude else ["-R", regex]
    # Whole runs are bounded too: a hang the per-test limits miss ends here.
    rc = run(["ctest", "--test-dir", build, *select, "-j2", "--timeout", str(timeout), "--output-junit", junit,
              "--output-on-failure"], timeout=timeout * (20 if exclude else 6), log=log)
    end_servers(build)
    if rc is None:
        return None, None
    failed, timed_out = [], []
    ran = 0
    for case in ElementTree.parse(junit).getroot().iter("testcase"):
        name = case.get("name")
        if FIXTURE.match(name):
            continue
        ran += 1
        if case.get("status") == "fail" or case.find("failure") is not None:
            failed.append(name)
            text = "".join(case.itertext())
            if "Timeout" in text or case.get("status") == "timeout":
                timed_out.append(name)
    return (failed, timed_out) if ran else (None, None)


def main():
    parser = argparse.ArgumentParser(description="mutation run over the committed tree")
    parser.add_argument("--list", action="store_true", help="print the mutants and stop")
    parser.add_argument("--only", nargs="+", metavar="ID", help="run only these mutants")
    parser.add_argument("--arch", default="x86_64", choices=["x86_64", "i686"])
    parser.add_argument("--timeout", type=int, default=120, help="seconds for a test program without a limit")
    parser.add_argument("--mutants", default=os.path.join(ROOT, "scripts", "mutants.txt"))
    parser.add_argument("--module-only", action="store_true",
                        help="count a mutant as survived once its module's test programs pass")
    args = parser.parse_args()

    # A run ended from outside still reverts its mutant (the finally below).
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    mutants = parse_mutants(args.mutants)
    if args.only:
        unknown = set(args.only) - {m["id"] for m in mutants}
        if unknown:
            sys.exit(f"mutate: no such mutants: {' '.join(sorted(unknown))}")
        mutants = [m for m in mutants if m["id"] in args.only]
    if args.list:
        for m in mutants:
            extra = f"  [equivalent: {m['equivalent']}]" if m["equivalent"] else ""
            print(f"{m['id']:<24} {m['module']:<15} {m['file']}: {m['fault']}{extra}")
        print(f"{len(mutants)} mutants")
        return 0

    scratch = os.path.join(ROOT, f"build-mutate-{args.arch}")
    src, build, head = prepare_clone(scratch, args.arch)
    bad = check_snippets(mutants, src)
    if bad:
        sys.exit("mutate: " + "\n        ".join(bad))
    print(f"mutate: {len(mutants)} mutants over {head[:12]} in {src}", flush=True)

    xvfb = None
    if not os.environ.get("DISPLAY"):
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten",
                                 "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            os.environ["DISPLAY"] = ":" + f.readline().strip()

    logs = os.path.join(scratch, "logs")
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    results = []
    try:
        for m in mutants:
            path = os.path.join(src, m["file"])
            with open(path, encoding="utf-8") as f:
                original = f.read()
            start = time.time()
            with open(path, "w", encoding="utf-8") as f:
                f.write(original.replace(m["old"], m["new"], 1))
            log = os.path.join(logs, m["id"] + ".log")
            try:
                if run(["cmake", "--build", build, "-j2"], log=log + ".build") != 0:
                    outcome, detail = "did not compile", ""
                else:
                    regex = MODULE_TESTS[m["module"]]
                    if m["tests"]:
                        regex = f"({regex})|({m['tests']})"
                    failed, timed_out = run_tests(build, regex, args.timeout, log)
                    # The module's own programs are a guess at who can notice:
                    # a mutant they miss counts as survived only when the rest
                    # of the suite misses it too.
                    if failed == [] and not args.module_only:
                        failed, timed_out = run_tests(build, None, args.timeout, log + ".rest", exclude=regex)
                        if failed:
                            failed = [name + " (rest of the suite)" for name in failed]
                    if failed is None:
                        outcome, detail = "timed out", "(the whole run)"
                    elif failed and len(timed_out) == len(failed):
                        outcome, detail = "timed out", " ".join(timed_out)
                    elif failed:
                        outcome, detail = "killed", "by " + " ".join(failed)
                    else:
                        outcome, detail = "survived", ""
            finally:
                with open(path, "w", encoding="utf-8") as f:
                    f.write(original)
            if m["equivalent"]:
                detail = (detail + " " if detail else "") + f"[equivalent: {m['equivalent']}]"
            results.append((m, outcome))
            print(f"{m['id']:<24} {outcome:<15} {detail} ({time.time() - start:.0f} s)", flush=True)
    finally:
        # Leaves the scratch tree built as committed, for the next run.
        run(["cmake", "--build", build, "-j2"], log=os.path.join(scratch, "build.log"))
        if xvfb:
            xvfb.terminate()
            xvfb.wait()

    print("score (killed or timed out / counted; equivalent and uncompiled mutants not counted):")
    total_detected = total_counted = 0
    for module in MODULES:
        counted = [o for m, o in results if m["module"] == module and not m["equivalent"] and o != "did not compile"]
        if not counted and not any(m["module"] == module for m, _ in results):
            continue
        detected = sum(o in ("killed", "timed out") for o in counted)
        total_detected += detected
        total_counted += len(counted)
        share = f"{100 * detected / len(counted):.0f} %" if counted else "-"
        print(f"  {module:<15} {detected}/{len(counted)} {share}")
    share = f"{100 * total_detected / total_counted:.0f} %" if total_counted else "-"
    print(f"  {'all':<15} {total_detected}/{total_counted} {share}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
