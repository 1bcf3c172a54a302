#!/usr/bin/env python3
"""pyxcdx's command line, the way its --help describes it: --help,
--version, a directory that is not there, and an unknown option. Run with
QT_QPA_PLATFORM=offscreen."""
import os, subprocess, sys, tempfile

pyxcdx = os.path.abspath(sys.argv[1])
failures = []


def run(*args, cwd=None):
    return subprocess.run([pyxcdx, *args], capture_output=True, text=True, timeout=60, cwd=cwd)


def check(cond, what, r=None):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        failures.append(what)
        if r is not None:
            print("  status %d\n  stdout %r\n  stderr %r" % (r.returncode, r.stdout, r.stderr))


r = run("--help")
check(r.returncode == 0 and r.stdout.startswith("Usage: pyxcdx [DIRECTORY]") and r.stderr == "", "--help", r)
r = run("--version")
check(r.returncode == 0 and r.stdout.startswith("pyxcdx ") and r.stdout.count("\n") == 1, "--version", r)

# A folder without the callbook opens a question box over the window; that
# is driven under a real display by e2e_window.py.
with tempfile.TemporaryDirectory() as empty:
    r = run(os.path.join(empty, "nowhere"))
    check(r.returncode == 1 and "cannot open directory" in r.stderr and "nowhere" in r.stderr,
          "a directory that is not there", r)

r = run("--frobnicate")
check(r.returncode == 2 and "unknown option --frobnicate" in r.stderr, "an unknown option", r)
sys.exit(1 if failures else 0)
