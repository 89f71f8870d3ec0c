"""The Kestrav library in Python, through ctypes only.

    import kestrav
    reader = kestrav.LinkReader()          # a stream of its own
    for frame in reader.feed(data):        # every frame in data, in order
        print(frame.block15, frame.block32)

    with kestrav.open_link("/dev/ttyUSB0") as link:   # pyserial
        for frame in link:
            ...

LinkReader and SbusEncoder each load a private copy of the library, since
the library keeps its stream and its SBUS2 counter per loaded copy;
Kestrav is the thin wrapper of one loaded library, whose calls of
parse_port_data and encode_sbus_data_v2 share that state and must not
overlap. The library is the one beside this package (or KESTRAV_LIBRARY,
or the path given).
"""
import ctypes
import os
import shutil
import sys
import tempfile
import weakref
from typing import List, NamedTuple, Optional, Sequence, Tuple

__all__ = ["Kestrav", "library_names", "Frame", "LinkReader", "SbusEncoder",
           "SbusFrame", "decode_sbus", "parse_hid", "convert_std", "open_link",
           "SbusOutput", "LineRefused"]

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
    if os.environ.get("KESTRAV_LIBRARY"):
        return os.environ["KESTRAV_LIBRARY"]
    here = os.path.dirname(os.path.abspath(__file__))
    for name in library_names():
        path = os.path.join(here, name)
        if os.path.exists(path):
            return path
    raise OSError("no Kestrav library next to %s (looked for %s); pass its path"
                  % (here, ", ".join(library_names())))


def _integers(values: Sequence[int], count: int, top: int, what: str) -> List[int]:
    """count integers from 0 to top, or ValueError: never a wrap, and a
    bool is not an integer here."""
    values = list(values)
    if len(values) != count:
        raise ValueError("%s needs %d values, got %d" % (what, count, len(values)))
    for k, v in enumerate(values):
        if isinstance(v, bool) or not isinstance(v, int):
            raise ValueError("%s: value %d (%r) is not an integer" % (what, k, v))
        if not 0 <= v <= top:
            raise ValueError("%s: value %d is %d, outside 0 to %d" % (what, k, v, top))
    return values


def _words(values: Sequence[int], count: int, what: str):
    return (ctypes.c_uint16 * count)(*_integers(values, count, 0xFFFF, what))


def _bytes_like(data, what: str) -> bytes:
    """The bytes of a bytes-like object, or TypeError: bytes(17) would be
    17 zeros, and a str has no bytes of its own."""
    try:
        return memoryview(data).tobytes()
    except TypeError:
        raise TypeError("%s must be bytes-like (bytes, bytearray, memoryview), not %s"
                        % (what, type(data).__name__)) from None


def _byte(v: int, what: str) -> int:
    return _integers([v], 1, 0xFF, what)[0]


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
        self._lib.request_upload_port_data(buf, _byte(arg0, "arg0"), _byte(arg1, "arg1"))
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
        frame[0] = _byte(start_byte, "start_byte")
        function(frame, _words(channels, 16, "channels"))
        return bytes(frame)


# --- One stream per reader -------------------------------------------------
# A loader hands back the copy it has for a name it has seen, so a second
# stream needs the library under a second name: each reader and encoder
# copies the file (about 20 KiB) and loads the copy, which has its own
# stream and SBUS2 counter. On POSIX the copy is unlinked once loaded; on
# Windows a loaded file cannot be removed, so it goes when the reader does.

def _private_copy(path: Optional[str]) -> Kestrav:
    source = path if path is not None else _find_next_to_module()
    fd, copy = tempfile.mkstemp(prefix="kestrav-", suffix="-" + os.path.basename(source))
    os.close(fd)
    shutil.copyfile(source, copy)
    library = Kestrav(copy)
    if sys.platform.startswith("win"):
        def unload(handle=library._lib._handle, name=copy):
            ctypes.windll.kernel32.FreeLibrary(ctypes.c_void_p(handle))
            os.remove(name)
        weakref.finalize(library, unload)
    else:
        os.remove(copy)
    return library


class Frame(NamedTuple):
    """One port data frame: the blocks as they are after it."""
    block15: Tuple[int, ...]
    block32: Tuple[int, ...]


