#!/usr/bin/env python3
"""The chaos run: the program's own code, built with the fault layer in front of
its HID calls (hidled_chaos), against the virtual device. Each cycle is a
chaos period (faults on; the device plugged and unplugged at random intervals,
reports streaming, real clicks) and then a quiet period (faults off for more
than two watch periods, the device left in a known state), after which the
program must show that state, follow reports and pass each click to the device
exactly once. Throughout, the window must answer within 1 s. Prints figures;
exits non-zero only if a check failed or the run could not be made.

usage: chaos.py WINE_RUN BUILD_DIR PREFIX ARCH [--seed N] [--seconds N]
"""
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "app"))
from e2e_harness import *  # noqa: E402,F401,F403  (the shared vocabulary of these scripts)

args = sys.argv[1:]


def option(name, default):
    if name in args:
        at = args.index(name)
        value = args[at + 1]
        del args[at:at + 2]
        return int(value)
    return default


seed = option("--seed", int(time.time()) % 1000000)
seconds = option("--seconds", 480)
wine_run, build, prefix, arch = args[:4]
exe = os.path.join(build, "bench", "hidled_chaos.exe")
init(wine_run, prefix, os.path.join(build, "chaos-run"), exe, os.path.join(build, "bench", "bench_probe.exe"))
rng = random.Random(seed)
# Fault rates per call while faults are on; the watch's walk over every
# interface makes most of the calls. gap: the chance, every 50 ms, that one library
# goes missing for 0.1-0.6 s.
# The GUID, the class query and the enumeration each cut a whole walk short,
# so they fail more rarely than the calls made per interface.
RATES = ("rate=0.4;HidD_GetHidGuid=0.1;SetupDiGetClassDevsA=0.1;SetupDiEnumDeviceInterfaces=0.03;"
         "ReadFile=0.5;WriteFile=0.5;gap=0.004")
NOT_FOUND = (START_TEXT, LOST_TEXT)
OTHER_DEVICES = 12
PING_LIMIT_MS = 1000
QUIET_S = 0.45  # more than two watch periods of 200 ms
# Handles and memory may move a little with Wine's own caches; more is a leak.
HANDLE_SLACK = 2
MEMORY_SLACK_KB = 1024

crashes = hangs = 0
ping_max = 0.0
wrong = []      # wrong states after quiet periods
clicks = {"checked": 0, "lost": 0, "doubled": 0}
cycles = 0
faults_total = 0


def alive(app):
    global crashes
    if app.poll() is not None:
        crashes += 1
        raise RuntimeError(f"the program ended during the run, exit code {app.returncode:#x}")


def ping(app, hwnd):
    global hangs, ping_max
    words = probe.ask(f"ping {hwnd} {PING_LIMIT_MS}").split()
    if words[0] == "ok":
        ping_max = max(ping_max, float(words[1]))
    else:
        alive(app)
        hangs += 1


def dismiss_box(pid, timeout_ms=0):
    """Clicks away the "no connection" box a click without a device brings up."""
    words = probe.ask(f"msgbox {pid} {timeout_ms}").split()
    if words[0] == "msgbox" and len(words) >= 6:
        click(int(words[4]), int(words[5]))
        time.sleep(0.05)
        return True
    return False


def chaos_period(app, hwnd, pid, buttons, length_s):
    """Storms of faults with calm spells between them, in which the program can
    open the device and read."""
    streaming = rng.random() < 0.7
    if streaming:
        probe.ask("stream 0 on")
    end = time.time() + length_s
    storm, switch = False, 0
    while time.time() < end:
        if time.time() >= switch:
            storm = not storm
            probe.ask(f"chaos {pid} {'on' if storm else 'off'}")
            switch = time.time() + (rng.uniform(1, 3) if storm else rng.uniform(0.2, 0.6))
        roll = rng.random()
        if roll < 0.15:
            probe.ask("unplug 0 nowait" if rng.random() < 0.5 else "plug 0 nowait")
        elif roll < 0.55:
            probe.ask(f"report 0 00{rng.choice((0x14, 0x28)):02x}")
        elif roll < 0.8:
            click(*buttons[rng.choice((2, 3))])
            dismiss_box(pid, 100)
        elif roll < 0.9:
            probe.ask("stream 0 off" if streaming else "stream 0 on")
            streaming = not streaming
        ping(app, hwnd)
        time.sleep(rng.uniform(0.02, 0.3))
    if streaming:
        probe.ask("stream 0 off")
    probe.ask(f"chaos {pid} off")


