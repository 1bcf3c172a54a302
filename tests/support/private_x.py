#!/usr/bin/env python3
"""Runs a command beside a private X server of its own.

    private_x.py WxHxD COMMAND [ARGS...]

The server never resets (-noreset). An X server resets itself when its last
client leaves, and refuses the clients that come meanwhile: a short-lived
client (the accessibility bus launcher setting its root window property, a
check with xdotool) leaving just as the program under test connected made
it end at start with "could not connect to display". xvfb-run starts its
server without the option.

The server also picks its own display number (-displayfd) and names it once
it takes clients, so no number is taken while another server still holds
it, and it is stopped and waited for before this script ends, so the next
test never meets it. Every local client is taken (-ac): the server listens
on no network. The command's status is this script's.
"""
import os
import subprocess
import sys


def main():
    if len(sys.argv) < 3:
        sys.stderr.write("usage: private_x.py WxHxD COMMAND [ARGS...]\n")
        return 2
    geometry, command = sys.argv[1], sys.argv[2:]
    r, w = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(w), "-screen", "0", geometry, "-nolisten", "tcp", "-ac",
                               "-noreset"],
                              pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(w)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(r, 16)
        if not chunk:
            break
        number += chunk
    os.close(r)
    if not number.strip().isdigit():
        server.kill()
        server.wait()
        sys.stderr.write("private_x.py: the X server did not start\n")
        return 1
    env = dict(os.environ, DISPLAY=":" + number.strip().decode())
    env.pop("XAUTHORITY", None)
    try:
        return subprocess.call(command, env=env)
    finally:
        server.terminate()
        server.wait()


if __name__ == "__main__":
    sys.exit(main())
