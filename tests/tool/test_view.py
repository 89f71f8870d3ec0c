#!/usr/bin/env python3
"""The live view (--serve): its security with a plain HTTP client, and the
page in Debian's headless Chromium, driven by tests/web/drive.mjs, against
the simulator and against sbus-monitor."""
import http.client
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from harness import TIMEOUT, WINDOWS, Lines, Pty, tool, wire
from test_link import (CSV_HEADER, REQUEST, STOP, Simulator, expected_records,
                       jsonl_records)
from test_sbus import NO_TERMIOS2, TERMIOS2, csv, pack

DRIVER = os.environ.get("KESTRAV_VIEW_DRIVER", "")
SANITIZED = os.environ.get("KESTRAV_SANITIZED") == "1"
SHOTS = os.environ.get("KESTRAV_SCREENSHOTS", "")
VIEW_LINE = re.compile(r"view: http://([^/]+)/\?token=([0-9a-f]{32})\r?\n")


def start_view(test, *args, **kw):
    """Starts the tool with --serve; returns the process, its address and
    token (its first line on stderr) and a reader of its stderr."""
    proc = subprocess.Popen(tool(*args, "--serve", "127.0.0.1:0"),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            **kw)
    test.addCleanup(proc.kill)
    err = Lines(proc, proc.stderr)
    m = VIEW_LINE.fullmatch(err.readline(TIMEOUT * 2))
    test.assertTrue(m, "no view line")
    return proc, m[1], m[2], err


def request(address, method, path, body=None, headers=None):
    host, port = address.rsplit(":", 1)
    conn = http.client.HTTPConnection(host, int(port), timeout=TIMEOUT)
    conn.request(method, path, body=body, headers=headers or {})
    res = conn.getresponse()
    data = res.read() if res.status != 200 or path != "/events" else b""
    conn.close()
    return res.status, data.decode(errors="replace")


def raw_status(address, text):
    """The status of a request sent as it is, byte for byte."""
    host, port = address.rsplit(":", 1)
    with socket.create_connection((host, int(port)), timeout=TIMEOUT) as s:
        s.sendall(text.encode())
        return int(s.makefile("rb").readline().split()[1])


def read_events(address, token, count, until=None):
    """The first count events of /events (or those up to an event named
    until), as (name, data) pairs."""
    host, port = address.rsplit(":", 1)
    conn = http.client.HTTPConnection(host, int(port), timeout=TIMEOUT)
    conn.request("GET", "/events?token=" + token)
    res = conn.getresponse()
    assert res.status == 200, res.status
    assert res.getheader("Content-Type").startswith("text/event-stream")
    events, name = [], None
    while len(events) < count or until and (not events or events[-1][0] != until):
        raw = res.fp.readline()
        if not raw:
            break  # the server closed the stream
        line = raw.decode().rstrip("\n")
        if line.startswith("event: "):
            name = line[7:]
        elif line.startswith("data: "):
            events.append((name, json.loads(line[6:])))
    conn.close()
    return events


