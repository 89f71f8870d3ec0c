"""Python binding for the Kestrav library, through ctypes only.

    import kestrav
    k = kestrav.Kestrav()                 # library next to this file
    k = kestrav.Kestrav("/path/libKestrav.so.1")

Every function of the C interface has a thin wrapper that takes and returns
bytes and lists. The library's stream state and SBUS2 counter belong to the
loaded library: one Kestrav object per path shares them, and calls of
parse_port_data and encode_sbus_data_v2 must not overlap.
"""
import ctypes
import os
import sys
from typing import List, Optional, Sequence

__all__ = ["Kestrav", "library_names"]

_u8 = ctypes.c_uint8
_u8p = ctypes.POINTER(ctypes.c_uint8)
_u16p = ctypes.POINTER(ctypes.c_uint16)

# name: (restype, argtypes), exactly as declared in Kestrav.h
_SIGNATURES = {
    "request_upload_port_data": (None, [_u8p, _u8, _u8]),
    "stop_upload_port_data": (None, [_u8p]),
    "parse_port_data": (_u8, [_u8p, _u8, _u16p, _u16p]),
    "parse_hid_game_controller_device": (_u8, [_u16p, _u8p, _u8]),
    "convert_std_sbus_data": (None, [_u16p, _u16p]),
    "encode_sbus_data_v1": (None, [_u8p, _u16p]),
    "encode_sbus_data_v2": (None, [_u8p, _u16p]),
}

_MAX_CHUNK = 255  # the C interface takes an 8-bit chunk length


def library_names() -> List[str]:
    """File names the library has on this platform, most specific first."""
    if sys.platform.startswith("win"):
        return ["Kestrav.dll"]
    if sys.platform == "darwin":
        return ["libKestrav.dylib"]
    return ["libKestrav.so.1", "libKestrav.so"]


def _find_next_to_module() -> str:
    here = os.path.dirname(os.path.abspath(__file__))
    for name in library_names():
        path = os.path.join(here, name)
        if os.path.exists(path):
            return path
    raise OSError("no Kestrav library next to %s (looked for %s); pass its path"
                  % (here, ", ".join(library_names())))


def _words(values: Sequence[int], count: int, what: str):
    if len(values) != count:
        raise ValueError("%s needs %d values, got %d" % (what, count, len(values)))
    return (ctypes.c_uint16 * count)(*values)


class Kestrav:
    """One loaded Kestrav library."""

    def __init__(self, path: Optional[str] = None):
        self.path = path if path is not None else _find_next_to_module()
        self._lib = ctypes.CDLL(self.path)
        for name, (restype, argtypes) in _SIGNATURES.items():
            function = getattr(self._lib, name)
            function.restype = restype
            function.argtypes = argtypes

    # --- device link ------------------------------------------------------
    def request_upload_port_data(self, arg0: int, arg1: int) -> bytes:
        """The 7-byte upload request frame."""
        buf = (ctypes.c_uint8 * 7)()
        self._lib.request_upload_port_data(buf, arg0, arg1)
        return bytes(buf)

    def stop_upload_port_data(self) -> bytes:
        """The 5-byte stop frame."""
        buf = (ctypes.c_uint8 * 5)()
        self._lib.stop_upload_port_data(buf)
        return bytes(buf)

    def parse_port_data(self, data: bytes, block15: Optional[List[int]] = None,
                        block32: Optional[List[int]] = None) -> bool:
        """Feeds received bytes; True if a port data frame was found.

        block15 and block32 are lists of 15 and 32 ints, updated in place with
        decoded words (None: that block is not wanted). Data longer than 255
        bytes is fed in 255-byte chunks, in order."""
        c15 = _words(block15, 15, "block15") if block15 is not None else None
        c32 = _words(block32, 32, "block32") if block32 is not None else None
        found = False
        chunks = [data[k:k + _MAX_CHUNK] for k in range(0, len(data), _MAX_CHUNK)]
        for chunk in chunks or [b""]:
            buf = (ctypes.c_uint8 * max(1, len(chunk))).from_buffer_copy(
                chunk or b"\0")
            found |= bool(self._lib.parse_port_data(buf, len(chunk), c15, c32))
        if c15 is not None:
            block15[:] = list(c15)
        if c32 is not None:
            block32[:] = list(c32)
        return found

    # --- HID ------------------------------------------------------------------
    def parse_hid_game_controller_device(self, report: bytes) -> Optional[List[int]]:
        """The eleven values of a 17-byte report, or None for any other length."""
        if len(report) > 255:
            return None
        values = (ctypes.c_uint16 * 11)()
        buf = (ctypes.c_uint8 * max(1, len(report))).from_buffer_copy(
            report or b"\0")
        if not self._lib.parse_hid_game_controller_device(values, buf, len(report)):
            return None
        return list(values)

    # --- SBUS -----------------------------------------------------------------
    def convert_std_sbus_data(self, std_channels: Sequence[int]) -> List[int]:
        """Sixteen standard-scale values scaled into the SBUS range."""
        inp = _words(std_channels, 16, "std_channels")
        out = (ctypes.c_uint16 * 16)()
        self._lib.convert_std_sbus_data(out, inp)
        return list(out)

    def encode_sbus_data_v1(self, channels: Sequence[int], start_byte: int = 0x0F) -> bytes:
        """A 25-byte SBUS frame; byte 0 is start_byte."""
        return self._encode(self._lib.encode_sbus_data_v1, channels, start_byte)

    def encode_sbus_data_v2(self, channels: Sequence[int], start_byte: int = 0x0F) -> bytes:
        """A 25-byte SBUS2 frame with the rolling end byte."""
        return self._encode(self._lib.encode_sbus_data_v2, channels, start_byte)

    @staticmethod
    def _encode(function, channels, start_byte):
        frame = (ctypes.c_uint8 * 25)()
        frame[0] = start_byte
        function(frame, _words(channels, 16, "channels"))
        return bytes(frame)
