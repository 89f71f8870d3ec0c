#!/usr/bin/env python3
"""Process-level tests of `kestrav link`, `inspect` and `simulate`.

The tool and the device run as separate processes over a kernel
pseudo-terminal or TCP loopback; every record the tool prints is compared
with what the device actually sent, decoded here independently.

Under Wine the device side of a COM port is played by this script over a
pty mapped to COMn in the Wine prefix.
"""
import json
import os
import re
import select
import signal
import socket
import subprocess
import tempfile
import termios
import threading
import time
import tty
import unittest

from harness import (TIMEOUT, WINDOWS, DroppingDevice, Lines, Pty,
                     ipv6_loopback, tool)

REQUEST = bytes.fromhex("fae5020001005f")
STOP = bytes.fromhex("fae400005f")
# The flags a cooked terminal has and a raw one must not.
COOKED = [(0, termios.ICRNL), (0, termios.IXON), (1, termios.OPOST),
          (3, termios.ICANON), (3, termios.ECHO), (3, termios.ISIG)]


def words(payload, offset, count):
    return [payload[offset + 2 * k] | payload[offset + 2 * k + 1] << 8
            for k in range(count)]


def expected_records(frames):
    """The host's blocks after each port data frame: type 0 fills block15,
    1 fills block32, 2 fills both; a block nobody wrote is zeros."""
    b15, b32, out = [0] * 15, [0] * 32, []
    for f in frames:
        payload = f[4:-1]
        kind = payload[0]
        if kind in (0, 2):
            b15 = words(payload, 1, 15)
        if kind == 1:
            b32 = words(payload, 1, 32)
        if kind == 2:
            b32 = words(payload, 31, 32)
        out.append((b15, b32))
    return out


def read_truth(path):
    frames, commands = [], []
    with open(path) as f:
        for line in f:
            item = json.loads(line)
            if "frame" in item:
                frames.append(bytes.fromhex(item["bytes"]))
            else:
                commands.append(bytes.fromhex(item["command"]))
    return frames, commands


LINK_KEYS = {"t", "n", "block15", "block32"}
CSV_HEADER = (["t", "n"] + ["b15_%d" % k for k in range(15)] +
              ["b32_%d" % k for k in range(32)])
TEXT_RECORD = re.compile(r"frame (\d+) at (\d+\.\d{6}) s\n"
                         r"  block15:((?: +\d+){15})\n"
                         r"  block32:((?: +\d+){16})\n"
                         r" {10}((?: +\d+){16})\n")


def need(condition, what):
    if not condition:
        raise AssertionError(what)


def jsonl_records(text):
    records = [json.loads(line) for line in text.splitlines() if line.strip()]
    for r in records:
        need(set(r) == LINK_KEYS, "jsonl keys %s" % sorted(r))
    return records


def parse_records(fmt, text):
    """The records of any --format as jsonl's objects; anything that is not
    exactly that format fails."""
    if fmt == "jsonl":
        return jsonl_records(text)
    if fmt == "csv":
        lines = text.splitlines()
        need(lines and lines[0].split(",") == CSV_HEADER, "csv header")
        rows = [line.split(",") for line in lines[1:]]
        need(all(len(v) == len(CSV_HEADER) for v in rows), "csv columns")
        return [{"t": float(v[0]), "n": int(v[1]),
                 "block15": [int(x) for x in v[2:17]],
                 "block32": [int(x) for x in v[17:]]} for v in rows]
    records, at = [], 0
    for m in TEXT_RECORD.finditer(text):
        need(m.start() == at, "text record at %d" % at)
        at = m.end()
        records.append({"t": float(m[2]), "n": int(m[1]),
                        "block15": [int(x) for x in m[3].split()],
                        "block32": [int(x) for x in (m[4] + m[5]).split()]})
    need(at == len(text), "text after the last record: %r" % text[at:at + 80])
    return records


