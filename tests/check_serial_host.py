#!/usr/bin/env python3
"""Runs examples/serial_host.c against the simulator on a pty, as a user
would: every frame the simulator sent is printed, in order, with the blocks
as they are after it (decoded here from the simulator's truth file, not by
the library), and Ctrl-C sends the stop frame."""
import argparse
import json
import os
import shlex
import signal
import subprocess
import sys
import tempfile
import time


def words(payload, at, count):
    return [payload[at + 2 * k] | payload[at + 2 * k + 1] << 8
            for k in range(count)]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--host", required=True)
    p.add_argument("--tool", required=True)
    p.add_argument("--emulator", default="")
    args = p.parse_args()
    emulator = shlex.split(args.emulator)
    truth = os.path.join(tempfile.mkdtemp(), "truth.jsonl")
    sim = subprocess.Popen(emulator + [args.tool, "simulate", "--pty", "--rate",
                                       "200", "--noise", "--truth", truth],
                           stdout=subprocess.PIPE, text=True)
    path = sim.stdout.readline().strip()
    host = subprocess.Popen(emulator + [args.host, path],
                            stdout=subprocess.PIPE, text=True)
    time.sleep(1.5)
    host.send_signal(signal.SIGINT)
    out, _ = host.communicate(timeout=20)
    sim.wait(timeout=20)
    b15, b32, want, commands = [0] * 15, [0] * 32, [], []
    with open(truth) as f:
        for item in map(json.loads, f):
            if "command" in item:
                commands.append(item["command"])
                continue
            payload = bytes.fromhex(item["bytes"])[4:-1]
            if payload[0] in (0, 2):
                b15 = words(payload, 1, 15)
            if payload[0] in (1, 2):
                b32 = words(payload, 1 if payload[0] == 1 else 31, 32)
            want.append("%d: b15 %s | b32 %s" % (
                len(want) + 1, " ".join(map(str, b15)), " ".join(map(str, b32))))
    got = out.splitlines()
    failures = []
    if host.returncode != 0:
        failures.append("the host exited with %d" % host.returncode)
    if commands != ["fae5020001005f", "fae400005f"]:
        failures.append("the simulator received %s" % commands)
    if len(got) < 50 or got != want[:len(got)]:
        failures.append("%d lines printed, the first wrong: %s" % (len(got), next(
            (g for g, w in zip(got, want) if g != w), "none")))
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
