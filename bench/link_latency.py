#!/usr/bin/env python3
"""Latency and idle CPU of `kestrav link` over a pseudo-terminal.

Latency: from the simulator writing a frame's last byte (its truth file
records the monotonic time) to this script reading the tool's record for it,
over 1000 frames at 200 Hz. Idle CPU: the tool's user + system time while it
waits for 5 s on a terminal where nothing arrives.

    bench/link_latency.py [build/linux/bin/kestrav]
"""
import json
import os
import subprocess
import sys
import tempfile
import time

FRAMES = 1000
IDLE_SECONDS = 5.0


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(p / 100.0 * len(ordered)))]


def sent_times(truth):
    """Each port data frame's number and the monotonic time the simulator
    wrote its last byte, from its truth file."""
    sent = {}
    with open(truth) as f:
        for line in f:
            item = json.loads(line)
            if "frame" in item:
                sent[item["frame"]] = item["sent_at"]
    return sent


def latency(tool, tmp):
    truth = os.path.join(tmp, "truth.jsonl")
    sim = subprocess.Popen([tool, "simulate", "--pty", "--rate", "200",
                            "--truth", truth], stdout=subprocess.PIPE, text=True)
    tty = sim.stdout.readline().strip()
    link = subprocess.Popen([tool, "link", tty, "--count", str(FRAMES),
                             "--format", "jsonl"], stdout=subprocess.PIPE,
                            text=True, bufsize=1)
    arrived = {}
    for line in link.stdout:
        arrived[json.loads(line)["n"]] = time.monotonic()
    link.wait()
    sim.wait()
    sent = sent_times(truth)
    return [(arrived[n] - sent[n]) * 1000.0 for n in arrived if n in sent]


def idle_cpu(tool):
    master, slave = os.openpty()
    link = subprocess.Popen([tool, "link", os.ttyname(slave)],
                            stdout=subprocess.DEVNULL)
    time.sleep(0.5)
    def cpu():
        with open("/proc/%d/stat" % link.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    before = cpu()
    time.sleep(IDLE_SECONDS)
    used = cpu() - before
    link.terminate()
    link.wait()
    os.close(master)
    os.close(slave)
    return used


def main():
    tool = sys.argv[1] if len(sys.argv) > 1 else "build/linux/bin/kestrav"
    with tempfile.TemporaryDirectory() as tmp:
        ms = latency(tool, tmp)
    print("latency over %d frames: median %.3f ms, p99 %.3f ms, max %.3f ms"
          % (len(ms), percentile(ms, 50), percentile(ms, 99), max(ms)))
    used = idle_cpu(tool)
    print("idle CPU: %.3f s in %.0f s (%.2f %%)"
          % (used, IDLE_SECONDS, 100.0 * used / IDLE_SECONDS))


if __name__ == "__main__":
    main()
