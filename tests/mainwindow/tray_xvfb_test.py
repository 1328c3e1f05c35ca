#!/usr/bin/python3
"""The tray icon in a real tray: TessalyApp on an X server (Xvfb) with trayer
as the tray host, driven by xdotool and read back with xwininfo.

Run 1 starts minimised into the tray: the icon is embedded and neither the
splash nor the main window is mapped; a double-click on the icon maps the
main window; the icon's menu and the key "x" end the program with exit 0.
Run 2 hides in the tray again, then the tray host is killed: the main window
comes back. Every wait is bounded and polls for its condition, and all of
them together stay inside BUDGET, which leaves ctest's TIMEOUT (180 s) room
for the clean-up: a slow run ends with a FAIL line naming its step. Each step
is printed as it starts; a failure prints the program's stderr (kept in a
file, as an unread pipe could fill and stop the program) and the windows.
"""
import ctypes
import ctypes.util
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

BIN = os.environ.get("TSY_BIN_DIR", "")
APP = os.path.join(BIN, "TessalyApp")
LIMIT = 30.0
BUDGET = 140.0
START = time.monotonic()
STEP = "start-up"
DIAGNOSE = []   # callables that print what a failure should leave behind
FAILING = False


def elapsed():
    return time.monotonic() - START


def deadline(limit):
    """The end of a wait of `limit` seconds, cut to the run's budget."""
    return min(time.monotonic() + limit, START + BUDGET)


def step(name):
    global STEP
    STEP = name
    print("[%6.1f s] %s" % (elapsed(), name), flush=True)


def fail(msg):
    global FAILING
    if FAILING:
        return
    FAILING = True
    print("FAIL [%.1f s] in step '%s': %s" % (elapsed(), STEP, msg), flush=True)
    for diagnose in DIAGNOSE:
        try:
            diagnose()
        except Exception as e:   # a broken look must not hide the failure
            print("(diagnosis failed: %r)" % e)
    sys.stdout.flush()
    sys.exit(1)


def why_over():
    return " (the run's %.0f s are used up)" % BUDGET if elapsed() >= BUDGET else ""


def wait_for(pred, what, limit=LIMIT):
    end = deadline(limit)
    while time.monotonic() < end:
        value = pred()
        if value:
            return value
        time.sleep(0.1)
    fail("timed out waiting for " + what + why_over())


def retried(action, what, attempts=5, each=6.0):
    """Runs action (which returns the condition it should bring about) until
    the condition holds, at most `attempts` times."""
    made = 0
    while made < attempts and elapsed() < BUDGET:
        made += 1
        if made > 1:
            print("[%6.1f s]   try %d of %d: %s" % (elapsed(), made, attempts, what), flush=True)
        condition = action()
        end = deadline(each)
        while time.monotonic() < end:
            if condition():
                return
            time.sleep(0.1)
    fail("no effect after %d tries: %s%s" % (made, what, why_over()))


