"""Drives the Python binding against a built library (KESTRAV_LIBRARY)."""
import os
import shutil
import tempfile
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
        shutil.copy(kestrav.__file__, os.path.join(tmp, "kestrav.py"))
        shutil.copy(os.environ["KESTRAV_LIBRARY"],
                    os.path.join(tmp, kestrav.library_names()[0]))
        import importlib.util
        located = importlib.util.spec_from_file_location("kestrav_copy",
                                                      os.path.join(tmp, "kestrav.py"))
        module = importlib.util.module_from_spec(located)
        located.loader.exec_module(module)
        self.assertEqual(module.Kestrav().stop_upload_port_data(),
                         bytes.fromhex("FAE400005F"))


if __name__ == "__main__":
    unittest.main()
