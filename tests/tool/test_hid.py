#!/usr/bin/env python3
"""Process-level tests of `kestrav hid`, its SBUS map, `kestrav ports`, the
manual page and the bash completion. No hidraw node can exist on a machine
without USB or uhid, so reports come from recordings; the values expected
are decoded here, independently of the library."""
import json
import os
import random
import re
import shutil
import subprocess
import tempfile
import threading
import time
import unittest

from harness import EMULATOR, TIMEOUT, WINDOWS, Pty, tool
from test_sbus import NO_TERMIOS2, TERMIOS2, csv, pack

KNOWN = bytes.fromhex("010203040506" "21436587a9cbed0f" "0e0f10")
KNOWN_VALUES = [0x0201, 0x0403, 0x0605, 0x321, 0x654, 0x987, 0xCBA, 0xFED,
                0x0, 0x0F0E, 0x10]
WIDTHS = [16, 16, 16, 12, 12, 12, 12, 12, 4, 16, 8]
NATIVE_LINUX = not WINDOWS and not EMULATOR


def decode(r):
    """The report layout: three LE16, five 12-bit values and one 4-bit value
    in a 64-bit little-endian field, one LE16, one byte."""
    field = int.from_bytes(r[6:14], "little")
    return ([r[0] | r[1] << 8, r[2] | r[3] << 8, r[4] | r[5] << 8] +
            [(field >> (12 * k)) & 0xFFF for k in range(5)] +
            [field >> 60, r[14] | r[15] << 8, r[16]])


def reports(count, seed=5):
    rng = random.Random(seed)
    out = [KNOWN, bytes(6) + b"\xff" * 8 + bytes(3), b"\xff" * 17, bytes(17)]
    while len(out) < count:
        out.append(bytes(rng.randrange(256) for _ in range(17)))
    return out


def parse_hid(fmt, text):
    if fmt == "jsonl":
        records = [json.loads(line) for line in text.splitlines()]
        assert all(set(r) == {"t", "n", "values"} for r in records)
        return [(r["n"], r["values"]) for r in records]
    if fmt == "csv":
        lines = text.splitlines()
        assert lines[0] == "t,n," + ",".join("v%d" % k for k in range(11))
        return [(int(v[1]), [int(x) for x in v[2:]])
                for v in (line.split(",") for line in lines[1:])]
    out = []
    for line in text.splitlines():
        m = re.fullmatch(r"report (\d+) at \d+\.\d{6} s:((?: +\d+){11})", line)
        assert m, line
        out.append((int(m[1]), [int(x) for x in m[2].split()]))
    return out


class HidTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def fifo(self):
        path = os.path.join(self.tmp, "reports%d" % len(os.listdir(self.tmp)))
        os.mkfifo(path)
        return path


