#!/usr/bin/python3
"""The real pyxcdx under a virtual display, driven by real key events
(xdotool) and read over the accessibility bus (AT-SPI).

Run beside a private X server (tests/support/private_x.py) and a D-Bus session:
  e2e_pyxcdx.py PYXCDX TESSERA FIXTURE_DBF OUT_DIR
Starts on a copy of the fixture table without PYX.CDX, waits for the index
to be built, searches a callsign with F7, adds a Cyrillic card with F6 and
posts it, then checks the table with `tessera dump` and `tessera check`.
Screenshots of the card view and the table view go to OUT_DIR.

Every step waits for what it needs to see (a widget shown, focused or
holding a text; a record in the table), polling with a generous deadline,
so that a busy machine only makes the test slower.
"""
import json, os, shutil, subprocess, sys, tempfile, time

pyxcdx, tessera, fixture, out_dir = sys.argv[1:5]
os.makedirs(out_dir, exist_ok=True)
work = tempfile.mkdtemp(prefix="pyx-e2e-")
shutil.copy(fixture, os.path.join(work, "Pyx.DBF"))
env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
# The accessibility bus of this session.
subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures.append(what)


def xdo(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout.strip()


def wait_for(pred, timeout=120):
    end = time.time() + timeout
    while time.time() < end:
        try:
            v = pred()
            if v:
                return v
        except Exception:
            pass
        time.sleep(0.2)
    return None


keyboard_map = ["us"]


def type_text(text):
    """Types text as key presses. Letters the keyboard map lacks are typed
    with a Russian map loaded for them: xdotool would otherwise bind each to
    a spare key and unbind it at once, and a window that reads the map after
    the unbinding sees another key or none. The map changes only between
    texts, once the window has shown the last one."""
    wanted = "ru" if any(ord(c) > 127 for c in text) else "us"
    if wanted != keyboard_map[0]:
        subprocess.run(["setxkbmap", wanted], check=True)
        keyboard_map[0] = wanted
    xdo("type", "--window", win, "--delay", "50", text)


def a11y_bus_up():
    from gi.repository import Gio, GLib
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    reply = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "NameHasOwner", GLib.Variant("(s)", ("org.a11y.Bus",)), None,
                          Gio.DBusCallFlags.NONE, -1, None)
    return reply.unpack()[0]


# The window looks for the accessibility bus when it starts.
if not wait_for(a11y_bus_up):
    print("FAIL the accessibility bus did not start", flush=True)
    sys.exit(1)
# The X server takes clients; if it does not, that is said once here rather
# than by every step after.
if not wait_for(lambda: subprocess.run(["xdotool", "getdisplaygeometry"], capture_output=True).returncode == 0):
    print("FAIL the X server takes no clients", flush=True)
    sys.exit(1)
proc = subprocess.Popen([pyxcdx, work], env=env)

