"""Drives the Python package against a built library (KESTRAV_LIBRARY) and,
where KESTRAV_TOOL names the kestrav tool, its simulator on a pty."""
import json
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import time
import tty
import unittest

import kestrav


def fresh_library():
    """A private copy of the library, so that its state starts empty."""
    tmp = tempfile.mkdtemp()
    path = os.path.join(tmp, os.path.basename(os.environ["KESTRAV_LIBRARY"]))
    shutil.copy(os.environ["KESTRAV_LIBRARY"], path)
    return kestrav.Kestrav(path)


def port_frame(kind, words):
    payload = [kind]
    for w in words:
        payload += [w & 0xFF, w >> 8]
    n = len(payload)
    return bytes([0xFA, 0xA5, n & 0xFF, n >> 8] + payload + [0x5F])


class BindingTest(unittest.TestCase):
    def test_command_frames(self):
        k = fresh_library()
        self.assertEqual(k.request_upload_port_data(0xFA, 0x5F),
                         bytes.fromhex("FAE50200FA5F5F"))
        self.assertEqual(k.stop_upload_port_data(), bytes.fromhex("FAE400005F"))

    def test_stream_in_long_and_split_pieces(self):
        k = fresh_library()
        stream = (port_frame(2, list(range(300, 315)) + list(range(400, 432))) * 3
                  + port_frame(0, range(7, 22)))
        b15, b32 = [0] * 15, [0] * 32
        self.assertTrue(k.parse_port_data(stream[:-5], b15, b32))  # > 255 bytes
        self.assertEqual(b15, list(range(300, 315)))
        self.assertEqual(b32, list(range(400, 432)))
        self.assertTrue(k.parse_port_data(stream[-5:], b15, None))
        self.assertEqual(b15, list(range(7, 22)))
        self.assertFalse(k.parse_port_data(b""))

    def test_blocks_must_have_their_sizes(self):
        k = fresh_library()
        with self.assertRaises(ValueError):
            k.parse_port_data(b"\x00", [0] * 14, None)

    def test_hid(self):
        k = fresh_library()
        report = bytes.fromhex("010203040506214365 87A9CBED0F0E0F10".replace(" ", ""))
        self.assertEqual(k.parse_hid_game_controller_device(report),
                         [0x0201, 0x0403, 0x0605, 0x321, 0x654, 0x987, 0xCBA,
                          0xFED, 0x0, 0x0F0E, 0x10])
        self.assertIsNone(k.parse_hid_game_controller_device(report[:16]))
        self.assertIsNone(k.parse_hid_game_controller_device(b""))

    def test_sbus(self):
        k = fresh_library()
        self.assertEqual(k.convert_std_sbus_data([1200, 600] + [0] * 14)[:3],
                         [2047, 1023, 0])
        frame = k.encode_sbus_data_v1([1024] * 16)
        self.assertEqual(frame[:12], bytes.fromhex("0F0004200001084000021080"))
        self.assertEqual(frame[23:], b"\x00\x00")
        ends = [k.encode_sbus_data_v2([0] * 16, start_byte=0)[24] for _ in range(5)]
        self.assertEqual(ends, [0x04, 0x14, 0x24, 0x34, 0x04])

    def test_found_next_to_module(self):
        tmp = tempfile.mkdtemp()
        shutil.copytree(os.path.dirname(kestrav.__file__), os.path.join(tmp, "kestrav"))
        shutil.copy(os.environ["KESTRAV_LIBRARY"],
                    os.path.join(tmp, "kestrav", kestrav.library_names()[0]))
        env = dict(os.environ, PYTHONPATH=tmp)
        env.pop("KESTRAV_LIBRARY")
        out = subprocess.run([sys.executable, "-c", "import kestrav; print(kestrav.Kestrav()"
                              ".stop_upload_port_data().hex())"], env=env, cwd=tmp,
                             capture_output=True, text=True, check=True)
        self.assertEqual(out.stdout.strip(), "fae400005f")

    def test_values_outside_the_c_types_are_refused(self):
        k = fresh_library()
        for bad in (-1, 65536, 65636, 1.0, True):
            with self.subTest(value=bad), self.assertRaises((ValueError, TypeError)):
                k.encode_sbus_data_v1([bad] + [0] * 15)
        with self.assertRaises(ValueError):
            k.request_upload_port_data(256, 0)


def run(start, n):
    return tuple(range(start, start + n))


