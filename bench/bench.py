#!/usr/bin/env python3
"""Measures the program under Wine next to baselines on the same machine in the
same run, and writes the figures to a Markdown file. Not a test: it prints
figures and asserts nothing but that each step could be made.

usage: bench.py WINE_RUN BUILD_DIR PREFIX OUT_MD COMMAND_LINE [ARCH] [--exe-also EXE] [--before REV EXE]
                [--watch-prefixes SMALL MANY] [--quick | --devices | --watch]

--exe-also names the other architecture's build of the program, whose size is
reported beside this one's; --before names an earlier revision and its build of
the program, measured beside this one against misbehaving devices and in the
device watch's section; --watch-prefixes names two fresh simulator prefixes for
that section, one for up to 64 other devices and one for hundreds (which slow
every later plug in a prefix); --quick measures the exe and the start-up only;
--devices only the misbehaving devices; --watch only the device watch, whose
section then replaces its old one in OUT_MD. BENCH_SHORT=1 shortens the device
watch's runs to try the script; its figures are then not written.
"""
import datetime
import os
import platform
import random
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "app"))
from e2e_harness import *  # noqa: E402,F401,F403  (the shared vocabulary of these scripts)

args = sys.argv[1:]
quick = "--quick" in args
if quick:
    args.remove("--quick")
devices_only = "--devices" in args
if devices_only:
    args.remove("--devices")
watch_only = "--watch" in args
if watch_only:
    args.remove("--watch")
short = os.environ.get("BENCH_SHORT") == "1"
watch_prefixes = None
if "--watch-prefixes" in args:
    at = args.index("--watch-prefixes")
    watch_prefixes = (args[at + 1], args[at + 2])
    del args[at:at + 3]
other_exes = []
while "--exe-also" in args:
    at = args.index("--exe-also")
    other_exes.append(args[at + 1])
    del args[at:at + 2]
before = None
if "--before" in args:
    at = args.index("--before")
    before = (args[at + 1], args[at + 2])
    del args[at:at + 3]
wine_run, build, prefix, out_md, command_line = args[:5]
arch = args[5] if len(args) > 5 else "i686"
x86_64 = arch == "x86_64"
exe = os.path.join(build, "app", "hidled.exe")
bare = os.path.join(build, "bench", "bare_window.exe")
watch_bench = os.path.join(build, "bench", "watch_bench.exe")
hidsim_exe = os.path.join(build, "tools", "hidsim", "hidsim.exe")
init(wine_run, prefix, os.path.join(build, "bench-run"), exe, os.path.join(build, "bench", "bench_probe.exe"))
BARE_TITLE = "Bare window".encode("utf-16-le")
rng = random.Random(20261207)
lines = []


def out(text=""):
    print(text, flush=True)
    lines.append(text)


def median(samples):
    return percentile(samples, 50)


def start_and_wait_visible(path, title):
    """Starts a program; ms from just before its start until its window is visible, and its window."""
    probe.p.stdin.write(f"waitvisible {title.hex()} 30000\n".encode())
    probe.p.stdin.flush()
    proc = wine(path)
    words = probe.p.stdout.readline().decode().split()
    hwnd = probe.ask(f"window {title.hex()} 1000").split()
    return proc, (float(words[1]) if words[0] == "visible" else None), (hwnd[1] if hwnd[0] == "window" else None)


# Wine's relay trace of only these calls marks the start-up's steps in the
# shipped exe itself, which carries no marks of its own.
RELAY_MARKS = ("kernel32.HeapCreate;user32.RegisterClassA;user32.CreateWindowExA;kernel32.LoadLibraryExA;"
               "setupapi.SetupDiGetClassDevsA;user32.ShowWindow")


def startup_steps(path, title):
    """One start under the relay trace: ms from the exe's load to each step's
    first mark on its main thread, and ms each library's start-up routine took."""
    log_path = os.path.join(ctx.workdir, "startup-trace.log")
    with open(log_path, "wb") as log:
        proc, hwnd, _, _ = start_app(probe, path, title, stdout=subprocess.DEVNULL, stderr=log,
                                     env=dict(ctx.env, WINEDEBUG="+timestamp,+loaddll,+relay"))
        if hwnd:
            close_app(probe, proc, hwnd)
        else:
            proc.kill()
            proc.wait()
    exe_name = os.path.basename(path).lower()
    marks, attach, started = {}, {}, {}
    thread = base = load = None
    for line in open(log_path, "rb").read().decode("latin-1").splitlines():
        head = line.split(":", 2)
        try:
            t = float(head[0]) * 1000
        except ValueError:
            continue
        if len(head) < 3:
            continue
        rest = head[2]
        if thread is None:
            if "Loaded" in rest and exe_name in rest.lower():
                thread, load = head[1], t
                base = int(rest.split(" at ")[1].split(":")[0], 16)
            continue
        if head[1] != thread:
            continue
        if "PROCESS_ATTACH" in rest and ' L"' in rest:
            dll = rest.split(' L"')[1].split('"')[0].lower()
            if rest.startswith("Call"):
                started[dll] = t
            elif dll in started:
                attach[dll] = t - started[dll]
            continue
        ret = rest.rsplit("ret=", 1)
        if not rest.startswith(("Call ", "Ret ")) or len(ret) < 2:
            continue
        if not 0 <= int(ret[1].split()[0], 16) - base < 0x1000000:
            continue  # a call from a library, not from the exe
        name = rest.split()[1].split("(")[0].split(".")[-1]
        if rest.startswith("Ret "):
            if name == "ShowWindow":
                marks.setdefault("shown", t)
            continue
        marks.setdefault("entry", t)
        if name == "LoadLibraryExA" and '\\hid"' in rest:  # by its path in the system folder
            marks.setdefault("hid", t)
        elif name == "CreateWindowExA" and ("WindowClass_" in rest or "BareWindow" in rest):
            marks.setdefault("window", t)
        elif name == "SetupDiGetClassDevsA":
            marks.setdefault("watch", t)
        elif name == "ShowWindow":
            marks.setdefault("show", t)
    marks["load"] = load
    return {k: v - load for k, v in marks.items()}, attach


