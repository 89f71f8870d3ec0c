#!/usr/bin/env python3
"""Process-level tests of `kestrav sbus` and `kestrav sbus-monitor`, through
kernel pseudo-terminals (under Wine, a COM port mapped to one). Expected
frames are packed here, independently of the library."""
import json
import os
import select
import subprocess
import threading
import time
import unittest

from harness import PROBE, TIMEOUT, WINDOWS, Pty, tool

V2_ENDS = [0x04, 0x14, 0x24, 0x34]


def termios2_works():
    """Whether TCGETS2 reaches the kernel: qemu-user does not translate it
    (nor TCSETS2), so under emulation 100000 baud cannot be set."""
    if not PROBE:
        return True
    master, slave = os.openpty()
    try:
        return subprocess.run(PROBE + [os.ttyname(slave)], capture_output=True,
                              timeout=TIMEOUT).returncode == 0
    finally:
        os.close(master)
        os.close(slave)


TERMIOS2 = termios2_works()
NO_TERMIOS2 = ("qemu-user does not translate TCGETS2/TCSETS2, the "
               "ioctls that set and read back 100000 baud")


def pack(channels, flags=0, end=0):
    """0x0F, the sixteen 11-bit channels LSB first, flags, end byte."""
    bits = sum((min(c, 2047) & 0x7FF) << (11 * k) for k, c in enumerate(channels))
    return bytes([0x0F]) + bits.to_bytes(22, "little") + bytes([flags, end])


def csv(values):
    return ",".join(str(v) for v in values)


def read_frames(pty, n):
    data = pty.read_until(lambda d: len(d) >= 25 * n)
    return [data[k:k + 25] for k in range(0, len(data), 25)][:n]


class SbusTest(unittest.TestCase):
    def sbus(self, pty, *args):
        return subprocess.run(tool("sbus", pty.path, "--period", 4, *args),
                              capture_output=True, text=True, timeout=TIMEOUT)

    def start_monitor(self, pty, count, format):
        """sbus-monitor on pty, given time to open it before bytes come."""
        monitor = subprocess.Popen(tool("sbus-monitor", pty.path, "--count",
                                        count, "--format", format),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True)
        self.addCleanup(monitor.kill)
        time.sleep(0.2)
        return monitor


