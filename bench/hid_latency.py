#!/usr/bin/env python3
"""Latency of the gamepad-to-servo pipe's first half: from a report's 17
bytes being written into a FIFO to its line of SBUS values leaving
`kestrav hid --sbus-map`, over 1000 reports, one at a time.

    bench/hid_latency.py [build/linux/bin/kestrav]
"""
import os
import random
import select
import statistics
import subprocess
import sys
import tempfile
import time

REPORTS = 1000


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100.0 * len(ordered)))]


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else "build/linux/bin/kestrav"
    tmp = tempfile.mkdtemp()
    fifo = os.path.join(tmp, "reports")
    os.mkfifo(fifo)
    proc = subprocess.Popen([tool, "hid", fifo, "--sbus-map", "0,1,2,~3,c,=172"],
                            stdout=subprocess.PIPE)
    out = proc.stdout.fileno()
    rng = random.Random(1)
    times = []
    with open(fifo, "wb", buffering=0) as w:
        for _ in range(REPORTS):
            report = bytes(rng.randrange(256) for _ in range(17))
            start = time.monotonic()
            w.write(report)
            line = b""
            while not line.endswith(b"\n"):
                select.select([out], [], [], 5)
                line += os.read(out, 4096)
            times.append(time.monotonic() - start)
            time.sleep(0.002)
    proc.wait(timeout=10)
    ms = [t * 1000 for t in times]
    print("hid --sbus-map, FIFO write to line out, %d reports: median %.3f ms, "
          "p99 %.3f ms, max %.3f ms" % (REPORTS, statistics.median(ms),
                                        percentile(ms, 99), max(ms)))


if __name__ == "__main__":
    main()
