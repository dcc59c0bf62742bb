"""What the end-to-end tests and the benchmarks share: a display of their
own, a probe program that looks at windows and drives the virtual device,
real X clicks, screenshots, and starting and closing the program."""
import os
import subprocess
import sys
import time


class Context:
    wine_run = prefix = workdir = exe = probe_exe = display = None
    env = None
    xvfb = None


ctx = Context()


def utf16(text):
    """A text as the probe hands texts over: the UTF-16LE units Windows holds."""
    return text.encode("utf-16-le")


TITLE = utf16("Пример работы с HID устройством")
START_TEXT = utf16("Устройство не обнаруженно ( PID — 1H;  VID — 1234H )")
NO = utf16("Нет")
LED_ON = utf16("Зажечь светодиод")
LED_OFF = utf16("Погасить светодиод")
LABEL = utf16("Кнопка нажата?")
NO_LINK = utf16("Нет связи с устройством!")
YES = utf16("Да")
CONNECTED = utf16("Подключено HID устройство")
LOST_TEXT = utf16("Устройство не обнаруженно ( PID — 1H;  VID — 1234H) ")


def init_prefix():
    """The simulator's devices live in the prefix's wineserver: start it afresh,
    so that its desktop is on this display."""
    kill_server()
    subprocess.run([ctx.wine_run, "--prefix", ctx.prefix, "--init"], env=ctx.env, check=True)


