#!/usr/bin/env python3
"""What the live source (--foxglove) costs: `kestrav link` reading the
simulator at 1000 frames a second over TCP loopback for SECONDS, once
without --foxglove and once with it and CLIENTS subscribed clients
(tests/web/foxglove_client.mjs, npm's client over ws), in the same run:
the link process's own CPU (user + system, from wait4), and, with the
clients, the time from the simulator writing a frame's last byte (its
truth file's monotonic time) to a client receiving its message (node's
monotonic clock), median and p95 over every message of every client. A
benchmark, not a test.

    python3 bench/foxglove_bench.py build/linux/bin/kestrav [SECONDS] [CLIENTS]
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import time

from link_latency import percentile, sent_times

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT = os.path.join(HERE, "..", "tests", "web", "foxglove_client.mjs")


def run(tool, seconds, clients, tmp):
    truth = os.path.join(tmp, "truth.jsonl")
    sim = subprocess.Popen([tool, "simulate", "--listen", "tcp:127.0.0.1:0",
                            "--rate", "1000", "--truth", truth],
                           stdout=subprocess.PIPE, text=True)
    where = sim.stdout.readline().strip()
    args = [tool, "link", where, "--format", "none", "--seconds",
            str(seconds)]
    if clients:
        args += ["--foxglove", "127.0.0.1:0"]
    link = subprocess.Popen(args, stderr=subprocess.PIPE, text=True)
    readers = []
    if clients:
        url = re.search(r"ws://\S+", link.stderr.readline()).group(0)
        readers = [subprocess.Popen(["node", CLIENT, url, "--arrivals",
                                     "--seconds", str(seconds + 10)],
                                    stdout=subprocess.PIPE, text=True)
                   for _ in range(clients)]
    _, _, usage = os.wait4(link.pid, 0)
    sim.wait()
    sent = sent_times(truth)
    delays = []
    for reader in readers:
        got = json.loads(reader.communicate()[0])
        for m in got["messages"]:
            n = json.loads(m["data"])["n"]
            if n in sent:
                delays.append((int(m["arrival"]) / 1e9 - sent[n]) * 1000)
    return (usage.ru_utime + usage.ru_stime) / seconds * 100, delays


def main():
    tool = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 20
    clients = int(sys.argv[3]) if len(sys.argv) > 3 else 4
    with tempfile.TemporaryDirectory() as tmp:
        alone, _ = run(tool, seconds, 0, tmp)
        served, delays = run(tool, seconds, clients, tmp)
    print("link at 1000 frames/s: %.2f %% of a core alone, %.2f %% with "
          "--foxglove and %d clients" % (alone, served, clients))
    print("simulator's last byte to a client's message: median %.2f ms, "
          "p95 %.2f ms (%d messages)" % (percentile(delays, 50),
                                         percentile(delays, 95), len(delays)))


if __name__ == "__main__":
    main()