class Simulator:
    """`kestrav simulate` in its own process; where() is its first line."""

    def __init__(self, test, *where, rate=200, noise=True, name="truth"):
        self.truth = os.path.join(test.tmp, name + ".jsonl")
        args = ["simulate", *where, "--rate", rate, "--seed", 7,
                "--truth", self.truth] + (["--noise"] if noise else [])
        self.proc = subprocess.Popen(tool(*args), stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        test.addCleanup(self.proc.stdout.close)
        test.addCleanup(self.kill)
        self.where = Lines(self.proc).readline().strip()
        test.assertTrue(self.where, "the simulator announced nothing")

    def finish(self, test):
        test.assertEqual(self.proc.wait(timeout=TIMEOUT), 0)
        return read_truth(self.truth)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class LinkTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def check_records(self, records, frames):
        want = expected_records(frames)
        self.assertGreater(len(records), 0)
        self.assertLessEqual(len(records), len(want))
        for n, (rec, (b15, b32)) in enumerate(zip(records, want), start=1):
            self.assertEqual((rec["n"], rec["block15"], rec["block32"]),
                             (n, b15, b32), "record %d" % n)
        times = [r["t"] for r in records]
        self.assertEqual(times, sorted(times))

    def run_link(self, port, *args):
        return subprocess.run(tool("link", port, "--format", "jsonl", *args),
                              capture_output=True, text=True, timeout=TIMEOUT)

    def check_a_peer_that_never_closes_holds_the_end_half_a_second(self):
        # After the stop frame the host waits for the peer to close, but
        # 0.5 s at most: a bridge that keeps its connection open cannot
        # hold the run up.
        server = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(server.close)
        held = threading.Event()
        self.addCleanup(held.set)

        def device():
            conn, _ = server.accept()
            conn.recv(64)
            conn.sendall(bytes.fromhex("faa51f0000") + bytes(30) + b"\x5f")
            held.wait(TIMEOUT)
            conn.close()
        threading.Thread(target=device, daemon=True).start()
        port = "tcp:127.0.0.1:%d" % server.getsockname()[1]
        started = time.monotonic()
        out = self.run_link(port, "--count", 1)
        self.assertEqual(out.returncode, 0, out.stderr)
        spent = time.monotonic() - started
        starting = 3.5 if WINDOWS else 0  # a process start under Wine
        self.assertTrue(0.4 < spent < 2.5 + starting, "%.2f s" % spent)


@unittest.skipIf(WINDOWS, "the simulator's pty and signals are POSIX")
class PosixLink(LinkTest):
    def test_pty_end_to_end_raw_and_restored(self):
        sim = Simulator(self, "--pty")
        # Hold the terminal to read its settings around the run. A new pty
        # starts cooked, so a single missing raw flag corrupts the stream.
        fd = os.open(sim.where, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        before = termios.tcgetattr(fd)
        for index, flag in COOKED:
            self.assertTrue(before[index] & flag, "pty does not start cooked")
        recording = os.path.join(self.tmp, "stream.bin")
        # Request bytes that output processing (ONLCR, OCRNL) would change.
        out = self.run_link(sim.where, "--count", 12, "--record", recording,
                            "--request", "0x0A", "0x0D")
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(termios.tcgetattr(fd), before)
        frames, commands = sim.finish(self)
        self.assertEqual(commands, [bytes.fromhex("fae50200" "0a0d" "5f"), STOP])
        records = jsonl_records(out.stdout)
        self.assertEqual(len(records), 12)
        self.check_records(records, frames)
        # The recording decodes to the same records, with no clock, in
        # every format (standard input and a named file alike).
        for fmt in ("text", "csv", "jsonl"):
            with open(recording, "rb") as stream:
                inspected = subprocess.run(
                    tool("inspect", "-" if fmt == "jsonl" else recording,
                         "--format", fmt), stdin=stream,
                    capture_output=True, text=True, timeout=TIMEOUT)
            self.assertEqual([dict(r, t=0) for r in records],
                             parse_records(fmt, inspected.stdout)[:12], fmt)

    def test_signals_send_the_stop_frame_and_restore_the_port(self):
        # SIGHUP is a closed terminal window or a dropped SSH session.
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                sim = Simulator(self, "--pty", rate=100)
                fd = os.open(sim.where, os.O_RDWR | os.O_NOCTTY)
                before = termios.tcgetattr(fd)
                proc = subprocess.Popen(
                    tool("link", sim.where, "--format", "jsonl"),
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                self.addCleanup(proc.kill)
                reader = Lines(proc)
                lines = [reader.readline() for _ in range(3)]
                proc.send_signal(sig)
                rest, err = reader.rest()
                self.assertEqual(proc.returncode, 0, err)
                after = termios.tcgetattr(fd)
                os.close(fd)  # so that the simulator need not linger
                self.assertEqual(after, before)
                frames, commands = sim.finish(self)
                self.assertEqual(commands, [REQUEST, STOP])
                self.check_records(jsonl_records("".join(lines) + rest), frames)

    def test_closed_or_full_output(self):
        # The reader leaving (| head -1) is a normal end; a full disk is not.
        sim = Simulator(self, "--pty", rate=100, name="head")
        proc = subprocess.Popen(tool("link", sim.where, "--format", "jsonl"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(proc.kill)
        Lines(proc).readline()
        proc.stdout.close()
        closed = time.monotonic()
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0, proc.stderr.read())
        self.assertLess(time.monotonic() - closed, 1.0)
        self.assertEqual(proc.stderr.read(), b"")
        self.assertEqual(sim.finish(self)[1], [REQUEST, STOP])
        for args in ([], ["--record", "/dev/full"]):
            with self.subTest(args=args), open(os.devnull if args else
                                               "/dev/full", "w") as out:
                sim = Simulator(self, "--pty", rate=100, name="full")
                run = subprocess.run(tool("link", sim.where, "--count", 20,
                                          *args),
                                     stdout=out, stderr=subprocess.PIPE,
                                     text=True, timeout=TIMEOUT)
                self.assertEqual(run.returncode, 1)
                self.assertIn("No space left on device", run.stderr)
                self.assertEqual(sim.finish(self)[1], [REQUEST, STOP])

    def test_a_busy_port_is_refused_before_a_byte_is_written(self):
        sim = Simulator(self, "--pty", rate=100)
        first = subprocess.Popen(tool("link", sim.where, "--format", "jsonl"),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True)
        self.addCleanup(first.kill)
        reader = Lines(first)
        lines = [reader.readline()]
        second = self.run_link(sim.where)
        self.assertEqual(second.returncode, 1)
        self.assertIn(sim.where + ": in use by another process", second.stderr)
        lines += [reader.readline() for _ in range(5)]
        first.send_signal(signal.SIGINT)
        rest, err = reader.rest()
        self.assertEqual(first.returncode, 0, err)
        frames, commands = sim.finish(self)
        self.assertEqual(commands, [REQUEST, STOP])
        self.check_records(jsonl_records("".join(lines) + rest), frames)

    def test_reconnect_over_tcp(self):
        with socket_bound() as free_port:
            address = "tcp:127.0.0.1:%d" % free_port
        first = Simulator(self, "--listen", address, name="first")
        proc = subprocess.Popen(tool("link", address, "--format", "jsonl",
                                     "--reconnect"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(proc.kill)
        reader = Lines(proc)
        lines = [reader.readline() for _ in range(3)]
        first.kill()
        time.sleep(0.3)
        second = Simulator(self, "--listen", address, name="second")
        lines += [reader.readline() for _ in range(3)]
        proc.send_signal(signal.SIGINT)
        rest, err = reader.rest()
        self.assertEqual(proc.returncode, 0, err)
        self.assertIn(address + ": back", err)
        self.assertEqual(second.finish(self)[1], [REQUEST, STOP])
        numbers = [r["n"] for r in jsonl_records("".join(lines) + rest)]
        self.assertEqual(numbers, list(range(1, len(numbers) + 1)))
        self.assertGreater(len(numbers), 3)

    def test_an_unanswered_request_is_sent_again(self):
        # A go-between holds the first request back for 3 s, as a request
        # lost for a while: the tool sends it again after 2 s without port
        # data, and the device, already uploading when the first one comes,
        # takes that one as a request it already has.
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", rate=200,
                        noise=False)
        host, port = sim.where[4:].rsplit(":", 1)
        server = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(server.close)

        def between():
            tool_side, _ = server.accept()
            device = socket.create_connection((host, int(port)))
            held, release = b"", time.monotonic() + 3
            while True:
                if release and time.monotonic() > release:
                    device.sendall(held)
                    release = None
                ready = select.select([tool_side, device], [], [], 0.02)[0]
                data = {s: s.recv(65536) for s in ready}
                if b"" in data.values():
                    break
                tool_bytes = data.get(tool_side, b"")
                if release and len(held) < len(REQUEST):
                    take = len(REQUEST) - len(held)
                    held, tool_bytes = (held + tool_bytes[:take],
                                        tool_bytes[take:])
                device.sendall(tool_bytes)
                tool_side.sendall(data.get(device, b""))
            tool_side.close()
            device.close()
        thread = threading.Thread(target=between, daemon=True)
        thread.start()
        out = self.run_link("tcp:127.0.0.1:%d" % server.getsockname()[1],
                            "--seconds", "4")
        thread.join(TIMEOUT)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual(out.stderr.count("sending it again"), 1, out.stderr)
        frames, commands = sim.finish(self)
        self.assertEqual(commands, [REQUEST, REQUEST, STOP])
        records = jsonl_records(out.stdout)
        self.check_records(records, frames)
        self.assertGreater(len(records), 200)

    def test_a_silent_device(self):
        # The request goes out again every 2 s, said once for the spell; a
        # run that got nothing ends naming what to check, and fails.
        pty = Pty(self)
        proc = subprocess.Popen(tool("link", pty.path, "--seconds", 4.5),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(proc.kill)
        sent = pty.read_until(lambda d: d.count(REQUEST) == 3, 6)
        out, err = proc.communicate(timeout=TIMEOUT)
        self.assertEqual(sent, REQUEST * 3)
        self.assertEqual(err.count("no port data 2 s after the request"), 1,
                         err)
        self.assertEqual(proc.returncode, 1)
        self.assertRegex(err, r"no port data came in the whole run; check the "
                         r"speed \(--baud, now 115200\).*--request, now 1 0")

    def test_reconnect_starts_a_new_stream(self):
        # Frame 2 is cut after 53 bytes by the drop. Joined to the next
        # connection's bytes it would swallow frame 3; and frame 3's record
        # must not show frame 1's block32.
        def frame(kind, first):
            payload = bytes([kind]) + bytes(
                (first + k) & 0xFF for k in range((15, 32, 47)[kind] * 2))
            return bytes([0xFA, 0xA5, len(payload), 0]) + payload + b"\x5f"
        frames = [frame(2, 1), frame(2, 50), frame(0, 90), frame(1, 120),
                  frame(2, 160), frame(0, 200)]
        # The first connection is reset before the request can be written:
        # that too is a port gone, to wait for.
        device = DroppingDevice(self, [None, frames[0] + frames[1][:53],
                                       b"".join(frames[2:])])
        path = os.path.join(self.tmp, "replugged.mcap")
        out = subprocess.run(tool("link", device.address, "--reconnect",
                                  "--count", 5, "--format", "jsonl",
                                  "--record", path),
                             capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(out.returncode, 0, out.stderr)
        want = expected_records([frames[0]]) + expected_records(frames[2:])
        live = [(r["n"], r["block15"], r["block32"])
                for r in jsonl_records(out.stdout)]
        self.assertEqual(live, [(n, b15, b32) for n, (b15, b32) in
                                enumerate(want, 1)])
        # The replay starts a new stream where the run did.
        out = subprocess.run(tool("inspect", path, "--format", "jsonl"),
                             capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual([(r["n"], r["block15"], r["block32"])
                          for r in jsonl_records(out.stdout)], live)

    def test_a_count_runs_recording_replays_exactly_its_records(self):
        # Ten frames in one read, --count 3: the recording keeps the bytes
        # up to the third frame's end, raw or MCAP, and replays 3 records.
        frames = [bytes.fromhex("faa51f0000") + bytes([n] * 30) + b"\x5f"
                  for n in range(10)]
        for name in ("count.mcap", "count.bin"):
            with self.subTest(name=name):
                device = DroppingDevice(self, [b"".join(frames)])
                path = os.path.join(self.tmp, name)
                out = self.run_link(device.address, "--count", 3, "--record",
                                    path)
                self.assertEqual(len(jsonl_records(out.stdout)), 3)
                out = subprocess.run(tool("inspect", path, "--format",
                                          "jsonl"), capture_output=True,
                                     text=True, timeout=TIMEOUT)
                self.assertEqual([r["block15"] for r in
                                  jsonl_records(out.stdout)],
                                 [b15 for b15, _ in
                                  expected_records(frames[:3])])

    def test_reconnect_to_a_replugged_serial_adapter(self):
        # /dev/serial/by-id names are symlinks that the kernel makes anew
        # on replug, to whatever ttyUSBn the adapter then gets.
        link = os.path.join(self.tmp, "by-id")
        plug = Pty(self)
        os.symlink(plug.path, link)
        proc = subprocess.Popen(tool("link", link, "--format", "jsonl",
                                     "--reconnect"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(proc.kill)
        reader, err = Lines(proc), Lines(proc, proc.stderr)
        frame = bytes.fromhex("faa51f0000") + bytes(range(30)) + b"\x5f"
        # The second time the node comes just before the first try (0.5 s
        # after the gone), the third just after it: it is looked for far
        # more often than it is tried.
        for n, replug in ((1, 0.42), (2, 0.55), (3, None)):
            self.assertEqual(plug.read_until(lambda d: d == REQUEST), REQUEST)
            appeared = time.monotonic()
            if n > 1:  # watched, settled, and not only tried every 0.5 s
                gap = appeared - plugged
                self.assertTrue(0.15 < gap < 0.35, "opened %.3f s after the "
                                "node appeared" % gap)
                self.assertIn(link + ": back", err.readline())
            os.write(plug.master, frame * 2)
            records = [json.loads(reader.readline()) for _ in range(2)]
            self.assertEqual([r["n"] for r in records], [2 * n - 1, 2 * n])
            if replug:
                plug.unplug()
                os.unlink(link)
                err.readline()  # the peer closed the connection
                self.assertIn("gone", err.readline())
                # Before the first try the node is opened once it has
                # settled all the same; after it, without waiting for the
                # next.
                time.sleep(replug)
                plug = Pty(self)
                os.symlink(plug.path, link)
                plugged = time.monotonic()
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertEqual(plug.read_until(lambda d: d == STOP), STOP)

    def test_keep_serves_host_after_host(self):
        # The same path, the same address, and each host its own upload:
        # the same frames from frame 1, as from a fresh simulator.
        for where in (["--pty"], ["--listen", "tcp:127.0.0.1:0"]):
            with self.subTest(where=where[0]):
                sim = Simulator(self, *where, "--keep", noise=False)
                runs = [self.run_link(sim.where, "--count", 4)
                        for _ in range(3)]
                self.assertEqual([r.returncode for r in runs], [0] * 3,
                                 runs[-1].stderr)
                seen = [[(x["n"], x["block15"], x["block32"])
                         for x in jsonl_records(r.stdout)] for r in runs]
                self.assertEqual(seen, [seen[0]] * 3)
                # Ctrl-C once the last host's stop frame has been read: a
                # signal before that would end the simulator with it unread.
                until = time.monotonic() + TIMEOUT
                while (len(read_truth(sim.truth)[1]) < 6 and
                       time.monotonic() < until):
                    time.sleep(0.02)
                sim.proc.send_signal(signal.SIGINT)
                frames, commands = sim.finish(self)
                self.assertEqual(commands, [REQUEST, STOP] * 3)
                self.check_records(jsonl_records(runs[2].stdout), frames)

    def test_the_manuals_examples_are_command_lines_the_tool_takes(self):
        import shlex
        page = subprocess.run(tool("--man"), capture_output=True, text=True,
                              check=True, timeout=TIMEOUT).stdout
        for section in (".SH EXIT STATUS", ".SH EXAMPLES", ".SH FILES",
                        ".SH SEE ALSO"):
            self.assertIn(section, page)
        examples = page.split(".SH EXAMPLES")[1].split(".SH FILES")[0]
        lines = re.findall(r"^\.B (kestrav .*)$", examples, re.M)
        self.assertGreaterEqual(len(lines), 12)
        for line in lines:
            for command in line.replace("\\-", "-").split(" | "):
                args = shlex.split(command.split(" > ")[0])[1:]
                # Every port a missing one, every file one in the test's
                # folder: what is left to judge is the command line, which
                # must not be a usage error.
                args = [os.path.join(self.tmp, "no-port")
                        if a.startswith(("/dev/", "tcp:")) else
                        os.path.join(self.tmp, a) if a.endswith(".mcap")
                        else a for a in args]
                with self.subTest(command=command):
                    proc = subprocess.Popen(tool(*args), stdin=subprocess.DEVNULL,
                                            stdout=subprocess.DEVNULL,
                                            stderr=subprocess.PIPE, text=True)
                    try:  # still running: it took its command line
                        err = proc.communicate(timeout=1)[1]
                        self.assertNotEqual(proc.returncode, 2, err)
                    except subprocess.TimeoutExpired:
                        proc.kill()
                        proc.communicate()

    def test_waves(self):
        # Word w of a block: 32768 + 24000 sin(2 pi (t / (3 + 0.5 w) +
        # 0.05 w)), block32 a quarter turn ahead; t = (n - 1) / rate.
        import math
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", "--waves",
                        rate=100, noise=False)
        out = self.run_link(sim.where, "--count", 3)
        r = jsonl_records(out.stdout)

        def wave(w, n, phase):
            t = (n - 1) / 100
            return round(32768 + 24000 * math.sin(
                2 * math.pi * (t / (3 + 0.5 * w) + phase + 0.05 * w)))
        self.assertEqual(r[0]["block15"], [wave(w, 1, 0) for w in range(15)])
        self.assertEqual(r[1]["block32"],
                         [wave(w, 2, 0.25) for w in range(32)])
        self.assertEqual((r[2]["block15"], r[2]["block32"]),
                         ([wave(w, 3, 0) for w in range(15)],
                          [wave(w, 3, 0.25) for w in range(32)]))

    def test_a_peer_that_never_closes(self):
        self.check_a_peer_that_never_closes_holds_the_end_half_a_second()

    def test_a_tcp_peer_that_streams_on_gets_the_stop_frame_and_an_end(self):
        # The device streams without pause until the stop frame comes. A
        # host that closed with bytes unread would reset the connection,
        # and a device still writing would lose the stop frame unread:
        # the host shuts its side and reads on until the device closes.
        server = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(server.close)
        got, ended = bytearray(), []

        def device():
            conn, _ = server.accept()
            conn.settimeout(TIMEOUT)
            while len(got) < len(REQUEST):
                got.extend(conn.recv(65536))
            frame = bytes.fromhex("faa51f0000") + bytes(30) + b"\x5f"
            conn.sendall(frame * 2000)  # far more than the host reads
            conn.setblocking(False)
            until = time.monotonic() + TIMEOUT
            while STOP not in got and time.monotonic() < until:
                for call in (lambda: conn.send(frame * 50),
                             lambda: got.extend(conn.recv(65536))):
                    try:
                        call()
                    except BlockingIOError:
                        time.sleep(0.001)
            conn.settimeout(2)
            try:
                while conn.recv(65536):
                    pass
                ended.append("end")
            except OSError as e:
                ended.append(repr(e))
            conn.close()
        thread = threading.Thread(target=device)
        thread.start()
        out = self.run_link("tcp:127.0.0.1:%d" % server.getsockname()[1],
                            "--count", 5)
        thread.join(TIMEOUT)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual((bytes(got), ended), (REQUEST + STOP, ["end"]))

    def test_reconnect_waits_for_a_port_not_there_yet(self):
        # A start-up script ahead of the adapter: --reconnect waits for its
        # first open as for a lost port, and says so.
        link = os.path.join(self.tmp, "by-id")
        proc = subprocess.Popen(tool("link", link, "--format", "jsonl",
                                     "--reconnect", "--count", 1),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(proc.kill)
        self.assertIn(link + ": not there yet; waiting for it (--reconnect)",
                      Lines(proc, proc.stderr).readline())
        plug = Pty(self)
        os.symlink(plug.path, link)
        self.assertEqual(plug.read_until(lambda d: d == REQUEST), REQUEST)
        os.write(plug.master, bytes.fromhex("faa51f0000") + bytes(30) + b"\x5f")
        out, _ = proc.communicate(timeout=TIMEOUT)
        self.assertEqual((proc.returncode, len(jsonl_records(out))), (0, 1))
        # sbus-monitor and hid wait as link does, and the run's limit ends
        # the wait as a normal end.
        for command in ("sbus-monitor", "hid"):
            out = subprocess.run(tool(command, link + "-" + command, "--reconnect",
                                      "--seconds", 0.3), capture_output=True,
                                 text=True, timeout=TIMEOUT)
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertIn("not there yet; waiting for it", out.stderr)

    @unittest.skipUnless(os.geteuid() == 0, "needs root, to be someone else")
    def test_permission_denied_names_the_group_and_the_fix(self):
        import grp
        plug = Pty(self)
        os.chown(plug.path, 0, grp.getgrnam("dialout").gr_gid)
        os.chmod(plug.path, 0o660)

        def nobody():
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
        out = subprocess.run(tool("link", plug.path, "--count", 1),
                             capture_output=True, text=True, timeout=TIMEOUT,
                             preexec_fn=nobody)
        self.assertEqual(out.returncode, 1)
        self.assertEqual(out.stderr, "kestrav link: %s: Permission denied; it "
                         "belongs to group dialout: sudo usermod -aG dialout "
                         "$USER, then log out and in again\n" % plug.path)

    def test_a_slow_host_is_waited_for(self):
        # The host stops reading until the pty is full; the simulator waits
        # rather than giving up, and the stream goes on.
        sim = Simulator(self, "--pty", rate=2000, noise=False)
        fd = os.open(sim.where, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        os.write(fd, REQUEST)
        time.sleep(1.2)
        got, until = b"", time.monotonic() + 0.3
        while time.monotonic() < until:
            if select.select([fd], [], [], 0.05)[0]:
                got += os.read(fd, 65536)
        os.write(fd, STOP)
        os.close(fd)
        self.assertGreater(len(got), 50000)
        self.assertEqual(sim.finish(self)[1], [REQUEST, STOP])

    def test_the_simulator_reads_commands_as_the_library_reads_frames(self):
        # A head whose frame could not fit 500 bytes is a false start (a
        # port echoing the device's bytes makes them): the request after it
        # is still seen. A 500-byte frame fits, and is taken whole.
        sim = Simulator(self, "--pty", rate=200, noise=False)
        fd = os.open(sim.where, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        whole = bytes.fromhex("fa01ef01") + bytes(495) + b"\x5f"
        os.write(fd, bytes.fromhex("faa5ffff") + whole + REQUEST)
        self.assertTrue(select.select([fd], [], [], 10)[0], "no upload")
        os.write(fd, STOP)
        os.close(fd)
        self.assertEqual(sim.finish(self)[1], [whole, REQUEST, STOP])

    def test_tcp_in_the_default_text_format(self):
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0")
        out = subprocess.run(tool("link", sim.where, "--count", 9,
                                  "--request", "0x01", "0"),
                             capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(out.returncode, 0, out.stderr)
        frames, commands = sim.finish(self)
        self.assertEqual(commands, [REQUEST, STOP])
        records = parse_records("text", out.stdout)
        self.assertEqual(len(records), 9)
        self.check_records(records, frames)

    @unittest.skipUnless(ipv6_loopback(), "this machine has no IPv6 loopback")
    def test_ipv6_loopback(self):
        sim = Simulator(self, "--listen", "tcp:[::1]:0")
        self.assertRegex(sim.where, r"^tcp:\[::1\]:[1-9][0-9]*$")
        out = self.run_link(sim.where, "--count", 5)
        self.assertEqual(out.returncode, 0, out.stderr)
        frames, commands = sim.finish(self)
        self.assertEqual(commands, [REQUEST, STOP])
        self.check_records(jsonl_records(out.stdout), frames)

    def test_errors_name_the_port_and_the_reason(self):
        regular = os.path.join(self.tmp, "file")
        open(regular, "w").close()
        with socket_bound() as free_port:
            refused = "tcp:127.0.0.1:%d" % free_port
        cases = [("/dev/kestrav-none", 1, "No such file or directory"),
                 (regular, 1, "not a terminal"),
                 (refused, 1, "Connection refused"),
                 ("localhost:5000", 1, "write tcp:localhost:5000"),
                 ("tcp:127.0.0.1:70000", 2, "not a TCP port"),
                 ("tcp:127.0.0.1:", 2, "not a TCP address"),
                 ("tcp:127.0.0.1:0", 2, "not a TCP port")]
        for port, status, reason in cases:
            with self.subTest(port=port):
                start = time.monotonic()
                out = self.run_link(port, "--count", 1)
                self.assertEqual(out.returncode, status)
                self.assertIn(port + ": " if port != regular else port, out.stderr)
                self.assertIn(reason, out.stderr)
                self.assertLess(time.monotonic() - start, 1.0)
        # A usage error: the error and where the help is, not the help.
        out = self.run_link("/dev/null", "--bogus")
        self.assertEqual(out.returncode, 2)
        self.assertRegex(out.stderr, r"\Akestrav link: [^\n]*--bogus[^\n]*\n"
                         r"see 'kestrav link --help'\n\Z")
        for args, status, reason in (
                (["--listen", "127.0.0.1:5000"], 2, "takes tcp:HOST:PORT"),
                (["--listen", "tcp:127.0.0.1:65536"], 2, "not a TCP port"),
                (["--pty", "--truth", self.tmp], 1, "Is a directory")):
            out = subprocess.run(tool("simulate", *args), capture_output=True,
                                 text=True, timeout=TIMEOUT)
            self.assertEqual((out.returncode, reason in out.stderr),
                             (status, True), out.stderr)
        out = subprocess.run(tool("inspect", self.tmp), capture_output=True,
                             text=True, timeout=TIMEOUT)
        self.assertEqual(out.returncode, 1)
        self.assertIn(self.tmp + ": read failed: Is a directory", out.stderr)

    def test_peer_leaving_mid_stream(self):
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", rate=100)
        proc = subprocess.Popen(tool("link", sim.where, "--format", "jsonl"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(proc.kill)
        Lines(proc).readline()
        sim.kill()
        killed = time.monotonic()
        _, err = proc.communicate(timeout=TIMEOUT)
        self.assertLess(time.monotonic() - killed, 1.0)
        self.assertEqual(proc.returncode, 1)
        self.assertIn(sim.where + ": the peer closed the connection", err)


class socket_bound:
    """A loopback port that nothing listens on once the block is left."""

    def __enter__(self):
        import socket
        self.s = socket.socket()
        self.s.bind(("127.0.0.1", 0))
        return self.s.getsockname()[1]

    def __exit__(self, *exc):
        self.s.close()


@unittest.skipUnless(WINDOWS, "the Windows build under Wine")
class WineLink(LinkTest):
    def test_com_port_mapped_to_a_pty(self):
        # This script plays the device on the pty's other side.
        pty = Pty(self)
        awkward = bytes([0x03, 0x04, 0x0A, 0x0D, 0x11, 0x13, 0x7F, 0xFA, 0x5F])
        frames = []
        for n in range(6):
            kind = n % 3
            body = (awkward * 11)[n:n + 2 * (15, 32, 47)[kind]]
            payload = bytes([kind]) + body
            frames.append(bytes([0xFA, 0xA5, len(payload), 0]) + payload + b"\x5f")
        proc = subprocess.Popen(tool("link", pty.path, "--count", 6,
                                     "--format", "jsonl"),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(proc.kill)
        received = pty.read_until(lambda d: d.endswith(REQUEST))
        os.write(pty.master, b"".join(frames))
        received += pty.read_until(lambda d: d.endswith(STOP))
        out, err = proc.communicate(timeout=TIMEOUT)
        self.assertEqual(proc.returncode, 0, err)
        self.assertEqual(received, REQUEST + STOP)
        self.check_records(jsonl_records(out.decode()), frames)

    def test_a_busy_com_port(self):
        pty = Pty(self)
        first = subprocess.Popen(tool("link", pty.path, "--count", 1,
                                      "--format", "jsonl"),
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(first.kill)
        self.assertEqual(pty.read_until(lambda d: d.endswith(REQUEST)), REQUEST)
        second = self.run_link(pty.path, "--count", 1)
        self.assertEqual(second.returncode, 1)
        self.assertIn(pty.path + ": in use by another process", second.stderr)
        payload = bytes([0]) + bytes(range(30))
        os.write(pty.master, bytes([0xFA, 0xA5, 31, 0]) + payload + b"\x5f")
        out, err = first.communicate(timeout=TIMEOUT)
        self.assertEqual(first.returncode, 0, err)
        self.assertEqual(len(jsonl_records(out.decode())), 1)

    def test_errors_name_the_port_and_the_reason(self):
        with socket_bound() as free_port:
            refused = "tcp:127.0.0.1:%d" % free_port
        for port in ("COM199", refused):
            with self.subTest(port=port):
                out = self.run_link(port, "--count", 1)
                self.assertEqual(out.returncode, 1)
                self.assertRegex(out.stderr, "^kestrav link: %s: .+" % port)
        # A COM port not there yet is waited for with --reconnect.
        out = self.run_link("COM199", "--reconnect", "--seconds", 1)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("COM199: not there yet; waiting for it", out.stderr)

    def test_a_peer_that_never_closes(self):
        self.check_a_peer_that_never_closes_holds_the_end_half_a_second()

    def test_tcp(self):
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", noise=True)
        out = self.run_link(sim.where, "--count", 6)
        self.assertEqual(out.returncode, 0, out.stderr)
        frames, commands = sim.finish(self)
        self.assertEqual(commands, [REQUEST, STOP])
        self.check_records(jsonl_records(out.stdout), frames)


if __name__ == "__main__":
    unittest.main(verbosity=2)