def field_text(hwnd):
    return text(probe, hwnd, 5)


def inputs_total():
    return int(probe.ask("device 0").split()[5])


def start_connected(path):
    proc, _, hwnd = start_and_wait_visible(path, TITLE)
    if hwnd is None or wait_text(probe, hwnd, 1, CONNECTED, 5000) is None:
        raise SystemExit(f"{path} did not start connected")
    return proc, hwnd


def stats(samples):
    if not samples:
        return "- | - | - (failed)"
    return f"{percentile(samples, 50):.1f} | {percentile(samples, 99):.1f} | {max(samples):.1f}"


STREAM_MODES = (0, 10, 8, 4, 1)
HOLD_LIMIT_MS = 5000


def misbehaving_devices(builds):
    """Both builds against a device that streams its state, one that holds
    output reports, and their exit with a quiet device plugged."""
    lags, rates, gaps, exits = {}, {}, {}, {}
    probe.ask("unplugall")
    probe.ask("plug 0")
    for name, path in builds:
        proc, hwnd = start_connected(path)
        for mode in STREAM_MODES:
            sim(hidsim_exe, "stream", str(mode))
            time.sleep(0.5)  # long enough for the class driver's queue to fill, if it does
            t0, before_count = time.perf_counter(), inputs_total()
            time.sleep(2)
            rates[name, mode] = (inputs_total() - before_count) / (time.perf_counter() - t0)
            words = probe.ask(f"inputlatency {hwnd} 0 20 150").split()
            lags[name, mode] = [float(v) for v in words[1:]] if words[0] == "latency" else []
        sim(hidsim_exe, "stream", "0")
        close_app(probe, proc, hwnd)
    for name, path in builds:
        proc, hwnd = start_connected(path)
        if sim(hidsim_exe, "hold")[0] == 0:
            click(*control(probe, hwnd, 2)["centre"])
            words = probe.ask(f"answers {hwnd} {HOLD_LIMIT_MS + 1000} {HOLD_LIMIT_MS}").split()
            gaps[name] = (int(words[1]), int(words[3]))
        sim(hidsim_exe, "unhold")
        probe.ask(f"answers {hwnd} 100 10000")
        close_app(probe, proc, hwnd)
    for _ in range(10):
        for name, path in builds:
            proc, hwnd = start_connected(path)
            time.sleep(0.3)
            words = probe.ask(f"closetime {hwnd} 10000").split()
            exits.setdefault(name, []).extend([float(words[1])] if words[0] == "closed" else [])
            try:
                proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                proc.kill()
    probe.ask("unplugall")
    names = [name for name, _ in builds]
    out("## A device that sends its state at a fixed interval")
    out()
    out("The device sends its current input report every N ms whether it changed or not, as firmware polled by "
        "the host does (on change: only when it changes). Lag: ms from just before the probe hands the device "
        "a change (pressed and let go in turn, 150 ms after the last one showed) until the probe, polling the "
        "field's text back to back, sees the new text; 20 changes each, on the probe's one clock. Reports/s: "
        "the device's count of input reports the host took, over 2 s with no change.")
    out()
    out("| device | build | lag p50 ms | p99 ms | max ms | reports/s |")
    out("|---|---|---|---|---|---|")
    for mode in STREAM_MODES:
        for name in names:
            out(f"| {'on change' if mode == 0 else f'every {mode} ms'} | {name} | {stats(lags[name, mode])} | "
                f"{rates[name, mode]:.0f} |")
    out()
    out("## A device that holds output reports")
    out()
    out("The device leaves output reports unanswered; one click on Зажечь светодиод, then the probe sends "
        "WM_NULL back to back for 6 s, each waiting up to 5 s: the longest time the window left one unanswered.")
    out()
    out("| build | longest unanswered |")
    out("|---|---|")
    for name in names:
        if name not in gaps:
            out(f"| {name} | not measured: `hidsim hold` failed |")
            continue
        longest, unanswered = gaps[name]
        out(f"| {name} | {f'> {HOLD_LIMIT_MS / 1000:.0f} s (the probe gave up {unanswered} times)' if unanswered else f'{longest} ms'} |")
    out()
    out("## Exit with a quiet device plugged")
    out()
    out("ms from posting WM_CLOSE to the window until its process has ended, the device plugged and silent, "
        "0.3 s after the program connected; 10 runs each, interleaved.")
    out()
    out("| build | p50 ms | max ms |")
    out("|---|---|---|")
    for name in names:
        e = exits.get(name, [])
        out(f"| {name} | {median(e):.1f} | {max(e):.1f} |" if e else f"| {name} | - | - (failed) |")
    out()