@unittest.skipIf(WINDOWS, "Linux ptys")
class LinuxSbus(SbusTest):
    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_frames_byte_for_byte(self):
        ramp = [100 * k for k in range(16)]
        std = [0, 1, 3, 100, 500, 600, 1000, 1199, 1200, 1201, 65535, 7, 8, 9,
               10, 11]
        scaled = [min(2047, v * 1706 // 1000) for v in std]
        cases = [
            ([], [pack([1024] * 16)] * 3),
            (["--values", csv(ramp), "--v2"],
             [pack(ramp, end=e) for e in V2_ENDS + V2_ENDS[:2]]),
            (["--scale", "std", "--values", csv(std)], [pack(scaled)] * 2),
            (["--ch17"], [pack([1024] * 16, flags=0x01)]),
            (["--ch18"], [pack([1024] * 16, flags=0x02)]),
            (["--frame-lost"], [pack([1024] * 16, flags=0x04)]),
            (["--failsafe", "--v2"], [pack([1024] * 16, flags=0x08, end=0x04)]),
        ]
        for args, want in cases:
            with self.subTest(args=args):
                pty = Pty(self)
                out = self.sbus(pty, "--count", len(want), *args)
                self.assertEqual(out.returncode, 0, out.stderr)
                self.assertEqual([f.hex() for f in read_frames(pty, len(want))],
                                 [f.hex() for f in want])

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_paced_and_line_settings_visible(self):
        pty = Pty(self)
        period, count = 14, 15
        start = time.monotonic()
        proc = subprocess.Popen(tool("sbus", pty.path, "--period", period,
                                     "--count", count), stderr=subprocess.PIPE)
        self.addCleanup(proc.kill)
        frames = read_frames(pty, 2)
        probe = subprocess.run(PROBE + [pty.path], capture_output=True,
                               text=True, timeout=TIMEOUT)
        self.assertEqual(probe.stdout.strip(), "speed 100000 cstopb 1")
        read_frames(pty, count - 2)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        # The N-th frame cannot leave before (N - 1) periods have passed.
        self.assertGreaterEqual(time.monotonic() - start,
                                (count - 1) * period / 1000.0)
        self.assertEqual(frames[0], pack([1024] * 16))

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_input_lines_with_a_malformed_one(self):
        pty = Pty(self)
        proc = subprocess.Popen(tool("sbus", pty.path, "--period", 4,
                                     "--input", "-"),
                                stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(proc.kill)
        data = b""
        for line in (csv([100] * 16), "1,2,three", csv([2047, 0] * 8)):
            proc.stdin.write(line + "\n")
            proc.stdin.flush()
            data += pty.read_available()
        proc.stdin.close()
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertIn("input line 2 ignored", proc.stderr.read())
        frames = [data[k:k + 25] for k in range(0, len(data) - 24, 25)]
        # The defaults until the first line, its values until the third:
        # the malformed line changes nothing.
        runs = [f for k, f in enumerate(frames) if k == 0 or f != frames[k - 1]]
        self.assertEqual(runs[-2:], [pack([100] * 16), pack([2047, 0] * 8)])
        self.assertLessEqual(len(runs), 3)

    def test_refused_values_and_periods(self):
        pty = Pty(self)
        for args in (["--values", csv([2048] + [0] * 15)],
                     ["--scale", "std", "--values", csv([65536] + [0] * 15)],
                     ["--values", "1,2,3"], ["--period", "3.9"]):
            with self.subTest(args=args):
                out = subprocess.run(tool("sbus", pty.path, *args),
                                     capture_output=True, text=True,
                                     timeout=TIMEOUT)
                self.assertEqual(out.returncode, 2)
                self.assertIn("usage: kestrav sbus", out.stderr)

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_loopback_into_the_monitor(self):
        out_pty, in_pty = Pty(self), Pty(self)
        stop = threading.Event()

        def relay():
            try:
                while not stop.is_set():
                    if select.select([out_pty.master], [], [], 0.05)[0]:
                        os.write(in_pty.master, os.read(out_pty.master, 4096))
            except OSError:
                pass  # the ptys were closed at the end of the test
        threading.Thread(target=relay, daemon=True).start()
        self.addCleanup(stop.set)
        monitor = self.start_monitor(in_pty, 8, "jsonl")
        values = [37 * k for k in range(16)]
        sender = self.sbus(out_pty, "--v2", "--ch18", "--failsafe", "--values",
                           csv(values), "--count", 8)
        self.assertEqual(sender.returncode, 0, sender.stderr)
        out, err = monitor.communicate(timeout=TIMEOUT)
        self.assertEqual(monitor.returncode, 0, err)
        records = [json.loads(line) for line in out.splitlines()]
        self.assertEqual([(r["n"], r["channels"], r["ch17"], r["ch18"],
                           r["frame_lost"], r["failsafe"], r["end"])
                          for r in records],
                         [(n + 1, values, 0, 1, False, True, V2_ENDS[n % 4])
                          for n in range(8)])
        self.assertIn("8 frames decoded, 0 bytes skipped", err)

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_monitor_resynchronises(self):
        pty = Pty(self)
        a = pack([0x0F] * 16)                       # 0x0F inside channel data
        b = pack([2047] * 16, flags=0x0F, end=0x24)
        c = bytes.fromhex("0f0004" + "00" * 20 + "0034")  # ch0 1024, SBUS2
        # Garbage, a frame, a truncated frame, two frames, garbage, a frame.
        stream = b"\x00\x55" + a + a[:17] + b + c + b"\x99\x98" + b
        monitor = self.start_monitor(pty, 4, "csv")
        os.write(pty.master, stream)
        out, err = monitor.communicate(timeout=TIMEOUT)
        self.assertEqual(monitor.returncode, 0, err)
        lines = out.splitlines()
        self.assertEqual(lines[0].split(",")[-6:],
                         ["ch15", "ch17", "ch18", "frame_lost", "failsafe", "end"])
        rows = [line.split(",")[1:] for line in lines[1:]]
        self.assertEqual(rows, [
            ["1"] + ["15"] * 16 + ["0", "0", "0", "0", "0"],
            ["2"] + ["2047"] * 16 + ["1", "1", "1", "1", "36"],
            ["3", "1024"] + ["0"] * 15 + ["0", "0", "0", "0", "52"],
            ["4"] + ["2047"] * 16 + ["1", "1", "1", "1", "36"],
        ])
        skipped = 2 + 17 + 2
        self.assertIn("4 frames decoded, %d bytes skipped" % skipped, err)


@unittest.skipUnless(WINDOWS, "the Windows build under Wine")
class WineSbus(SbusTest):
    def test_bytes_through_a_com_port(self):
        # Wine 8 sets 38400 baud and no parity on a pty when asked for
        # 100000 8E2, so only the bytes are checked here, and the speed
        # check is made a warning, which must say what happened.
        pty = Pty(self)
        values = [11 * k for k in range(16)]
        out = self.sbus(pty, "--v2", "--warn-speed", "--values", csv(values),
                        "--count", 6)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("warning", out.stderr)
        self.assertEqual(read_frames(pty, 6),
                         [pack(values, end=V2_ENDS[n % 4]) for n in range(6)])


if __name__ == "__main__":
    unittest.main(verbosity=2)
