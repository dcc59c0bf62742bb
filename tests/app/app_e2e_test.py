#!/usr/bin/env python3
"""The real program under Wine, used as a person uses it: real X clicks at the
controls' screen positions, texts read from outside by a probe program, the
warning box answered with a click, the window closed with its close box.

usage: app_e2e_test.py WINE_RUN EXE PROBE WORKDIR
"""
import os
import subprocess
import sys
import time

wine_run, exe, probe_exe, workdir = sys.argv[1:5]
os.makedirs(workdir, exist_ok=True)
prefix = os.path.join(workdir, "wineprefix-e2e")

TITLE = "Пример работы с HID устройством".encode("cp1251")
START_TEXT = "Устройство не обнаруженно ( PID — 1H;  VID — 1234H )".encode("cp1251")
NO = "Нет".encode("cp1251")
LED_ON = "Зажечь светодиод".encode("cp1251")
LED_OFF = "Погасить светодиод".encode("cp1251")
LABEL = "Кнопка нажата?".encode("cp1251")
NO_LINK = "Нет связи с устройством!".encode("cp1251")

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


# A display of our own: clicks go to screen positions, and nothing else may
# draw there meanwhile.
fd_read, fd_write = os.pipe()
xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(fd_write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                        pass_fds=(fd_write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.close(fd_write)
display = ":" + os.read(fd_read, 16).decode().strip()
os.close(fd_read)
env = dict(os.environ, DISPLAY=display)
env.pop("WINEPREFIX", None)


def wine(*args, **kw):
    return subprocess.Popen([wine_run, "--prefix", prefix, "--"] + list(args), env=env, **kw)


class Probe:
    def __init__(self):
        self.p = wine(probe_exe, stdin=subprocess.PIPE, stdout=subprocess.PIPE)

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


def click(x, y):
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=env, check=True)


def screenshot(name):
    path = os.path.join(workdir, name)
    xwd = subprocess.run(["xwd", "-root", "-silent", "-display", display], capture_output=True, check=True)
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


try:
    subprocess.run([wine_run, "--prefix", prefix, "--init"], env=env, check=True)
    probe = Probe()

    # No device at start.
    app = wine(exe)
    words = probe.ask(f"window {TITLE.hex()} 20000").split()
    check(words[0] == "window", "the window appears")
    hwnd = words[1]
    # The window exists hidden while it is built; wait for it to show.
    deadline = time.time() + 10
    while words[2] != "1" and time.time() < deadline:
        time.sleep(0.02)
        words = probe.ask(f"describe {hwnd}").split()
    visible, left, top, right, bottom = int(words[2]), *map(int, words[3:7])
    client_w, client_h, style = int(words[9]), int(words[10]), int(words[11], 16)
    check(visible == 1, "it is visible")
    check((client_w, client_h) == (320, 100), f"client area 320 x 100 (saw {client_w} x {client_h})")
    check(style & 0x00C00000 == 0x00C00000 and style & 0x00080000 and style & 0x00020000, "caption, system menu, minimise box")
    check(not style & 0x00010000 and not style & 0x00040000, "no maximise box, no sizing border")
    check(left == (1024 - (right - left)) // 2 and top == (768 - (bottom - top)) // 2,
          f"centred on the screen (outer {left},{top}-{right},{bottom})")
    check(text(probe, hwnd, 1) == START_TEXT, "status line: the not-found text of the start")
    check(text(probe, hwnd, 5) == NO, "field 5: Нет")
    check(text(probe, hwnd, 2) == LED_ON and text(probe, hwnd, 3) == LED_OFF, "button texts")
    check(text(probe, hwnd, 4) == LABEL, "label text")
    field = control(probe, hwnd, 5)
    check(field and field["class"] == "Edit" and field["style"] & 0x800, "field 5 is a read-only edit")
    pid = probe.ask(f"pid {hwnd}").split()[1]
    shot = screenshot("e2e-absent.png")
    print("screenshot:", shot)

    for number in (2, 3):
        button = control(probe, hwnd, number)
        click(*button["centre"])
        box = probe.ask(f"msgbox {pid} 5000").split()
        check(box[0] == "msgbox", f"a click on button {number} without a device shows a box")
        if box[0] == "msgbox":
            check(box[2] == "-", "the box has an empty caption")
            check(bytes.fromhex(box[3]) == NO_LINK, "the box says Нет связи с устройством!")
            if number == 2:
                time.sleep(0.7)  # let the box paint
                print("screenshot:", screenshot("e2e-no-link.png"))
            click(int(box[4]), int(box[5]))
            check(probe.ask(f"msgbox {pid} 300") == "none", "its OK button closes it")

    click(*field["centre"])
    check(probe.ask(f"msgbox {pid} 500") == "none", "a click on field 5 does nothing")
    check(text(probe, hwnd, 1) == START_TEXT, "the status line is unchanged")

    point = probe.ask(f"closebox {hwnd}").split()
    check(point[0] == "point", "the close box is found")
    click(int(point[1]), int(point[2]))
    try:
        rc = app.wait(timeout=30)
    except subprocess.TimeoutExpired:
        app.kill()
        rc = "still running"
    check(rc == 0, f"closing the window ends the program with exit code 0 (saw {rc})")
    probe.close()
finally:
    subprocess.run(["wineserver", "-k"], env=dict(env, WINEPREFIX=os.path.abspath(prefix)),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    xvfb.terminate()
    xvfb.wait()

print(f"{len(failures)} failed" if failures else "all passed")
sys.exit(1 if failures else 0)