# The device watch: the program beside the build before notifications drove it.
OTHER_FIRST_SLOT, OTHER_VID, OTHER_PID = 10, "4242", "2000"  # watch_bench's first slot and IDs
OTHERS = 64
WINE_ALONE = "no program: the interface opens / no longer opens"
NOTICED = "no program: a window of the probe's hears WM_DEVICECHANGE"
MANY = 96 if short else 256
IDLE_S = 4 if short else 20
PINGS_MS = 2000 if short else 10000
PRESENCE_N = 4 if short else 20
STARTS_N = 2 if short else 10
OPENS_S = 10 if short else 60
OPENS_CYCLES = 3
# Goals, % of one core above the bare window's run (program) or the server's
# during it, by other interfaces plugged; ms.
CPU_GOAL = {0: 0.1, OTHERS: 0.5}
PINGS_GOAL_P99, PRESENCE_GOAL_P90 = 20, 50
DEVICE_PATH_MARK = "vid_1234&pid_0001"


def progress(what):
    print(f"device watch: {what}", file=sys.stderr, flush=True)


def switch_prefix(path):
    """Leaves this run's prefix (its server ends, and with it every virtual
    device) for another, with a probe of its own there."""
    global probe
    if probe:
        probe.close()
    kill_server()
    ctx.prefix = os.path.abspath(path)
    init_prefix()
    probe = Probe()
    if probe.ask("simulator 30000") != "ok" or probe.ask("unplugall") != "ok":
        raise SystemExit(f"the simulator does not answer in {path}")


def plug_others(count):
    """Plugs count devices of other IDs after the ones plugged (one vendor and
    product, a serial of their own each); seconds it took."""
    t0 = time.time()
    # Each first plug takes Wine a while, and later ones longer: 256 took over 90 s here.
    rc, said = sim(hidsim_exe, "plug", "-d", str(OTHER_FIRST_SLOT), "--count", str(count), "--vid", OTHER_VID,
                   "--pid", OTHER_PID, timeout=20 * 60)
    if rc != 0:
        raise SystemExit(f"plugging {count} other devices failed: {said}")
    return time.time() - t0


def set_device(present):
    if (probe.ask("device 0").split()[1:2] == ["1"]) == present:
        return
    if probe.ask("plug 0" if present else "unplug 0") != "ok":
        raise SystemExit(f"the device could not be {'plugged' if present else 'unplugged'}")


def quiet_run(path, title, present, cpu, ping):
    """One instance left alone: its CPU and the Wine server's over IDLE_S (when
    cpu), then its answers to WM_NULL over PINGS_MS (when ping)."""
    proc, _, hwnd = start_and_wait_visible(path, title)
    if hwnd is None:
        raise SystemExit(f"{path} showed no window")
    if present and title == TITLE and wait_text(probe, hwnd, 1, CONNECTED, 10000) is None:
        raise SystemExit(f"{path} did not connect")
    time.sleep(3)  # past the start's walks
    result = {}
    if cpu:
        mine = linux_pids(os.path.basename(path))
        server, host = server_pids(), linux_pids("winedevice.exe")
        if len(mine) != 1 or not server:
            raise SystemExit(f"expected one {path} and a server, found {mine} {server}")
        used = idle_cpu(mine + server + host, IDLE_S)
        result = {"program": used[mine[0]], "server": sum(used[p] for p in server),
                  "host": sum(used[p] for p in host), "machine": used["machine"]}
    if ping:
        result["pings"], result["unanswered"] = pings(probe, hwnd, PINGS_MS)
    close_app(probe, proc, hwnd)
    return result


def presence_run(path):
    """ms from plug to the connected text and from unplug to the not-found text,
    PRESENCE_N each in turn, at random phases of any timer the program runs;
    with path "-", to the interface opening and no longer opening; with "notice",
    to the probe's own window hearing of its arrival and removal."""
    proc = None
    if path == "notice" and probe.ask("listen on") != "ok":
        raise SystemExit("the probe's window could not register for device notifications")
    if path in ("-", "notice"):
        hwnd = path
    else:
        proc, _, hwnd = start_and_wait_visible(path, TITLE)
    plugs, unplugs = [], []
    for _ in range(PRESENCE_N):
        for want, samples, request in ((CONNECTED, plugs, "plug"), (LOST_TEXT, unplugs, "unplug")):
            words = probe.ask(f"presencetime {hwnd} 0 {request} {want.hex()} 5000").split()
            if words[0] == "shown":
                samples.append(float(words[1]))
            time.sleep(rng.uniform(0.3, 0.6))
    if proc:
        close_app(probe, proc, hwnd)
    if path == "notice":
        probe.ask("listen off")
    return plugs, unplugs


def hid_opens(trace, device):
    """CreateFileW lines of Wine's file trace that open a HID interface: the
    device's own (device true) or any other."""
    lines = trace.decode("latin-1").lower().splitlines()
    return sum(1 for l in lines
               if ":createfilew " in l and "\\\\?\\\\hid#" in l and (DEVICE_PATH_MARK in l) == device)


