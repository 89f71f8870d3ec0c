#!/usr/bin/env python3
"""MCAP recordings (--record FILE.mcap): read back with @mcap/core, the
reader of the tools that open MCAP (tests/web/read_mcap.mjs), and replayed
by `kestrav inspect`. Environment as the other tool tests, and
KESTRAV_MCAP_READER (read_mcap.mjs)."""
import http.client
import json
import os
import select
import signal
import struct
import subprocess
import tempfile
import time
import unittest
import zlib

from harness import TIMEOUT, WINDOWS, Pty, tool
from test_hid import decode, reports
from test_link import Simulator, expected_records, jsonl_records
from test_sbus import NO_TERMIOS2, TERMIOS2, csv, monitor_records, pack

READER = os.environ.get("KESTRAV_MCAP_READER", "")
META_KEYS = {"version", "command_line", "command", "port", "line_settings",
             "host_os", "start_time_utc", "start_time_ns"}
TOPICS = {"link": ("/link/raw", "/link/port_data"),
          "sbus-monitor": ("/sbus/raw", "/sbus/frame"),
          "hid": ("/hid/raw", "/hid/report"),
          "sbus": ("/sbus/sent_bytes", "/sbus/sent")}


def read_mcap(path):
    out = subprocess.run(["node", READER, path], capture_output=True,
                         text=True, timeout=60)
    if out.returncode != 0:
        raise AssertionError("read_mcap.mjs: " + out.stderr)
    return json.loads(out.stdout)


def zstd_frame(data):
    """data as a zstd frame of raw (stored) blocks, which every zstd
    decoder reads: the magic, a single-segment header with a 4-byte
    content size, then blocks of at most 128 KiB."""
    out = struct.pack("<IB", 0xFD2FB528, 0xA0) + struct.pack("<I", len(data))
    blocks = [data[k:k + (1 << 17)]
              for k in range(0, len(data), 1 << 17)] or [b""]
    for k, block in enumerate(blocks):
        last = 1 if k == len(blocks) - 1 else 0
        out += struct.pack("<I", last | len(block) << 3)[:3] + block
    return out


def mcap(records_of_channel, metadata=None, compression="", end=True,
         changed=None):
    """A small MCAP file as another writer might make it: a hid recording's
    raw channel (metadata overridden by metadata), its messages at the
    given (t in ns, bytes), in one chunk, with every CRC; a "zstd" chunk
    stores its records in raw blocks. changed, when given, is applied to
    the records after their CRC was taken."""
    def string(text):
        return struct.pack("<I", len(text)) + text.encode()

    def record(op, body):
        return bytes([op]) + struct.pack("<Q", len(body)) + body
    meta = {"kestrav.command": "hid", "kestrav.start_time_ns": "1000",
            "kestrav.report_id": "-1"}
    meta.update(metadata or {})
    pairs = b"".join(string(k) + string(v) for k, v in meta.items())
    channel = record(0x04, struct.pack("<HH", 1, 0) + string("/hid/raw") +
                     string("application/octet-stream") +
                     struct.pack("<I", len(pairs)) + pairs)
    messages = b"".join(record(0x05, struct.pack("<HIQQ", 1, k, 1000 + t,
                                                  1000 + t) + data)
                        for k, (t, data) in enumerate(records_of_channel))
    inner = channel + messages
    crc = zlib.crc32(inner)
    if changed:
        inner = changed(inner)
    stored = zstd_frame(inner) if compression == "zstd" else inner
    chunk = record(0x06, struct.pack("<QQQI", 0, 0, len(inner), crc) +
                   string(compression) + struct.pack("<Q", len(stored)) +
                   stored)
    data = MAGIC + record(0x01, string("kestrav") + string("test")) + chunk
    if not end:
        return data
    data += record(0x0F, struct.pack("<I", zlib.crc32(data)))
    return data + record(0x02, struct.pack("<QQI", 0, 0, 0)) + MAGIC


MAGIC = b"\x89MCAP0\r\n"


def lines(text):
    return [json.loads(line) for line in text.splitlines()]


