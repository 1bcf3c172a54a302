#!/usr/bin/python3
"""The real callscope under a virtual display, following a test sender that
plays WSJT-X over UDP, its callbook pages served by a web server on
127.0.0.1; the status line read over the accessibility bus (AT-SPI), a
callsign typed with real key events (xdotool).

Run beside a private X server (tests/support/private_x.py) and a D-Bus session:
  e2e_callscope_wsjtx.py CALLSCOPE OUT_DIR
WSJT-X sends a Status with DX call DL1ABC, then UA9ABC, then UA9ABC again,
then Close: Callscope asks the general callbook for DL1ABC and the Russian
one for UA9ABC, once each, and its status line follows to "idle". Then
K1ABC typed by hand goes to the general callbook although the last prefix
came with UA9ABC. Screenshots go to OUT_DIR.
"""
import http.server, os, shutil, socket, struct, subprocess, sys, tempfile, threading, time

callscope, out_dir = sys.argv[1:3]
os.makedirs(out_dir, exist_ok=True)
failures = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures.append(what)


proc = None


def wait_for(pred, timeout=60):
    """Polls pred until it gives a true value, or None after timeout or
    once the program has ended."""
    end = time.time() + timeout
    while time.time() < end and (proc is None or proc.poll() is None):
        try:
            v = pred()
            if v:
                return v
        except Exception:
            pass
        time.sleep(0.1)
    return None


# The callbooks: every page request is remembered, in order.
requests = []
lock = threading.Lock()


class Callbook(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        if self.path != "/favicon.ico":
            with lock:
                requests.append(self.path)
        body = b"<html><head><title>Callbook</title></head><body>callbook page</body></html>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Cache-Control", "no-store")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def pages():
    with lock:
        return list(requests)


web = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Callbook)
threading.Thread(target=web.serve_forever, daemon=True).start()
host = "127.0.0.1:%d" % web.server_address[1]

# A port for WSJT-X's datagrams.
probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
probe.bind(("127.0.0.1", 0))
udp_port = probe.getsockname()[1]
probe.close()


# WSJT-X's datagrams, field by field as its network message reference lays
# them out: big-endian; utf8 is a quint32 length and the bytes.
def u8(v): return struct.pack(">B", v)
def u32(v): return struct.pack(">I", v)
def u64(v): return struct.pack(">Q", v)
def utf8(s): b = s.encode(); return u32(len(b)) + b


def header(msg_type, ident="WSJT-X"):
    return u32(0xADBCCBDA) + u32(3) + u32(msg_type) + utf8(ident)


def status(dx_call):
    return (header(1) + u64(14074000) + utf8("FT8") + utf8(dx_call) + utf8("-12") + utf8("FT8")
            + u8(1) + u8(0) + u8(0) + u32(1500) + u32(1500) + utf8("UA3ABC") + utf8("KO85") + utf8("")
            + u8(0) + utf8("") + u8(0) + u8(0) + u32(0xFFFFFFFF) + u32(15) + utf8("Default") + utf8(""))


def close():
    return header(6)


wsjtx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)


def send(datagram):
    wsjtx.sendto(datagram, ("127.0.0.1", udp_port))


# The configuration: every callbook on the local server, WSJT-X on the
# port above, and a small country file in cty.dat's format.
work = tempfile.mkdtemp(prefix="callscope-e2e-")
with open(os.path.join(work, "cty.dat"), "w") as f:
    f.write("Fed. Rep. of Germany:  14:  28:  EU:   51.00:   -10.00:    -1.0:  DL:\n    DA,DB,DC,DD,DJ,DK,DL;\n"
            "European Russia:       16:  29:  EU:   53.65:   -41.37:    -4.0:  UA:\n    R,U;\n"
            "Asiatic Russia:        17:  30:  AS:   55.88:   -84.08:    -7.0:  UA9:\n    R0,R8,R9,UA0,UA8,UA9;\n"
            "United States:         05:  08:  NA:   37.60:    91.87:     5.0:  K:\n    AA,K,N,W;\n")
with open(os.path.join(work, "callscope.conf"), "w") as f:
    f.write("[Hosts]\nGeneral=%s\nCanadian=%s\nRussian=%s\n" % (host, host, host))
    f.write("[WSJT-X]\nAddress=127.0.0.1\nPort=%d\n" % udp_port)
    f.write("[Prefixes]\nCountryFile=%s\n" % os.path.join(work, "cty.dat"))

