#!/usr/bin/env python3
"""Two updates side by side against one alone: the service bench's transfer times.

    bench/bench-side-by-side.py [--build DIR] [--image-bytes N]

On the test sequencer (it runs itself under scripts/with-test-sequencer.sh and in a private
/var/tmp, where the port locks live): first one `vfu-update --port ID --yes --json` updates one
vfu-instrument; then two, each with a Quorrel of its own, run at the same time. Each transfer is
timed from its "Firmware download" State to its 100 % progress line (the JSON lines, stamped as
they arrive) and set against its pacing, the pauses the sender must make; the shipped image
(its embedded package, 359,740 bytes) unless --image-bytes names a size for a package of its own.
It prints one table.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import importlib.util

_spec = importlib.util.spec_from_file_location("program_bench", os.path.join(os.path.dirname(os.path.abspath(__file__)), "program-bench.py"))
program_bench = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(program_bench)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHIPPED_IMAGE_BYTES = program_bench.SHIPPED_IMAGE_BYTES


def fail(text):
    print("bench-side-by-side: " + text, file=sys.stderr)
    sys.exit(1)


class Instrument:
    """vfu-instrument with ports of its own name; its lines are read and kept, so it never blocks."""

    def __init__(self, program, name, image_bytes):
        self.lines = []
        self.process = subprocess.Popen([program, "--name", name, "--image-bytes", str(image_bytes),
                                         "version=2.1.12;bootloader-after=1;reattach-ms=500"],
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        deadline = time.monotonic() + 10
        while not any("created" in line for line in list(self.lines)):
            if time.monotonic() > deadline:
                self.stop()
                fail("vfu-instrument made no ports")
            time.sleep(0.05)

    def _read(self):
        for line in self.process.stdout:
            self.lines.append(line)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)


class Update:
    """vfu-update --port ID --yes --json; the times its JSON lines arrived."""

    def __init__(self, program, port, package):
        self.home = tempfile.mkdtemp(prefix="vfu-bench-")
        os.makedirs(os.path.join(self.home, "Desktop"))
        command = [program, "--port", port, "--yes", "--json", "--timeout", "120"]
        if package:
            command += ["--firmware", package]
        self.events = []
        self.process = subprocess.Popen(command, env=dict(os.environ, HOME=self.home), stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.process.stdout:
            self.events.append((time.monotonic(), json.loads(line)))

    def finish(self):
        status = self.process.wait(timeout=900)
        self.reader.join()
        shutil.rmtree(self.home, ignore_errors=True)
        start = next((t for t, e in self.events if e.get("event") == "state" and e.get("to") == "Firmware download"), None)
        end = next((t for t, e in self.events if e.get("event") == "progress" and e.get("percent") == 100), None)
        if status != 0 or start is None or end is None:
            fail("an update ended with %d; its last lines: %s" % (status, self.events[-3:]))
        return end - start


def port_of(updater, name):
    listing = subprocess.run([updater, "--list"], capture_output=True, text=True, timeout=120).stdout
    outputs = listing.split("MIDI outputs:")[-1]
    for line in outputs.splitlines():
        fields = line.split()
        if len(fields) >= 2 and line.strip()[len(fields[0]):].strip().startswith(name + ":"):
            return fields[0]
    fail("no output named %s in:\n%s" % (name, listing))


def in_bootloader(instrument):
    deadline = time.monotonic() + 30
    while not any("created (bootloader" in line for line in list(instrument.lines)):
        if time.monotonic() > deadline:
            fail("the instrument did not go into its bootloader")
        time.sleep(0.05)


def updates(args, names):
    """One update per instrument, all at once; the transfer times in the order of names."""
    tools = os.path.join(args.build, "tools")
    updater = os.path.join(tools, "vfu-update", "vfu-update")
    instruments = [Instrument(os.path.join(tools, "vfu-instrument", "vfu-instrument"), name, args.image_bytes) for name in names]
    try:
        # Asked once, each goes into its bootloader and comes back with ports numbered anew: the
        # identifiers to update are those listed after that.
        for name in names:
            port_of(updater, name)
        for instrument in instruments:
            in_bootloader(instrument)
        ports = [port_of(updater, name) for name in names]
        running = [Update(updater, port, args.package) for port in ports]
        return [update.finish() for update in running]
    finally:
        for instrument in instruments:
            instrument.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--image-bytes", type=int, default=SHIPPED_IMAGE_BYTES)
    args = parser.parse_args()
    args.build = os.path.abspath(args.build)

    if not os.environ.get("VFU_TEST_SEQ_SOCKET"):
        script = os.path.join(ROOT, "scripts", "with-test-sequencer.sh")
        inner = [script, "--build", args.build, sys.executable, os.path.abspath(__file__)] + sys.argv[1:]
        os.execvp("unshare", ["unshare", "--mount", "sh", "-c", 'mount -t tmpfs -o mode=1777 tmpfs /var/tmp && exec "$@"', "sh"] + inner)

    args.package = None
    work = tempfile.mkdtemp(prefix="vfu-bench-")
    try:
        if args.image_bytes != SHIPPED_IMAGE_BYTES:
            tool = os.path.join(args.build, "tools", "vfw-tool", "vfu-firmware-tool")
            image = os.path.join(work, "quorrel-fw-2.2.0.syx")
            args.package = os.path.join(work, "quorrel-fw-2.2.0.vfw")
            subprocess.run([tool, "image", "--family", "6", "--version", "2.2.0", "--size", str(args.image_bytes), "-o", image],
                           check=True, stdout=subprocess.DEVNULL)
            subprocess.run([tool, "pack", "-o", args.package, image], check=True, stdout=subprocess.DEVNULL)

        alone = updates(args, ["Quorrel A"])[0]
        pair = updates(args, ["Quorrel A", "Quorrel B"])
    finally:
        shutil.rmtree(work, ignore_errors=True)

    pacing = program_bench.pacing_seconds(args.image_bytes)
    print()
    print("Transfers of a %s-byte image on the test sequencer (%d cores), against %.1f s of pacing"
          % ("{:,}".format(args.image_bytes), os.cpu_count(), pacing))
    print()
    print("| run | transfer | of its pacing |")
    print("|---|---|---|")
    print("| one update alone | %.1f s | %.4f |" % (alone, alone / pacing))
    for name, seconds in zip(("A", "B"), pair):
        print("| two side by side: %s | %.1f s | %.4f |" % (name, seconds, seconds / pacing))


if __name__ == "__main__":
    main()
