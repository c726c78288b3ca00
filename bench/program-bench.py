#!/usr/bin/env python3
"""Measures the whole program as a user runs it: a real window on an Xvfb display, the release
build, and beside it an empty window of the same framework build (bench/EmptyWindow.cpp), so that
what the framework costs and what the updater adds are told apart.

    bench/program-bench.py [--runs N] [--seconds S] [--transfer-runs N] [--no-build] [--real-midi]

It prints one table. Every figure is the median of --runs runs (the transfer: --transfer-runs),
and the runs of the reference and of the updater alternate, so both see the same machine.

CPU time is read from /proc/<pid>/task/*/schedstat (nanoseconds on a CPU, summed over the
process's threads): clock ticks are too coarse for the fractions of a percent measured here.
Peak memory is VmHWM from /proc/<pid>/status.

With --real-midi it measures the real MIDI path instead of the demo mode: the program without
VFU_SIMULATE on the test sequencer (it runs itself under scripts/with-test-sequencer.sh), at rest
with no instrument and with vfu-instrument answering nothing, and the transfer of the shipped
image to vfu-instrument, straight through the test sequencer and behind a DIN-speed cable
(vfu-instrument --line-rate 3125), each until the instrument has the last byte. Each run has a home folder of its own, so the log
(~/.config/Vorn Firmware Updater/vfu-quorrel) is fresh and the desktop holds only what the run
puts there.
"""

import argparse
import os
import select
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
LOG_RELATIVE = os.path.join(".config", "Vorn Firmware Updater", "vfu-quorrel")
SHIPPED_IMAGE_BYTES = 359740
# What stands between the updater and vfu-instrument in the real-MIDI transfers.
TRANSFER_LINES = [("no cable", ()), ("a DIN-speed cable (3,125 bytes/s)", ("--line-rate", "3125"))]

# A Quorrel definition whose only State polls "none": the engine has nothing to do but wait.
RESTING_DEFINITIONS = """<FirmwareUpdaters>
  <FirmwareUpdater deviceName="Quorrel" consoleMode="false" communicationMode="MIDI" MIDIDeviceID="0006"
                   fileNamePattern="quorrel-fw-" SHA256Check="true" initialState="Resting" timeout="3600"
                   timeoutState="Resting">
    <State name="Resting" pollingMode="none">
      <TextField name="InstructionsField" text="Resting."/>
      <Button name="InstallCancel" text="Cancel" state="disabled"/>
    </State>
  </FirmwareUpdater>
</FirmwareUpdaters>
"""


def fail(text):
    print("program-bench: " + text, file=sys.stderr)
    sys.exit(1)


