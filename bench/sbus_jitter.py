#!/usr/bin/env python3
"""Period accuracy and jitter of `kestrav sbus` through a pseudo-terminal:
1000 periods at 7 ms and at 14 ms, timed where the frames arrive.

    bench/sbus_jitter.py [build/linux/bin/kestrav]
"""
import os
import select
import subprocess
import sys
import time

PERIODS = 1000
FRAME = 25


def measure(tool, period_ms):
    master, slave = os.openpty()
    proc = subprocess.Popen([tool, "sbus", os.ttyname(slave), "--period",
                             str(period_ms), "--count", str(PERIODS + 1)])
    arrivals, pending = [], 0
    while len(arrivals) < PERIODS + 1:
        if not select.select([master], [], [], 5)[0]:
            break
        data = os.read(master, 4096)
        now = time.monotonic()
        pending += len(data)
        while pending >= FRAME:
            arrivals.append(now)
            pending -= FRAME
    proc.wait()
    os.close(master)
    os.close(slave)
    periods = [(b - a) * 1000.0 for a, b in zip(arrivals, arrivals[1:])]
    mean = sum(periods) / len(periods)
    deviations = sorted(abs(p - period_ms) for p in periods)
    p99 = deviations[min(len(deviations) - 1, int(0.99 * len(deviations)))]
    print("period %2d ms: %d periods, mean %.4f ms (error %+.4f %%), "
          "p99 |period - nominal| %.3f ms, max %.3f ms"
          % (period_ms, len(periods), mean, 100.0 * (mean - period_ms) / period_ms,
             p99, deviations[-1]))


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else "build/linux/bin/kestrav"
    for period_ms in (7, 14):
        measure(tool, period_ms)


if __name__ == "__main__":
    main()
