#!/usr/bin/env python3
"""A copy of the program in a folder of its own, beside stand-ins named like
the libraries that it, or the common controls on its behalf, load by name and
that are no Known DLLs, each of which leaves a trace file when it runs; Wine
is told to prefer them, as Windows' search order prefers a library in the
program's folder. The program must start, connect to the virtual device and
work, load none of the stand-ins, and still get the version 6 common controls
its manifest asks for (Wine's +loaddll log names every library loaded, with
its path).

usage: planted_library_test.py WINE_RUN EXE PROBE WORKDIR PREFIX STAND_IN.dll... [--each]
--each plants one stand-in at a time and lists only what the program loaded.
"""
import os
import re
import shutil
import sys
import time

from e2e_harness import *  # noqa: F401,F403

wine_run, exe, probe_exe, workdir, prefix, *stand_ins = sys.argv[1:]
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
    for library in libraries:
        shutil.copy(library, folder)


def loads():
    """Every library the run loaded, by any process the start brought: its
    path, its name in lower case, and native or builtin."""
    with open(log_path, encoding="utf-8", errors="replace") as f:
        found = re.findall(r'Loaded L"([^"]+)" at \S+: (\w+)', f.read())
    return [(path.replace("\\\\", "\\"), os.path.splitext(path.split("\\")[-1])[0].lower(), kind)
            for path, kind in found]


def planted_loads(loaded):
    """Prints each stand-in's loads and returns the names of those loaded from
    beside the program or that left their trace."""
    beside = "z:" + folder.replace("/", "\\").lower()
    planted = []
    print("the program:")
    for name in names:
        paths = sorted({f"{path} ({kind})" for path, n, kind in loaded if n == name})
        count = sum(1 for path, n, _ in loaded if n == name and path.lower().startswith(beside))
        trace = os.path.join(folder, name + ".dll.loaded")
        traced = os.path.exists(trace)
        if traced:
            os.remove(trace)
        if count or traced:
            planted.append(name)
        print(f"  {name}.dll: {count} from beside the program{', trace left' if traced else ''};"
              f" {', '.join(paths) or 'not loaded'}")
    return planted


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
    return loads()


try:
    init_prefix()
    probe = Probe()
    check(probe.ask("simulator 30000") == "ok" and probe.ask("unplugall") == "ok" and probe.ask("plug 0") == "ok",
          "the virtual device is plugged in")
    if each:
        for stand_in in stand_ins:
            plant([stand_in])
            print(f"{os.path.basename(stand_in)} alone:")
            planted_loads(run_program(False))
    else:
        plant(stand_ins)
        loaded = run_program(True)
        planted = planted_loads(loaded)
        check(not planted, f"no stand-in is loaded from beside the program (loaded: {', '.join(planted) or 'none'})")
        # The common controls' side-by-side assembly names its version in its
        # folder's name; the system folder's copy is version 5.
        controls = [path for path, name, _ in loaded if name == "comctl32"]
        check(len(controls) == 1 and re.search(r"\\winsxs\\[^\\]*common-controls[^\\]*_6\.0\.", controls[0].lower()),
              f"the common controls are version 6, from their side-by-side assembly (loaded: {controls or 'none'})")
    probe.ask("unplugall")
    probe.close()
finally:
    finish()

conclude()
