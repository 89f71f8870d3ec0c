#!/usr/bin/env python3
"""What a recording costs: the CPU time of the recording process alone
(user + system, from wait4) and the file's size per record, for the
commands that record, each run for SECONDS, in the same run:

- link, reading the simulator at 1000 frames a second over TCP loopback,
  with a raw recording (FILE.bin), an uncompressed MCAP recording and a
  zstd one (the default);
- sbus-monitor, reading `kestrav sbus` at 250 frames a second through two
  ptys wired together, uncompressed MCAP against zstd;
- hid, reading 1000 reports a second from a FIFO, the same.

A benchmark, not a test. FORMAT=none (standard output's format; default
jsonl) leaves the JSON of the records to the MCAP recording alone.

    python3 bench/record_cost.py build/linux/bin/kestrav [SECONDS] [ROUNDS]
"""
import os
import random
import select
import subprocess
import sys
import tempfile
import threading
import time

FORMAT = os.environ.get("FORMAT", "jsonl")  # of standard output


def timed(cmd, out_path):
    """Runs cmd to its end; its CPU seconds."""
    with open(out_path, "w") as out:
        proc = subprocess.Popen(cmd, stdout=out)
        _, _, usage = os.wait4(proc.pid, 0)
    return usage.ru_utime + usage.ru_stime


def link(tool, record, extra, seconds):
    sim = subprocess.Popen([tool, "simulate", "--listen", "tcp:127.0.0.1:0",
                            "--rate", "1000"], stdout=subprocess.PIPE,
                           text=True)
    where = sim.stdout.readline().strip()
    cpu = timed([tool, "link", where, "--format", FORMAT, "--record", record,
                 "--seconds", str(seconds)] + extra, record + ".out")
    sim.wait()
    return cpu


def wire(a, b, stop):
    while not stop.is_set():
        if select.select([a], [], [], 0.02)[0]:
            try:
                os.write(b, os.read(a, 4096))
            except OSError:
                return


def sbus_monitor(tool, record, extra, seconds):
    out_m, out_s = os.openpty()
    in_m, in_s = os.openpty()
    stop = threading.Event()
    threading.Thread(target=wire, args=(out_m, in_m, stop), daemon=True).start()
    sender = subprocess.Popen([tool, "sbus", os.ttyname(out_s), "--period",
                               "4", "--v2", "--seconds", str(seconds + 1)])
    cpu = timed([tool, "sbus-monitor", os.ttyname(in_s), "--format", FORMAT,
                 "--record", record, "--seconds", str(seconds)] + extra,
                record + ".out")
    sender.wait()
    stop.set()
    for fd in (out_m, out_s, in_m, in_s):
        os.close(fd)
    return cpu


def hid(tool, record, extra, seconds):
    fifo = record + ".fifo"
    os.mkfifo(fifo)
    rng = random.Random(5)

    def feed():
        with open(fifo, "wb", buffering=0) as w:
            start = time.monotonic()
            for k in range(int(seconds * 1000)):
                time.sleep(max(0, start + k / 1000 - time.monotonic()))
                w.write(bytes(rng.randrange(256) for _ in range(17)))
    feeder = threading.Thread(target=feed)
    feeder.start()
    cpu = timed([tool, "hid", fifo, "--format", FORMAT, "--record", record]
                + extra, record + ".out")
    feeder.join()
    os.remove(fifo)
    return cpu


def records(tool, path):
    return subprocess.run([tool, "inspect", path, "--format", "csv"],
                          capture_output=True, text=True,
                          check=True).stdout.count("\n") - 1


def main():
    tool = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    kinds = [(".mcap", "none", ["--record-compression", "none"]),
             (".mcap", "zstd", [])]
    runs = [("link", link, [(".bin", "raw", [])] + kinds),
            ("sbus-monitor", sbus_monitor, kinds), ("hid", hid, kinds)]
    with tempfile.TemporaryDirectory() as tmp:
        for r in range(rounds):
            for name, run, variants in runs:
                for suffix, label, extra in variants:
                    path = os.path.join(tmp, "%s-%s%s" % (name, label, suffix))
                    cpu = run(tool, path, extra, seconds)
                    count = records(tool, path)
                    print("round %d %-12s %-4s %6.2f %% of a core, %6.1f "
                          "bytes a record (%d records)" % (
                              r + 1, name, label, cpu / seconds * 100,
                              os.path.getsize(path) / max(count, 1), count),
                          flush=True)
                    os.remove(path)


if __name__ == "__main__":
    main()