class Display:
    """One Xvfb server for the whole run."""

    def __init__(self):
        for number in range(90, 130):
            if not os.path.exists("/tmp/.X11-unix/X%d" % number) and not os.path.exists("/tmp/.X%d-lock" % number):
                break
        else:
            fail("no free X display number")
        self.name = ":%d" % number
        self.process = subprocess.Popen(["Xvfb", self.name, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists("/tmp/.X11-unix/X%d" % number):
            if time.monotonic() > deadline or self.process.poll() is not None:
                fail("Xvfb did not start")
            time.sleep(0.05)

    def close(self):
        self.process.terminate()
        self.process.wait()


def cpu_ns(pid):
    total = 0
    task_dir = "/proc/%d/task" % pid
    for task in os.listdir(task_dir):
        try:
            with open(os.path.join(task_dir, task, "schedstat")) as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
            pass  # a thread that ended between the listing and the read
    return total


def peak_rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class Instrument:
    """vfu-instrument on the sequencer, until stopped; its lines go to a file that can be watched."""

    def __init__(self, program, settings, options=()):
        self.output = tempfile.NamedTemporaryFile(prefix="vfu-bench-instrument-", suffix=".txt")
        self.process = subprocess.Popen([program] + list(options) + [settings], stdout=self.output,
                                        stderr=subprocess.STDOUT)
        try:
            self.wait_for("created", 10)
        except SystemExit:
            self.stop()
            raise

    def text(self):
        with open(self.output.name, errors="replace") as f:
            return f.read()

    def wait_for(self, text, timeout, step=0.005):
        """Waits until it printed text; returns the monotonic time that was seen."""
        deadline = time.monotonic() + timeout
        while text not in self.text():
            if time.monotonic() > deadline or self.process.poll() is not None:
                fail("vfu-instrument did not print %r; it says:\n%s" % (text, self.text()[-2000:]))
            time.sleep(step)
        return time.monotonic()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=10)
        self.output.close()


class Run:
    """One start of a program with a home folder of its own; follows its log as it grows."""

    def __init__(self, command, display, simulate=None, desktop_files=(), stdout_marker=None):
        self.home = tempfile.mkdtemp(prefix="vfu-bench-")
        os.makedirs(os.path.join(self.home, "Desktop"))
        for path in desktop_files:
            shutil.copy(path, os.path.join(self.home, "Desktop"))
        env = dict(os.environ, HOME=self.home, DISPLAY=display.name, XDG_CONFIG_HOME=os.path.join(self.home, ".config"))
        env.pop("VFU_SIMULATE", None)
        if simulate is not None:
            env["VFU_SIMULATE"] = simulate
        # A demo run writes a log of its own beside the usual one.
        self.log_path = os.path.join(self.home, LOG_RELATIVE + ("-demo" if simulate is not None else ""))
        self.log_text = ""
        self.seen = {}  # log text -> monotonic time it was first seen
        self.started = time.monotonic()
        self.process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE if stdout_marker else subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, cwd=self.home)
        self.stdout_marker = stdout_marker

    @property
    def pid(self):
        return self.process.pid

    def read_log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                self.log_text = f.read()
        except FileNotFoundError:
            pass
        return self.log_text

    def wait_for_log(self, text, timeout, step=0.002):
        """Waits until the log holds text; returns the monotonic time it was first seen."""
        deadline = time.monotonic() + timeout
        while text not in self.read_log():
            if time.monotonic() > deadline:
                fail("timed out waiting for %r in the log; the log says:\n%s" % (text, self.log_text[-2000:]))
            if self.process.poll() is not None:
                fail("the program ended (%d) before %r; the log says:\n%s" % (self.process.returncode, text, self.log_text[-2000:]))
            time.sleep(step)
        return time.monotonic()

    def wait_for_stdout_marker(self, timeout):
        # select() bounds the wait, so a reference program that hangs cannot hang the benchmark.
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        line = self.process.stdout.readline().decode(errors="replace") if ready else ""
        if self.stdout_marker not in line:
            fail("the reference program did not report its window")
        return time.monotonic()

    def cpu_share_over(self, seconds):
        before = cpu_ns(self.pid)
        t0 = time.monotonic()
        time.sleep(seconds)
        after = cpu_ns(self.pid)
        return 100.0 * (after - before) / ((time.monotonic() - t0) * 1e9)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.home, ignore_errors=True)


def pacing_seconds(image_bytes, packet_size=256, wait_time=0.082):
    """The pauses alone: after each packet, (int)(length * 0.384) + waitTime milliseconds in
    single precision, cut to whole milliseconds; a last piece under two packets goes as one."""
    import struct

    def f32(x):
        return struct.unpack("f", struct.pack("f", x))[0]

    total_ms = 0
    remaining = image_bytes
    while remaining > 0:
        length = remaining if remaining < 2 * packet_size else packet_size
        total_ms += int(f32(f32(float(int(f32(length * f32(0.384))))) + f32(wait_time)))
        remaining -= length
    return total_ms / 1000.0


