#!/usr/bin/python3
# Reads the program's windows as a screen reader does, through AT-SPI, and prints them one node per
# line, "role: name", indented by depth. Waits until some line contains NEEDLE (or gives up after
# SECONDS). Usage: read_window.py APP-NAME NEEDLE [SECONDS]
# Exit status: 0 found, 1 not found in time, 2 no AT-SPI here.
import sys
import time

try:
    import pyatspi
except ImportError:
    sys.exit(2)

name, needle = sys.argv[1].lower(), sys.argv[2]
deadline = time.time() + (float(sys.argv[3]) if len(sys.argv) > 3 else 20)


def lines(node, depth=0, out=None):
    out = [] if out is None else out
    try:
        out.append("  " * depth + f"{node.getRoleName()}: {node.name}")
        children = list(node) if depth < 30 else []
    except Exception:  # a node that went away while being read
        return out
    for child in children:
        if child is not None:
            lines(child, depth + 1, out)
    return out


tree = []
while time.time() < deadline:
    for app in pyatspi.Registry.getDesktop(0):
        if app is not None and app.name and app.name.lower() == name:
            tree = lines(app)
    if any(needle in line for line in tree):
        print("\n".join(tree))
        sys.exit(0)
    time.sleep(0.5)
print("\n".join(tree))
sys.exit(1)
