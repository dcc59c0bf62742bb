#!/usr/bin/env python3
"""Rapid unplug/plug of the virtual device while the real program is open, in
rounds, with reports sent between them. Not a test: it prints figures and
asserts nothing but that each step could be made (exit status 1 only when the
run could not be carried out).

usage: rapid_cycles.py WINE_RUN BUILD_DIR PREFIX [--rounds N] [--cycles N] [--seed N]

Each round: CYCLES times "unplug 0 nowait" / "plug 0 nowait" with random gaps
(0-20 ms, seeded), then a waiting unplug and plug, then the button pressed
(report 00 14, repeated every 250 ms for up to 3 s) and let go (00 28). Per
round and in total: the answers that were not "ok", whether the status line
says connected, whether a report reached field 5; at the end whether Wine's
device host is still running, whether the device still answers, and the
program's exit code when it is closed.
"""
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "app"))
from e2e_harness import *  # noqa: E402,F401,F403  (the shared vocabulary of these scripts)


def option(args, name, default):
    if name not in args:
        return default
    at = args.index(name)
    value = int(args[at + 1])
    del args[at:at + 2]
    return value


args = sys.argv[1:]
rounds = option(args, "--rounds", 25)
cycles = option(args, "--cycles", 50)
seed = option(args, "--seed", int(time.time()) % 100000)
if len(args) != 3:
    raise SystemExit(__doc__)
wine_run, build, prefix = args
exe = os.path.join(build, "app", "hidled.exe")
init(wine_run, prefix, os.path.join(build, "rapid-cycles"), exe, os.path.join(build, "tests", "app", "app_probe.exe"))
rng = random.Random(seed)
print(f"seed {seed}: {rounds} rounds of {cycles} unplug/plug cycles (nowait, 0-20 ms gaps), each followed by a "
      "waiting unplug and plug and a press and release", flush=True)

app = None
could_not = None
try:
    init_prefix()
    probe = Probe()
    if probe.ask("simulator 30000") != "ok":
        raise SystemExit("the simulator does not answer")
    probe.ask("unplugall")
    if probe.ask("plug 0") != "ok":
        raise SystemExit("the device could not be plugged before the program started")
    app, hwnd, _, words = start_app(probe)
    if hwnd is None:
        raise SystemExit(f"the program's window did not appear ({' '.join(words)})")
    if wait_text(probe, hwnd, 1, CONNECTED, 5000) is None:
        print("the status line does not say connected before the first round", flush=True)

    fails_total = disconnected_rounds = unreached_rounds = 0
    for number in range(1, rounds + 1):
        answers = []
        t0 = time.time()
        for _ in range(cycles):
            answers.append(("unplug", probe.ask("unplug 0 nowait")))
            time.sleep(rng.uniform(0, 0.02))
            answers.append(("plug", probe.ask("plug 0 nowait")))
            time.sleep(rng.uniform(0, 0.02))
        seconds = time.time() - t0
        answers.append(("waiting unplug", probe.ask("unplug 0")))
        answers.append(("waiting plug", probe.ask("plug 0")))
        bad = [(i, what, answer) for i, (what, answer) in enumerate(answers) if answer != "ok"]
        connected = wait_text(probe, hwnd, 1, CONNECTED, 5000) is not None
        t1 = time.time()
        presses = press_until_shown(probe, hwnd, "0014", YES)
        reach_s = time.time() - t1
        released = presses is not None and press_until_shown(probe, hwnd, "0028", NO) is not None
        fails_total += len(bad)
        disconnected_rounds += not connected
        unreached_rounds += not released
        where = "; ".join(f"#{i} {what}: {answer}" for i, what, answer in bad[:4])
        print(f"round {number:2}: {len(bad)} fail of {len(answers)} answers ({seconds:.1f} s)"
              f"{' [' + where + (' ...' if len(bad) > 4 else '') + ']' if bad else ''}; "
              f"status {'connected' if connected else 'NOT connected'}; "
              + (f"report reached the field ({presses} presses, {reach_s:.2f} s)" if released
                 else "report did not reach the field")
              + f"; {probe.ask('device 0')}", flush=True)

    host = linux_pids("winedevice.exe")
    status = probe.ask("device 0").split()
    answers_now = status[0] == "device" and probe.ask("report 0 0028") == "ok"
    running = app.poll() is None
    rc = close_app(probe, app, hwnd) if running else app.returncode
    app = None
    print(f"total: {fails_total} fail of {rounds * (2 * cycles + 2)} answers; status not connected after "
          f"{disconnected_rounds} of {rounds} rounds; report did not reach the field after {unreached_rounds} of "
          f"{rounds} rounds", flush=True)
    print(f"device host (winedevice.exe in this prefix): {'alive, pid ' + str(host) if host else 'GONE'}; "
          f"device {'answers (' + ' '.join(status) + ')' if answers_now else 'does not answer'}; "
          f"program {'exit code ' + str(rc) if running else 'had already ended, exit code ' + str(rc)}", flush=True)
    probe.ask("unplugall")
    probe.close()
except SystemExit as stop:
    could_not = str(stop)
finally:
    if app is not None and app.poll() is None:
        app.kill()
    finish()

if could_not:
    print(f"could not carry out the run: {could_not}", flush=True)
    sys.exit(1)