@unittest.skipUnless(READER, "no MCAP reader given")
class McapRecording(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def check_file(self, path, command, live, started, ended,
                   compression="zstd"):
        """What every recording must hold, read as Foxglove or PlotJuggler
        would: the metadata, one raw and one decoded channel, every record
        as its jsonl line with n as its sequence, times that never go back
        and lie within the run, and a working index. Returns the file."""
        f = read_mcap(path)
        s = f["streamed"]
        self.assertIsNone(s["error"])
        self.assertTrue(s["footer"], "a clean end writes the summary")
        self.assertEqual(s["compressions"], [compression])
        self.assertEqual(s["header"]["profile"], "kestrav")
        [meta] = s["metadata"]
        self.assertEqual((meta["name"], set(meta["metadata"])),
                         ("kestrav", META_KEYS))
        self.assertEqual(meta["metadata"]["command"], command)
        self.assertIn("--record", meta["metadata"]["command_line"])
        channels = {c["id"]: c for c in s["channels"]}
        raw_topic, decoded_topic = TOPICS[command]
        self.assertEqual(sorted((c["topic"], c["messageEncoding"])
                                for c in channels.values()),
                         sorted([(raw_topic, "application/octet-stream"),
                                 (decoded_topic, "json")]))
        [schema] = {json.dumps(x, sort_keys=True): x
                    for x in s["schemas"]}.values()
        self.assertEqual({c["schemaId"] for c in channels.values()
                          if c["topic"] == decoded_topic}, {schema["id"]})
        self.assertEqual(schema["encoding"], "jsonschema")
        self.assertEqual(set(json.loads(schema["data"])["required"]),
                         set(live[0]))
        decoded = [m for m in s["messages"]
                   if channels[m["channelId"]]["topic"] == decoded_topic]
        self.assertEqual([json.loads(m["data"]) for m in decoded], live)
        self.assertEqual([m["sequence"] for m in decoded],
                         [r["n"] for r in live])
        start = int(meta["metadata"]["start_time_ns"])
        for topic in TOPICS[command]:
            times = [int(m["logTime"]) for m in s["messages"]
                     if channels[m["channelId"]]["topic"] == topic]
            self.assertEqual(times, sorted(times), topic)
            self.assertGreaterEqual(times[0], start)
            self.assertGreaterEqual(start, int(started * 1e9) - 10**8)
            self.assertLessEqual(times[-1], int(ended * 1e9))
        self.assertIsNone(f["indexed"]["error"])
        self.assertEqual(f["indexed"]["messagesRead"], len(s["messages"]))
        # inspect replays the raw channel into the same records, each t
        # within a millisecond of the live one.
        out = subprocess.run(tool("inspect", path, "--format", "jsonl"),
                             capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(out.returncode, 0, out.stderr)
        replay = [json.loads(line) for line in out.stdout.splitlines()]
        self.assertEqual([{k: v for k, v in r.items() if k != "t"}
                          for r in replay],
                         [{k: v for k, v in r.items() if k != "t"}
                          for r in live])
        self.assertLess(max(abs(a["t"] - b["t"]) for a, b in zip(replay, live)),
                        1e-3)
        return f

    def run_recorded(self, command, args, path, **kw):
        started = time.time()
        out = subprocess.run(tool(command, *args, "--format", "jsonl",
                                  "--record", path),
                             capture_output=True, text=True, timeout=TIMEOUT,
                             **kw)
        self.assertEqual(out.returncode, 0, out.stderr)
        return [json.loads(line) for line in out.stdout.splitlines()], \
            started, time.time()

    def test_link_and_hid_recordings(self):
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", rate=200)
        path = os.path.join(self.tmp, "link.mcap")
        live, started, ended = self.run_recorded(
            "link", [sim.where, "--seconds", 1], path)
        frames, _ = sim.finish(self)
        self.assertEqual([(r["block15"], r["block32"]) for r in live],
                         expected_records(frames)[:len(live)])
        self.check_file(path, "link", live, started, ended)
        # zstd: a noisy stream's record and its bytes in under 350 bytes
        # (547 uncompressed).
        self.assertLess(os.path.getsize(path), 350 * len(live))
        if WINDOWS:
            return  # one Wine case is enough: the file's bytes are the same
        recording = os.path.join(self.tmp, "reports.bin")
        with open(recording, "wb") as f:
            f.write(b"".join(reports(12)))
        path = os.path.join(self.tmp, "hid.mcap")
        live, started, ended = self.run_recorded(
            "hid", [recording, "--record-compression", "none"], path)
        self.assertEqual([r["values"] for r in live],
                         [decode(r) for r in reports(12)])
        self.check_file(path, "hid", live, started, ended, compression="")

    @unittest.skipIf(WINDOWS, "ptys are POSIX")
    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_sbus_recordings_sent_and_monitored(self):
        values = [64 * k for k in range(16)]
        pty = Pty(self)
        path = os.path.join(self.tmp, "sent.mcap")
        live, started, ended = self.run_recorded(
            "sbus", [pty.path, "--count", 25, "--period", 4, "--values",
                     csv(values)], path)
        self.assertEqual(len(live), 25)
        self.check_file(path, "sbus", live, started, ended)
        frames = pty.read_available(0.05)
        # The monitor, fed those frames in three writes, a new one each
        # tenth of a second.
        pty = Pty(self)
        path = os.path.join(self.tmp, "monitor.mcap")
        started = time.time()
        monitor = subprocess.Popen(tool("sbus-monitor", pty.path, "--format",
                                        "jsonl", "--record", path,
                                        "--count", 25),
                                   stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        self.addCleanup(monitor.kill)
        time.sleep(0.2)
        for k in range(3):
            os.write(pty.master, frames[k * 250:(k + 1) * 250 if k < 2 else None])
            time.sleep(0.1)
        out, err = monitor.communicate(timeout=TIMEOUT)
        self.assertEqual(monitor.returncode, 0, err)
        live = monitor_records("jsonl", out)
        self.assertEqual({tuple(r["channels"]) for r in live}, {tuple(values)})
        self.check_file(path, "sbus-monitor", live, started, time.time())

    @unittest.skipIf(WINDOWS, "SIGKILL is POSIX")
    def test_a_killed_run_loses_at_most_its_last_second(self):
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", rate=200)
        path = os.path.join(self.tmp, "killed.mcap")
        proc = subprocess.Popen(tool("link", sim.where, "--format", "none",
                                     "--record", path),
                                stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.addCleanup(proc.kill)
        time.sleep(3)
        killed = time.time()
        proc.kill()
        proc.wait()
        frames, _ = sim.finish(self)  # the host left: the device stops
        s = read_mcap(path)["streamed"]
        self.assertFalse(s["footer"])
        records = [json.loads(m["data"]) for m in s["messages"]
                   if m["data"].startswith("{")]
        want = expected_records(frames)
        # Every record older than a second before the kill is there, and
        # each one is the device's truth.
        start = int(s["metadata"][0]["metadata"]["start_time_ns"]) / 1e9
        self.assertGreaterEqual(start + records[-1]["t"], killed - 1.0)
        self.assertEqual([(r["block15"], r["block32"]) for r in records],
                         want[:len(records)])
        self.assertEqual([r["n"] for r in records],
                         list(range(1, len(records) + 1)))
        print("killed after 3 s: %d records kept, the last %.3f s before "
              "the kill" % (len(records), killed - start - records[-1]["t"]))
        out = subprocess.run(tool("inspect", path, "--format", "jsonl"),
                             capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertIn("ends early", out.stderr)
        replay = jsonl_records(out.stdout)
        self.assertGreaterEqual(len(replay), len(records))
        self.assertEqual([(r["block15"], r["block32"]) for r in replay],
                         want[:len(replay)])


    @unittest.skipIf(WINDOWS, "SIGKILL and FIFOs are POSIX")
    def test_a_kill_loses_at_most_half_a_second_however_quiet(self):
        fifo = os.path.join(self.tmp, "pad")
        os.mkfifo(fifo)
        sent = reports(200)

        def killed_run(name, count, quiet):
            path = os.path.join(self.tmp, name)
            proc = subprocess.Popen(tool("hid", fifo, "--format", "none",
                                         "--record", path),
                                    stderr=subprocess.DEVNULL)
            self.addCleanup(proc.kill)
            with open(fifo, "wb") as w:
                w.write(b"".join(sent[:count]))
                w.flush()
                time.sleep(quiet)
                proc.kill()
                proc.wait()
            return subprocess.run(tool("inspect", path, "--format", "jsonl"),
                                  capture_output=True, text=True,
                                  timeout=TIMEOUT)
        # Killed inside the first chunk: the file still says what it is.
        out = killed_run("early.mcap", 5, 0.1)
        self.assertEqual((out.returncode, out.stdout), (0, ""), out.stderr)
        self.assertIn("ends early, with no records", out.stderr)
        # A device that goes quiet: its chunk is closed all the same.
        out = killed_run("quiet.mcap", 200, 0.9)
        self.assertEqual(out.returncode, 0, out.stderr)
        self.assertEqual([r["values"] for r in lines(out.stdout)],
                         [decode(r) for r in sent])

    @unittest.skipIf(WINDOWS, "FIFOs and signals are POSIX")
    def test_a_fifo_with_no_reader_waits_within_the_run_limits(self):
        fifo = os.path.join(self.tmp, "out.mcap")
        os.mkfifo(fifo)
        started = time.monotonic()
        out = subprocess.run(tool("link", Pty(self).path, "--record", fifo,
                                  "--seconds", 1), capture_output=True,
                             text=True, timeout=TIMEOUT)
        self.assertEqual((out.returncode, out.stderr), (0, ""))
        self.assertLess(time.monotonic() - started, 3)
        proc = subprocess.Popen(tool("link", Pty(self).path, "--record", fifo),
                                stderr=subprocess.PIPE, text=True)
        self.addCleanup(proc.kill)
        time.sleep(0.3)
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.communicate(timeout=TIMEOUT), (None, ""))
        self.assertEqual(proc.returncode, 0)

    def test_damaged_and_foreign_files_are_named(self):
        good = [(k * 10**6, r) for k, r in enumerate(reports(40))]
        path = os.path.join(self.tmp, "x.mcap")

        def inspect(data, *args, **kw):
            with open(path, "wb") as f:
                f.write(data)
            return subprocess.run(tool("inspect", path, "--format", "jsonl",
                                       *args), capture_output=True, text=True,
                                  timeout=TIMEOUT, **kw)
        out = inspect(mcap(good))
        self.assertEqual((out.returncode, out.stderr), (0, ""))
        self.assertEqual(len(lines(out.stdout)), 40)
        # One byte changed in a report: its chunk is left out, by offset.
        data = bytearray(mcap(good))
        data[len(data) // 2] ^= 0x10
        out = inspect(bytes(data))
        self.assertEqual((out.returncode, out.stdout), (1, ""))
        self.assertIn("the chunk at offset 36 is damaged", out.stderr)
        # And in a zstd chunk of the tool's own.
        recording = os.path.join(self.tmp, "reports.bin")
        with open(recording, "wb") as f:
            f.write(b"".join(r for _, r in good))
        subprocess.run(tool("hid", recording, "--format", "none", "--record",
                            path), check=True, timeout=TIMEOUT)
        with open(path, "rb") as f:
            data = bytearray(f.read())
        at = len(MAGIC)
        while data[at] != 0x06:  # to the first chunk
            at += 9 + struct.unpack_from("<Q", data, at + 1)[0]
        data[at + 80] ^= 0x01
        out = inspect(bytes(data))
        self.assertEqual((out.returncode, out.stdout), (1, ""))
        self.assertIn("the chunk at offset %d " % at, out.stderr)
        # A zstd chunk whose records decompress but were changed.
        out = inspect(mcap(good, compression="zstd"))
        self.assertEqual((out.returncode, len(lines(out.stdout))), (0, 40))
        out = inspect(mcap(good, compression="zstd", changed=lambda b: b[:-1] +
                           bytes([b[-1] ^ 0x10])))
        self.assertEqual((out.returncode, out.stdout), (1, ""))
        self.assertIn("the chunk at offset 36 is damaged", out.stderr)
        for meta, compression, why in (
                ({}, "lz4", "compressed with 'lz4'"),
                ({"kestrav.start_time_ns": "soon"}, "", "start_time_ns"),
                ({"kestrav.report_id": "x"}, "", "report_id"),
                ({"kestrav.command": "fly"}, "", "unknown command 'fly'")):
            with self.subTest(why=why):
                out = inspect(mcap(good, meta, compression))
                self.assertEqual(out.returncode, 1)
                self.assertIn(path, out.stderr)
                self.assertIn(why, out.stderr)
                self.assertEqual(len(out.stderr.splitlines()), 1, out.stderr)
        if WINDOWS:
            return
        # Through a pipe: a recording is named; a stream loses no byte.
        frame = bytes.fromhex("faa51f0000") + bytes(30) + b"\x5f"
        for name in ("/dev/stdin", "-"):
            for data, status, want in ((mcap(good), 1, b"a pipe"),
                                       (b"\x00" * 3 + MAGIC[:5] + frame, 0,
                                        b"")):
                out = subprocess.run(tool("inspect", name, "--format", "jsonl"),
                                     input=data,
                                     capture_output=True, timeout=TIMEOUT)
                self.assertEqual((out.returncode, len(out.stdout.splitlines())),
                                 (status, 1 - status), out.stderr)
                self.assertIn(want, out.stderr)
        # Bytes with no frame: named, with what they may be; nothing is
        # not an error.
        for data, status, want in (
                (b"cmake_minimum_required(VERSION 3.25)\n" * 9, 1,
                 "333 bytes and no port data frame in them: not a link stream"),
                (pack([1] * 16) * 3, 1, "it holds 3 SBUS frames: 'kestrav "
                 "sbus-monitor %s' decodes them" % path),
                (b"", 0, "")):
            out = inspect(data)
            self.assertEqual((out.returncode, out.stdout), (status, ""))
            self.assertIn(want, out.stderr)
            self.assertEqual(len(out.stderr.splitlines()), status)
        # A gap of a year in a paced replay is waited out as 5 s; without
        # --serve nothing is waited for.
        year = 365 * 86400 * 10**9
        started = time.monotonic()
        out = inspect(mcap([good[0], (year, good[1][1])]))
        self.assertEqual(len(lines(out.stdout)), 2)
        self.assertLess(time.monotonic() - started, 2)
        # --serve plays once a page is there, and keeps the page until a
        # stop; a stop while it waits for one ends the run at once.
        from test_view import start_view
        proc, _, _, _ = start_view(self, "inspect", path)
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        stopped = time.monotonic()
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertLess(time.monotonic() - stopped, 0.5)
        proc, address, token, err = start_view(self, "inspect", path,
                                               "--format", "jsonl")
        # Nothing is played before a page is there.
        self.assertEqual(select.select([proc.stdout], [], [], 0.5)[0], [])
        host, port = address.rsplit(":", 1)
        page = http.client.HTTPConnection(host, int(port), timeout=TIMEOUT)
        page.request("GET", "/events?token=" + token)
        self.assertEqual(page.getresponse().status, 200)
        started = time.monotonic()
        self.assertEqual(err.readline(12), "kestrav inspect: the recording "
                         "has been played; the page stays until Ctrl-C\n")
        self.assertLess(time.monotonic() - started, 8)
        self.assertIsNone(proc.poll())
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=TIMEOUT)
        page.close()
        self.assertEqual(proc.returncode, 0)
        self.assertEqual([r["t"] for r in lines(out.decode())], [0, 365 * 86400])

if __name__ == "__main__":
    unittest.main(verbosity=2)
