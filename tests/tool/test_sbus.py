#!/usr/bin/env python3
"""Process-level tests of `kestrav sbus` and `kestrav sbus-monitor`, through
kernel pseudo-terminals (under Wine, a COM port mapped to one). Expected
frames are packed here, independently of the library."""
import json
import os
import re
import select
import signal
import statistics
import subprocess
import tempfile
import threading
import time
import unittest

from harness import PROBE, TIMEOUT, WINDOWS, DroppingDevice, Pty, tool, wire

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


def all_frames(pty):
    """Every frame the tool sent, read until the port is quiet: a frame too
    many or a byte too many shows."""
    data = pty.read_available(0.05)
    assert len(data) % 25 == 0, "%d bytes are not whole frames" % len(data)
    return [data[k:k + 25] for k in range(0, len(data), 25)]


def arrivals(pty, until):
    """The time each frame arrives, until until(times) holds (or TIMEOUT)."""
    data, times = b"", []
    deadline = time.monotonic() + TIMEOUT
    while not until(times) and time.monotonic() < deadline:
        if select.select([pty.master], [], [], 0.05)[0]:
            data += os.read(pty.master, 65536)
            now = time.monotonic()
            while len(data) >= 25:
                data, times = data[25:], times + [now]
    return times


MONITOR_KEYS = {"t", "n", "channels", "ch17", "ch18", "frame_lost",
                "failsafe", "end"}
MONITOR_CSV = (["t", "n"] + ["ch%d" % k for k in range(16)] +
               ["ch17", "ch18", "frame_lost", "failsafe", "end"])
MONITOR_TEXT = re.compile(r"frame (\d+) at (\d+\.\d{6}) s: ((?:\d+ ){15}\d+)"
                          r"  ch17=([01]) ch18=([01])( frame-lost)?( failsafe)?"
                          r" end=0x([0-9A-F]{2})")


def monitor_records(fmt, text):
    """sbus-monitor's records of any format as jsonl's objects; anything
    that is not exactly that format fails."""
    lines = text.splitlines()
    if fmt == "jsonl":
        out = [json.loads(line) for line in lines]
        for r in out:
            assert set(r) == MONITOR_KEYS, sorted(r)
            assert [type(r[k]) for k in ("ch17", "ch18", "frame_lost",
                                          "failsafe")] == [int, int, bool, bool]
        return out
    if fmt == "csv":
        assert lines[0].split(",") == MONITOR_CSV, lines[0]
        rows = [line.split(",") for line in lines[1:]]
        assert all(len(v) == len(MONITOR_CSV) for v in rows)
        return [{"t": float(v[0]), "n": int(v[1]),
                 "channels": [int(x) for x in v[2:18]], "ch17": int(v[18]),
                 "ch18": int(v[19]), "frame_lost": v[20] == "1",
                 "failsafe": v[21] == "1", "end": int(v[22])} for v in rows]
    out = []
    for line in lines:
        m = MONITOR_TEXT.fullmatch(line)
        assert m, "not a text record: %r" % line
        out.append({"t": float(m[2]), "n": int(m[1]),
                    "channels": [int(x) for x in m[3].split()],
                    "ch17": int(m[4]), "ch18": int(m[5]),
                    "frame_lost": bool(m[6]), "failsafe": bool(m[7]),
                    "end": int(m[8], 16)})
    return out


