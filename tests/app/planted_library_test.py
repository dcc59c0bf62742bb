#!/usr/bin/env python3
"""A copy of the program in a folder of its own, beside stand-ins named like
the libraries it uses that are no Known DLLs, each of which leaves a trace
file when it runs; Wine is told to prefer them, as Windows' search order
prefers a library in the program's folder. The program must start, connect
to the virtual device and work, and load no stand-in more often than a twin
does: a program with only the imports allowed and the same manifest that ends
at its first instruction, whose loads the system makes while its libraries
start, before any code of the program runs (Wine's +loaddll log names every
library loaded, with its path).

usage: planted_library_test.py WINE_RUN EXE TWIN PROBE WORKDIR PREFIX STAND_IN.dll... [--each]
--each plants one stand-in at a time and lists only what the program loaded.
"""
import os
import re
import shutil
import subprocess
import sys
import time

from e2e_harness import *  # noqa: F401,F403

wine_run, exe, twin, probe_exe, workdir, prefix, *stand_ins = sys.argv[1:]
each = "--each" in stand_ins
stand_ins = [s for s in stand_ins if s != "--each"]
names = [os.path.splitext(os.path.basename(s))[0] for s in stand_ins]
folder = os.path.join(os.path.abspath(workdir), "program")
init(wine_run, prefix, workdir, os.path.join(folder, "hidled.exe"), probe_exe)
env = dict(ctx.env, WINEDEBUG="+loaddll", WINEDLLOVERRIDES=",".join(names) + "=n,b")
log_path = os.path.join(ctx.workdir, "loaddll.log")


def plant(libraries):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    shutil.copy(exe, ctx.exe)
    shutil.copy(twin, folder)
    for library in libraries:
        shutil.copy(library, folder)


def planted_loads(title):
    """How often each stand-in was loaded from the folder, by any process the
    start brought, and every path each name was loaded from."""
    with open(log_path, encoding="utf-8", errors="replace") as f:
        loads = re.findall(r'Loaded L"([^"]+)" at \S+: (\w+)', f.read())
    counts, seen = {}, {}
    for path, kind in loads:
        path = path.replace("\\\\", "\\")
        name = os.path.splitext(path.split("\\")[-1])[0].lower()
        if name in names:
            seen.setdefault(name, set()).add(f"{path} ({kind})")
            if path.lower().startswith("z:" + folder.replace("/", "\\").lower()):
                counts[name] = counts.get(name, 0) + 1
    print(title)
    for name in names:
        trace = os.path.join(folder, name + ".dll.loaded")
        traced = os.path.exists(trace)
        if traced:
            os.remove(trace)
        print(f"  {name}.dll: {counts.get(name, 0)} from beside the program{', trace left' if traced else ''};"
              f" {', '.join(sorted(seen.get(name, ()))) or 'not loaded'}")
    return counts


def run_twin():
    with open(log_path, "wb") as log:
        subprocess.run([ctx.wine_run, "--prefix", ctx.prefix, "--", os.path.join(folder, os.path.basename(twin))],
                       env=env, stderr=log, timeout=60)
    return planted_loads("the twin (what the system loads before a program's first instruction):")


def run_program(check_work):
    with open(log_path, "wb") as log:
        app, hwnd, status, _ = start_app(probe, env=env, stderr=log)
    if check_work:
        check(hwnd is not None and status == CONNECTED, "the program starts and connects")
        if hwnd is not None:
            click(*control(probe, hwnd, 2)["centre"])
            check(wait_outputs(probe) == ["00aa"], "a click reaches the device")
            probe.ask("report 0 0014")
            check(wait_text(probe, hwnd, 5, YES, 3000) is not None, "a report reaches the field")
    if hwnd is None:
        time.sleep(2)  # a program that shows no window has loaded what it loads by then
        app.kill()
    else:
        rc = close_app(probe, app, hwnd)
        if check_work:
            check(rc == 0, f"it closes with exit code 0 (saw {rc})")
    app.wait()
    return planted_loads("the program:")


try:
    init_prefix()
    probe = Probe()
    check(probe.ask("simulator 30000") == "ok" and probe.ask("unplugall") == "ok" and probe.ask("plug 0") == "ok",
          "the virtual device is plugged in")
    if each:
        for stand_in in stand_ins:
            plant([stand_in])
            print(f"{os.path.basename(stand_in)} alone:")
            run_program(False)
    else:
        plant(stand_ins)
        system = run_twin()
        program = run_program(True)
        more = sorted(f"{name} ({program[name]} > {system.get(name, 0)})" for name in program
                      if program[name] > system.get(name, 0))
        check(not more, f"the program loads no stand-in beyond the system's own start-up (more: {', '.join(more) or 'none'})")
    probe.ask("unplugall")
    probe.close()
finally:
    finish()

conclude()