def count_opens(path, present):
    """Opens of HID interfaces other than the device's by the program over
    OPENS_S left alone, from Wine's file trace (kernelbase's CreateFileW names
    every path opened, whichever library opens it), per minute; the device's
    own; those in the start-up before, which shows that the trace sees them;
    and, with the device present, those from each of OPENS_CYCLES unplugs and
    plugs until 0.5 s after the status line followed."""
    log_path = os.path.join(ctx.workdir, "opens-trace.log")
    marks = []
    with open(log_path, "wb") as log:
        proc, hwnd, _, _ = start_app(probe, path, TITLE, stdout=subprocess.DEVNULL, stderr=log,
                                     env=dict(ctx.env, WINEDEBUG="+file"))
        if hwnd is None:
            raise SystemExit(f"{path} showed no window under the trace")
        if present and wait_text(probe, hwnd, 1, CONNECTED, 10000) is None:
            raise SystemExit(f"{path} did not connect under the trace")
        time.sleep(3)
        marks.append(os.path.getsize(log_path))
        t0 = time.time()
        time.sleep(OPENS_S)
        marks.append(os.path.getsize(log_path))
        minutes = (time.time() - t0) / 60
        for _ in range(OPENS_CYCLES if present else 0):
            for request, text in (("unplug", LOST_TEXT), ("plug", CONNECTED)):
                if probe.ask(f"{request} 0 nowait") != "ok" or wait_text(probe, hwnd, 1, text, 10000) is None:
                    raise SystemExit(f"{path} did not follow an {request} under the trace")
                time.sleep(0.5)
                marks.append(os.path.getsize(log_path))
        close_app(probe, proc, hwnd)
    with open(log_path, "rb") as f:
        trace = f.read()
    # From the marks after the idle window: an unplug's end, then a plug's, in turn.
    unplugs = [hid_opens(trace[a:b], False) for a, b in zip(marks[1::2], marks[2::2])]
    plugs = [hid_opens(trace[a:b], False) for a, b in zip(marks[2::2], marks[3::2])]
    idle_trace = trace[marks[0]:marks[1]]
    return {"per_minute": hid_opens(idle_trace, False) / minutes, "own": hid_opens(idle_trace, True) / minutes,
            "at_start": hid_opens(trace[:marks[0]], False), "unplugs": unplugs, "plugs": plugs}