class Display:
    def __init__(self):
        # A number well above the ones people use by hand. Xvfb names the
        # display on -displayfd only once it accepts clients, and never when
        # it failed because another server has that number: checking for an
        # answer on the display instead could reach a server another test
        # started at the same moment, and two programs would share a display,
        # each clicking the other's icon.
        self.proc = None
        self.name = None
        for n in range(120, 400):
            if os.path.exists(f"/tmp/.X{n}-lock") or os.path.exists(f"/tmp/.X11-unix/X{n}"):
                continue
            r, w = os.pipe()
            proc = subprocess.Popen(["Xvfb", f":{n}", "-displayfd", str(w), "-screen", "0", "1280x800x24",
                                     "-nolisten", "tcp"],
                                    pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(w)
            got = b""
            end = deadline(LIMIT)
            while not got.endswith(b"\n") and time.monotonic() < end:
                ready, _, _ = select.select([r], [], [], 0.5)
                if ready:
                    chunk = os.read(r, 64)
                    if not chunk:
                        break
                    got += chunk
            os.close(r)
            if got.strip() == str(n).encode():
                self.proc = proc
                self.name = f":{n}"
                return
            proc.kill()
            proc.wait()
        fail("no X display could be started")

    def env(self):
        e = dict(os.environ)
        e["DISPLAY"] = self.name
        return e

    def run(self, args):
        # A server too slow to answer ends the run within its budget; the
        # looks a failure takes get a few seconds each and may come back empty.
        limit = 5.0 if FAILING else max(1.0, min(LIMIT, START + BUDGET - time.monotonic()))
        try:
            return subprocess.run(args, env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  text=True, timeout=limit)
        except subprocess.TimeoutExpired:
            fail(args[0] + " did not answer within %.0f s" % limit)
            return subprocess.CompletedProcess(args, -1, "")

    def close(self):
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def tree(d):
    return d.run(["xwininfo", "-root", "-tree"]).stdout


def geometry(line):
    """Width, height and absolute x, y of a window line of `xwininfo -tree`."""
    m = re.search(r"(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)\s*$", line)
    return tuple(map(int, m.groups())) if m else None


def tray_icon(d):
    """Absolute centre of our icon once trayer has embedded it, shows it and
    has put it in its place. The tray host takes the icon's window in at a
    place of its own and lays it out later: an icon found in the panel is
    not yet one a click can reach."""
    panel = None
    for line in tree(d).splitlines():
        depth = len(line) - len(line.lstrip())
        if '("panel" "trayer")' in line:
            panel, panel_depth = geometry(line), depth
            continue
        if panel and depth <= panel_depth:
            panel = None   # past the panel's children: a window at the top is no icon
        if panel and '("TessalyApp"' in line:
            icon = geometry(line)
            if not icon:
                return None
            w, h, x, y = icon
            pw, ph, px, py = panel
            wid = line.split()[0]
            if px <= x and x + w <= px + pw and py <= y and y + h <= py + ph and mapped(d, wid):
                return (x + w // 2, y + h // 2, wid)
            return None
    return None


def tray_owned(d):
    """Whether a tray host owns the tray's selection on the display, which is
    how the program tells that a tray exists. Trayer shows its panel before
    it takes the selection: a program started in between finds no tray and
    shows its window."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XGetSelectionOwner.restype = ctypes.c_ulong
    x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    dpy = x11.XOpenDisplay(d.name.encode())
    if not dpy:
        return False
    try:
        return x11.XGetSelectionOwner(dpy, x11.XInternAtom(dpy, b"_NET_SYSTEM_TRAY_S0", 0)) != 0
    finally:
        x11.XCloseDisplay(dpy)


def top_level_app_windows(d):
    """Ids of TessalyApp windows that are children of the root."""
    out = []
    for line in tree(d).splitlines():
        if line.startswith("     0x") and '("TessalyApp"' in line:
            out.append(line.split()[0])
    return out


def mapped(d, wid):
    return "IsViewable" in d.run(["xwininfo", "-id", wid]).stdout


def main_window(d):
    for wid in top_level_app_windows(d):
        info = d.run(["xwininfo", "-id", wid]).stdout
        m = re.search(r"Width: (\d+)", info)
        if m and int(m.group(1)) > 300 and '"Tessaly"' in info.splitlines()[1]:
            return wid
    return None


def start_trayer(d):
    # A tray host that ends before its panel shows is started again; one
    # that is still running without a panel and the tray's selection after
    # the bound is a failure.
    for _ in range(3):
        p = subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                              "--width", "200", "--height", "32"], env=d.env(),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = deadline(LIMIT)
        while time.monotonic() < end:
            if '("panel" "trayer")' in tree(d) and tray_owned(d):
                return p
            if p.poll() is not None:
                break
            time.sleep(0.1)
        else:
            fail("timed out waiting for trayer's panel and tray" + why_over())
    fail("trayer ended before showing its panel (exit %s)" % p.returncode)


def start_app(d, home, log):
    env = d.env()
    env.update({"QT_QPA_PLATFORM": "xcb", "XDG_CONFIG_HOME": os.path.join(home, "config"),
                "XDG_DATA_HOME": os.path.join(home, "data"), "XDG_RUNTIME_DIR": os.path.join(home, "run"),
                "TSY_AUTO_ANSWER": "1"})
    env.pop("TSY_QUIT_AFTER_MS", None)
    with open(log, "w") as err:
        return subprocess.Popen([APP], env=env, stdout=subprocess.DEVNULL, stderr=err)


def print_file(title, path, tail=4000):
    try:
        with open(path, errors="replace") as f:
            text = f.read()
    except OSError:
        return
    print("--- %s (%d bytes%s) ---" % (title, len(text), ", the end" if len(text) > tail else ""))
    print(text[-tail:], end="" if text.endswith("\n") or not text else "\n")
    print("---")


def print_windows(d):
    """The program's windows at the top, with their states and types."""
    print("--- the program's windows ---")
    for line in tree(d).splitlines():
        if '"TessalyApp"' in line or '"trayer"' in line:
            print(line)
            wid = line.split()[0]
            if line.startswith("     0x"):
                state = re.search(r"Map State: (\w+)", d.run(["xwininfo", "-id", wid]).stdout)
                kind = d.run(["xprop", "-id", wid, "_NET_WM_WINDOW_TYPE"]).stdout.strip()
                print("        %s; %s" % (state.group(1) if state else "?", kind))
    print("---")


def prepare_home(home):
    for sub in ("config/Tessaly", "data", "run"):
        os.makedirs(os.path.join(home, sub), exist_ok=True)
    os.chmod(os.path.join(home, "run"), 0o700)
    with open(os.path.join(home, "config/Tessaly/Tessaly.ini"), "w") as f:
        f.write("[FirstRun]\nFirstRun=False\n[Options]\nRunMinimized=1\nSystemTray=1\nShowConfigAtStartUp=0\n")


def main():
    for tool in ("Xvfb", "trayer", "xdotool", "xwininfo", "xprop"):
        if not shutil.which(tool):
            fail(tool + " is not installed")
    if not os.path.exists(APP):
        fail("no program at " + APP)
    step("an X display")
    d = Display()
    home = tempfile.mkdtemp(prefix="tsy-tray-")
    logs = [os.path.join(home, "run1.stderr"), os.path.join(home, "run2.stderr")]
    app = trayer = None
    DIAGNOSE.append(lambda: print_windows(d))
    DIAGNOSE.append(lambda: [print_file("stderr of run %d" % (i + 1), p) for i, p in enumerate(logs)])
    try:
        prepare_home(home)
        step("the tray host")
        trayer = start_trayer(d)

        step("run 1: start minimised into the tray")
        app = start_app(d, home, logs[0])
        seen_mapped = set()

        def embedded():
            for wid in top_level_app_windows(d):
                if mapped(d, wid):
                    seen_mapped.add(wid)
            return tray_icon(d)
        _, _, icon = wait_for(embedded, "the icon in the tray")
        # The icon's own window is a child of the root until the tray host
        # takes it in, and viewable once it has: a look at the tree before that
        # and at the window after it sees it "mapped" at the top. It is not one
        # of the program's windows showing.
        seen_mapped.discard(icon)
        if seen_mapped:
            fail("a window was mapped during a minimised start: " + " ".join(sorted(seen_mapped)))
        step("run 1: the main window exists, unmapped")
        main_wid = wait_for(lambda: main_window(d), "the main window to exist")
        if mapped(d, main_wid):
            fail("the main window is mapped while in the tray")

        # Each click goes where the icon is now, should the tray host have
        # moved it since.
        def click(*args):
            x, y, _ = wait_for(lambda: tray_icon(d), "the icon in its place")
            print("[%6.1f s]   click %s at %d,%d" % (elapsed(), " ".join(args), x, y), flush=True)
            d.run(["xdotool", "mousemove", str(x), str(y), "click"] + list(args))

        # Two clicks count as a double-click only when they come close enough
        # together; on a loaded machine a pair may arrive too far apart, so a
        # missed one is tried again a few times.
        def double_click():
            click("--repeat", "2", "--delay", "60", "1")
            return lambda: mapped(d, main_wid)
        step("run 1: a double-click on the icon maps the main window")
        retried(double_click, "a double-click to map the main window")

        before = set(w for w in top_level_app_windows(d) if mapped(d, w))

        # The pointer rests on the icon, so its tooltip may show at any time:
        # that is a new window of the program too, but not the menu.
        def menu_shown():
            return set(w for w in top_level_app_windows(d) if w not in before and mapped(d, w)
                       and "_NET_WM_WINDOW_TYPE_TOOLTIP" not in
                       d.run(["xprop", "-id", w, "_NET_WM_WINDOW_TYPE"]).stdout)

        def right_click():
            click("3")
            return menu_shown
        step("run 1: a right-click on the icon shows its menu")
        retried(right_click, "the icon's menu")

        # The menu may be mapped before it has taken the keyboard, and a key
        # pressed in between is lost: the key is pressed again (the menu
        # opened again first if it has closed) until the program ends.
        def exit_key():
            if app.poll() is None and not menu_shown():
                retried(right_click, "the icon's menu (again)")
            d.run(["xdotool", "key", "x"])
            return lambda: app.poll() is not None
        step("run 1: the key x picks E&xit")
        retried(exit_key, "E&xit from the icon's menu")
        code = app.wait()
        app = None
        if code != 0:
            fail(f"exit code {code}")

        # Run 2: the tray host goes away while the window hides in it.
        step("run 2: start minimised into the tray")
        app = start_app(d, home, logs[1])
        wait_for(lambda: tray_icon(d), "the icon in the tray (run 2)")
        step("run 2: the main window exists, unmapped")
        main_wid = wait_for(lambda: main_window(d), "the main window to exist (run 2)")
        if mapped(d, main_wid):
            fail("the main window is mapped while in the tray (run 2)")
        step("run 2: the tray host goes away, the main window comes back")
        trayer.kill()
        trayer.wait()
        trayer = None
        wait_for(lambda: mapped(d, main_wid), "the main window after the tray went away")
        step("done")
        print("1 passed, 0 failed")
    finally:
        if app:
            app.send_signal(signal.SIGTERM)
            try:
                app.wait(10)
            except subprocess.TimeoutExpired:
                app.kill()
                app.wait()
        if trayer:
            trayer.kill()
            trayer.wait()
        d.close()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
