#!/usr/bin/env python3
"""The tool on real kernel drivers: one boot of the lab's guest (lab.py)
runs every test below, with the tool inside and the simulator, the SBUS
receiver and the USB plugs on this side.

Environment: KESTRAV_TOOL (the Linux x86-64 tool, which also plays the
device here), KESTRAV_LAB_PAD (the static uhid helper). Timing under TCG is
loose (a 7 ms period spreads to 2-12 ms), so the tests gate on counts,
contents and continuity, not on time.
"""
import json
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "tool"))
import lab  # noqa: E402
from harness import tool  # noqa: E402
from test_hid import decode  # noqa: E402
from test_link import (Simulator, expected_records, jsonl_records,  # noqa
                       words)  # noqa: E402
from test_sbus import V2_ENDS, csv, pack  # noqa: E402

SBUS_ID = "/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_KSBUS0-if00-port0"
LINK_ID = "/dev/serial/by-id/usb-QEMU_QEMU_USB_SERIAL_KLINK0-if00-port0"
PAD_MAP = "0,~1,c,=172,8,10,3"
HIDRAW = "$(ls /dev/hidraw* | head -n 1)"
# The UART clock of qemu's virt board (its apb-pclk), and the PL011's line
# control (LCR_H) for 8 bits with the FIFO on, 2 stop bits and even parity
# (WLEN 0x60 | FEN 0x10 | STP2 0x08 | EPS 0x04 | PEN 0x02), and for the
# console's 8N1.
PL011_CLOCK = 24000000
LCR_H_8E2 = 0x7E
LCR_H_8N1 = 0x70
# Bounded, as every loop in the guest: one that never ended would hold up
# every command after it.
WAIT_HIDRAW = ("(for i in $(seq 200); do ls /dev/hidraw* >/dev/null 2>&1 "
               "&& exit 0; usleep 50000; done; exit 1)")


def pad_report(k):
    """The 17 bytes of the uhid helper's report k."""
    return bytes((k * 31 + j * 7 + 1) & 0xFF for j in range(17))


def sbus_frames(data):
    """Whole SBUS frames in a byte stream (a frame cut by an unplug is
    skipped, as a receiver would)."""
    frames, p = [], 0
    while p + 25 <= len(data):
        f = data[p:p + 25]
        if f[0] == 0x0F and f[24] in (0, *V2_ENDS):
            frames.append(f)
            p += 25
        else:
            p += 1
    return frames


def link_matches(records, frames):
    """None when every record is the host's blocks after one frame the device
    sent, in order, with nothing of another frame in it: the blocks the
    frame writes equal its words, and a block it does not write is what it
    was, or zeros where a new stream began."""
    at, b15, b32 = 0, None, None
    for i, r in enumerate(records):
        while at < len(frames):
            payload = frames[at][4:-1]
            at += 1
            kind = payload[0]
            new15 = words(payload, 1, 15) if kind in (0, 2) else None
            new32 = (words(payload, 1, 32) if kind == 1 else
                     words(payload, 31, 32) if kind == 2 else None)
            if (new15 or r["block15"]) != r["block15"] or \
                    (new32 or r["block32"]) != r["block32"]:
                continue
            if new15 is None and r["block15"] not in (b15, [0] * 15) or \
                    new32 is None and r["block32"] not in (b32, [0] * 32):
                return "record %d holds a block of another frame" % (i + 1)
            b15, b32 = r["block15"], r["block32"]
            break
        else:
            return "record %d is no frame the device sent" % (i + 1)
    return None