class SbusTest(unittest.TestCase):
    def sbus(self, pty, *args):
        return subprocess.run(tool("sbus", pty.path, "--period", 4, *args),
                              capture_output=True, text=True, timeout=TIMEOUT)

    def start_monitor(self, pty, format, *args):
        """sbus-monitor on pty, given time to open it before bytes come."""
        monitor = subprocess.Popen(tool("sbus-monitor", pty.path, "--format",
                                        format, *args),
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
        std = [0, 1, 3, 100, 500, 600, 1000, 1199, 1200, 1150, 1100, 7, 8, 9,
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
                self.assertEqual([f.hex() for f in all_frames(pty)],
                                 [f.hex() for f in want])

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_paced_and_line_settings_visible(self):
        # N frames span (N - 1) periods: bounded on both sides, generously,
        # since this machine stalls a process for tens of ms now and then.
        pty = Pty(self)
        period, count = 10, 30
        proc = subprocess.Popen(tool("sbus", pty.path, "--period", period,
                                     "--count", count), stderr=subprocess.PIPE)
        self.addCleanup(proc.kill)
        times = arrivals(pty, lambda t: len(t) >= 2)
        probe = subprocess.run(PROBE + [pty.path], capture_output=True,
                               text=True, timeout=TIMEOUT)
        self.assertEqual(probe.stdout.strip(), "speed 100000 cstopb 1")
        times += arrivals(pty, lambda t: len(t) >= count - 2)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertEqual(all_frames(pty), [])  # exactly --count frames
        span_ms = (times[-1] - times[0]) * 1000
        nominal = (count - 1) * period
        self.assertGreater(span_ms, nominal - 5)
        self.assertLess(span_ms, nominal + 80)

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_stopped_sender_resumes_on_its_grid_without_a_backlog(self):
        # Stopped for 7.5 periods, the sender must go on at the deadlines of
        # its original grid: at most a couple of frames at once (the one in
        # flight), never the missed ones, and no shift by the half period a
        # sleep relative to the last frame would give.
        pty = Pty(self)
        period = 0.010
        proc = subprocess.Popen(tool("sbus", pty.path, "--period", 10,
                                     "--seconds", 5), stderr=subprocess.PIPE)
        self.addCleanup(proc.kill)
        before = arrivals(pty, lambda t: len(t) >= 10)
        proc.send_signal(signal.SIGSTOP)
        pty.read_available(0.02)  # anything sent before the stop
        t0 = statistics.median(t - k * period for k, t in enumerate(before))
        time.sleep(max(0, t0 + 17.5 * period - time.monotonic()))
        proc.send_signal(signal.SIGCONT)
        resumed = time.monotonic()
        after = arrivals(pty, lambda t: t and t[-1] - resumed > 0.2)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertLessEqual(len([t for t in after if t - after[0] < period / 2]),
                             2)
        self.assertLessEqual(len(after), 0.2 / period + 4)
        phases = [abs((t - t0) / period - round((t - t0) / period))
                  for t in after[2:]]
        self.assertLess(statistics.median(phases), 0.25, phases)

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_input_lines_with_a_malformed_one(self):
        pty = Pty(self)
        proc = subprocess.Popen(tool("sbus", pty.path, "--period", 4,
                                     "--input", "-"),
                                stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(proc.kill)
        data = b""
        for line in (csv([100] * 16), "1,2,three", "junk\0",
                     csv([2047, 0] * 8)):
            proc.stdin.write(line + "\n")
            proc.stdin.flush()
            data += pty.read_available()
        proc.stdin.close()
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        err = proc.stderr.read()
        self.assertIn("input line 2 ignored", err)
        self.assertIn("input line 3 ignored: it holds a NUL byte", err)
        frames = [data[k:k + 25] for k in range(0, len(data) - 24, 25)]
        # The first line's values until the fourth: the malformed lines
        # change nothing, and the line after the NUL is not lost.
        runs = [f for k, f in enumerate(frames) if k == 0 or f != frames[k - 1]]
        self.assertEqual(runs, [pack([100] * 16), pack([2047, 0] * 8)])

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_input_waits_for_a_late_producer_and_marks_stale_values(self):
        pty = Pty(self)
        proc = subprocess.Popen(tool("sbus", pty.path, "--period", 4,
                                     "--input", "-", "--stale", 150),
                                stdin=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(proc.kill)
        # Nothing, not even centred values, before the producer's first line.
        self.assertEqual(pty.read_available(0.3), b"")
        a, b = [172] * 16, [1811, 172] * 8
        proc.stdin.write(csv(a) + "\n")
        proc.stdin.flush()
        data = pty.read_available(0.1)
        self.assertEqual(data[:25], pack(a))
        data += pty.read_available(0.3)  # silent for twice --stale
        # Any length of line, as long as it is valid (padded with spaces).
        long_line = ", ".join("%s" % v + " " * 120 for v in b)
        self.assertGreater(len(long_line), 2000)
        proc.stdin.write(long_line + "\n")
        proc.stdin.flush()
        data += pty.read_available(0.1)
        proc.stdin.close()
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertEqual(proc.stderr.read(), "")
        frames = [data[k:k + 25] for k in range(0, len(data) - 24, 25)]
        runs = [f for k, f in enumerate(frames) if k == 0 or f != frames[k - 1]]
        self.assertEqual(runs, [pack(a), pack(a, flags=0x08), pack(b)])

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_loopback_self_test(self):
        NOISE = pack([7] * 16)[:-1] + b"\x14"  # frame-shaped, never sent
        # The pty's other side echoes every byte, as TX wired to RX would,
        # after an edit of the whole stream so far (20 frames, 500 bytes).
        def cut(s, at, n=1):
            return s[:at] + s[at + n:]

        def frames(s):
            return [s[k:k + 25] for k in range(0, len(s) - 24, 25)]
        ok = "20 frames sent, 20 received intact, 0 corrupted, 0 missing"
        cases = (
            ("as sent", lambda s: s, 0, [ok]),
            ("a flipped bit", lambda s: s[:132] + bytes(
                [b ^ 0x10 for b in s[132:133]]) + s[133:], 1, ["20 frames sent, 19 received intact, 1 corrupted, "
                          "0 missing"]),
            ("a lost byte", lambda s: cut(s, 132), 1,
             ["20 frames sent, 19 received intact, 0 corrupted, 1 missing",
              "24 bytes came back outside any whole frame"]),
            ("a frame twice", lambda s: s[:150] + s[125:150] + s[150:], 1,
             [ok, "1 frames came back again"]),
            ("bytes after the last frame",
             lambda s: s + (b"\x0f\x00\x00" if len(s) == 500 else b""), 1,
             [ok, "3 bytes came back outside any whole frame"]),
            ("the last frame again",
             lambda s: s + (s[-25:] if len(s) == 500 else b""), 1,
             [ok, "1 frames came back again"]),
            # With constant values the frames repeat every four: a frame
            # must be told by its place too, not its bytes alone.
            ("every frame twice, four frames late",
             lambda s: b"".join(f + f for f in frames(s)[
                 :None if len(s) == 500 else max(0, len(s) // 25 - 4)]), 1,
             [ok, "20 frames came back again"]),
            ("a frame of noise",
             lambda s: s[:250] + NOISE + s[250:] if len(s) >= 250 else s, 1,
             [ok, "1 frames came back that were never sent"]),
            ("frames swapped in pairs",
             lambda s: b"".join(b + a for a, b in zip(frames(s)[::2],
                                                     frames(s)[1::2])), 1,
             [ok, "10 frames came back out of order"]))
        for name, edit, status, summary in cases:
            with self.subTest(name):
                pty = Pty(self)
                stop = threading.Event()

                def echo(pty=pty, stop=stop, edit=edit):
                    stream, echoed = b"", 0
                    while not stop.is_set():
                        if select.select([pty.master], [], [], 0.02)[0]:
                            stream += os.read(pty.master, 4096)
                            out = edit(stream)
                            os.write(pty.master, out[echoed:])
                            echoed = len(out)
                echoer = threading.Thread(target=echo, daemon=True)
                echoer.start()
                out = self.sbus(pty, "--count", 20, "--loopback")
                stop.set()
                echoer.join()
                self.assertEqual(out.returncode, status, out.stderr)
                self.assertEqual(out.stdout.splitlines(), summary)

    def test_refused_values_and_periods(self):
        pty = Pty(self)
        for args in (["--values", csv([2048] + [0] * 15)],
                     ["--scale", "std", "--values", csv([1201] + [0] * 15)],
                     ["--values", "1,2,3"], ["--period", "3.9"]):
            with self.subTest(args=args):
                out = subprocess.run(tool("sbus", pty.path, *args),
                                     capture_output=True, text=True,
                                     timeout=TIMEOUT)
                self.assertEqual(out.returncode, 2)
                self.assertIn("see 'kestrav sbus --help'", out.stderr)

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_loopback_into_the_monitor(self):
        out_pty, in_pty = Pty(self), Pty(self)
        wire(self, out_pty, in_pty)
        monitor = self.start_monitor(in_pty, "jsonl", "--count", 8)
        values = [37 * k for k in range(16)]
        sender = self.sbus(out_pty, "--v2", "--ch18", "--failsafe", "--values",
                           csv(values), "--count", 8)
        self.assertEqual(sender.returncode, 0, sender.stderr)
        out, err = monitor.communicate(timeout=TIMEOUT)
        self.assertEqual(monitor.returncode, 0, err)
        records = monitor_records("jsonl", out)
        self.assertEqual([(r["n"], r["channels"], r["ch17"], r["ch18"],
                           r["frame_lost"], r["failsafe"], r["end"])
                          for r in records],
                         [(n + 1, values, 0, 1, False, True, V2_ENDS[n % 4])
                          for n in range(8)])
        self.assertIn("8 frames decoded, 0 bytes skipped", err)

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_monitor_resynchronises_and_counts_every_byte(self):
        a = pack([0x0F] * 16)                       # 0x0F inside channel data
        b = pack([2047] * 16, flags=0x0F, end=0x24)
        # ch0 1024, ch17 and frame-lost but not failsafe: a swap shows.
        c = bytes.fromhex("0f0004" + "00" * 20 + "0534")
        wrong_end = pack([0] * 16, end=0x44)        # 0x44 is no end byte
        # Garbage, a frame, a truncated frame, two frames, garbage, a frame
        # with a wrong end byte, a frame, and an unfinished one at the end.
        stream = (b"\x00\x55" + a + a[:17] + b + c + b"\x99\x98" + wrong_end +
                  b + a[:10])
        want = [(1, [15] * 16, 0, 0, False, False, 0),
                (2, [2047] * 16, 1, 1, True, True, 0x24),
                (3, [1024] + [0] * 15, 1, 0, True, False, 0x34),
                (4, [2047] * 16, 1, 1, True, True, 0x24)]
        # Every format at once, each on its own port; --seconds so that the
        # whole stream is fed before the summary.
        runs = []
        for fmt in ("text", "csv", "jsonl"):
            pty = Pty(self)
            runs.append((fmt, self.start_monitor(pty, fmt, "--seconds", 0.6)))
            os.write(pty.master, stream)
        for fmt, monitor in runs:
            with self.subTest(format=fmt):
                out, err = monitor.communicate(timeout=TIMEOUT)
                self.assertEqual(monitor.returncode, 0, err)
                self.assertEqual([(r["n"], r["channels"], r["ch17"], r["ch18"],
                                   r["frame_lost"], r["failsafe"], r["end"])
                                  for r in monitor_records(fmt, out)], want)
                skipped = len(stream) - 25 * len(want)
                self.assertIn("4 frames decoded, %d bytes skipped" % skipped,
                              err)
        # The same bytes as a raw capture, decoded at once.
        path = os.path.join(tempfile.mkdtemp(), "capture.raw")
        with open(path, "wb") as f:
            f.write(stream)
        out = subprocess.run(tool("sbus-monitor", path, "--format", "jsonl"),
                             capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual((out.returncode, len(monitor_records("jsonl",
                                                              out.stdout))),
                         (0, 4), out.stderr)
        self.assertIn("4 frames decoded, %d bytes skipped" % skipped,
                      out.stderr)
        # An MCAP recording is not a raw capture: it is named, not decoded.
        with open(path, "wb") as f:
            f.write(b"\x89MCAP0\r\n" + stream)
        for command in ("sbus-monitor", "hid"):
            out = subprocess.run(tool(command, path), capture_output=True,
                                 text=True, timeout=TIMEOUT)
            self.assertEqual((out.returncode, out.stdout), (1, ""))
            self.assertIn("an MCAP recording, not raw bytes: 'kestrav inspect",
                          out.stderr)

    def test_a_monitor_count_runs_recording_replays_exactly_its_frames(self):
        frames = [pack([100 * n] * 16) for n in range(10)]
        device = DroppingDevice(self, [b"".join(frames)], wait_for_host=False)
        path = os.path.join(tempfile.mkdtemp(), "count.mcap")
        subprocess.run(tool("sbus-monitor", device.address, "--count", 3,
                            "--format", "none", "--record", path),
                       check=True, timeout=TIMEOUT)
        out = subprocess.run(tool("inspect", path, "--format", "jsonl"),
                             capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual([r["channels"][0] for r in
                          monitor_records("jsonl", out.stdout)], [0, 100, 200])

    def test_monitor_reconnect_starts_a_new_stream(self):
        # 10 bytes of a frame, then the drop: joined to the next
        # connection's all-zero frame they would make one nobody sent.
        a, b = pack([1000] * 16), pack([0] * 16)
        device = DroppingDevice(self, [a + a[:10], b + a], wait_for_host=False)
        out = subprocess.run(tool("sbus-monitor", device.address, "--reconnect",
                                  "--count", 3, "--format", "jsonl"),
                             capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual([r["channels"] for r in monitor_records("jsonl",
                                                                  out.stdout)],
                         [[1000] * 16, [0] * 16, [1000] * 16])
        self.assertIn("3 frames decoded, 10 bytes skipped", out.stderr)

    def test_seconds_ends_every_subcommand(self):
        # Also while a FIFO waits for a writer that never comes; sbus sends
        # its --values meanwhile.
        pty, fifo = Pty(self), os.path.join(tempfile.mkdtemp(), "fifo")
        os.mkfifo(fifo)
        values = [3 * k for k in range(16)]
        for args in (["link", pty.path], ["sbus", pty.path],
                     ["sbus-monitor", pty.path], ["hid", fifo],
                     ["sbus", pty.path, "--input", fifo, "--values",
                      csv(values)]):
            with self.subTest(command=args[0], fifo=fifo in args):
                if args[0].startswith("sbus") and not TERMIOS2:
                    self.skipTest(NO_TERMIOS2)
                start = time.monotonic()
                out = subprocess.run(tool(*args, "--seconds", 0.5),
                                     capture_output=True, timeout=TIMEOUT)
                self.assertEqual(out.returncode, 0, out.stderr)
                # sbus ends after its last frame due within the time.
                self.assertGreater(time.monotonic() - start, 0.45)
                self.assertLess(time.monotonic() - start, 3.0)
                sent = pty.read_available(0.05)
                if "--input" in args:
                    self.assertGreater(len(sent), 25 * 10)
                    self.assertEqual(sent, pack(values) * (len(sent) // 25))


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