def click_reaches_device_once(app, hwnd, pid, buttons, number, want):
    outputs(probe)  # what earlier clicks left
    click(*buttons[number])
    got = wait_outputs(probe, 2)
    time.sleep(0.3)
    got += outputs(probe)
    clicks["checked"] += 1
    if got.count(want) == 0:
        clicks["lost"] += 1
    elif len(got) > 1:
        clicks["doubled"] += 1
    if got != [want]:
        dismiss_box(pid)
        return f"click on button {number} gave the device {got or 'nothing'}, expected [{want}]"
    return None


def quiet_check(app, hwnd, pid, buttons):
    """Faults off, the device in a state of our choosing; then the program must show it."""
    plugged = rng.random() < 0.7
    # A plug or unplug of a slot already in that state fails at the bus.
    was_plugged = probe.ask("device 0").split()[1:2] == ["1"]
    answer = "ok"
    if was_plugged and not plugged:
        answer = probe.ask("unplug 0")
    elif plugged and not was_plugged:
        answer = probe.ask("plug 0")
    elif plugged and rng.random() < 0.3:
        # Gone and back between two watch passes: the bus takes the plug once
        # the removal is through.
        answer = probe.ask("unplug 0 nowait")
        deadline = time.time() + 3
        while answer == "ok" and probe.ask("plug 0 nowait") != "ok":
            if time.time() > deadline:
                answer = "the device could not be plugged again"
            time.sleep(0.01)
    time.sleep(QUIET_S)
    while dismiss_box(pid):
        pass
    problems = []
    if answer != "ok":
        problems.append(f"the device did not become {'present' if plugged else 'absent'} ({answer})")
    status = [CONNECTED] if plugged else list(NOT_FOUND)
    deadline = time.time() + 3
    while text(probe, hwnd, 1) not in status and time.time() < deadline:
        time.sleep(0.05)
    shown = text(probe, hwnd, 1)
    if shown not in status:
        problems.append(f"status {shown.decode('utf-16-le')!r} with the device {'plugged' if plugged else 'unplugged'}")
    if plugged:
        for report, want in (("0014", YES), ("0028", NO)):
            probe.ask(f"report 0 {report}")
            if wait_text(probe, hwnd, 5, want, 2000) is None:
                problems.append(f"field {text(probe, hwnd, 5).decode('utf-16-le')!r} after report {report}, "
                                f"expected {want.decode('utf-16-le')!r}")
        for number, want in ((2, "00aa"), (3, "0055")):
            problem = click_reaches_device_once(app, hwnd, pid, buttons, number, want)
            if problem:
                problems.append(problem)
    elif wait_text(probe, hwnd, 5, NO, 2000) is None:
        problems.append(f"field {text(probe, hwnd, 5).decode('utf-16-le')!r} with the device unplugged")
    ping(app, hwnd)
    for p in problems:
        wrong.append(f"cycle {cycles}: {p}")
        print(f"  cycle {cycles}: {p}", flush=True)
    return plugged


def settled_resources(hwnd, pid, app_linux):
    """Handles and memory with the device plugged in and the program settled,
    so that the figures before and after count the same device handles."""
    if probe.ask("device 0").split()[1:2] != ["1"]:
        probe.ask("plug 0")
    wait_text(probe, hwnd, 1, CONNECTED, 3000)
    time.sleep(1)
    return resources(probe, pid, app_linux)


def counts(pid):
    words = probe.ask(f"chaos {pid} counts").split()
    if words[0] != "counts":
        return None, {}
    table = {}
    for word in words[2:]:
        name, value = word.split("=")
        table[name] = tuple(int(v) for v in value.split("/"))
    return int(words[1].split("=")[1]), table


