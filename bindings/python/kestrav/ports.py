"""The I/O a host needs, over pyserial (Debian's python3-serial): the device
link as an iterator of frames, and a paced SBUS output.

PORT is a serial device (/dev/ttyUSB0, COM3) or tcp:HOST:PORT, as the
kestrav tool takes them.
"""
import os
import sys
import threading
import time
from typing import Iterator, Optional, Sequence, Tuple

from . import Frame, LinkReader, SbusEncoder, _shared

# How long a read waits: a stop (a break, Ctrl-C) is seen within this.
_READ_TIMEOUT = 0.1
# SBUS's line: 100000 baud, 8 data bits, even parity, 2 stop bits.
_SBUS_BAUD = 100000
_CENTRE = 1024  # what the kestrav tool's sbus sends before any value
# The pseudo-terminal slave majors (136 to 143): a pty keeps no parity, and
# is spared the read-back, as the tool spares it.
_PTY_MAJORS = range(136, 144)


class LineRefused(OSError):
    """The port does not keep the line settings asked of it."""


def _serial():
    try:
        import serial  # pyserial
    except ImportError as e:  # pragma: no cover - the message is the point
        raise ImportError("kestrav.open_link and kestrav.SbusOutput need pyserial "
                          "(Debian: apt install python3-serial)") from e
    return serial


def _open(port: str, **settings):
    serial = _serial()
    if port.startswith("tcp:"):
        host, _, number = port[4:].rpartition(":")
        if not host or not number.isdigit():
            raise ValueError("%s: not tcp:HOST:PORT" % port)
        return serial.serial_for_url("socket://%s:%s" % (host, number),
                                     timeout=_READ_TIMEOUT)
    # exclusive: a second host on the same port is refused, not interleaved.
    extra = {} if sys.platform.startswith("win") else {"exclusive": True}
    return serial.Serial(port, timeout=_READ_TIMEOUT, **settings, **extra)


class Link:
    """An open device link; iterate over it for every port data frame. Use
    it through open_link, which sends the stop frame on every way out."""

    def __init__(self, port: str, baud: int, request: Tuple[int, int],
                 library: Optional[str]):
        self.port = port
        self._k = _shared(library)
        self._reader = LinkReader(library)
        self._serial = _open(port, baudrate=baud, bytesize=8, parity="N", stopbits=1)
        self._serial.reset_input_buffer()  # what came before the port was raw
        self._serial.write(self._k.request_upload_port_data(*request))

    def __iter__(self) -> Iterator[Frame]:
        while True:
            yield from self._reader.feed(self._serial.read(4096))

    def close(self) -> None:
        """Sends the stop frame, lets it leave the port, and closes it."""
        if not self._serial.is_open:
            return
        try:
            self._serial.write(self._k.stop_upload_port_data())
            self._serial.flush()
        finally:
            self._serial.close()

    def __enter__(self) -> "Link":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def open_link(port: str, *, baud: int = 115200, request: Tuple[int, int] = (1, 0),
              library: Optional[str] = None) -> Link:
    """Opens PORT raw at BAUD 8N1 and sends the upload request:

        with kestrav.open_link("/dev/ttyUSB0") as link:
            for frame in link:      # every frame, in order
                ...

    The with block's end, an exception, Ctrl-C and a break all send the stop
    frame and close the port."""
    return Link(port, baud, request, library)


class SbusOutput:
    """SBUS frames every period seconds (0.014, or 0.007), paced on absolute
    deadlines from a thread of its own: a late tick skips to the next
    deadline instead of bursting. set() takes effect on the next frame.

        with kestrav.SbusOutput("/dev/ttyUSB1") as out:
            out.set([992] * 16)
    """

    def __init__(self, port: str, *, period: float = 0.014, v2: bool = False,
                 channels: Optional[Sequence[int]] = None, library: Optional[str] = None):
        if not 0.004 <= period <= 1.0:
            raise ValueError("period must be from 0.004 to 1 s (a frame takes 3 ms)")
        self.port, self.period = port, period
        self._encoder = SbusEncoder(v2, library)
        self._lock = threading.Lock()
        self._next = self._encoder.frame(channels if channels is not None else [_CENTRE] * 16)
        self._serial = _open(port, baudrate=_SBUS_BAUD, bytesize=8, parity="E", stopbits=2)
        try:
            self._check_line()
        except Exception:
            self._serial.close()
            raise
        self.frames = 0  # frames sent so far
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="kestrav-sbus", daemon=True)
        self._thread.start()

    def _check_line(self) -> None:
        """Reads the line back: a port whose driver dropped the parity or
        the second stop bit sends frames no receiver takes."""
        if sys.platform.startswith("win") or self.port.startswith("tcp:"):
            return
        import termios
        fd = self._serial.fileno()
        if os.major(os.fstat(fd).st_rdev) in _PTY_MAJORS:
            return
        cflag = termios.tcgetattr(fd)[2]
        dropped = [name for name, bit in (("even parity", termios.PARENB),
                                          ("2 stop bits", termios.CSTOPB))
                   if not cflag & bit]
        if cflag & getattr(termios, "PARODD", 0):
            dropped.append("even parity")
        if dropped:
            raise LineRefused("%s: the port dropped %s when they were set (its driver "
                              "or UART cannot do them)" % (self.port, " and ".join(dropped)))

    def set(self, channels: Sequence[int], *, ch17: bool = False, ch18: bool = False,
            frame_lost: bool = False, failsafe: bool = False) -> None:
        """Sixteen integers from 0 to 2047 (else ValueError) and the flags."""
        frame = self._encoder.frame(channels, ch17=ch17, ch18=ch18,
                                    frame_lost=frame_lost, failsafe=failsafe)
        with self._lock:
            self._next = frame

    def _run(self) -> None:
        due = time.monotonic()
        while not self._stop.is_set():
            with self._lock:
                frame = self._next
            self._serial.write(frame)  # one write a frame: never split
            self.frames += 1
            due += self.period
            now = time.monotonic()
            if now > due:  # late: the next deadline on the grid, no burst
                due += (int((now - due) / self.period) + 1) * self.period
            self._stop.wait(due - time.monotonic())

    def close(self) -> None:
        """Stops the frames and closes the port."""
        self._stop.set()
        self._thread.join()
        self._serial.close()

    def __enter__(self) -> "SbusOutput":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
