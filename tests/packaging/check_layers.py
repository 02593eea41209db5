#!/usr/bin/env python3
"""The layers of the tree, checked on every include.

Usage: check_layers.py SOURCE_DIR

Each directory below may include from itself and from the directories it
lists, nothing else: a lower layer never includes a higher one, and siblings
(the three bus libraries, say) never include each other. Internal headers are
included by their path from the top of the tree, so every include names a
file that exists; the public headers (lib/include/orv_*.h) by their bare
names. No two headers of the tree share a name.
"""
import os
import re
import subprocess
import sys

LIB_BASE = ["lib/include", "lib/wire"]
# Directory -> what it may include besides itself.
ALLOWED = {
    "lib/include": [],
    "lib/wire": ["lib/include"],
    "lib/jtag": LIB_BASE,
    "lib/spi": LIB_BASE,
    "lib/i2c": LIB_BASE,
    "lib/hostfile": [],
    "lib/formats/bsdl": [],
    "lib/formats/svf": LIB_BASE,
    "lib/formats/layout": [],
    "lib/devices": LIB_BASE + ["lib/formats", "lib/hostfile"],
    "sim/transfer_seam": LIB_BASE,
    "sim/adapter": LIB_BASE,
    "sim/emulator": LIB_BASE + ["lib/formats/bsdl", "lib/hostfile", "sim/adapter", "sim/transfer_seam"],
    "sim/vusb": LIB_BASE + ["sim/adapter", "sim/emulator"],
    # Traces of a real adapter need the adapter model, never the emulator.
    "trace": LIB_BASE + ["lib/hostfile", "sim/adapter"],
    # The bridges are a front end of the device library: its header alone.
    "front/bridges": ["lib/include"],
    "front/orvtool": ["lib", "sim", "trace", "front/bridges"],
    "front/orvsim-run": LIB_BASE + ["lib/hostfile", "sim", "trace"],
}
PUBLIC = re.compile(r"orv_[a-z_]+\.h$")
GENERATED = {"jep106_table.inc"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def layer_of(path):
    best = None
    for layer in ALLOWED:
        if path.startswith(layer + "/") and (best is None or len(layer) > len(best)):
            best = layer
    return best


def within(target, prefixes):
    return any(target == p or target.startswith(p + "/") for p in prefixes)


def main():
    os.chdir(sys.argv[1])
    files = subprocess.check_output(["git", "ls-files", "--", "*.c", "*.cpp", "*.h", "*.hpp"], text=True).split()
    files = [f for f in files if os.path.exists(f)]
    tracked = set(files)
    failures = []

    names = {}
    for f in files:
        if f.endswith((".h", ".hpp")) and not f.startswith("tests/fuzz/corpus/"):
            names.setdefault(os.path.basename(f), []).append(f)
    for name, paths in sorted(names.items()):
        if len(paths) > 1:
            failures.append(f"two headers named {name}: {', '.join(paths)}")

    for f in files:
        with open(f, encoding="utf-8", errors="replace") as fh:
            text = fh.read()
        layer = layer_of(f)
        for target in INCLUDE.findall(text):
            if PUBLIC.search(target) and "/" not in target or target in GENERATED:
                continue
            if target not in tracked:
                failures.append(f"{f}: #include \"{target}\" is not a path from the top of the tree")
                continue
            if layer is None:  # tests, benchmarks: anything
                continue
            if within(target, [layer] + ALLOWED[layer]):
                continue
            failures.append(f"{f}: {layer}/ may not include {target}")

    for line in failures:
        print("FAIL:", line)
    if not failures:
        print(f"ok: {len(files)} files, every include within its layer")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