@unittest.skipIf(WINDOWS, "FIFOs and ptys are POSIX")
class PosixHid(HidTest):
    def test_recording_through_a_fifo_in_uneven_writes(self):
        stream = b"".join(reports(40)) + b"\x01\x02\x03\x04\x05"
        fifo, record = self.fifo(), os.path.join(self.tmp, "session.bin")
        proc = subprocess.Popen(tool("hid", fifo, "--format", "jsonl",
                                     "--record", record),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True)
        self.addCleanup(proc.kill)
        rng = random.Random(9)
        with open(fifo, "wb", buffering=0) as w:
            at = 0
            while at < len(stream):
                n = rng.randrange(1, 40)
                w.write(stream[at:at + n])
                at += n
                time.sleep(0.001)
        out, err = proc.communicate(timeout=TIMEOUT)
        self.assertEqual(proc.returncode, 0, err)
        want = [(n, decode(r)) for n, r in enumerate(reports(40), start=1)]
        self.assertEqual(want[0][1], KNOWN_VALUES)
        self.assertEqual(parse_hid("jsonl", out), want)
        self.assertIn("40 reports decoded; skipped, 1 of 5 bytes", err)
        # The recording replays the session, in every format.
        with open(record, "rb") as f:
            self.assertEqual(f.read(), b"".join(reports(40)))
        for fmt in ("text", "csv"):
            replay = subprocess.run(tool("hid", record, "--format", fmt,
                                         "--count", 12),
                                    capture_output=True, text=True,
                                    timeout=TIMEOUT)
            self.assertEqual(replay.returncode, 0, replay.stderr)
            self.assertEqual(parse_hid(fmt, replay.stdout), want[:12], fmt)

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_gamepad_to_servos_through_a_pipe(self):
        # Each report's line must reach sbus while hid still runs: a line
        # held back in a buffer never moves a servo.
        fifo, pty = self.fifo(), Pty(self)
        hid = subprocess.Popen(tool("hid", fifo, "--sbus-map",
                                    "0,~1,c,=172,8,10,3"),
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.addCleanup(hid.kill)
        sbus = subprocess.Popen(tool("sbus", pty.path, "--period", 4,
                                     "--input", "-"),
                                stdin=hid.stdout, stderr=subprocess.PIPE)
        self.addCleanup(sbus.kill)
        hid.stdout.close()

        def mapped(r):
            v = decode(r)
            scale = lambda x, bits: 172 + (x * 1639 + (2**bits - 1) // 2) // (
                2**bits - 1)
            return ([scale(v[0], 16), scale(0xFFFF - v[1], 16), 992, 172,
                     scale(v[8], 4), scale(v[10], 8), scale(v[3], 12)] +
                    [992] * 9)
        first, second = b"\xff\xff" + bytes(15), KNOWN
        with open(fifo, "wb", buffering=0) as w:
            for r, ends in ((first, [1811, 1811, 992, 172, 172, 172, 172]),
                            (second, None)):
                w.write(r)
                want = pack(mapped(r))
                if ends:
                    self.assertEqual(mapped(r)[:7], ends)
                data = pty.read_until(lambda d: want in d, 2)
                self.assertIn(want, data)
        self.assertEqual(hid.wait(timeout=TIMEOUT), 0)
        self.assertEqual(sbus.wait(timeout=TIMEOUT), 0)

    def test_refused_maps(self):
        for bad in ("11", "=2048", "0,x", ",".join(["c"] * 17)):
            out = subprocess.run(tool("hid", "-", "--sbus-map", bad),
                                 capture_output=True, text=True,
                                 timeout=TIMEOUT)
            self.assertEqual(out.returncode, 2, bad)
            self.assertIn("--sbus-map", out.stderr)

    def test_ports_in_a_private_mount_namespace(self):
        # A fake sysfs and /dev/serial/by-id, bind-mounted where the tool
        # looks; the tool reads the real paths.
        if os.geteuid() != 0 or not shutil.which("unshare"):
            self.skipTest("needs root and unshare for a mount namespace")
        t = self.tmp
        usb = t + "/sys/devices/usb1/1-1"
        files = {
            usb + "/idVendor": "0403", usb + "/idProduct": "6001",
            usb + "/manufacturer": "FTDI", usb + "/product": "FT232R UART",
            usb + "/serial": "A10K", t + "/sys/drivers/ftdi_sio/x": "",
            t + "/sys/devices/hid/0003:046D:C21D.0001/uevent":
                "DRIVER=hid-generic\nHID_ID=0003:0000046D:0000C21D\n"
                "HID_NAME=Gamepad F310\n",
            t + "/sys/devices/platform/serial8250/x": "",
            # A UART as newer kernels show it: the serial core's port and
            # ctrl devices between the tty and the UART's own driver.
            t + "/sys/devices/pnp0/00:04/00:04:0/00:04:0.0/x": "",
            t + "/sys/drivers/port/x": "", t + "/sys/drivers/ctrl/x": "",
            t + "/sys/drivers/serial/x": "",
            t + "/class/tty/ttyS0/type": "4",   # 16550A
            t + "/class/tty/ttyS1/type": "0",   # PORT_UNKNOWN: no UART
            # A Pi's mini UART, which has no parity; the test's pty stands
            # for its terminal.
            t + "/sys/devices/soc/7e215040.serial/tty/ttyS2/x": "",
            t + "/sys/drivers/bcm2835-aux-uart/x": ""}
        for path, text in files.items():
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as f:
                f.write(text)
        os.makedirs(usb + "/1-1:1.0/ttyUSB0")
        tty, hidraw, dev = t + "/class/tty", t + "/class/hidraw", t + "/dev"
        for d in (tty + "/ttyUSB0", tty + "/pts",
                  hidraw + "/hidraw3", dev + "/serial/by-id"):
            os.makedirs(d)
        os.symlink(usb + "/1-1:1.0/ttyUSB0", tty + "/ttyUSB0/device")
        os.symlink(t + "/sys/drivers/ftdi_sio", usb + "/1-1:1.0/ttyUSB0/driver")
        pnp = t + "/sys/devices/pnp0/00:04"
        os.symlink(pnp + "/00:04:0/00:04:0.0", tty + "/ttyS0/device")
        for dev_dir, driver in ((pnp + "/00:04:0/00:04:0.0", "port"),
                                (pnp + "/00:04:0", "ctrl"), (pnp, "serial")):
            os.symlink(t + "/sys/drivers/" + driver, dev_dir + "/driver")
        os.symlink(t + "/sys/devices/platform/serial8250",
                   tty + "/ttyS1/device")
        os.symlink(t + "/sys/devices/hid/0003:046D:C21D.0001",
                   hidraw + "/hidraw3/device")
        by_id = "/dev/serial/by-id/usb-FTDI_FT232R_UART_A10K-if00-port0"
        os.symlink("../../ttyUSB0", dev + by_id[len("/dev"):])
        mini = t + "/sys/devices/soc/7e215040.serial"
        os.symlink(t + "/sys/drivers/bcm2835-aux-uart", mini + "/driver")
        os.symlink(mini, mini + "/tty/ttyS2/device")
        os.symlink(mini + "/tty/ttyS2", tty + "/ttyS2")
        pty = Pty(self)
        rdev = os.stat(pty.path).st_rdev
        os.makedirs(t + "/char")
        os.symlink(mini + "/tty/ttyS2", t + "/char/%d:%d" % (
            os.major(rdev), os.minor(rdev)))

        def in_namespace(*args, dev_too=False):
            script = ("mount --bind %s /sys/class/tty && "
                      "mount --bind %s /sys/class/hidraw && "
                      "mount --bind %s/char /sys/dev/char && %s exec \"$@\""
                      % (tty, hidraw, t, "mount --bind %s /dev &&" % dev
                         if dev_too else ""))
            out = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh"] +
                                 tool(*args), capture_output=True, text=True,
                                 timeout=TIMEOUT)
            if out.returncode != 0 and re.match("(unshare|mount): ",
                                                 out.stderr):
                self.skipTest("a mount namespace was refused: " + out.stderr)
            return out
        # SBUS through the mini UART is refused, naming the PL011, even
        # though its pty keeps no line to read back; --warn-speed only warns.
        out = in_namespace("sbus", pty.path, "--count", "1")
        self.assertEqual((out.returncode, out.stdout), (2, ""), out.stderr)
        self.assertRegex(out.stderr, r"^kestrav sbus: %s: bcm2835-aux-uart is a "
                         r"mini UART .*/dev/ttyAMA0.*\n$" % pty.path)
        if TERMIOS2:  # qemu-user cannot set 100000 baud
            out = in_namespace("sbus", pty.path, "--count", "1",
                               "--warn-speed")
            self.assertEqual(out.returncode, 0, out.stderr)
            self.assertIn("warning: %s: bcm2835-aux-uart" % pty.path,
                          out.stderr)
            self.assertEqual(len(pty.read_available(0.2)), 25)
        out = in_namespace("ports", "--format", "jsonl", dev_too=True)
        self.assertEqual(out.returncode, 0, out.stderr)
        note = ("a mini UART with no parity in hardware: SBUS frames would go "
                "out without their parity bit, and a receiver drops them all; "
                "use the PL011 UART (/dev/ttyAMA0) instead")
        self.assertEqual([json.loads(line) for line in out.stdout.splitlines()], [
            {"kind": "serial", "path": "/dev/ttyS0", "driver": "serial"},
            {"kind": "serial", "path": "/dev/ttyS2",
             "driver": "bcm2835-aux-uart", "note": note},
            {"kind": "serial", "path": "/dev/ttyUSB0", "by_id": by_id,
             "driver": "ftdi_sio", "vid": "0403", "pid": "6001",
             "manufacturer": "FTDI", "product": "FT232R UART",
             "serial": "A10K"},
            {"kind": "hid", "path": "/dev/hidraw3", "bus": "usb",
             "vid": "046d", "pid": "c21d", "name": "Gamepad F310"}])