class Lab(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="kestrav-lab-")
        started = time.monotonic()
        cls.guest = lab.Guest(os.environ["KESTRAV_TOOL"],
                              os.environ["KESTRAV_LAB_PAD"], cls.work)
        # The guest is ready before its USB adapters are: they enumerate,
        # and mdev makes their by-id names, in their own time.
        cls.guest.wait_for("test -e %s && test -e %s" % (SBUS_ID, LINK_ID),
                           30)
        print("lab: guest ready in %.1f s" % (time.monotonic() - started),
              file=sys.stderr)

    @classmethod
    def tearDownClass(cls):
        cls.guest.close()
        if os.environ.get("KESTRAV_LAB_KEEP") != "1":
            shutil.rmtree(cls.work, ignore_errors=True)
        else:
            print("lab: kept %s" % cls.work, file=sys.stderr)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(dir=self.work)

    def node(self, by_id):
        return self.guest.check("readlink -f " + by_id).strip()

    def sbus_received(self, since, size=None):
        """The SBUS adapter's bytes from offset since: once size of them
        have come, or when size is not known, once they have stopped
        growing for 1 s. The command that sent them has ended (and drained
        the port) by then, so they are on their way; 30 s at most."""
        end = time.monotonic() + 30
        grown = time.monotonic()
        data = self.guest.sbus_bytes()[since:]
        while time.monotonic() < end:
            if size is not None and len(data) >= size or \
                    size is None and time.monotonic() - grown > 1:
                break
            time.sleep(0.05)
            more = self.guest.sbus_bytes()[since:]
            if len(more) != len(data):
                grown = time.monotonic()
            data = more
        return data

    def wait_for_trace(self, text, since, seconds=30):
        """Waits, for a bounded time, until qemu's trace from line since
        holds text."""
        end = time.monotonic() + seconds
        while not any(text in line
                      for line in self.guest.trace_lines()[since:]):
            self.assertLess(time.monotonic(), end, "no %r in qemu's trace"
                            % text)
            time.sleep(0.05)

    def simulator(self):
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", rate=200)
        self.guest.relay.attach(sim.where)
        self.addCleanup(self.guest.relay.detach)
        return sim

    def test_1_sbus_line_settings_and_frames(self):
        node = self.node(SBUS_ID)
        values = [100 * k + 7 for k in range(16)]
        since = len(self.guest.sbus_bytes())
        trace_from = len(self.guest.trace_lines())
        out = self.guest.check("kestrav sbus %s --count 40 --period 7 --v2 "
                               "--ch18 --values %s" % (node, csv(values)))
        self.assertEqual(out, "")
        want = [pack(values, 0x02, V2_ENDS[k % 4]) for k in range(40)]
        self.assertEqual(self.sbus_received(since, 25 * 40), b"".join(want))
        trace = "\n".join(self.guest.trace_lines()[trace_from:])
        self.assertIn("baud rate 100000", trace)
        self.assertIn("parity E, data bits 8, stop bits 2", trace)

    def test_2_link_to_the_simulator(self):
        sim = self.simulator()
        out = self.guest.check("kestrav link %s --count 30 --format jsonl"
                               % self.node(LINK_ID))
        self.guest.relay.detach()  # the simulator's host has gone
        frames, commands = sim.finish(self)
        records = jsonl_records(out)
        self.assertEqual([(r["n"], r["block15"], r["block32"])
                          for r in records],
                         [(n, b15, b32) for n, (b15, b32) in
                          enumerate(expected_records(frames)[:30], 1)])
        self.assertEqual(commands[0], bytes.fromhex("fae5020001005f"))
        self.assertEqual(commands[-1], bytes.fromhex("fae400005f"))

    def hid_run(self, pad_args, tool_args, count):
        self.guest.start("uhid_pad %s >/tmp/pad.log 2>&1" % pad_args)
        self.guest.check(WAIT_HIDRAW, 30)
        out = self.guest.check("kestrav hid %s --count %d --format jsonl %s"
                               % (HIDRAW, count, tool_args), 120)
        self.guest.wait_jobs()
        return [(r["n"], r["values"]) for r in map(json.loads,
                                                   out.splitlines())]

    def test_3_hid_on_hidraw(self):
        want = [(k, decode(pad_report(k))) for k in range(1, 21)]
        for pad, args in (("", ""), ("--report-id", "--report-id 1")):
            with self.subTest(pad=pad):
                self.assertEqual(self.hid_run("%s 20" % pad, args, 20), want)

    def test_4_gamepad_to_servos(self):
        # Reports 40 ms apart, frames every 7 ms: every report's mapping must
        # reach the SBUS receiver, in order, and nothing else.
        # The sender must be sending before the first report: a sender
        # that set its port up later than two reports came would send only
        # the second (it sends the latest line, as a servo output must), and
        # the first report's frame would be missing. So the sender reads a
        # FIFO and starts first, and the pad starts once the chip has the
        # SBUS speed in qemu's trace.
        since = len(self.guest.sbus_bytes())
        trace_from = len(self.guest.trace_lines())
        self.guest.check("rm -f /tmp/pad.fifo && mkfifo /tmp/pad.fifo")
        self.guest.start("kestrav sbus %s --period 7 --input /tmp/pad.fifo "
                         "--format jsonl >/tmp/sent" % self.node(SBUS_ID))
        self.wait_for_trace("baud rate 100000", trace_from)
        self.guest.start("uhid_pad --interval 40 12 >/tmp/pad.log 2>&1")
        self.guest.check(WAIT_HIDRAW, 30)
        self.guest.check("kestrav hid %s --count 12 --sbus-map %s "
                         ">/tmp/pad.fifo" % (HIDRAW, PAD_MAP), 120)
        self.guest.wait_jobs()
        sent = len(self.guest.check("cat /tmp/sent").splitlines())

        def scale(x, bits):
            return 172 + (x * 1639 + (2**bits - 1) // 2) // (2**bits - 1)

        def mapped(v):
            return ([scale(v[0], 16), scale(0xFFFF - v[1], 16), 992, 172,
                     scale(v[8], 4), scale(v[10], 8), scale(v[3], 12)] +
                    [992] * 9)
        received = []
        for f in sbus_frames(self.sbus_received(since, 25 * sent)):
            if not received or received[-1] != f:
                received.append(f)
        self.assertEqual(received, [pack(mapped(decode(pad_report(k))))
                                    for k in range(1, 13)])

    def test_5_ports(self):
        self.guest.start("uhid_pad --hold 3000 >/tmp/pad.log 2>&1")
        self.guest.check(WAIT_HIDRAW, 30)
        out = self.guest.check("kestrav ports --format jsonl")
        self.guest.wait_jobs()
        ports = {p["path"]: p for p in map(json.loads, out.splitlines())}
        for serial, by_id in (("KSBUS0", SBUS_ID), ("KLINK0", LINK_ID)):
            p = ports[self.node(by_id)]
            self.assertEqual((p["driver"], p["vid"], p["pid"], p["serial"],
                              p["by_id"]),
                             ("ftdi_sio", "0403", "6001", serial, by_id))
        hid = [p for p in ports.values() if p["kind"] == "hid"]
        self.assertEqual([(p["vid"], p["pid"], p["name"]) for p in hid],
                         [("f055", "4b56", "Kestrav lab pad")])
        # The board's own UART, with its driver: on a PC ttyS0 (ttyS1 to
        # ttyS3 are set aside without a UART), on arm64 the PL011.
        self.assertEqual({p: ports[p].get("driver") for p in ports
                          if re.match("/dev/tty(S|AMA)", p)},
                         {"amd64": {"/dev/ttyS0": "serial"},
                          "arm64": {"/dev/ttyAMA0": "uart-pl011"}}[
                              self.guest.arch])

    def test_6_unplug_and_replug(self):
        for path in ("plain", "by-id"):
            with self.subTest(command="sbus", path=path):
                self.replug_sbus(path)
            with self.subTest(command="link", path=path):
                self.replug_link(path)
        with self.subTest(command="hid", path="plain"):
            want = [(k, decode(pad_report(k))) for k in range(1, 41)]
            self.assertEqual(self.hid_run("40 20", "--reconnect", 40), want)

    def replug_sbus(self, path):
        node = self.node(SBUS_ID)
        port = node if path == "plain" else SBUS_ID
        since = len(self.guest.sbus_bytes())
        # A producer whose every line differs, so that the frames do too.
        self.guest.start(
            "i=0; while :; do echo $((i %% 2048))%s; i=$((i + 1)); "
            "usleep 3000; done | kestrav sbus %s --input - --period 7 "
            "--reconnect --seconds 60 --format jsonl >/tmp/sent 2>/tmp/err"
            % (",1024" * 15, port))
        # Frames flow: 100 of them have come.
        self.sbus_received(since, 25 * 100)
        added = self.guest.replug_sbus()
        grown = len(self.guest.sbus_bytes())
        while len(self.guest.sbus_bytes()) == grown and \
                time.monotonic() - added < 30:
            time.sleep(0.01)
        print("lab: sbus %s: first frame %.2f s after the replug"
              % (path, time.monotonic() - added), file=sys.stderr)
        # Frames flow again: 100 more have come; then the run is ended.
        self.sbus_received(grown, 25 * 100)
        self.guest.check("killall -TERM kestrav")
        self.guest.wait_jobs(30)
        # mdev makes the by-id name in its own time.
        self.guest.wait_for("test -e " + SBUS_ID)
        self.assertEqual(self.node(SBUS_ID), node, "the node came back")
        sent = [pack(r["channels"], int(r["ch17"]) | int(r["ch18"]) << 1,
                     r["end"])
                for r in map(json.loads,
                             self.guest.check("cat /tmp/sent").splitlines())]
        received = sbus_frames(self.sbus_received(since))
        # Every frame received was sent, in order; a few may be lost in
        # the unplug, and frames go on after it.
        at = 0
        for f in received:
            at = sent.index(f, at) + 1
        self.assertGreater(len(received), len(sent) - 8)
        self.assertGreater(sent.index(received[-1]), len(sent) - 8)
        self.assertIn("back", self.guest.check("cat /tmp/err"))

    def replug_link(self, path):
        sim = self.simulator()
        port = self.node(LINK_ID) if path == "plain" else LINK_ID
        self.guest.start("kestrav link %s --reconnect --seconds 60 --format "
                         "jsonl >/tmp/records 2>/tmp/err" % port)
        # Records flow: 100 of them have come; then the adapter is pulled,
        # and once it is back and 100 more have come, the run is ended.
        count = "[ $(wc -l </tmp/records) -ge %d ]"
        self.guest.wait_for(count % 100)
        self.guest.relay.unplug()
        self.guest.wait_for("grep -q back /tmp/err", 30)
        self.guest.wait_for(count % (len(self.guest.check(
            "cat /tmp/records").splitlines()) + 100))
        self.guest.check("killall -TERM kestrav")
        self.guest.wait_jobs(30)
        records = jsonl_records(self.guest.check("cat /tmp/records"))
        err = self.guest.check("cat /tmp/err")
        self.assertIn("back", err)
        self.guest.relay.detach()
        frames, commands = sim.finish(self)
        self.assertEqual([r["n"] for r in records],
                         list(range(1, len(records) + 1)))
        self.assertIsNone(link_matches(records, frames), err)
        self.assertEqual(commands.count(bytes.fromhex("fae5020001005f")), 2)
        # Records came after the replug too.
        self.assertGreaterEqual(len(records), 200)
        print("lab: link %s: %d records; the request came %.2f s after the "
              "adapter was back" % (path, len(records), self.guest.relay.gap()),
              file=sys.stderr)

    def test_7_low_latency(self):
        for command in ("link %s" % LINK_ID, "sbus-monitor %s" % SBUS_ID,
                        "sbus %s" % SBUS_ID):
            with self.subTest(command=command.split()[0]):
                timer = ("/sys/bus/usb-serial/devices/%s/latency_timer"
                         % os.path.basename(self.node(command.split()[1])))
                # The driver's default, whatever an earlier run left: a run
                # that left low latency on would show here as 1.
                self.guest.check("echo 16 >" + timer)
                before = self.guest.check("cat " + timer)
                self.guest.start("kestrav %s --seconds 60 >/dev/null 2>&1"
                                 % command)
                during = self.guest.wait_for("grep -x 1 " + timer)
                self.guest.check("killall -TERM kestrav")
                self.guest.wait_jobs()
                after = self.guest.check("cat " + timer)
                self.assertEqual((before, during, after),
                                 ("16\n", "1\n", "16\n"))

    def test_8_sbus_out_of_the_pl011(self):
        # The console's own UART: the frames come back in the console
        # stream, as the only output of the command, and qemu's trace shows
        # what the driver set: the divisor for 100000 baud from the virt
        # board's 24 MHz UART clock, and LCR_H 8 bits, FIFO, 2 stop bits,
        # even parity.
        if self.guest.arch != "arm64":
            self.skipTest("the PL011 of the arm64 guest")
        port = "/dev/" + self.guest.console_port
        values = [64 * k + 3 for k in range(16)]
        before = self.guest.check("stty -g -F " + port)
        trace_from = len(self.guest.trace_lines())
        self.guest.trace_event("pl011_write", True)
        try:
            status, out = self.guest.run_bytes(
                "kestrav sbus %s --count 50 --period 7 --format none "
                "--values %s 2>/tmp/err" % (port, csv(values)))
        finally:
            self.guest.trace_event("pl011_write", False)
        self.assertEqual(status, 0, self.guest.check("cat /tmp/err"))
        self.assertEqual(out, pack(values) * 50)
        trace = self.guest.trace_lines()
        speeds = [tuple(int(x) for x in m.groups()) for m in
                  (re.search(r"pl011_baudrate_change.*ibrd: (\d+), fbrd: "
                             r"(\d+)", line) for line in trace) if m]
        new = len([1 for line in trace[trace_from:]
                   if "pl011_baudrate_change" in line])
        lcr_h = [int(m[1], 16) for m in
                 (re.search(r"pl011_write addr 0x0*2c value 0x([0-9a-f]+)",
                            line) for line in trace[trace_from:]) if m]
        # The divisor is 64ths of 16 clocks: 24 MHz * 4 / (64 * 15 + 0).
        self.assertIn(100000, [round(PL011_CLOCK * 4 / (64 * i + f))
                               for i, f in speeds[-new:]])
        self.assertIn(LCR_H_8E2, lcr_h)
        # Put back afterwards: the terminal's settings, the UART's divisor
        # of before the run, and the console's framing.
        self.assertEqual(self.guest.check("stty -g -F " + port), before)
        self.assertEqual(speeds[-1], speeds[-new - 1])
        self.assertEqual(lcr_h[-1], LCR_H_8N1)

if __name__ == "__main__":
    unittest.main(verbosity=2)