def median(values):
    return statistics.median(values) if values else float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3, help="runs per figure (default 3)")
    parser.add_argument("--seconds", type=float, default=8.0, help="measured span at rest (default 8)")
    parser.add_argument("--settle", type=float, default=2.0, help="wait before measuring at rest (default 2)")
    parser.add_argument("--transfer-runs", type=int, default=1, help="transfers of the shipped image (default 1; 0 skips)")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="release build folder")
    parser.add_argument("--no-build", action="store_true", help="take the build as it is")
    parser.add_argument("--updater", help="another updater executable to measure (to compare a change)")
    parser.add_argument("--real-midi", action="store_true", help="the real MIDI path on the test sequencer instead of demo mode")
    args = parser.parse_args()

    if args.real_midi and not os.environ.get("VFU_TEST_SEQ_SOCKET"):
        script = os.path.join(ROOT, "scripts", "with-test-sequencer.sh")
        os.execv(script, [script, "--build", args.build, sys.executable, os.path.abspath(__file__)] + sys.argv[1:])

    if not args.no_build:
        subprocess.run([os.path.join(ROOT, "scripts", "build.sh"), "release"], check=True, stdout=subprocess.DEVNULL)

    updater = args.updater or os.path.join(args.build, "src", "VornFirmwareUpdater")
    reference = os.path.join(args.build, "bench", "vfu-empty-window")
    tool = os.path.join(args.build, "tools", "vfw-tool", "vfu-firmware-tool")
    for path in (updater, reference, tool):
        if not os.access(path, os.X_OK):
            fail("%s is missing; build first (scripts/build.sh release)" % path)

    work = tempfile.mkdtemp(prefix="vfu-bench-work-")
    # A copy of the program in a folder of its own, with a resting definitions document beside it.
    resting_dir = os.path.join(work, "resting")
    os.makedirs(resting_dir)
    resting_updater = os.path.join(resting_dir, "VornFirmwareUpdater")
    shutil.copy(updater, resting_updater)
    with open(os.path.join(resting_dir, "StateMachines.xml"), "w") as f:
        f.write(RESTING_DEFINITIONS)
    # A small package, newer than the shipped one, for the whole update.
    small_image = os.path.join(work, "quorrel-fw-2.1.14.syx")
    small_package = os.path.join(work, "quorrel-fw-2.1.14.vfw")
    subprocess.run([tool, "image", "--family", "6", "--version", "2.1.14", "--size", "3345", "-o", small_image], check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run([tool, "pack", "-o", small_package, small_image], check=True, stdout=subprocess.DEVNULL)

    if args.real_midi:
        real_midi_figures(args, updater, reference, os.path.join(args.build, "tools", "vfu-instrument", "vfu-instrument"))
        shutil.rmtree(work, ignore_errors=True)
        return

    display = Display()
    rows = []
    try:
        first_state = "State 'Idle, no device'"

        # Start-up: from exec to the first State's log line (the window is up by then).
        startup, startup_ref, rss_start = [], [], []
        for _ in range(args.runs):
            run = Run([reference], display, stdout_marker="window shown")
            startup_ref.append(run.wait_for_stdout_marker(30) - run.started)
            run.stop()
            run = Run([updater], display)
            startup.append(run.wait_for_log(first_state, 30, step=0.001) - run.started)
            time.sleep(1.0)
            rss_start.append(peak_rss_kib(run.pid))
            run.stop()

        # At rest, three situations, each beside the empty window.
        situations = [
            ("no MIDI ports, State 'Idle, no device'", [updater], None, first_state),
            ("demo mode, a State with polling \"none\"", [resting_updater], "bootloader-after=never", "State 'Resting'"),
            ("polling a port pair that never answers", [updater], "silent=true", first_state),
        ]
        reference_cpu = []
        cpu = {name: [] for name, *_ in situations}
        for _ in range(args.runs):
            run = Run([reference], display, stdout_marker="window shown")
            run.wait_for_stdout_marker(30)
            time.sleep(args.settle)
            reference_cpu.append(run.cpu_share_over(args.seconds))
            run.stop()
            for name, command, simulate, ready in situations:
                run = Run(command, display, simulate=simulate)
                run.wait_for_log(ready, 30)
                time.sleep(args.settle)
                cpu[name].append(run.cpu_share_over(args.seconds))
                run.stop()

        # A whole demo-mode update of a small image: peak memory at its end.
        rss_update = []
        for _ in range(args.runs):
            run = Run([updater], display, simulate="bootloader-after=1;reattach-ms=500", desktop_files=[small_package])
            run.wait_for_log("State 'Download complete'", 120)
            time.sleep(0.5)
            rss_update.append(peak_rss_kib(run.pid))
            run.stop()

        # The shipped image: the transfer's wall time against its pacing, and its CPU.
        transfer_wall, transfer_cpu = [], []
        entry = "quorrel-fw-2.1.13.syx"
        for _ in range(args.transfer_runs):
            run = Run([updater], display, simulate="bootloader-after=1;reattach-ms=500")
            run.wait_for_log("State 'Firmware download'", 120)
            t0, c0 = time.monotonic(), cpu_ns(run.pid)
            run.wait_for_log("Send '" + entry + "' : 100 %%", 600, step=0.005)
            t1, c1 = time.monotonic(), cpu_ns(run.pid)
            transfer_wall.append(t1 - t0)
            transfer_cpu.append(100.0 * (c1 - c0) / ((t1 - t0) * 1e9))
            run.wait_for_log("State 'Download complete'", 60)
            run.stop()
    finally:
        display.close()
        shutil.rmtree(work, ignore_errors=True)

    ref = median(reference_cpu)
    print()
    print("Whole program, release build, real window on Xvfb; medians of %d runs (%g s at rest each)" % (args.runs, args.seconds))
    print()
    print("| what | figure | empty window | ours |")
    print("|---|---|---|---|")
    print("| start-up, exec to the first State's log line | %.0f ms | %.0f ms (exec to window shown) | |"
          % (1000 * median(startup), 1000 * median(startup_ref)))
    print("| peak RSS after start-up | %.1f MB | | |" % (median(rss_start) / 1024))
    print("| peak RSS after a whole demo-mode update of a 3,345-byte image | %.1f MB | | |" % (median(rss_update) / 1024))
    for name, values in cpu.items():
        figure = median(values)
        print("| CPU at rest: %s | %.2f %% | %.2f %% | %+.2f points |" % (name, figure, ref, figure - ref))
    if transfer_wall:
        pacing = pacing_seconds(SHIPPED_IMAGE_BYTES)
        wall = median(transfer_wall)
        print("| transfer of the shipped %s-byte image: wall time | %.1f s | | %+.2f %% against %.1f s of pacing |"
              % ("{:,}".format(SHIPPED_IMAGE_BYTES), wall, 100.0 * (wall - pacing) / pacing, pacing))
        print("| transfer of the shipped image: CPU | %.2f %% | | |" % median(transfer_cpu))
    print()
    print("Raw: start-up %s ms; reference CPU %s; %s"
          % ([round(1000 * s) for s in startup], [round(v, 2) for v in reference_cpu],
             "; ".join("%s %s" % (n, [round(v, 2) for v in vs]) for n, vs in cpu.items())))


def real_midi_figures(args, updater, reference, instrument):
    """At rest and during the shipped image's transfer, on the test sequencer with vfu-instrument."""
    if not os.access(instrument, os.X_OK):
        fail("%s is missing; build first (scripts/build.sh release)" % instrument)

    first_state = "State 'Idle, no device'"
    display = Display()
    reference_cpu, alone_cpu, silent_cpu = [], [], []
    transfer_wall = {name: [] for name, _ in TRANSFER_LINES}
    transfer_cpu = {name: [] for name, _ in TRANSFER_LINES}
    overruns = {name: [] for name, _ in TRANSFER_LINES}
    load_before = os.getloadavg()
    try:
        for _ in range(args.runs):
            run = Run([reference], display, stdout_marker="window shown")
            run.wait_for_stdout_marker(30)
            time.sleep(args.settle)
            reference_cpu.append(run.cpu_share_over(args.seconds))
            run.stop()

            run = Run([updater], display)
            run.wait_for_log(first_state, 30)
            time.sleep(args.settle)
            alone_cpu.append(run.cpu_share_over(args.seconds))
            run.stop()

            silent = Instrument(instrument, "silent=true")
            run = Run([updater], display)
            run.wait_for_log(first_state, 30)
            time.sleep(args.settle)
            silent_cpu.append(run.cpu_share_over(args.seconds))
            run.stop()
            silent.stop()

        # The shipped image, until the instrument has all of it: straight through the test
        # sequencer, and behind a DIN-speed cable; the two alternate.
        received = "SysEx bytes=%d sha256=" % SHIPPED_IMAGE_BYTES
        for _ in range(args.transfer_runs):
            for name, options in TRANSFER_LINES:
                quorrel = Instrument(instrument, "bootloader-after=1;reattach-ms=500", options)
                run = Run([updater], display)
                run.wait_for_log("State 'Firmware download'", 120)
                t0, c0 = time.monotonic(), cpu_ns(run.pid)
                t1 = quorrel.wait_for(received, 600)
                c1 = cpu_ns(run.pid)
                transfer_wall[name].append(t1 - t0)
                transfer_cpu[name].append(100.0 * (c1 - c0) / ((t1 - t0) * 1e9))
                run.wait_for_log("State 'Download complete'", 60)
                overruns[name].append(quorrel.text().count("MIDI output buffer overrun"))
                run.stop()
                quorrel.stop()
    finally:
        display.close()

    ref = median(reference_cpu)
    print()
    print("Real MIDI path (test sequencer, vfu-instrument), release build, real window on Xvfb;"
          " medians of %d runs (%g s at rest each)" % (args.runs, args.seconds))
    print()
    print("| what | figure | empty window | ours |")
    print("|---|---|---|---|")
    for name, values in (("a sequencer, no instrument", alone_cpu), ("an instrument that never answers", silent_cpu)):
        figure = median(values)
        print("| CPU at rest: %s | %.2f %% | %.2f %% | %+.2f points |" % (name, figure, ref, figure - ref))
    pacing = pacing_seconds(SHIPPED_IMAGE_BYTES)
    for name, _ in TRANSFER_LINES:
        if not transfer_wall[name]:
            continue
        wall = median(transfer_wall[name])
        print("| transfer of the shipped %s-byte image to vfu-instrument, %s, until it has every byte | %.1f s | | %.4f of its %.1f s of pacing |"
              % ("{:,}".format(SHIPPED_IMAGE_BYTES), name, wall, wall / pacing, pacing))
        print("| that transfer: CPU (whole program, window included) | %.2f %% | | |" % median(transfer_cpu[name]))
    print()
    print("The definitions' pacing: %d bytes in %.1f s, %.0f bytes/s (a DIN cable carries 3,125)."
          % (SHIPPED_IMAGE_BYTES, pacing, SHIPPED_IMAGE_BYTES / pacing))
    print("Load average (1, 5, 15 min) before: %.2f %.2f %.2f; after: %.2f %.2f %.2f"
          % (load_before + os.getloadavg()))
    print("Raw: reference CPU %s; no instrument %s; silent instrument %s; transfers %s; overruns %s"
          % ([round(v, 2) for v in reference_cpu], [round(v, 2) for v in alone_cpu], [round(v, 2) for v in silent_cpu],
             {n: [round(v, 1) for v in vs] for n, vs in transfer_wall.items()}, overruns))


if __name__ == "__main__":
    main()
