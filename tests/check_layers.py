#!/usr/bin/env python3
"""The program's architecture as floors of rooms, and the check that its includes keep to it.

A room is a folder. A file may include from its own room and from rooms on lower floors, never
from a room on its own floor or above, so rooms can never form a circle. The floors, lowest first:
"""
FLOORS = [
    ("base",        "what every room uses and that uses nothing of ours: the log, files, locks, version numbers"),
    ("definitions", "the state-machine documents and their checks"),
    ("midi",        "the MIDI port seam, the port choice, the polls and the reply decoding"),
    ("midi/native firmware", "the platform's port backends; firmware packages and the SysEx sender"),
    ("trace",       "MIDI traces: recording and reading them"),
    ("simulator engine", "the simulated instruments; the engine that runs the state machines"),
    ("ui",          "the window's components"),
    ("app",         "the application: start-up, the single instance, quitting, the display check"),
    ("tools",       "the terminal programs"),
    ("tests fuzz bench", "tests, fuzz targets and benchmarks"),
]
# Besides a file's own folder, includes are looked up in these folders (and in each program's
# folder under tools/), as the build does.
INCLUDE_ROOTS = ["src", "tests"]

import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.M)


def drawing():
    """The floors as the contributors' guide draws them, top floor first."""
    lines = []
    for level in reversed(range(len(FLOORS))):
        rooms, what = FLOORS[level]
        lines.append(f"{level + 1:2}  {rooms:22} {what}")
    return lines


def floor_of_room():
    floors = {}
    for level, (rooms, _) in enumerate(FLOORS):
        for room in rooms.split():
            floors[room] = level
    return floors


def room_of(path, floors):
    """The deepest listed room that holds the path: src/midi/native/X.cpp is in midi/native."""
    parts = path.split("/")
    if parts[0] == "src":
        parts = parts[1:]
    for length in range(len(parts) - 1, 0, -1):
        candidate = "/".join(parts[:length])
        if candidate in floors:
            return candidate
    return None


def include_roots(root):
    tools = os.path.join(root, "tools")
    programs = sorted(os.path.join("tools", name) for name in os.listdir(tools)
                      if os.path.isdir(os.path.join(tools, name))) if os.path.isdir(tools) else []
    return INCLUDE_ROOTS + programs


def resolve(source, name, root, roots):
    for folder in [os.path.dirname(source)] + roots:
        candidate = os.path.normpath(os.path.join(folder, name))
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate
    return None


def sources(root):
    for top in ("src", "tools", "tests", "fuzz", "bench"):
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if name.endswith((".h", ".cpp")):
                    yield os.path.relpath(os.path.join(folder, name), root)


def self_test():
    """The check itself must fail on a climbing include and on two rooms of one floor."""
    import subprocess
    import tempfile
    cases = {
        "climbs": ("src/base/Low.h", '#include "../midi/High.h"\n'),
        "beside": ("src/firmware/Side.h", '#include "../midi/native/Other.h"\n'),
    }
    failed = 0
    for case, (path, text) in cases.items():
        with tempfile.TemporaryDirectory() as root:
            for name, content in (("src/midi/High.h", ""), ("src/midi/native/Other.h", ""), (path, text)):
                os.makedirs(os.path.join(root, os.path.dirname(name)), exist_ok=True)
                with open(os.path.join(root, name), "w", encoding="utf-8") as file:
                    file.write(content)
            run = subprocess.run([sys.executable, __file__, root], capture_output=True, text=True)
            if run.returncode != 1 or path not in run.stdout:
                print(f"self-test {case}: expected a fault for {path}, got status {run.returncode}:\n{run.stdout}")
                failed += 1
    print(f"self-test: {len(cases) - failed} of {len(cases)} faulty trees refused")
    return 1 if failed else 0


def main():
    if "--self-test" in sys.argv:
        return self_test()
    arguments = [a for a in sys.argv[1:] if not a.startswith("--")]
    root = arguments[0] if arguments else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    if "--floors" in sys.argv:
        print("\n".join(drawing()))
        return 0
    floors = floor_of_room()
    roots = include_roots(root)
    faults = []
    checked = 0
    for source in sources(root):
        room = room_of(source, floors)
        if room is None:
            faults.append(f"{source}: in no room; add its folder to FLOORS in {os.path.basename(__file__)}")
            continue
        with open(os.path.join(root, source), encoding="utf-8") as file:
            text = file.read()
        for name in INCLUDE.findall(text):
            target = resolve(source, name, root, roots)
            if target is None:
                continue
            checked += 1
            target_room = room_of(target, floors)
            if target_room is None or target_room == room:
                continue
            if floors[target_room] >= floors[room]:
                where = "above" if floors[target_room] > floors[room] else "beside"
                faults.append(f'{source}: includes "{name}" from {target_room}, a room {where} {room}')
    guide = os.path.join(root, "docs", "contributing.md")
    if os.path.isfile(guide):
        with open(guide, encoding="utf-8") as file:
            shown = file.read()
        if "\n".join("    " + line for line in drawing()) not in shown:
            faults.append("docs/contributing.md: its drawing of the floors differs from FLOORS (draw it again with --floors)")
    for fault in faults:
        print(fault)
    print(f"{checked} includes checked, {len(faults)} against the floors")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
