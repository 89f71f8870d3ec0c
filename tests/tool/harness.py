"""What the tool tests share: how to start the tool, and a pty whose device
side the test plays.

Environment: KESTRAV_TOOL (the tool), KESTRAV_EMULATOR (wine for the Windows
build, qemu for ARM), KESTRAV_PROBE (prints a terminal's speed and CSTOPB as
TCGETS2 reports them).
"""
import itertools
import os
import select
import shlex
import threading
import time

TOOL = os.environ["KESTRAV_TOOL"]
EMULATOR = shlex.split(os.environ.get("KESTRAV_EMULATOR", ""))
PROBE = shlex.split(os.environ.get("KESTRAV_PROBE", ""))
WINDOWS = TOOL.endswith(".exe")
TIMEOUT = 30 if WINDOWS else 10

_com_numbers = itertools.count(100)


def tool(*args):
    return EMULATOR + [TOOL] + [str(a) for a in args]


class Pty:
    """A pty whose device side (master) the test reads and writes; path is
    what the tool opens: the terminal, or under Wine a COM port that the
    prefix maps to it."""

    def __init__(self, test):
        self.master, self.slave = os.openpty()
        test.addCleanup(self.unplug)
        self.path = os.ttyname(self.slave)
        if WINDOWS:
            prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
            name = "com%d" % next(_com_numbers)
            link = os.path.join(prefix, "dosdevices", name)
            if os.path.lexists(link):
                os.unlink(link)
            os.symlink(self.path, link)
            test.addCleanup(os.unlink, link)
            self.path = name.upper()

    def unplug(self):
        """Closes both sides, as an adapter pulled out of its socket: the
        tool's side hangs up."""
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        self.master = self.slave = None

    def read_until(self, done, seconds=TIMEOUT):
        """Reads what the tool sends until done(data) holds or time is up."""
        data, deadline = b"", time.monotonic() + seconds
        while not done(data) and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.02)[0]:
                data += os.read(self.master, 65536)
        return data

    def read_available(self, seconds=0.1):
        return self.read_until(lambda _: False, seconds)


def wire(test, source, sink):
    """Carries every byte the tool writes to the source pty on to the sink
    pty, as a cable from one adapter's TX to another's RX would."""
    stop = threading.Event()

    def carry():
        try:
            while not stop.is_set():
                if select.select([source.master], [], [], 0.02)[0]:
                    os.write(sink.master, os.read(source.master, 4096))
        except (OSError, TypeError):
            pass  # the ptys were closed at the end of the test
    threading.Thread(target=carry, daemon=True).start()
    test.addCleanup(stop.set)


class Lines:
    """A process's output read line by line, every read with a time limit,
    so that a tool that misbehaves fails the test in seconds instead of
    hanging it. rest() adds what is left once the process has ended."""

    def __init__(self, proc, stream=None):
        stream = stream or proc.stdout
        self.proc, self.fd, self.buf = proc, stream.fileno(), b""

    def readline(self, seconds=TIMEOUT):
        deadline = time.monotonic() + seconds
        while b"\n" not in self.buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no line from the tool in %g s" % seconds)
            if select.select([self.fd], [], [], left)[0]:
                chunk = os.read(self.fd, 65536)
                if not chunk:
                    raise AssertionError("the tool's output ended")
                self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        return line.decode() + "\n"

    def rest(self, seconds=TIMEOUT):
        out, err = self.proc.communicate(timeout=seconds)
        if isinstance(out, str):
            out = out.encode()
        return (self.buf + out).decode(), err


def ipv6_loopback():
    """Whether this machine can bind [::1]."""
    import socket
    try:
        with socket.socket(socket.AF_INET6) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


class DroppingDevice:
    """A device on TCP loopback that drops its connections: the k-th
    connection, once the host's first bytes arrive (with wait_for_host),
    gets sends[k] and is closed, except the last, which stays open until
    the host leaves; a send of None resets its connection at once, before
    the host's first bytes. address is its tcp:HOST:PORT."""

    def __init__(self, test, sends, wait_for_host=True):
        import socket
        self.server = socket.socket()
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(1)
        self.server.settimeout(TIMEOUT)
        test.addCleanup(self.server.close)
        self.address = "tcp:127.0.0.1:%d" % self.server.getsockname()[1]

        def serve():
            for k, data in enumerate(sends):
                try:
                    conn, _ = self.server.accept()
                except OSError:
                    return
                if data is None:  # accepts, then resets
                    conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER,
                                    b"\x01\x00\x00\x00\x00\x00\x00\x00")
                    conn.close()
                    continue
                with conn:
                    conn.settimeout(TIMEOUT)
                    if wait_for_host:
                        conn.recv(64)
                    conn.sendall(data)
                    while k == len(sends) - 1 and conn.recv(64):
                        pass
        threading.Thread(target=serve, daemon=True).start()
