#!/usr/bin/env python3
"""What an MCAP recording costs against a raw one: `kestrav link` reading
the simulator at 1000 frames a second over TCP loopback, once with
--record FILE.bin and once with --record FILE.mcap, in the same run, each
for SECONDS; the CPU time of the link process alone (user + system, from
wait4), and the file size per 1000 records. A benchmark, not a test.
FORMAT=none (standard output's format; default jsonl) leaves the JSON of
the records to the MCAP recording alone.

    python3 bench/record_cost.py build/linux/bin/kestrav [SECONDS] [ROUNDS]
"""
import os
import subprocess
import sys
import tempfile

FORMAT = os.environ.get("FORMAT", "jsonl")  # of standard output


def one(tool, suffix, seconds, tmp):
    sim = subprocess.Popen([tool, "simulate", "--listen", "tcp:127.0.0.1:0",
                            "--rate", "1000"], stdout=subprocess.PIPE,
                           text=True)
    where = sim.stdout.readline().strip()
    path = os.path.join(tmp, "run" + suffix)
    out = os.path.join(tmp, "records.jsonl")
    with open(out, "w") as records:
        link = subprocess.Popen([tool, "link", where, "--format", FORMAT,
                                 "--record", path, "--seconds", str(seconds)],
                                stdout=records)
        _, status, usage = os.wait4(link.pid, 0)
    sim.wait()
    # The records in the file, whichever kind it is.
    count = subprocess.run([tool, "inspect", path, "--format", "csv"],
                           capture_output=True, text=True,
                           check=True).stdout.count("\n") - 1
    cpu = usage.ru_utime + usage.ru_stime
    return cpu / seconds * 100, os.path.getsize(path) / count * 1000, count


def main():
    tool = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 10
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    with tempfile.TemporaryDirectory() as tmp:
        for r in range(rounds):
            for suffix in (".bin", ".mcap"):
                cpu, size, count = one(tool, suffix, seconds, tmp)
                print("round %d %-5s %6.2f %% of a core, %8.0f bytes per 1000 "
                      "records (%d records)" % (r + 1, suffix, cpu, size, count))


if __name__ == "__main__":
    main()