status = 1
try:
    print(f"chaos run: {arch}, seed {seed}, {seconds} s of cycles, rates {RATES}", flush=True)
    print(f"product exe: {os.path.getsize(os.path.join(build, 'app', 'hidled.exe'))} bytes", flush=True)
    init_prefix()
    probe = Probe()
    assert probe.ask("simulator 30000") == "ok", "the simulator does not answer"
    probe.ask("unplugall")
    # Other HID devices make the watch's walk longer, as on a real system.
    for slot in range(1, OTHER_DEVICES + 1):
        assert probe.ask(f"plugother {slot}") == "ok", "a device of another product does not plug"
    assert probe.ask("plug 0") == "ok", "the device does not plug"
    ctx.env["HIDLED_CHAOS"] = f"seed={seed};{RATES}"
    app, hwnd, _, words = start_app(probe)
    assert hwnd, f"the program's window did not show: {words}"
    pid = probe.ask(f"pid {hwnd}").split()[1]
    app_linux = linux_pids("hidled_chaos.exe")
    app_linux = app_linux[0] if len(app_linux) == 1 else None
    buttons = {n: control(probe, hwnd, n)["centre"] for n in (2, 3)}
    assert wait_text(probe, hwnd, 1, CONNECTED, 5000) is not None, "not connected at the start"
    # The first cycle warms up what the program and Wine allocate once; the
    # figures before are taken after it.
    chaos_period(app, hwnd, pid, buttons, 3)
    quiet_check(app, hwnd, pid, buttons)
    handles_before, memory_before = settled_resources(hwnd, pid, app_linux)
    t0 = time.time()
    while time.time() - t0 < seconds:
        cycles += 1
        chaos_period(app, hwnd, pid, buttons, rng.uniform(5, 10))
        alive(app)
        plugged = quiet_check(app, hwnd, pid, buttons)
        print(f"cycle {cycles}: {time.time() - t0:.0f} s, device {'plugged' if plugged else 'unplugged'}, "
              f"{len(wrong)} wrong states so far", flush=True)
    handles_after, memory_after = settled_resources(hwnd, pid, app_linux)
    seed_seen, table = counts(pid)
    rc = close_app(probe, app, hwnd)
    if isinstance(rc, int) and rc >= 0xC0000000:
        crashes += 1
    faults_total = sum(v[1] for v in table.values())

    print(f"\nseed {seed} (the program saw {seed_seen}), {cycles} cycles in {time.time() - t0:.0f} s")
    print(f"{'fault point':34} {'calls (faults on)':>18} {'faults':>8}")
    for name, (calls, injected) in table.items():
        print(f"{name:34} {calls:18} {injected:8}")
    print(f"{'total':34} {sum(v[0] for v in table.values()):18} {faults_total:8}")
    print()
    check(faults_total >= 10000, f"faults injected: {faults_total} (at least 10000)")
    check(crashes == 0, f"crashes: {crashes}")
    check(hangs == 0, f"hangs (no answer within {PING_LIMIT_MS} ms): {hangs}; slowest answer {ping_max:.0f} ms")
    check(rc == 0, f"exit code when closed with the close box: {rc}")
    check(not wrong, f"wrong states after quiet periods: {len(wrong)} of {cycles + 1} periods")
    for w in wrong:
        print(f"     {w}")
    check(clicks["lost"] == 0 and clicks["doubled"] == 0,
          f"clicks after quiet periods: {clicks['checked']}, lost {clicks['lost']}, doubled {clicks['doubled']}")
    check(None not in (handles_before, handles_after) and handles_after <= handles_before + HANDLE_SLACK,
          f"handles before -> after: {handles_before} -> {handles_after} (flat within {HANDLE_SLACK})")
    check(None not in (memory_before, memory_after) and memory_after <= memory_before + MEMORY_SLACK_KB,
          f"anonymous resident memory (RssAnon, kB) before -> after: {memory_before} -> {memory_after} "
          f"(flat within {MEMORY_SLACK_KB} kB)")
    status = 1 if failures else 0
except (AssertionError, RuntimeError) as e:
    print(f"the run could not be made: {e}", flush=True)
    print(f"crashes {crashes}, hangs {hangs}, wrong states {len(wrong)}: {wrong}", flush=True)
finally:
    finish()
print(f"chaos run {'passed' if status == 0 else 'FAILED'}")
sys.exit(status)
