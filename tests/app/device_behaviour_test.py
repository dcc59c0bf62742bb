#!/usr/bin/env python3
"""The real program against devices that behave as real firmware may: one that
sends its state at a fixed interval whether it changed or not, one that leaves
output reports unanswered, and one whose reports are longer than two bytes.
The device is driven through the simulator's command line, the window watched
and clicked from outside as in app_e2e_test.py.

usage: device_behaviour_test.py WINE_RUN EXE PROBE WORKDIR PREFIX HIDSIM_EXE
"""
import statistics
import sys
import time

from e2e_harness import *  # noqa: F401,F403  (the shared vocabulary of these scripts)

wine_run, exe, probe_exe, workdir, prefix, hidsim_exe = sys.argv[1:7]
init(wine_run, prefix, workdir, exe, probe_exe)


def hidsim(*args):
    """A simulator command; true when it was done, after saying what it answered when not."""
    rc, said = sim(hidsim_exe, *args)
    if rc != 0:
        print(f"hidsim {' '.join(args)}: exit code {rc}: {said}", flush=True)
    return rc == 0


def button_report(pressed, length):
    return ("0014" if pressed else "0028") + "00" * (length - 2)


def field_lags(hwnd, changes, length=2):
    """ms from each change of the device's state to the field's new text (None:
    not within a second), the button pressed and let go in turn."""
    lags = []
    for i in range(changes):
        pressed = text(probe, hwnd, 5) != YES
        t0 = time.perf_counter()
        probe.ask(f"report 0 {button_report(pressed, length)}")
        shown = wait_text(probe, hwnd, 5, YES if pressed else NO, 1000)
        lags.append((time.perf_counter() - t0) * 1000 if shown is not None else None)
        time.sleep(0.15)  # a short press, as a person's; the device keeps streaming meanwhile
    return lags


def led_becomes(want, timeout_s=3):
    deadline = time.time() + timeout_s
    while time.time() < deadline:
        if probe.ask("device 0").split()[3] == want:
            return True
        time.sleep(0.02)
    return False


def streaming(hwnd):
    """The class driver queues 32 reports per handle: a reader that lets them
    pile up shows each change only after the queue's worth of old states."""
    for interval in (10, 1):
        check(hidsim("stream", str(interval)), f"the device streams its state every {interval} ms")
        time.sleep(0.5)  # long enough for a queue to fill
        lags = field_lags(hwnd, 5)
        seen = [round(v) if v is not None else "> 1000" for v in lags]
        check(None not in lags and statistics.median(lags) <= 120 and max(lags) <= 250,
              f"streaming every {interval} ms the field follows: median of 5 changes <= 120 ms, each <= 250 ms "
              f"(saw {seen} ms)")
    check(hidsim("stream", "0"), "back to reports on change only")


def held_outputs(hwnd, pid, buttons):
    check(hidsim("hold"), "the device holds output reports")
    click(*buttons[2]["centre"])
    words = probe.ask(f"answers {hwnd} 3000 2500").split()
    longest, ended, unanswered = map(int, words[1:4])
    check(ended <= 1500, f"a click whose report the device holds returns within 1.5 s (answered again after {ended} ms)")
    check(longest <= 2000 and unanswered == 0,
          f"the window answers throughout: longest unanswered {longest} ms, {unanswered} messages timed out at 2.5 s")
    check(probe.ask(f"msgbox {pid} 500") == "none", "no warning box for the held report")
    check(probe.ask("device 0").split()[3] != "on", "the held report did not switch the LED")
    check(hidsim("unhold"), "the device fails the held reports and takes new ones")
    time.sleep(0.5)  # the failed write reopens at the next watch pass
    click(*buttons[2]["centre"])
    check(led_becomes("on"), f"after it Зажечь светодиод reaches the device ({probe.ask('device 0')})")
    click(*buttons[3]["centre"])
    check(led_becomes("off"), f"and Погасить светодиод too ({probe.ask('device 0')})")


def long_reports(hwnd, buttons):
    check(probe.ask("unplug 0") == "ok", "the two-byte device is unplugged")
    check(hidsim("plug", "--input-length", "9", "--output-length", "9"), "a device with 9-byte reports is plugged")
    check(wait_text(probe, hwnd, 1, CONNECTED, 5000) is not None, "it connects")
    check(press_until_shown(probe, hwnd, button_report(True, 9), YES) is not None, "a 9-byte press shows Да")
    probe.ask(f"report 0 {button_report(False, 9)}")
    check(wait_text(probe, hwnd, 5, NO, 3000) is not None, "a 9-byte release shows Нет")
    outputs(probe)
    for number, command in ((2, "aa"), (3, "55")):
        click(*buttons[number]["centre"])
        got = wait_outputs(probe)
        want = "00" + command + "00" * 7
        check(got == [want], f"button {number} sends the 9-byte report {want} (saw {got})")


try:
    init_prefix()
    probe = Probe()
    check(probe.ask("simulator 30000") == "ok" and probe.ask("unplugall") == "ok", "the virtual device's bus answers")
    check(probe.ask("plug 0") == "ok", "the device is plugged in")
    app, hwnd, first_status, _ = start_app(probe)
    check(hwnd is not None and first_status == CONNECTED, "the program starts connected")
    if hwnd is None:
        raise SystemExit
    pid = probe.ask(f"pid {hwnd}").split()[1]
    buttons = {n: control(probe, hwnd, n) for n in (2, 3)}
    streaming(hwnd)
    held_outputs(hwnd, pid, buttons)
    long_reports(hwnd, buttons)
    rc = close_app(probe, app, hwnd)
    check(rc == 0, f"the window closes with exit code 0 (saw {rc})")
    probe.ask("unplugall")
    probe.close()
except SystemExit:
    pass
finally:
    finish()

conclude()