class ReaderTest(unittest.TestCase):
    def test_a_chunk_of_many_frames_gives_every_frame(self):
        frames = [port_frame(n % 3, run(100 * n, (15, 32, 47)[n % 3])) for n in range(30)]
        b15, b32, want = (0,) * 15, (0,) * 32, []
        for n in range(30):
            if n % 3 != 1:
                b15 = run(100 * n, 15)
            if n % 3 == 1:
                b32 = run(100 * n, 32)
            if n % 3 == 2:
                b32 = run(100 * n + 15, 32)
            want.append(kestrav.Frame(b15, b32))
        self.assertEqual(kestrav.LinkReader().feed(b"\x00\xfa".join(frames)), want)

    def test_whole_chunks_give_the_frames_of_byte_by_byte_feeding(self):
        import random
        rng = random.Random(5)
        stream = bytearray()
        while len(stream) < 20000:
            n = rng.choice([31, 65, 95, 0, rng.randrange(120)])
            body = bytes([rng.randrange(3)] * min(n, 1)) + bytes(
                rng.choice([0x5F, 0xFA, rng.randrange(256)]) for _ in range(n - min(n, 1)))
            f = bytes([0xFA, rng.choice([0xA5, 0xA5, 0x11]), n & 255, n >> 8]) + body + bytes(
                [0x5F if rng.randrange(5) else rng.randrange(256)])
            if not rng.randrange(6):  # wrapped in a frame of another code
                f = bytes([0xFA, 0x11, (len(f) + 2) & 255, (len(f) + 2) >> 8, 0]) + f + b"\x00\x5f"
            stream += f + (b"\x5f\xfa" if not rng.randrange(3) else b"")
        single = kestrav.LinkReader()
        bytewise = [f for b in stream for f in single.feed(bytes([b]))]
        self.assertGreater(len(bytewise), 50)
        self.assertEqual(kestrav.LinkReader().feed(stream), bytewise)

    def test_readers_keep_their_streams_apart_and_reset(self):
        a, b = kestrav.LinkReader(), kestrav.LinkReader()
        fa, fb = port_frame(0, run(1000, 15)), port_frame(0, run(2000, 15))
        self.assertEqual(a.feed(fa[:20]) + b.feed(fb[:20]), [])
        self.assertEqual([f.block15 for f in a.feed(fa[20:])], [run(1000, 15)])
        self.assertEqual([f.block15 for f in b.feed(fb[20:])], [run(2000, 15)])
        a.feed(fa[:20])
        a.reset()
        self.assertEqual(a.feed(fa[20:]), [])
        self.assertEqual(a.feed(port_frame(1, run(7, 32))),
                         [kestrav.Frame((0,) * 15, run(7, 32))])

    def test_sbus_encoder_decoder_and_refusals(self):
        e, v2, other = kestrav.SbusEncoder(), kestrav.SbusEncoder(v2=True), kestrav.SbusEncoder(v2=True)
        for n in range(200):
            ch = [(n * 37 + c * 131) % 2048 for c in range(16)]
            flags = dict(ch17=bool(n & 1), ch18=bool(n & 2), frame_lost=bool(n & 4),
                         failsafe=bool(n & 8))
            self.assertEqual(kestrav.decode_sbus(e.frame(ch, **flags)),
                             kestrav.SbusFrame(tuple(ch), end=0, **flags))
        self.assertEqual([v2.frame([992] * 16)[24] for _ in range(5)], [4, 0x14, 0x24, 0x34, 4])
        self.assertEqual(other.frame([992] * 16)[24], 4)
        for bad in (-1, 2048, 65636, True, 1.5):
            with self.subTest(value=bad), self.assertRaises(ValueError):
                e.frame([992] * 15 + [bad])
        with self.assertRaises(ValueError):
            kestrav.convert_std([1201] * 16)
        self.assertEqual(kestrav.convert_std([1200] * 16), [2047] * 16)
        self.assertIsNone(kestrav.parse_hid(bytes(18)))
        # Only bytes-like data: an int is not a count of zeros.
        for call in (kestrav.LinkReader().feed, kestrav.parse_hid, kestrav.decode_sbus):
            for bad in (42, "abc", None):
                with self.subTest(call=call, value=bad), self.assertRaises(TypeError):
                    call(bad)


TOOL = os.environ.get("KESTRAV_TOOL")


@unittest.skipUnless(TOOL and sys.platform.startswith("linux"), "the simulator on a pty")
class PortTest(unittest.TestCase):
    def test_open_link_gives_every_frame_then_the_stop_frame(self):
        truth = os.path.join(tempfile.mkdtemp(), "truth.jsonl")
        sim = subprocess.Popen([TOOL, "simulate", "--pty", "--rate", "500", "--noise",
                                "--truth", truth], stdout=subprocess.PIPE, text=True)
        self.addCleanup(sim.kill)
        self.addCleanup(sim.stdout.close)
        got = []
        with kestrav.open_link(sim.stdout.readline().strip()) as link:
            for frame in link:
                got.append(frame)
                if len(got) == 300:
                    break
        sim.wait(timeout=10)
        with open(truth) as f:
            items = [json.loads(line) for line in f]
        frames = [bytes.fromhex(i["bytes"]) for i in items if "frame" in i]
        reader = kestrav.LinkReader()
        self.assertEqual(got, [reader.feed(f)[0] for f in frames][:300])
        self.assertEqual([i["command"] for i in items if "command" in i],
                         ["fae5020001005f", "fae400005f"])

    def test_sbus_output_sends_whole_frames_at_its_period(self):
        master, slave = pty.openpty()
        tty.setraw(master)
        with kestrav.SbusOutput(os.ttyname(slave), period=0.01) as out:
            out.set([100] * 16, failsafe=True)
            time.sleep(1.0)
            sent = out.frames
        os.close(slave)
        data = b""
        while True:
            try:
                chunk = os.read(master, 65536)
            except OSError:
                break
            if not chunk:
                break
            data += chunk
        self.assertEqual(len(data) % 25, 0)
        frames = [data[k:k + 25] for k in range(0, len(data), 25)]
        self.assertTrue(all(f[0] == 0x0F for f in frames))
        self.assertEqual(kestrav.decode_sbus(frames[-1]).channels, (100,) * 16)
        self.assertTrue(kestrav.decode_sbus(frames[-1]).failsafe)
        self.assertTrue(90 <= sent <= 110, sent)  # 1 s at 10 ms


if __name__ == "__main__":
    unittest.main()
