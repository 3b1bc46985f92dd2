#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz harnesses: the documented commands,
whole and cut short, in every guard state and both modes."""
import itertools
import os

here = os.path.dirname(os.path.abspath(__file__))


def frame(mid, cid, data=b""):
    body = (b"%03d%03d" % (mid, cid)) + data
    return body + b" " * (256 - len(body))


COMMANDS = [
    (80, 900, b"\x00"), (80, 900, b"\x01"), (80, 900, b"\x05"), (80, 901, b""), (80, 902, b""),
    (80, 413, b"\x00"), (80, 413, b"\x01"), (80, 413, b"\x07"), (80, 410, b"\x00\x00\x00"),
    (80, 410, b"\x00\x00\x01"), (80, 410, b"\x00\x00\x02"), (71, 411, b""), (71, 412, b"\x00"),
    (71, 412, b"\x01"), (71, 412, b"\x02"), (71, 412, b"\x03"), (80, 999, b""), (10, 53, b""),
]


def write(harness, name, data):
    d = os.path.join(here, "corpus", harness)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def main():
    # Frame parser: whole frames, a frame in two chunks, a short frame after a long one.
    for mid, cid, data in COMMANDS[:6]:
        f = frame(mid, cid, data)
        write("fuzz_frame", "whole-%03d%03d" % (mid, cid), b"\xff" + f + b"\x00")
    f = frame(80, 901)
    write("fuzz_frame", "split-100-156", bytes([100]) + f[:100] + bytes([156]) + f[100:] + b"\x00")
    write("fuzz_frame", "short-after-long", b"\xff" + frame(71, 412, b"\x02") + b"\x00" + b"\x07080901X\x00")
    write("fuzz_frame", "two-in-pipe", b"\xff" + frame(80, 901) + b"\xff" + frame(80, 902) + b"\x00\x00")
    write("fuzz_frame", "odd-ids", b"\x06 5x-01\x00\x06abc999\x00")
    # Command handler: each command in each guard state, direct mode with
    # both authentication flags, and parent mode.
    modes = {"direct0": (b"\x00\x00\x00\x00", b"0"), "direct5": (b"\x00\x00\x00\x00", b"5"),
             "parent": (b"\x01\x00\x00\x00", b"0")}
    for (mname, (pm, auth)), gd, (mid, cid, data) in itertools.product(modes.items(), (0, 1, 2), COMMANDS):
        header = bytes([gd, 1, 0x07, 0xD0]) + pm + auth + b"1" + b"\x00"
        write("fuzz_fiforead", "%s-gd%d-%03d%03d-%s" % (mname, gd, mid, cid, data.hex() or "sp"),
              header + b"\xff" + frame(mid, cid, data))
    off = bytes([1, 0, 0x07, 0xD0]) + b"\x00" * 4 + b"01\x00"
    write("fuzz_fiforead", "off-then-on", off + b"\xff" + frame(71, 411) + b"\xff" + frame(80, 413, b"\x01")
          + b"\xff" + frame(71, 411))
    write("fuzz_fiforead", "short-and-empty", off + b"\x06080901\x00" + b"\x03080")


if __name__ == "__main__":
    main()