def device_watch_section(builds):
    small, many = watch_prefixes
    names = ["bare window"] + [name for name, _ in builds]
    idle, presence, starts, opens, plug_s = {}, {}, {}, {}, {}
    switch_prefix(small)
    for others in (0, OTHERS):
        if others:
            plug_s[others] = plug_others(others)
        for present in (False, True):
            set_device(present)
            progress(f"idle, {others} others, device {'present' if present else 'absent'}")
            idle[others, present] = {"bare window": quiet_run(bare, BARE_TITLE, present, True, others > 0)}
            for name, path in builds:
                idle[others, present][name] = quiet_run(path, TITLE, present, True, others > 0)
        set_device(False)
        for name, path in [(WINE_ALONE, "-"), (NOTICED, "notice")] + builds:
            progress(f"plug and unplug, {others} others, {name}")
            presence[others, name] = presence_run(path)
        for _ in range(STARTS_N):
            for name, path in builds:
                proc, ms, hwnd = start_and_wait_visible(path, TITLE)
                starts.setdefault((others, name), []).extend([ms] if ms is not None else [])
                if hwnd:
                    close_app(probe, proc, hwnd)
    for present in (False, True):
        set_device(present)
        for name, path in builds:
            progress(f"opens, device {'present' if present else 'absent'}, {name}")
            opens[present, name] = count_opens(path, present)
    switch_prefix(many)
    progress(f"plugging {MANY} others")
    plug_s[MANY] = plug_others(MANY)
    answers = {(others, present, name): r["pings"] for (others, present), runs in idle.items()
               for name, r in runs.items() if others}
    for present in (False, True):
        set_device(present)
        for name, path in [("bare window", bare)] + builds:
            answers[MANY, present, name] = quiet_run(path, BARE_TITLE if path == bare else TITLE, present,
                                                     False, True)["pings"]
    set_device(False)

    def device(present):
        return "present, quiet" if present else "absent"

    def interfaces(others):
        return "Wine's 2" if not others else f"Wine's 2 + {others} others"

    def verdict(ok):
        return "yes" if ok else "**no**"

    out("## Device watch")
    out()
    out(f"Measured {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC by `{command_line}`. "
        f"This build beside {names[2]}, the build before arrival and removal notifications drove the watch "
        "(its 200 ms timer walked every HID interface, opening each for reading and writing). Each section ran in "
        f"a fresh prefix of its own: Wine's own two HID interfaces, then {OTHERS} virtual devices of other IDs "
        f"plugged (`hidsim plug -d {OTHER_FIRST_SLOT} --count {OTHERS} --vid {OTHER_VID} --pid {OTHER_PID}`: "
        f"{plug_s[OTHERS]:.0f} s); the {MANY}-device figures in another fresh prefix ({plug_s[MANY]:.0f} s to plug "
        "them), since hundreds of devices slow every later plug in a prefix. One program ran at a time, "
        "the probe beside it.")
    out()
    out(f"### Idle CPU over {IDLE_S} s, % of one core")
    out()
    out(f"Each program alone (the bare window, then each build), started, left {3} s, then measured over "
        f"{IDLE_S} s: user + kernel time of its Linux process, and of the prefix's wineserver and device "
        "processes (winedevice.exe) during the same time; resolution 10 ms, i.e. "
        f"{1 / IDLE_S:.2f} % here. Machine: every core's use together during the run, everything "
        f"on the machine included (200 % is both cores full). Goal: the program ≤ the bare window + "
        f"{CPU_GOAL[0]} % with Wine's 2 interfaces, + {CPU_GOAL[OTHERS]} % with {OTHERS} others; the "
        "wineserver during its run likewise against its time during the bare window's.")
    out()
    out("| interfaces | device | run | program % | goal ≤ % | met | wineserver % | goal ≤ % | met | "
        "winedevice % | machine % |")
    out("|---|---|---|---|---|---|---|---|---|---|---|")
    for (others, present), runs in idle.items():
        bare_run = runs["bare window"]
        for name in names:
            r = runs[name]
            if name == "bare window":
                cells = f"{r['program']:.2f} | - | - | {r['server']:.2f} | - | -"
            else:
                # Compared as shown: the figures are whole 10 ms ticks, the sums of them inexact.
                cap = round(bare_run["program"] + CPU_GOAL[others], 2)
                server_cap = round(bare_run["server"] + CPU_GOAL[others], 2)
                cells = (f"{r['program']:.2f} | {cap:.2f} | {verdict(round(r['program'], 2) <= cap)} | {r['server']:.2f} | "
                         f"{server_cap:.2f} | {verdict(round(r['server'], 2) <= server_cap)}")
            out(f"| {interfaces(others)} | {device(present)} | {name} | {cells} | {r['host']:.2f} | "
                f"{r['machine']:.0f} |")
    out()
    out(f"### Answers to WM_NULL over {PINGS_MS // 1000} s")
    out()
    out("The probe sends the window WM_NULL (SendMessageTimeout, 5 s limit), waits 5 ms after each answer and "
        f"sends the next, for {PINGS_MS // 1000} s, right after the idle run above (or after {3} s, with "
        f"{MANY} others); ms until each was answered. A message that comes while the window's thread is busy "
        f"waits for it. Goal: p99 ≤ {PINGS_GOAL_P99} ms.")
    out()
    out("| interfaces | device | run | answers | p50 ms | p99 ms | max ms | goal met |")
    out("|---|---|---|---|---|---|---|---|")
    for (others, present, name), s in answers.items():
        if not s:
            out(f"| {interfaces(others)} | {device(present)} | {name} | 0 | - | - | - | - (failed) |")
            continue
        met = "-" if name == "bare window" else verdict(percentile(s, 99) <= PINGS_GOAL_P99)
        out(f"| {interfaces(others)} | {device(present)} | {name} | {len(s)} | {stats(s)} | {met} |")
    out()
    out("### Plug and unplug to the status line")
    out()
    out(f"The program started with the device absent; then {PRESENCE_N} times: plug, the connected text "
        "(Подключено HID устройство), unplug, the not-found text, 0.3–0.6 s (random) after each text before the "
        "next request. ms from just before the probe hands the request to the virtual bus until the probe, "
        "reading the status line every millisecond or so, sees the text. First with no program running, "
        "Wine's own share: until the probe, trying every millisecond or so, can open the device's interface, "
        "or no longer can; and until a window of the probe's, registered for HID interfaces on a thread "
        "that only pumps messages, gets the arrival or removal (WM_DEVICECHANGE) with the device's path, "
        "which no program told by Windows can beat. Goal: p90 ≤ "
        f"{PRESENCE_GOAL_P90} ms.")
    out()
    out("| interfaces | build | plug p50 ms | p90 ms | met | unplug p50 ms | p90 ms | met | seen |")
    out("|---|---|---|---|---|---|---|---|---|")
    for (others, name), (plugs, unplugs) in presence.items():
        cells = []
        for s in (plugs, unplugs):
            met = "-" if name in (WINE_ALONE, NOTICED) else verdict(percentile(s, 90) <= PRESENCE_GOAL_P90) if s else ""
            cells.append(f"{percentile(s, 50):.1f} | {percentile(s, 90):.1f} | {met}" if s else "- | - | - (failed)")
        out(f"| {interfaces(others)} | {name} | {' | '.join(cells)} | {len(plugs)} + {len(unplugs)} of "
            f"{2 * PRESENCE_N} |")
    out()
    out("### Start-up to visible window")
    out()
    out(f"Device absent; {STARTS_N} starts of each build, interleaved, timed as in the start-up section above.")
    out()
    out("| interfaces | build | median ms | min ms | max ms |")
    out("|---|---|---|---|---|")
    for (others, name), s in starts.items():
        out(f"| {interfaces(others)} | {name} | {median(s):.0f} | {min(s):.0f} | {max(s):.0f} |" if s else
            f"| {interfaces(others)} | {name} | - | - | - (failed) |")
    out()
    out("### Opens of other devices while nothing changes")
    out()
    out(f"Wine's 2 + {OTHERS} others; each build started alone under `WINEDEBUG=+file`, its trace to a file, "
        f"left {3} s (connected first, when present), then {OPENS_S} s with nothing plugged or unplugged. "
        "kernelbase's CreateFileW traces every path opened in the process, whichever library opens it: the "
        "count is of its lines in those seconds whose path starts `\\\\?\\hid#` and is not the device's "
        f"(`{DEVICE_PATH_MARK}`), per minute. The trace slows the program, so a program that walks opens "
        "fewer in a minute than it would untraced. Beside it, the opens of the device's own path in those "
        "seconds; the count of other devices' opens in the start-up before, which shows the trace sees them; "
        f"and, with the device present, {OPENS_CYCLES} unplugs and plugs after the minute, each counted from "
        "the request until 0.5 s after the status line followed (a program that walks on a timer walks "
        "all along while the device is absent). Goal: 0 while nothing changes.")
    out()
    out("| device | build | other-device opens per minute | met | device's own opens per minute | "
        "other-device opens in the start-up | per unplug | per plug |")
    out("|---|---|---|---|---|---|---|---|")
    for (present, name), o in opens.items():
        cycles = [", ".join(str(v) for v in o[k]) or "-" for k in ("unplugs", "plugs")]
        out(f"| {device(present)} | {name} | {o['per_minute']:.0f} | {verdict(o['per_minute'] == 0)} | "
            f"{o['own']:.0f} | {o['at_start']} | {cycles[0]} | {cycles[1]} |")
    out()