def cpu_seconds(pid):
    """The CPU time a process has used, user and system."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def drive(*args):
    out = subprocess.run(["node", DRIVER] + list(args), capture_output=True,
                         text=True, timeout=60)
    if out.returncode != 0:
        raise AssertionError("drive.mjs %s: %s" % (args[0], out.stderr))
    result = json.loads(out.stdout)
    assert result["problems"] == [], result["problems"]
    return result


def shot(name):
    return [os.path.join(SHOTS, "view-%s.png" % name)] if SHOTS else []


@unittest.skipIf(WINDOWS, "ptys and signals are POSIX")
class ViewSecurity(unittest.TestCase):
    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_refused_requests_change_nothing(self):
        pty = Pty(self)
        good, other = [100 + k for k in range(16)], [1500] * 16
        proc, address, token, _ = start_view(
            self, "sbus", pty.path, "--period", 4, "--values", csv(good))
        host = {"Host": address}
        for path, headers in (("/events", {}), ("/events?token=" + "0" * 32, {}),
                              ("/events?token=" + token,
                               {"Origin": "http://evil.example"}),
                              ("/events?token=" + token,
                               {"Host": "evil.example:" + address.split(":")[1]}),
                              ("/", {"Host": "attacker.example"})):
            with self.subTest(path=path, headers=headers):
                self.assertEqual(request(address, "GET", path,
                                         headers=headers)[0], 403)
        body = json.dumps({"channels": other})
        post = "/sbus?token=" + token
        refused = [("/sbus?token=" + "f" * 32, body, 403),
                   (post, body, 403, {"Origin": "http://evil.example"}),
                   (post, "{not json", 400), (post, json.dumps({"channels": other[:15]}), 400),
                   (post, json.dumps({"channels": other[:15] + [2048]}), 400),
                   (post, json.dumps({"channels": other[:15] + ["1"]}), 400),
                   (post, json.dumps({"channels": other, "ch17": 2}), 400),
                   (post, json.dumps({"channels": other, "failsafe": "1"}), 400),
                   (post, json.dumps({"channels": other, "pad": "x" * 5000}), 413)]
        for path, data, status, *extra in refused:
            with self.subTest(body=data[:40], status=status):
                got, why = request(address, "POST", path, data,
                                   dict(host, **(extra[0] if extra else {})))
                self.assertEqual(got, status, why)
                if status == 400:
                    self.assertEqual(len(why.strip().splitlines()), 1, why)
        port = address.split(":")[1]
        for head, status in (
                ("POST %s HTTP/1.1\r\nHost: %s\r\nContent-Length: 100000"
                 % (post, address), 413),
                ("GET /events?token=%s HTTP/1.1\r\nHost: %s\r\nHost: %s"
                 % (token, address, address), 400),
                ("GET /events?token=%s HTTP/1.1\r\nHost: %s\r\n"
                 "Origin: http://%s\r\nOrigin: http://evil.example"
                 % (token, address, address), 400),
                ("GET /viewXjs HTTP/1.1\r\nHost: %s" % address, 404),
                ("DELETE /sbus?token=%s HTTP/1.1\r\nHost: %s"
                 % (token, address), 405),
                ("POST %s HTTP/1.1\r\nHost: %s\r\nTransfer-Encoding: "
                 "chunked" % (post, address), 411),
                ("GET / HTTP/1.1\r\nHost: %s\r\nX-Pad: %s"
                 % (address, "x" * 9000), 431),
                ("GET /\r\nHost: " + address, 400),
                ("POST %s HTTP/1.1\r\nHost: %s\r\nContent-Length: 1x"
                 % (post, address), 400),
                ("GET / HTTP/1.1\r\nHost: localhost.:" + port, 403),
                ("HEAD / HTTP/1.1\r\nHost: " + address, 200),
                ("GET http://%s/events?token=%s HTTP/1.1\r\nHost: %s\r\n"
                 "Origin: http://%s" % (address, token, address, address), 200),
                ("GET http://evil.example:%s/ HTTP/1.1\r\nHost: %s"
                 % (port, address), 403)):
            with self.subTest(head=head):
                self.assertEqual(raw_status(address, head + "\r\n\r\n"),
                                 status)
        # A head that never ends is refused once it is over the bound, not
        # after the request's time is up.
        self.assertEqual(raw_status(address, "GET / HTTP/1.1\r\nX-Pad: "
                                    + "x" * 9000), 431)
        # A known path with another method names those it takes.
        host_, port_ = address.rsplit(":", 1)
        conn = http.client.HTTPConnection(host_, int(port_), timeout=TIMEOUT)
        conn.request("PUT", "/", headers=host)
        res = conn.getresponse()
        self.assertEqual((res.status, res.getheader("Allow")), (405, "GET, HEAD"))
        conn.close()
        pty.read_available(0.1)
        self.assertEqual(set(all_frames(pty)), {pack(good)})
        # A good request moves the output; a bad one after it does not.
        self.assertEqual(request(address, "POST", post, json.dumps(
            {"channels": other, "failsafe": True}), host)[0], 204)
        pty.read_available(0.05)
        self.assertEqual(request(address, "POST", post, "[1, 2", host)[0], 400)
        self.assertEqual(set(all_frames(pty)), {pack(other, flags=0x08)})
        # A monitor record's flags, posted back as they are.
        self.assertEqual(request(address, "POST", post, json.dumps(
            {"channels": good, "ch17": 1, "ch18": 0, "frame_lost": True,
             "failsafe": False}), host)[0], 204)
        pty.read_available(0.05)
        self.assertEqual(set(all_frames(pty)), {pack(good, flags=0x05)})
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)


class SlowClients:
    """count connections that send a request line, then a header line
    every second, as a slowloris attack does. closed() counts those the
    server has closed."""

    def __init__(self, test, address, count):
        host, port = address.rsplit(":", 1)
        self.socks = []
        for _ in range(count):
            s = socket.create_connection((host, int(port)), timeout=TIMEOUT)
            s.sendall(b"GET / HTTP/1.1\r\n")
            self.socks.append(s)
        self.running = True
        test.addCleanup(self.stop)
        self.thread = threading.Thread(target=self.drip, daemon=True)
        self.thread.start()

    def drip(self):
        while self.running:
            for s in self.socks:
                try:
                    s.sendall(b"X-Slow: 1\r\n")
                except OSError:
                    pass
            time.sleep(1)

    def closed(self):
        gone = 0
        for s in self.socks:
            s.setblocking(False)
            try:
                while True:
                    data = s.recv(4096)
                    if not data:
                        gone += 1
                        break
            except BlockingIOError:
                pass
            except OSError:
                gone += 1
        return gone

    def stop(self):
        self.running = False
        for s in self.socks:
            s.close()


@unittest.skipIf(WINDOWS, "ptys and signals are POSIX")
class ViewUnderAttack(unittest.TestCase):
    def start_link(self, *args):
        pty = Pty(self)
        return start_view(self, "link", pty.path, "--format", "none", *args)

    def test_slow_clients_hold_neither_the_page_nor_the_exit(self):
        proc, address, token, _ = self.start_link()
        slow = SlowClients(self, address, 130)
        started = time.monotonic()
        # Past 128 connections, the ones that have waited longest go.
        deadline = time.monotonic() + 2
        while slow.closed() < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(slow.closed(), 2)
        # The page with its token gets through at once.
        self.assertEqual(request(address, "GET", "/")[0], 200)
        self.assertEqual(read_events(address, token, 1)[0][0], "hello")
        self.assertLess(time.monotonic() - started, 2)
        # Event streams are bounded; past the bound, 503 at once.
        host, port = address.rsplit(":", 1)
        streams = []
        for _ in range(16):
            conn = http.client.HTTPConnection(host, int(port), timeout=TIMEOUT)
            conn.request("GET", "/events?token=" + token)
            res = conn.getresponse()  # kept: it holds the stream open
            self.assertEqual(res.status, 200)
            streams.append((conn, res))
        self.assertEqual(raw_status(address, "GET /events?token=%s HTTP/1.1"
                                    "\r\nHost: %s\r\n\r\n"
                                    % (token, address)), 503)
        # A request must come whole within a few seconds.
        time.sleep(4.5 - (time.monotonic() - started))
        self.assertEqual(slow.closed(), 130)
        # Neither new slow clients nor streams that stopped reading delay
        # the exit.
        SlowClients(self, address, 60)
        proc.send_signal(signal.SIGINT)
        stopped = time.monotonic()
        # 1: the pty never answered, and a run without port data fails.
        self.assertEqual(proc.wait(timeout=TIMEOUT), 1)
        self.assertLess(time.monotonic() - stopped, 1)
        for conn, res in streams:
            res.close()
            conn.close()

    def test_a_low_descriptor_limit_neither_spins_nor_locks_out(self):
        # 120 clients that connect and say nothing. Under a limit of 64 the
        # server keeps 24 descriptors for the run and takes the rest, and
        # the run can still open its port again after an unplug; under 16
        # it runs out of them (EMFILE) and must neither spin on its
        # listener nor lock the page out.
        import resource
        for limit in (64, 16):
            if limit == 16 and SANITIZED:
                continue  # the sanitizers' own checks need descriptors
            with self.subTest(limit=limit):
                plug = Pty(self)
                node = os.path.join(tempfile.mkdtemp(), "by-id")
                os.symlink(plug.path, node)
                proc = subprocess.Popen(
                    tool("link", node, "--format", "none", "--reconnect",
                         "--serve", "127.0.0.1:0"), stderr=subprocess.PIPE,
                    preexec_fn=lambda: resource.setrlimit(
                        resource.RLIMIT_NOFILE, (limit, limit)))
                self.addCleanup(proc.kill)
                err = Lines(proc, proc.stderr)
                m = VIEW_LINE.fullmatch(err.readline())
                address, token = m[1], m[2]
                host, port = address.rsplit(":", 1)
                idle = []
                for _ in range(4):  # in batches: no SYN waits for a retry
                    for _ in range(30):
                        s = socket.socket()
                        s.setblocking(False)
                        s.connect_ex((host, int(port)))
                        idle.append(s)
                        self.addCleanup(s.close)
                    time.sleep(0.1)
                select.select([], idle, [], 2)
                time.sleep(0.3)
                used = cpu_seconds(proc.pid)
                time.sleep(1.5)
                self.assertLess(cpu_seconds(proc.pid) - used, 0.3)  # 20 %
                held = len(os.listdir("/proc/%d/fd" % proc.pid))
                self.assertLessEqual(held, limit)
                if limit == 64:
                    # 40 connections and the run's own (9 natively, more
                    # under an emulator): 24 are left to the run, and it
                    # can open its port again.
                    self.assertTrue(40 < held <= 40 + 16, held)
                    plug.unplug()
                    os.unlink(node)
                    plug = Pty(self)
                    os.symlink(plug.path, node)
                    self.assertEqual(plug.read_until(lambda d: d == REQUEST),
                                     REQUEST)
                # Still running: a failure below is then the server's.
                if proc.poll() is not None:
                    self.fail("the tool ended: %r" % proc.stderr.read())
                started = time.monotonic()
                self.assertEqual(request(address, "GET", "/")[0], 200)
                self.assertEqual(read_events(address, token, 1)[0][0], "hello")
                self.assertLess(time.monotonic() - started, 1)
                proc.send_signal(signal.SIGINT)
                self.assertEqual(proc.wait(timeout=TIMEOUT), 1)  # no data

    def test_clients_that_stop_reading_or_keep_sending_are_closed(self):
        self.tmp = tempfile.mkdtemp()
        sim = Simulator(self, "--pty", rate=5000, noise=False)
        proc, address, token, _ = start_view(self, "link", sim.where,
                                             "--format", "none")
        host, port = address.rsplit(":", 1)
        get = ("GET /events?token=%s HTTP/1.1\r\nHost: %s\r\n\r\n"
               % (token, address)).encode()
        # A client that sends more than 64 KiB after its request is closed.
        flood = socket.create_connection((host, int(port)))
        self.addCleanup(flood.close)
        flood.sendall(get + b"x" * (128 << 10))
        flood.settimeout(1)
        until = time.monotonic() + 3
        with self.assertRaises(ConnectionError):
            while time.monotonic() < until:  # 300 KiB at most
                flood.send(b"x" * 1024)
                time.sleep(0.01)
        # Sixteen streams that stop reading take every place, until they
        # have taken nothing for a few seconds.
        lazy = []
        for _ in range(16):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect((host, int(port)))
            s.sendall(get)
            lazy.append(s)
            self.addCleanup(s.close)
        time.sleep(0.3)
        self.assertEqual(raw_status(address, get.decode()), 503)
        until = time.monotonic() + 20
        while raw_status(address, get.decode()) != 200:
            self.assertLess(time.monotonic(), until, "the streams stayed")
            time.sleep(0.5)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)

    def test_the_run_ending_is_not_held_up(self):
        proc, address, token, _ = self.start_link("--seconds", 1.5)
        started = time.monotonic()
        SlowClients(self, address, 40)
        host, port = address.rsplit(":", 1)
        lazy = socket.create_connection((host, int(port)))  # never reads
        lazy.sendall(("GET /events?token=%s HTTP/1.1\r\nHost: %s\r\n\r\n"
                      % (token, address)).encode())
        self.addCleanup(lazy.close)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertLess(time.monotonic() - started, 2.5)

    def test_exclusive_port(self):
        taker = socket.socket()
        self.addCleanup(taker.close)
        if hasattr(socket, "SO_REUSEPORT"):
            taker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        taker.bind(("127.0.0.1", 0))
        taker.listen(1)
        port = taker.getsockname()[1]
        first = self.start_link()
        for listen in ("127.0.0.1:%d" % port,
                       first[1]):  # another listener's, or a first view's
            with self.subTest(listen=listen):
                out = subprocess.run(tool("link", Pty(self).path, "--serve",
                                          listen, "--seconds", 1),
                                     capture_output=True, text=True,
                                     timeout=TIMEOUT)
                self.assertEqual(out.returncode, 1, out.stderr)
                self.assertIn("--serve %s: cannot listen there: Address "
                              "already in use" % listen, out.stderr)

    @unittest.skipUnless(os.geteuid() == 0, "port 80 takes root")
    def test_on_port_80_host_and_origin_leave_the_port_out(self):
        proc = subprocess.Popen(tool("link", Pty(self).path, "--format",
                                     "none", "--serve", "127.0.0.1:80"),
                                stderr=subprocess.PIPE)
        self.addCleanup(proc.kill)
        line = Lines(proc, proc.stderr).readline()
        if "in use" in line:
            self.skipTest("port 80 is taken here")
        token = VIEW_LINE.fullmatch(line)[2]
        for origin, status in (("http://127.0.0.1", 200),
                               ("http://127.0.0.1:8080", 403)):
            with self.subTest(origin=origin):
                self.assertEqual(raw_status(
                    "127.0.0.1:80", "GET /events?token=%s HTTP/1.1\r\nHost: "
                    "127.0.0.1\r\nOrigin: %s\r\n\r\n" % (token, origin)),
                    status)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)

    def test_a_bind_to_every_address_answers_address_literals(self):
        proc = subprocess.Popen(tool("link", Pty(self).path, "--format", "none",
                                     "--serve", "0.0.0.0:0"),
                                stderr=subprocess.PIPE, text=True)
        self.addCleanup(proc.kill)
        err = Lines(proc, proc.stderr)
        port = re.search(r":(\d+)/", err.readline()).group(1)
        self.assertIn("beyond this machine", err.readline())
        local = "127.0.0.1:" + port
        for host, status in (("127.0.0.1", 200), ("192.0.2.7", 200),
                             ("[::1]", 200), ("localhost", 200),
                             ("evil.example", 403)):
            with self.subTest(host=host):
                self.assertEqual(raw_status(local, "GET / HTTP/1.1\r\nHost: "
                                            "%s:%s\r\n\r\n" % (host, port)),
                                 status)
        # An IPv4-mapped loopback address stays on this machine: no warning.
        mapped = subprocess.Popen(tool("link", Pty(self).path, "--serve",
                                       "[::ffff:127.0.0.1]:0", "--seconds", 0.5),
                                  stderr=subprocess.PIPE, text=True)
        self.addCleanup(mapped.kill)
        _, err = mapped.communicate(timeout=TIMEOUT)
        self.assertNotIn("beyond", err)
        self.assertIn("view: http://[::ffff:127.0.0.1]:", err)


@unittest.skipIf(WINDOWS, "the simulator's pty is POSIX")
class SlowPage(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def test_a_slow_page_loses_its_oldest_records_and_is_told(self):
        # A page that stops reading while thousands of records come: the
        # tool goes on, the page's queue keeps the newest, and the dropped
        # events count exactly the records missing from the stream.
        sim = Simulator(self, "--pty", rate=5000, noise=False)
        proc, address, token, _ = start_view(self, "link", sim.where,
                                             "--format", "none")
        host, port = address.rsplit(":", 1)
        sock = socket.socket()
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sock.connect((host, int(port)))
        conn = http.client.HTTPConnection(host, int(port), timeout=TIMEOUT)
        conn.sock = sock
        conn.request("GET", "/events?token=" + token)
        res = conn.getresponse()
        self.assertEqual(res.status, 200)
        time.sleep(2.5)  # not reading
        numbers, dropped, missing, name = [], 0, 0, None
        gap_open = False  # a dropped event whose gap is not yet seen
        until = time.monotonic() + 2
        while time.monotonic() < until or gap_open:
            line = res.fp.readline().decode()
            if line.startswith("event: "):
                name = line[7:].strip()
            elif line.startswith("data: ") and name == "record":
                n = json.loads(line[6:])["n"]
                if numbers:
                    missing += n - numbers[-1] - 1
                numbers.append(n)
                gap_open = False
            elif line.startswith("data: ") and name == "dropped":
                dropped += json.loads(line[6:])["dropped"]
                gap_open = True
        conn.close()
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertGreater(dropped, 0)
        self.assertEqual(missing, dropped)
        self.assertGreater(len(numbers), 1000)


class ViewEnding(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    @unittest.skipIf(WINDOWS, "the simulator's pty is POSIX")
    def test_the_page_is_told_why_the_run_ended(self):
        sim = Simulator(self, "--pty", rate=50, noise=False)
        proc, address, token, _ = start_view(self, "link", sim.where,
                                             "--format", "none", "--count", 40)
        events = read_events(address, token, 0, until="ended")
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertEqual(events[0], ("hello", {"command": "link",
                                               "port": sim.where,
                                               "version": "1.0.0",
                                               "format": "none"}))
        self.assertEqual(events[-1], ("ended", {"reason": "--count reached"}))
        numbers = [data["n"] for name, data in events if name == "record"]
        self.assertEqual(numbers, list(range(numbers[0], 41)))


def all_frames(pty):
    data = pty.read_available(0.15)
    data = data[len(data) % 25:]  # whole frames, the newest
    return [data[k:k + 25] for k in range(0, len(data), 25)]


@unittest.skipUnless(DRIVER, "browser tests run on the native build")
class ViewInTheBrowser(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def test_link_page_against_the_simulator(self):
        sim = Simulator(self, "--pty", rate=100, noise=True)
        proc, address, token, err = start_view(self, "link", sim.where,
                                               "--format", "jsonl")
        out = []
        reader = threading.Thread(target=lambda: out.extend(proc.stdout))
        reader.start()
        seen = drive("link", "http://%s/?token=%s" % (address, token),
                     *shot("link"))
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        reader.join(TIMEOUT)
        out = b"".join(out).decode()
        frames, commands = sim.finish(self)
        self.assertEqual(commands, [REQUEST, STOP])
        want = expected_records(frames)
        records = {r["n"]: r for r in jsonl_records(out)}
        # Both charts drew; the table shows the truth for its frame.
        self.assertEqual(len(seen["drawn"]), 2)
        self.assertTrue(all(ink > 1000 for ink in seen["drawn"]), seen["drawn"])
        n = int(seen["table"]["n"])
        b15, b32 = want[n - 1]
        self.assertEqual([int(seen["table"]["b15_%d" % k]) for k in range(15)],
                         b15)
        self.assertEqual([int(seen["table"]["b32_%d" % k]) for k in range(32)],
                         b32)
        self.assertEqual(seen["table"]["t"], "%.6f" % records[n]["t"])
        # Paused: the count and the table on screen stand still while the
        # records go on, on the page and on standard output.
        shown, buffered, shown_later, buffered_later = seen["paused"]
        self.assertEqual(shown, shown_later)
        self.assertEqual(seen["table"], seen["tableAfter"])
        self.assertGreater(buffered_later, buffered + 50)
        self.assertGreater(len(records), buffered_later)
        # The CSV: --format csv's columns, the truth for every frame in it.
        lines = seen["csv"].splitlines()
        self.assertEqual(lines[0].split(","), CSV_HEADER)
        rows = [line.split(",") for line in lines[1:]]
        self.assertGreater(len(rows), 100)
        numbers = [int(r[1]) for r in rows]
        self.assertEqual(numbers, list(range(numbers[0], numbers[-1] + 1)))
        for r in rows:
            n = int(r[1])
            self.assertEqual([int(v) for v in r[2:]],
                             want[n - 1][0] + want[n - 1][1], "frame %d" % n)
            self.assertEqual(r[0], "%.6f" % records[n]["t"])

    def test_a_page_without_its_token_says_why(self):
        sim = Simulator(self, "--pty", rate=50)
        proc, address, token, _ = start_view(self, "link", sim.where,
                                             "--format", "none")
        for query, why in (("", "no token in this address"),
                           ("?token=" + "0" * len(token),
                            "the token in this address is not this run's")):
            with self.subTest(query=query):
                seen = drive("status", "http://%s/%s" % (address, query))
                self.assertIn(why, seen["status"])
                self.assertIn("open the address that kestrav printed",
                              seen["status"])
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_a_recording_played_into_the_page(self):
        # inspect --serve plays an MCAP recording at its recorded pace: the
        # page shows the recorded records, with their recorded times.
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", rate=200)
        path = os.path.join(tempfile.mkdtemp(), "run.mcap")
        run = subprocess.run(tool("link", sim.where, "--format", "none",
                                  "--record", path, "--seconds", 4),
                             capture_output=True, timeout=TIMEOUT)
        self.assertEqual(run.returncode, 0, run.stderr)
        records = {r["n"]: r for r in jsonl_records(subprocess.run(
            tool("inspect", path, "--format", "jsonl"), capture_output=True,
            text=True, timeout=TIMEOUT).stdout)}
        proc, address, token, _ = start_view(self, "inspect", path,
                                             "--format", "none")
        seen = drive("link", "http://%s/?token=%s" % (address, token))
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        record = records[int(seen["table"]["n"])]
        self.assertEqual(seen["table"]["t"], "%.6f" % record["t"])
        self.assertEqual([int(seen["table"]["b15_%d" % k]) for k in range(15)],
                         record["block15"])

    def test_slider_drives_sbus_into_the_monitor(self):
        out_pty, in_pty = Pty(self), Pty(self)
        wire(self, out_pty, in_pty)
        monitor_args = ["sbus-monitor", in_pty.path, "--format", "jsonl"]
        if SHOTS:
            monitor, m_address, m_token, _ = start_view(self, *monitor_args)
        else:
            monitor = subprocess.Popen(tool(*monitor_args),
                                       stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE)
            self.addCleanup(monitor.kill)
        arrivals = []

        def collect():
            for line in monitor.stdout:
                arrivals.append((time.time(), json.loads(line)))
        threading.Thread(target=collect, daemon=True).start()
        sender, address, token, _ = start_view(
            self, "sbus", out_pty.path, "--period", 7, "--v2", "--values",
            csv([992] * 16))
        if SHOTS:
            drive("shot", "http://%s/?token=%s" % (m_address, m_token),
                  *shot("sbus-monitor"))
        seen = drive("sbus", "http://%s/?token=%s" % (address, token),
                     *shot("sbus"))
        time.sleep(0.2)
        sender.send_signal(signal.SIGINT)
        self.assertEqual(sender.wait(timeout=TIMEOUT), 0)
        monitor.send_signal(signal.SIGINT)
        monitor.wait(timeout=TIMEOUT)
        self.assertEqual(seen["slider"], 2047)
        self.assertLess(seen["chartAt"] - seen["draggedAt"], 1.0)
        at = [t for t, r in arrivals if r["channels"][3] == 2047]
        self.assertTrue(at, "the monitor never saw channel 3 at 2047")
        self.assertLess(at[0] - seen["draggedAt"], 1.0)
        self.assertTrue(all(r["channels"][:3] == [992] * 3 for _, r in arrivals))

    @unittest.skipUnless(SHOTS, "screenshots only when asked for")
    def test_hid_page(self):
        fifo = os.path.join(self.tmp, "reports")
        os.mkfifo(fifo)
        proc, address, token, _ = start_view(self, "hid", fifo)
        with open(fifo, "wb", buffering=0) as w:
            def feed():
                import math
                for k in range(600):
                    v = [int(32767 + 30000 * math.sin(k / 20 + j)) for j in range(3)]
                    r = bytes([v[0] & 255, v[0] >> 8, v[1] & 255, v[1] >> 8,
                               v[2] & 255, v[2] >> 8]) + bytes(
                        (k * 7 + j * 40) % 256 for j in range(11))
                    try:
                        w.write(r)
                    except OSError:
                        return
                    time.sleep(0.01)
            t = threading.Thread(target=feed, daemon=True)
            t.start()
            drive("shot", "http://%s/?token=%s" % (address, token), *shot("hid"))
            t.join()


@unittest.skipUnless(WINDOWS, "the Windows build under Wine")
class WineView(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def test_link_serves_the_page_and_events(self):
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", rate=50)
        proc, address, token, _ = start_view(self, "link", sim.where,
                                             "--format", "none",
                                             "--seconds", 8)
        status, page = request(address, "GET", "/")
        self.assertEqual(status, 200)
        self.assertIn("/view.js", page)
        events = read_events(address, token, 3)
        self.assertEqual(events[0][0], "hello")
        self.assertEqual(events[0][1]["command"], "link")
        self.assertEqual([e[0] for e in events[1:]], ["record", "record"])
        self.assertEqual(set(events[1][1]), {"t", "n", "block15", "block32"})
        proc.kill()


if __name__ == "__main__":
    unittest.main(verbosity=2)