class LinkReader:
    """A device link's stream of its own: feed() gives every port data frame
    in the bytes, in order. The blocks start as zeros."""

    def __init__(self, library: Optional[str] = None):
        self._library = library
        self.reset()

    def reset(self) -> None:
        """A new stream: a frame carried over is dropped and both blocks are
        zeros again (a fresh copy of the library)."""
        self._k = _private_copy(self._library)
        parse = self._k._lib.parse_port_data
        # Called by address, with plain integers: the cheapest ctypes call.
        self._parse = ctypes.CFUNCTYPE(ctypes.c_uint8, ctypes.c_void_p, ctypes.c_uint8,
                                       ctypes.c_void_p, ctypes.c_void_p)(
            ctypes.cast(parse, ctypes.c_void_p).value)
        self._b15 = (ctypes.c_uint16 * 15)()
        self._b32 = (ctypes.c_uint16 * 32)()

    def feed(self, data: bytes) -> List[Frame]:
        """Every port data frame that these bytes complete, in order."""
        # A frame is complete only when its end byte (0x5F) arrives: the
        # library decides a frame at no other byte. So each call ends just
        # after a 0x5F (or at 255 bytes, the most a call takes) and then
        # completes exactly the frames that feeding its last byte alone
        # would: the frames of byte-by-byte feeding, a call a 0x5F.
        data = _bytes_like(data, "data")
        buf = (ctypes.c_uint8 * max(1, len(data))).from_buffer_copy(data or b"\0")
        at, b15, b32 = ctypes.addressof(buf), ctypes.addressof(self._b15), ctypes.addressof(self._b32)
        parse, frames, start = self._parse, [], 0
        while start < len(data):
            tail = data.find(b"\x5f", start, start + _MAX_CHUNK)
            end = tail + 1 if tail >= 0 else min(len(data), start + _MAX_CHUNK)
            if parse(at + start, end - start, b15, b32):
                frames.append(Frame(tuple(self._b15), tuple(self._b32)))
            start = end
        return frames


_FLAGS = (("ch17", 0x01), ("ch18", 0x02), ("frame_lost", 0x04), ("failsafe", 0x08))


class SbusEncoder:
    """SBUS frames; an SBUS2 encoder (v2) has its own end-byte cycle."""

    def __init__(self, v2: bool = False, library: Optional[str] = None):
        self._k = _private_copy(library) if v2 else _shared(library)
        self._v2 = v2

    def frame(self, channels: Sequence[int], *, ch17: bool = False, ch18: bool = False,
              frame_lost: bool = False, failsafe: bool = False) -> bytes:
        """25 bytes: 0x0F, the sixteen channels (integers 0 to 2047, else
        ValueError) as the library packs them, the flags in byte 23, the end
        byte (00, or 04 14 24 34 in turn)."""
        values = _integers(channels, 16, 2047, "channels")
        frame = bytearray((self._k.encode_sbus_data_v2 if self._v2
                           else self._k.encode_sbus_data_v1)(values))
        on = {"ch17": ch17, "ch18": ch18, "frame_lost": frame_lost, "failsafe": failsafe}
        for name, bit in _FLAGS:
            if on[name]:
                frame[23] |= bit
        return bytes(frame)


class SbusFrame(NamedTuple):
    channels: Tuple[int, ...]
    ch17: bool
    ch18: bool
    frame_lost: bool
    failsafe: bool
    end: int


def decode_sbus(frame: bytes) -> SbusFrame:
    """The library has no SBUS decoder: sixteen 11-bit channels, least
    significant bit first from byte 1; the flags in byte 23; the end byte."""
    frame = _bytes_like(frame, "frame")
    if len(frame) != 25 or frame[0] != 0x0F:
        raise ValueError("not an SBUS frame: 25 bytes starting with 0x0F expected")
    bits = int.from_bytes(frame[1:23], "little")
    channels = tuple((bits >> (11 * k)) & 0x7FF for k in range(16))
    flags = frame[23]
    return SbusFrame(channels, *(bool(flags & bit) for _, bit in _FLAGS), end=frame[24])


_shared_libraries = {}


def _shared(path: Optional[str]) -> Kestrav:
    """One loaded library for the calls that keep no state."""
    key = path if path is not None else _find_next_to_module()
    if key not in _shared_libraries:
        _shared_libraries[key] = Kestrav(key)
    return _shared_libraries[key]


def parse_hid(report: bytes, library: Optional[str] = None) -> Optional[List[int]]:
    """Eleven values of a 17-byte report, or None for any other length."""
    return _shared(library).parse_hid_game_controller_device(_bytes_like(report, "report"))


def convert_std(values: Sequence[int], library: Optional[str] = None) -> List[int]:
    """Sixteen standard-scale values (integers 0 to 1200, 600 the centre)
    as SBUS values: min(2047, floor(x * 1.706))."""
    return _shared(library).convert_std_sbus_data(_integers(values, 16, 1200, "values"))


from .ports import LineRefused, SbusOutput, open_link  # noqa: E402