env = dict(os.environ, XDG_CONFIG_HOME=work, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
# The accessibility bus of this session, up before the program looks for it.
subprocess.Popen(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
wait_for(lambda: subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus", "/org/a11y/bus",
                                 "org.a11y.Bus.GetAddress"], capture_output=True).returncode == 0, 30)
proc = subprocess.Popen([callscope], env=env)


def xdo(*args):
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout.strip()


def shot(name):
    subprocess.run(["import", "-window", "root", os.path.join(out_dir, name)])


class Stop(Exception):
    """A check the rest depend on failed."""


try:
    win = wait_for(lambda: xdo("search", "--name", "WWW callbook lookup").split("\n")[0])
    check(bool(win), "the window appears")
    if not win:
        raise Stop()

    import pyatspi

    def app_node():
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            a = desktop.getChildAtIndex(i)
            if a is not None and a.name == "callscope":
                return a
        return None

    def walk(node, depth=0):
        if node is None or depth > 30:
            return
        yield node
        for i in range(node.childCount):
            yield from walk(node.getChildAtIndex(i), depth + 1)

    def status_line():
        """The label that names the WSJT-X link, as the screen shows it."""
        for n in walk(app_node()):
            if n.getRole() == pyatspi.ROLE_LABEL and n.name.startswith("WSJT-X "):
                return n.name
        return None

    def call_box():
        for n in walk(app_node()):
            if n.getRole() == pyatspi.ROLE_TEXT and n.name == "Call:":
                return n
        return None

    link = "WSJT-X 127.0.0.1:%d \u2014 " % udp_port
    check(wait_for(lambda: status_line() == link + "idle") is not None,
          "the status line shows the link idle (%r)" % status_line())
    if failures:
        raise Stop()

    send(status("DL1ABC"))
    check(wait_for(lambda: "/callsign/DL1ABC" in pages()) is not None, "DL1ABC is asked of the general callbook")
    want = link + "DL1ABC \u00b7 QRZ database"
    check(wait_for(lambda: status_line() == want) is not None, "the status line says %r (%r)" % (want, status_line()))
    shot("callscope-wsjtx-dl1abc.png")

    send(status("UA9ABC"))
    russian = "/CGI-BIN/FCS.EXE/runquery?CallSign=UA9ABC"
    check(wait_for(lambda: russian in pages()) is not None, "UA9ABC is asked of the Russian callbook")
    want = link + "UA9ABC \u00b7 Russian database"
    check(wait_for(lambda: status_line() == want) is not None, "the status line says %r (%r)" % (want, status_line()))

    send(status("UA9ABC"))
    send(close())
    want = link + "idle \u00b7 Russian database"
    check(wait_for(lambda: status_line() == want) is not None,
          "after Close the status line says %r (%r)" % (want, status_line()))
    shot("callscope-wsjtx-idle.png")

    # K1ABC typed by hand: its own country's callbook, not the Russian one
    # of the last prefix. Its page, asked last, comes after any other.
    box = call_box()
    check(box is not None, "the Call box is found (AT-SPI)")
    x, y, w, h = box.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    xdo("mousemove", "--sync", str(x + w // 2), str(y + h // 2))
    xdo("click", "1")
    check(wait_for(lambda: call_box().getState().contains(pyatspi.STATE_FOCUSED), 30) is not None,
          "a click puts the keyboard in the Call box")
    xdo("key", "ctrl+a")
    xdo("type", "--delay", "50", "K1ABC")
    xdo("key", "Return")
    check(wait_for(lambda: "/callsign/K1ABC" in pages()) is not None,
          "K1ABC typed by hand is asked of the general callbook (%r)" % pages())
    check(pages() == ["/callsign/DL1ABC", russian, "/callsign/K1ABC"], "each page was asked for once: %r" % pages())
    want = link + "idle \u00b7 QRZ database"
    check(wait_for(lambda: status_line() == want) is not None, "the status line says %r (%r)" % (want, status_line()))
    shot("callscope-wsjtx-typed.png")
except Stop:
    pass
finally:
    if proc.poll() is not None:
        check(False, "callscope runs to the end (it ended with status %r)" % proc.returncode)
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
    web.shutdown()
    shutil.rmtree(work, ignore_errors=True)

sys.exit(1 if failures else 0)