try:
    # A program that ends at start is reported at once, not after every wait.
    win = wait_for(lambda: proc.poll() is not None or xdo("search", "--name", "Программа PYX").split("\n")[0])
    if proc.poll() is not None:
        print("FAIL pyxcdx ended at start with status %d" % proc.returncode, flush=True)
        sys.exit(1)
    check(bool(win), "the window appears")
    check(wait_for(lambda: os.path.exists(os.path.join(work, "PYX.CDX"))) is not None,
          "PYX.CDX is built at start")

    import pyatspi

    def app_node():
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            a = desktop.getChildAtIndex(i)
            if a is not None and a.name == "pyxcdx":
                return a
        return None

    def find(node, name, depth=0):
        if node is None or depth > 30:
            return None
        if node.name == name and node.getRole() in (pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY,
                                                    pyatspi.ROLE_PUSH_BUTTON):
            return node
        for i in range(node.childCount):
            r = find(node.getChildAtIndex(i), name, depth + 1)
            if r is not None:
                return r
        return None

    def text_of(name):
        n = find(app_node(), name)
        t = n.queryText()
        return t.getText(0, t.characterCount)

    def has_state(node, state):
        return node is not None and node.getState().contains(state)

    def focused(node=None, depth=0):
        """The text widget that has the keyboard focus, or None."""
        node = app_node() if node is None else node
        if node is None or depth > 30:
            return None
        if has_state(node, pyatspi.STATE_FOCUSED) and node.getRole() in (pyatspi.ROLE_TEXT, pyatspi.ROLE_ENTRY):
            return node
        for i in range(node.childCount):
            r = focused(node.getChildAtIndex(i), depth + 1)
            if r is not None:
                return r
        return None

    def showing(role, node=None, depth=0):
        """A widget of this role that is on the screen, or None."""
        node = app_node() if node is None else node
        if node is None or depth > 30:
            return None
        if node.getRole() == role and has_state(node, pyatspi.STATE_SHOWING):
            return node
        for i in range(node.childCount):
            r = showing(role, node.getChildAtIndex(i), depth + 1)
            if r is not None:
                return r
        return None

    def node_text(node):
        t = node.queryText()
        return t.getText(0, t.characterCount)

    def last_record():
        lines = subprocess.run([tessera, "dump", os.path.join(work, "Pyx.DBF")], capture_output=True,
                               text=True).stdout.strip().split("\n")
        return json.loads(lines[-1])

    check(wait_for(lambda: text_of("Позывной") == "QZ6ZZZ") is not None, "the card of QZ6ZZZ is shown (AT-SPI)")
    xdo("windowfocus", "--sync", win)
    subprocess.run(["import", "-window", "root", os.path.join(out_dir, "pyxcdx-card-view.png")])

    # F7, a callsign prefix, Enter.
    xdo("key", "--window", win, "F7")
    search = wait_for(lambda: (lambda f: f if f is not None and f.name != "Позывной" else None)(focused()))
    check(search is not None, "F7 shows the search input, focused")
    type_text("ua1r")
    check(wait_for(lambda: node_text(search) == "UA1R") is not None, "the search input holds UA1R")
    xdo("key", "--window", win, "Return")
    expect = json.loads(subprocess.run([tessera, "seek", os.path.join(work, "Pyx.DBF"), os.path.join(work, "PYX.CDX"),
                                        "CALL", "UA1R"], capture_output=True, text=True).stdout)
    want = expect["values"][0]
    got = wait_for(lambda: text_of("Позывной") if text_of("Позывной") == want.upper() else None)
    check(got is not None, "F7 UA1R Enter shows %s (shown: %r)" % (want, text_of("Позывной")))

    # The table view, then back.
    xdo("key", "--window", win, "F3")
    check(wait_for(lambda: showing(pyatspi.ROLE_TABLE)) is not None, "F3 shows the table")
    subprocess.run(["import", "-window", "root", os.path.join(out_dir, "pyxcdx-table-view.png")])
    xdo("key", "--window", win, "F2")
    check(wait_for(lambda: showing(pyatspi.ROLE_TABLE) is None and
                   has_state(find(app_node(), "Позывной"), pyatspi.STATE_SHOWING)), "F2 shows the card again")

    # F6, a new card in Cyrillic, post.
    xdo("key", "--window", win, "F6")
    check(wait_for(lambda: has_state(find(app_node(), "Позывной"), pyatspi.STATE_EDITABLE)) is not None,
          "F6 makes the card editable")
    for name, value in (("Позывной", "RA9XYZ"), ("Фамилия", "Щербаков"), ("Имя", "Ёжик")):
        n = find(app_node(), name)
        n.queryComponent().grabFocus()
        check(wait_for(lambda: has_state(find(app_node(), name), pyatspi.STATE_FOCUSED)) is not None,
              "the field %s takes the focus" % name)
        type_text(value)
        check(wait_for(lambda: text_of(name) == value.upper()) is not None,
              "the field %s holds %s (%r)" % (name, value.upper(), text_of(name)))
    post = find(app_node(), "Записать изменения")
    post.queryAction().doAction(0)
    wait_for(lambda: last_record()["recno"] == 3001)
    last = last_record()
    check(last["values"][:3] == ["RA9XYZ", "ЩЕРБАКОВ", "ЁЖИК"] and last["recno"] == 3001,
          "the new card is appended: %s" % last["values"][:3])
    raw = subprocess.run([tessera, "dump", "--raw", os.path.join(work, "Pyx.DBF")], capture_output=True,
                         text=True).stdout.strip().split("\n")
    fam = bytes.fromhex(json.loads(raw[-1])["values"][1]).rstrip(b" ")
    check(fam == "ЩЕРБАКОВ".encode("cp866"), "the surname is stored in CP866")
    chk = subprocess.run([tessera, "check", os.path.join(work, "Pyx.DBF"), os.path.join(work, "PYX.CDX")],
                         capture_output=True, text=True)
    check(chk.returncode == 0, "tessera check is clean " + chk.stdout[-300:])

    # F10 ends the program.
    xdo("key", "--window", win, "F10")
    try:
        status = proc.wait(120)
    except subprocess.TimeoutExpired:
        status = None
    check(status == 0, "F10 ends the program with status 0 (%r)" % status)
finally:
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
    shutil.rmtree(work, ignore_errors=True)

sys.exit(1 if failures else 0)