def init(wine_run, prefix, workdir, exe, probe_exe):
    """Starts a private Xvfb: clicks go to screen positions, and nothing else may draw there."""
    os.makedirs(workdir, exist_ok=True)
    ctx.wine_run, ctx.prefix, ctx.workdir, ctx.exe = wine_run, os.path.abspath(prefix), workdir, exe
    ctx.probe_exe = probe_exe
    fd_read, fd_write = os.pipe()
    ctx.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(fd_write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                pass_fds=(fd_write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(fd_write)
    # Xvfb writes the number and the newline separately, and ends itself when the
    # newline finds the pipe closed: read up to the newline.
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(fd_read, 16)
        if not chunk:
            raise SystemExit("Xvfb did not start")
        number += chunk
    ctx.display = ":" + number.decode().strip()
    os.close(fd_read)
    ctx.env = dict(os.environ, DISPLAY=ctx.display)
    ctx.env.pop("WINEPREFIX", None)


def finish():
    kill_server()
    ctx.xvfb.terminate()
    ctx.xvfb.wait()


failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def conclude():
    """Prints the verdict of every check made and exits with it."""
    print(f"{len(failures)} failed" if failures else "all passed")
    sys.exit(1 if failures else 0)


def wine(*args, **kw):
    kw.setdefault("env", ctx.env)
    return subprocess.Popen([ctx.wine_run, "--prefix", ctx.prefix, "--"] + list(args), **kw)


class Probe:
    def __init__(self):
        self.p = wine(ctx.probe_exe, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

    def ask(self, line):
        self.p.stdin.write((line + "\n").encode())
        self.p.stdin.flush()
        return self.p.stdout.readline().decode().strip()

    def close(self):
        try:
            self.ask("quit")
        except BrokenPipeError:
            pass
        self.p.wait(timeout=30)


def sim(hidsim_exe, *args, timeout=60):
    """One command of the simulator's command line; its exit code and output."""
    p = wine(hidsim_exe, *args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    said = p.communicate(timeout=timeout)[0].decode(errors="replace").strip()
    return p.returncode, said


def kill_server():
    subprocess.run(["wineserver", "-k"], env=dict(ctx.env, WINEPREFIX=ctx.prefix), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    subprocess.run(["wineserver", "-w"], env=dict(ctx.env, WINEPREFIX=ctx.prefix), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def click(x, y):
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=ctx.env, check=True)


def screenshot(name):
    path = os.path.join(ctx.workdir, name)
    xwd = subprocess.run(["xwd", "-root", "-silent", "-display", ctx.display], capture_output=True, check=True)
    subprocess.run(["convert", "xwd:-", path], input=xwd.stdout, check=True)
    return path


def control(probe, hwnd, number):
    words = probe.ask(f"control {hwnd} {number}").split()
    if words[0] != "control":
        return None
    left, top, right, bottom = map(int, words[2:6])
    return {"class": words[1], "rect": (left, top, right, bottom), "centre": ((left + right) // 2, (top + bottom) // 2),
            "style": int(words[6], 16)}


def text(probe, hwnd, number):
    words = probe.ask(f"text {hwnd} {number}").split()
    return bytes.fromhex(words[1]) if len(words) == 2 and words[1] != "-" else b""


def wait_text(probe, hwnd, number, want, timeout_ms):
    """Waits until a control shows want; the milliseconds it took, or None."""
    words = probe.ask(f"waittext {hwnd} {number} {want.hex()} {timeout_ms}").split()
    return int(words[1]) if words[0] == "ok" else None


def start_app(probe, exe=None, title=TITLE, **kw):
    """Starts the program (or exe, whose window has title; kw go to wine()); its
    process, window and the status text it had when it first became visible."""
    app = wine(exe or ctx.exe, **kw)
    words = probe.ask(f"window {title.hex()} 20000").split()
    if words[0] != "window":
        print(f"window missing after 20 s: program {'running' if app.poll() is None else 'exit code %s' % app.returncode}"
              f", display {'up' if ctx.xvfb.poll() is None else 'gone'}; top-level windows: {probe.ask('windows')}",
              flush=True)
        return app, None, None, words
    hwnd = words[1]
    # The window exists hidden while it is built; wait for it to show.
    deadline = time.time() + 10
    while words[2] != "1" and time.time() < deadline:
        time.sleep(0.005)
        words = probe.ask(f"describe {hwnd}").split()
    first_status = text(probe, hwnd, 1)
    return app, hwnd, first_status, words


def close_app(probe, app, hwnd):
    point = probe.ask(f"closebox {hwnd}").split()
    if point[0] != "point":
        app.kill()
        return "no close box"
    click(int(point[1]), int(point[2]))
    try:
        return app.wait(timeout=30)
    except subprocess.TimeoutExpired:
        app.kill()
        return "still running"


def outputs(probe):
    words = probe.ask("outputs 0").split()
    return words[2:] if words[0] == "outputs" else ["<no answer>"]


def wait_outputs(probe, timeout_s=3):
    """The device's output reports once there are any (empty after the timeout);
    a report that comes later shows at the next ask."""
    deadline = time.time() + timeout_s
    got = outputs(probe)
    while not got and time.time() < deadline:
        time.sleep(0.02)
        got = outputs(probe)
    return got


def linux_pids(name):
    """The Linux processes of this run's prefix whose command line names a Windows
    program (Wine runs each as one) or Wine's server. Other prefixes' servers on
    the same machine come and go and are none of this run's business."""
    ours = os.path.realpath(ctx.prefix).encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                argv0 = f.read().split(b"\0")[0]
            if not argv0.lower().endswith(name.lower().encode()):
                continue
            with open(f"/proc/{entry}/environ", "rb") as f:
                env = dict(v.split(b"=", 1) for v in f.read().split(b"\0") if b"=" in v)
        except OSError:
            continue
        if os.path.realpath(env.get(b"WINEPREFIX", b"")) == ours:
            found.append(int(entry))
    return found


def server_pids():
    """The Linux processes of this prefix's Wine server (its name depends on how it was started)."""
    return linux_pids("wineserver32") + linux_pids("wineserver64") + linux_pids("wineserver")


def cpu_ms(linux_pid):
    """User + kernel time of a Linux process and all its threads, from /proc (10 ms resolution)."""
    with open(f"/proc/{linux_pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 / os.sysconf("SC_CLK_TCK")


def machine_busy_ms():
    """CPU time the whole machine spent on anything but idling, summed over its cores."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    return (sum(fields[:8]) - fields[3] - fields[4]) * 1000 / os.sysconf("SC_CLK_TCK")


def idle_cpu(pids, seconds):
    """% of one core each process used over the seconds; "machine" is every core's use
    together (200 % is two cores full), for how busy the rest of the machine was."""
    before = {p: cpu_ms(p) for p in pids}
    machine = machine_busy_ms()
    t0 = time.time()
    time.sleep(seconds)
    wall = (time.time() - t0) * 1000
    used = {p: (cpu_ms(p) - before[p]) / wall * 100 for p in pids}
    used["machine"] = (machine_busy_ms() - machine) / wall * 100
    return used


def percentile(samples, p):
    s = sorted(samples)
    return s[min(len(s) - 1, int(round(p / 100 * (len(s) - 1))))]


def pings(probe, hwnd, duration_ms, pause_ms=5, limit_ms=5000):
    """ms each WM_NULL sent to the window took to be answered over the duration, and how many
    were not answered within the limit; None when the probe could not send them."""
    words = probe.ask(f"pings {hwnd} {duration_ms} {pause_ms} {limit_ms}").split()
    if words[0] != "pings":
        return None, None
    return [float(v) for v in words[2:]], int(words[1])


def press_until_shown(probe, hwnd, report, want, timeout_s=3):
    """Sends a report every 250 ms until field 5 shows want: a report that comes
    before the program has opened the device reaches no one, as a press would.
    The number of reports sent once it shows, or None."""
    presses = 0
    deadline = time.time() + timeout_s
    while time.time() < deadline:
        probe.ask(f"report 0 {report}")
        presses += 1
        if wait_text(probe, hwnd, 5, want, 250) is not None:
            return presses
    return None


def resources(probe, pid, linux_pid):
    """The program's handle count, from the system's handle list (Wine 8 answers
    GetProcessHandleCount with 0 and leaves the private bytes of another process
    at 0), and the anonymous resident memory of the Linux process Wine runs it
    in, where its heaps live."""
    words = probe.ask(f"handles {pid}").split()
    handles = int(words[1]) if words[0] == "handles" else None
    try:
        with open(f"/proc/{linux_pid}/status") as f:
            rss = next(int(l.split()[1]) for l in f if l.startswith("RssAnon:"))
    except (OSError, StopIteration, TypeError):
        rss = None
    return handles, rss
