#!/usr/bin/env python3
"""The callbook controller reaches the data only through the dataset: none
of its files includes anything of the engine or the index layer, nor of
the windowing toolkit."""
import os, re, sys

root = sys.argv[1]
bad = []
for name in ("callbook_controller.h", "callbook_controller.cpp", "callbook_view.h", "callbook_tables.h",
             "callbook_texts.h"):
    with open(os.path.join(root, "app", name), encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            m = re.match(r'\s*#\s*include\s*[<"]([^>"]+)[>"]', line)
            if m and (m.group(1).startswith(("engine/", "index/", "expr/", "widgets/")) or m.group(1).startswith("Q")):
                bad.append("%s:%d: %s" % (name, n, m.group(1)))
for b in bad:
    print("FAIL " + b)
print("ok   the controller includes only the dataset and the platform" if not bad else "")
sys.exit(1 if bad else 0)
