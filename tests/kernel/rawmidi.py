#!/usr/bin/env python3
"""rawmidi.py DEVICE HEX [SECONDS]: writes the bytes HEX (e.g. "F0 7E 7F 06 01 F7") to a raw MIDI
device (/dev/snd/midiC<card>D0) and, with SECONDS, prints the first SysEx that comes back as hex
(upper case, space-separated). Exit status 1 when the bytes could not be written (within SECONDS,
or 30 s) or nothing complete came back in SECONDS."""
import os
import select
import sys
import time


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    device, data = sys.argv[1], bytes.fromhex(sys.argv[2])
    seconds = float(sys.argv[3]) if len(sys.argv) == 4 else None
    fd = os.open(device, os.O_RDWR | os.O_NONBLOCK)
    # The write is bounded too: a device that never drains ends the run, not the test.
    end = time.monotonic() + (seconds or 30)
    written = 0
    while written < len(data):
        left = end - time.monotonic()
        if left <= 0 or not select.select([], [fd], [], left)[1]:
            print("only %d of %d bytes written" % (written, len(data)), file=sys.stderr)
            return 1
        try:
            written += os.write(fd, data[written:])
        except BlockingIOError:
            pass
    if seconds is None:
        return 0
    reply = bytearray()
    end = time.monotonic() + seconds
    while True:
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            print("no reply: " + reply.hex(" ").upper(), file=sys.stderr)
            return 1
        for byte in os.read(fd, 4096):
            if byte == 0xF0:
                reply = bytearray([byte])
            elif reply and byte < 0xF8:
                reply.append(byte)
                if byte == 0xF7:
                    print(reply.hex(" ").upper())
                    return 0


sys.exit(main())
