#!/usr/bin/env python3
"""Runs the example host and checks what it prints.

1. The default walk-through must match the recorded transcript exactly, on
   every platform (line endings aside): the same library behaviour gives the
   same bytes.
2. With --stream, a capture built here, frame by frame, must be decoded:
   the last blocks printed are those of the last port data frames in it.
"""
import argparse
import os
import shlex
import subprocess
import sys
import tempfile


def run(cmd):
    out = subprocess.run(cmd, check=True, capture_output=True).stdout
    return out.decode().replace("\r\n", "\n")


def frame(code, payload, tail=0x5F):
    n = len(payload)
    return bytes([0xFA, code, n & 0xFF, n >> 8]) + bytes(payload) + bytes([tail])


def port_data(kind, words):
    payload = [kind]
    for w in words:
        payload += [w & 0xFF, w >> 8]
    return frame(0xA5, payload)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", required=True)
    p.add_argument("--golden", required=True)
    p.add_argument("--emulator", default="")
    args = p.parse_args()
    base = shlex.split(args.emulator) + [args.host]
    failures = []

    with open(args.golden, encoding="ascii") as f:
        golden = f.read()
    got = run(base)
    if got != golden:
        failures.append("walk-through differs from %s:\n%s" % (args.golden, got))

    capture = (b"\x00\x5f\xfa" + port_data(0, range(7, 22)) + frame(0xE5, [1, 0])
               + frame(0x22, [0xFA, 0xFA]) + frame(0xA5, [9, 9], tail=0)
               + port_data(2, list(range(5000, 5015)) + list(range(6000, 6032)))
               + port_data(0, range(40000, 40015)) + b"\xfa\xa5")
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "capture.bin")
        with open(path, "wb") as f:
            f.write(capture)
        got = run(base + ["--stream", path])
    b15 = [line.split()[1:] for line in got.splitlines() if "block15:" in line]
    want = [str(w) for w in range(40000, 40015)]
    if not b15 or b15[-1] != want:
        failures.append("capture: last block15 %s, want %s" % (b15[-1:] , want))
    summary = [line for line in got.splitlines() if line.strip().startswith("%d bytes" % len(capture))]
    if not summary:
        failures.append("capture: no summary for %d bytes:\n%s" % (len(capture), got))

    for f in failures:
        print("FAIL:", f)
    if not failures:
        print("example host output checked")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