@unittest.skipUnless(NATIVE_LINUX, "the manual and completion of a native build")
class ManualAndCompletion(unittest.TestCase):
    def test_manual_page_renders_without_warnings(self):
        page = os.environ["KESTRAV_MAN"]
        out = subprocess.run(["man", "--warnings", "-l", page],
                             capture_output=True, text=True, timeout=TIMEOUT,
                             env=dict(os.environ, MANWIDTH="80"))
        self.assertEqual((out.returncode, out.stderr), (0, ""))
        for command in ("link", "inspect", "simulate", "sbus", "sbus-monitor",
                        "hid", "ports"):
            self.assertIn("kestrav %s " % command, out.stdout)

    def test_bash_completion(self):
        # Each case: the words, then what is offered, one per line of the
        # answer, joined by "|". The folder holds "a b.bin" and "ab.txt".
        cases = [("kestrav li", "link"),
                 ("kestrav link --fo", "--format|--foxglove"),
                 ("kestrav hid X --record-compression ''", "none|zstd"),
                 ("kestrav sbus --format ''", "csv|jsonl|none|text"),
                 ("kestrav ports --format ''", "jsonl|text"),
                 ("kestrav sbus X --serve ''", ""),
                 ("kestrav link X --request ''", ""),
                 ("kestrav link X --request 1 ''", ""),
                 ("kestrav inspect a", "a b.bin|ab.txt"),
                 ("kestrav link X --record 'a '", "a b.bin")]
        script = 'source "$1"; complete() { :; }; compopt() { :; }\n'
        for words, _ in cases:
            script += ("COMP_WORDS=(%s); COMP_CWORD=$((${#COMP_WORDS[@]} - 1))"
                       "; _kestrav; (IFS='|'; echo \"${COMPREPLY[*]}\")\n"
                       % words)
        folder = tempfile.mkdtemp()
        for name in ("a b.bin", "ab.txt"):
            open(os.path.join(folder, name), "w").close()
        env = dict(os.environ, PATH=os.path.dirname(os.environ["KESTRAV_TOOL"])
                   + os.pathsep + os.environ["PATH"])
        out = subprocess.run(["bash", "-c", script, "bash",
                              os.environ["KESTRAV_COMPLETION"]],
                             capture_output=True, text=True, env=env,
                             cwd=folder, timeout=TIMEOUT)
        self.assertEqual(["|".join(sorted(line.split("|")))
                          for line in out.stdout.splitlines()],
                         [want for _, want in cases], out.stderr)


@unittest.skipUnless(WINDOWS, "the Windows build under Wine")
class WineHid(unittest.TestCase):
    def test_ports_and_a_missing_device(self):
        out = subprocess.run(tool("ports"), capture_output=True, text=True,
                             timeout=TIMEOUT)
        self.assertEqual(out.returncode, 0, out.stderr)
        out = subprocess.run(tool("hid", "C:\\no-such-recording.bin"),
                             capture_output=True, text=True, timeout=TIMEOUT)
        self.assertEqual(out.returncode, 1)
        self.assertIn("no-such-recording.bin: ", out.stderr)
        self.assertIn("not found", out.stderr)


if __name__ == "__main__":
    unittest.main(verbosity=2)