def replace_section(path, heading, new_lines):
    """The Markdown file with the section under heading (to the next heading of
    its level) replaced by new_lines, or with them added at its end."""
    old = open(path).read().split("\n") if os.path.exists(path) else []
    start = old.index(heading) if heading in old else len(old)
    end = next((i for i in range(start + 1, len(old)) if old[i].startswith("## ")), len(old))
    with open(path, "w") as f:
        f.write("\n".join(old[:start] + new_lines + old[end:]))


try:
    init_prefix()
    probe = Probe()
    assert probe.ask("simulator 30000") == "ok", "the simulator does not answer"
    probe.ask("unplugall")
    builds = [("this build", exe)] + ([(f"before ({before[0]})", before[1])] if before else [])
    if watch_only:
        if not (before and watch_prefixes):
            raise SystemExit("--watch needs --before and --watch-prefixes")
        device_watch_section(builds)
        if short:
            print(f"BENCH_SHORT: {out_md} is left as it was")
        else:
            replace_section(out_md, "## Device watch", lines)
            print(f"--watch: the device watch's section of {out_md} replaced")
        raise SystemExit(0)
    cores = os.cpu_count()
    cpu_name = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    loader = "/usr/lib/wine/wine64" if x86_64 else "/usr/lib/wine/wine"
    wine_version = subprocess.run([loader, "--version"], capture_output=True, text=True).stdout.strip()
    out("# Performance and endurance")
    out()
    out(f"Measured {datetime.datetime.now(datetime.timezone.utc):%Y-%m-%d %H:%M} UTC by `{command_line}`, on "
        f"{cpu_name} ({cores} cores), {platform.system()} {platform.release()}, {wine_version}, Xvfb; the {arch} build "
        f"({'PE32+ in a 64-bit prefix' if x86_64 else 'PE32, the program we ship, in a 32-bit prefix'}). "
        "Every comparison was made in the same run, side by side; ratios are program / baseline.")
    out()

    if devices_only:
        misbehaving_devices(builds)
        print(f"--devices: {out_md} is left as it was")
        raise SystemExit(0)

    # 5. The exe, this build's and the other architecture's.
    out("## Exe")
    out()
    out("The shipped, stripped `hidled.exe` of each build (its symbols are in `hidled.exe.debug` beside it).")
    out()
    out("| build | bytes | KiB | limit | format | imports |")
    out("|---|---|---|---|---|---|")
    for path in [exe] + other_exes:
        with open(path, "rb") as f:
            image = f.read()
        pe = int.from_bytes(image[0x3C:0x40], "little")
        wide = int.from_bytes(image[pe + 24:pe + 26], "little") == 0x20B
        objdump = "x86_64-w64-mingw32-objdump" if wide else "i686-w64-mingw32-objdump"
        dump = subprocess.run([objdump, "-p", path], capture_output=True, text=True).stdout
        dlls = sorted({l.split(":", 1)[1].strip() for l in dump.splitlines() if "DLL Name:" in l})
        limit = 40960  # the size budget, the same for both builds
        out(f"| {'x86_64' if wide else 'i686'} | {len(image)} | {len(image) / 1024:.1f} | {limit} | "
            f"{'PE32+ GUI x86-64' if wide else 'PE32 GUI i386'} | {', '.join(dlls)} |")
    out()

    # 4. Start-up to visible window.
    starts = {"program": [], "bare": []}
    for i in range(15):
        for name, path, title in (("program", exe, TITLE), ("bare", bare, BARE_TITLE)):
            proc, ms, hwnd = start_and_wait_visible(path, title)
            if ms is not None:
                starts[name].append(ms)
            if hwnd:
                close_app(probe, proc, hwnd)
    out("## Start-up to visible window (device absent)")
    out()
    out("From just before the start of the Wine process until the window is visible, seen by a probe "
        "polling FindWindow/IsWindowVisible every millisecond; 15 starts each, interleaved.")
    out()
    out("| | median ms | min ms | max ms |")
    out("|---|---|---|---|")
    for name in ("program", "bare"):
        s = starts[name]
        out(f"| {'hidled.exe' if name == 'program' else 'bare Win32 window'} | {median(s):.0f} | {min(s):.0f} | "
            f"{max(s):.0f} |")
    out(f"\nRatio (median): {median(starts['program']) / median(starts['bare']):.2f}")
    out()
    wine("reg", "add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/t", "REG_SZ", "/d", RELAY_MARKS, "/f",
         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).wait()
    traced = {"program": [], "bare": []}
    for i in range(5):
        traced["program"].append(startup_steps(exe, TITLE))
        traced["bare"].append(startup_steps(bare, BARE_TITLE))
    out("### Where the start-up goes")
    out()
    out("Each program started 5 times more under Wine's relay trace of a few calls (HeapCreate, RegisterClassA, "
        "CreateWindowExA, LoadLibraryExA, SetupDiGetClassDevsA, ShowWindow) and of the libraries' start-up routines, "
        "which marks the steps in the shipped exe; the trace slows each start a little. Medians, ms; a step runs "
        "from its first mark to the next step's.")
    out()
    # (step, the program's first and last mark, the bare window's if it has the step)
    steps = [("Wine's loader and the imported libraries' start-up, to the exe's first call", ("load", "entry"),
              ("load", "entry")),
             ("runtime start (heaps, event queue and its window, tables, GUI services)", ("entry", "hid"), None),
             ("HID binding", ("hid", "window"), None),
             ("the window and its five gadgets (bare: its class and window)", ("window", "watch"), ("entry", "show")),
             ("first device watch pass (device absent)", ("watch", "show"), None),
             ("ShowWindow until it returns", ("show", "shown"), ("show", "shown")),
             ("total, load to shown", ("load", "shown"), ("load", "shown"))]

    def step_ms(name, span):
        samples = [m[span[1]] - m[span[0]] for m, _ in traced[name] if span and span[0] in m and span[1] in m]
        return f"{median(samples):.1f}" if samples else "-"

    out("| step | hidled.exe | bare window |")
    out("|---|---|---|")
    for label, mine, theirs in steps:
        out(f"| {label} | {step_ms('program', mine)} | {step_ms('bare', theirs)} |")
    out()
    libraries = sorted({d for _, a in traced["program"] for d in a},
                       key=lambda d: -median([a.get(d, 0) for _, a in traced["program"]]))
    out("The libraries' start-up routines (at process attach) that took longest in the program, next to the same "
        "library in the bare window (- where it does not load it at start), ms:")
    out()
    out("| library | hidled.exe | bare window |")
    out("|---|---|---|")
    for dll in libraries[:6]:
        theirs = [a[dll] for _, a in traced["bare"] if dll in a]
        out(f"| {dll} | {median([a.get(dll, 0) for _, a in traced['program']]):.1f} | "
            f"{f'{median(theirs):.1f}' if theirs else '-'} |")
    out()
    if quick:
        print(f"--quick: the exes and the start-up only; {out_md} is left as it was")
        raise SystemExit(0)

    if before:
        misbehaving_devices(builds)

    # 1. Idle CPU.
    app, _, hwnd = start_and_wait_visible(exe, TITLE)
    baseline, _, bare_hwnd = start_and_wait_visible(bare, BARE_TITLE)
    app_pid = probe.ask(f"pid {hwnd}").split()[1]
    app_linux = linux_pids("hidled.exe")
    bare_linux = linux_pids("bare_window.exe")
    server = server_pids() + linux_pids("winedevice.exe")
    if len(app_linux) != 1 or len(bare_linux) != 1:
        raise SystemExit(f"expected one program and one baseline process, found {app_linux} {bare_linux}")
    watched = [app_linux[0], bare_linux[0]] + server
    time.sleep(3)
    absent = idle_cpu(watched, 30)
    probe.ask("plug 0")
    wait_text(probe, hwnd, 1, CONNECTED, 5000)
    time.sleep(3)
    present = idle_cpu(watched, 30)
    out("## Idle CPU over 30 s, % of one core")
    out()
    out("CPU time (user + kernel of the process and its threads, from /proc; Wine runs each Windows process "
        "as one Linux process) over 30 s of wall time, the program and a bare window program running at the "
        "same time. Wine's own server and device processes serve both (and the program's device calls); "
        "their time is shown on its own. Resolution 10 ms, i.e. 0.03 %.")
    out()
    out("| | program | bare window | ratio | wineserver + winedevice |")
    out("|---|---|---|---|---|")
    for label, r in (("device absent", absent), ("device present, quiet", present)):
        a, b = r[app_linux[0]], r[bare_linux[0]]
        ratio = f"{a / b:.1f}" if b > 0 else "bare below resolution"
        out(f"| {label} | {a:.2f} % | {b:.2f} % | {ratio} | {sum(r[p] for p in server):.2f} % |")
    out()
    close_app(probe, baseline, bare_hwnd)

    # 3. Latencies.
    words = probe.ask(f"inputlatency {hwnd} 0 200").split()
    input_ms = [float(v) for v in words[1:]] if words[0] == "latency" else []
    buttons = {n: control(probe, hwnd, n) for n in (2, 3)}
    outputs(probe)
    click_ms = []
    for i in range(100):
        x, y = buttons[2 + i % 2]["centre"]
        subprocess.run(["xdotool", "mousemove", str(x), str(y)], env=ctx.env, check=True)
        # Polled while xdotool still runs: it sleeps after a click before it exits.
        t0 = time.perf_counter()
        clicker = subprocess.Popen(["xdotool", "click", "1"], env=ctx.env)
        while not outputs(probe) and time.perf_counter() - t0 < 5:
            pass
        click_ms.append((time.perf_counter() - t0) * 1000)
        clicker.wait()
        time.sleep(rng.uniform(0.02, 0.05))
    xdotool_ms = []
    for _ in range(20):
        t0 = time.perf_counter()
        subprocess.run(["xdotool", "getmouselocation"], env=ctx.env, capture_output=True, check=True)
        xdotool_ms.append((time.perf_counter() - t0) * 1000)
    out("## Latency")
    out()
    out("Input report → field text: from just before the report is handed to the virtual device until a "
        "probe polling the field's text (WM_GETTEXT, back to back) sees the new text; 200 reports "
        "alternating 20 and 40. Click → output report: from just before a real X click is started (xdotool, "
        "the pointer already on the button's centre) until the device's output log, polled back to back "
        "through the probe, holds the report; 100 clicks alternating the two buttons. Starting an xdotool "
        f"process alone takes {median(xdotool_ms):.1f} ms (median of 20), which the click figures include.")
    out()
    out("| | samples | p50 ms | p99 ms | max ms |")
    out("|---|---|---|---|---|")
    for label, s in (("input report → field text", input_ms), ("click → output report", click_ms)):
        if s:
            out(f"| {label} | {len(s)} | {percentile(s, 50):.2f} | {percentile(s, 99):.2f} | {max(s):.2f} |")
        else:
            out(f"| {label} | 0 | - | - | - (failed) |")
    out()

    # 6. Endurance.
    app_linux = linux_pids("hidled.exe")
    app_linux = app_linux[0] if len(app_linux) == 1 else None
    handles_before, private_before = resources(probe, app_pid, app_linux)
    wrong = []
    crashes = 0
    nonzero = 0
    answers = []
    t0 = time.time()
    for _ in range(1000):
        answers.append(probe.ask("unplug 0 nowait"))
        time.sleep(rng.uniform(0, 0.02))
        answers.append(probe.ask("plug 0 nowait"))
        time.sleep(rng.uniform(0, 0.02))
    cycles_s = time.time() - t0
    if answers.count("ok") != len(answers):
        wrong.append(f"{len(answers) - answers.count('ok')} plug/unplug requests failed at the device")
    if wait_text(probe, hwnd, 1, CONNECTED, 5000) is None:
        wrong.append("not connected after the plug cycles")
    expected = field_text(hwnd)
    t0 = time.time()
    for _ in range(10000):
        value = rng.randrange(256)
        probe.ask(f"report 0 00{value:02x}")
        if value == 20:
            expected = YES
        elif value == 40:
            expected = NO
    reports_s = time.time() - t0
    if wait_text(probe, hwnd, 5, expected, 5000) is None:
        wrong.append(f"field shows {field_text(hwnd)!r} after the reports, expected {expected!r}")
    buttons = {n: control(probe, hwnd, n) for n in (2, 3)}
    outputs(probe)
    probe.ask("stream 0 on")
    got = []
    for i in range(200):
        click(*buttons[2 + i % 2]["centre"])
        if i % 10 == 9:
            got += outputs(probe)
    streamed = probe.ask("stream 0 off")
    time.sleep(0.5)
    got += outputs(probe)
    lost_clicks = 200 - len(got)
    time.sleep(1)
    handles_after, private_after = resources(probe, app_pid, app_linux)
    rc = close_app(probe, app, hwnd)
    if rc != 0:
        nonzero += 1
    codes = []
    for i in range(100):
        app, _, hwnd = start_and_wait_visible(exe, TITLE)
        if hwnd is None:
            crashes += 1
            continue
        wait_text(probe, hwnd, 1, CONNECTED, 5000)
        if i % 2:
            probe.ask("stream 0 on")
        codes.append(close_app(probe, app, hwnd))
        if i % 2:
            probe.ask("stream 0 off")
    nonzero += sum(1 for c in codes if c != 0)
    # An unhandled exception ends a Windows process with its NTSTATUS code.
    crashes += sum(1 for c in codes if isinstance(c, int) and c >= 0xC0000000)
    probe.ask("unplugall")
    out("## Endurance")
    out()
    out("One program instance through 1000 unplug/plug cycles at random intervals (0–20 ms between requests; "
        f"{cycles_s:.0f} s), 10 000 input reports with random second bytes ({reports_s:.0f} s), and 200 clicks "
        f"while the device streams reports as fast as it can ({streamed}); then 100 starts and closes "
        "mid-read (half of them while reports stream).")
    out()
    out("| | result |")
    out("|---|---|")
    out(f"| crashes | {crashes} |")
    out(f"| non-zero exit codes | {nonzero} (of {len(codes) + 1} closes) |")
    out(f"| wrong final states | {len(wrong)}{': ' + '; '.join(wrong) if wrong else ''} |")
    out(f"| lost clicks | {lost_clicks} (of 200; {len(got)} output reports arrived) |")
    out(f"| handle count (the system's handle list), before → after | {handles_before} → {handles_after} |")
    out(f"| anonymous resident memory (RssAnon, kB), before → after | {private_before} → {private_after} |")
    out()

    # 2. Watch pass with many interfaces (last: hundreds of devices slow every later plug in a prefix).
    probe.close()
    result = subprocess.run([wine_run, "--prefix", ctx.prefix, "--", watch_bench, "1", "16", "64", "256"],
                            env=ctx.env, capture_output=True, text=True)
    rows = [l.split() for l in result.stdout.splitlines()[1:] if l.strip()]
    out("## One watch pass")
    out()
    out("`hid_device_present(0x0001, 0x1234, -1, 0)`, one walk as the program's timer made it every 200 ms "
        "before notifications drove the watch (it now walks at start, and on every pass only where Windows "
        "announces no interfaces), with N virtual devices of "
        "other IDs present (plus Wine's own two HID interfaces); median of 31 passes. The device absent makes "
        "the pass walk every interface; present, it stops at the device. Baselines: a bare SetupDi enumeration "
        "of the same interfaces (class list, interface, detail), and the same bare walk also opening each "
        "interface and reading its attributes, as the pass must.")
    out()
    out("| N | interfaces | pass, absent ms | pass, present ms | bare enumeration ms | ratio | bare walk with opens ms | ratio |")
    out("|---|---|---|---|---|---|---|---|")
    for n, interfaces, absent_ms, present_ms, enum_ms, open_ms in rows:
        out(f"| {n} | {interfaces} | {float(absent_ms):.1f} | {float(present_ms):.1f} | {float(enum_ms):.1f} | "
            f"{float(absent_ms) / float(enum_ms):.2f} | {float(open_ms):.1f} | {float(absent_ms) / float(open_ms):.2f} |")
    if result.returncode != 0:
        out(f"\nwatch_bench failed: {result.stderr.strip()}")
    out()

    if before and watch_prefixes:
        probe = None
        device_watch_section(builds)
finally:
    finish()

if short:
    print(f"BENCH_SHORT: {out_md} is left as it was")
else:
    with open(out_md, "w") as f:
        f.write("\n".join(lines) + "\n")
    print(f"wrote {out_md}")
