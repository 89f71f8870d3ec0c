#!/usr/bin/env python3
"""The live source for the tools that open MCAP (--foxglove): read with npm's
@foxglove/ws-protocol client over ws (tests/web/foxglove_client.mjs, given as
KESTRAV_FOXGLOVE_CLIENT), against the run's own MCAP recording and standard
output; its guards with raw sockets. Environment as the other tool tests."""
import base64
import json
import os
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

from harness import TIMEOUT, WINDOWS, Lines, Pty, tool
from test_link import Simulator
from test_record import read_mcap
from test_sbus import NO_TERMIOS2, TERMIOS2, csv, pack, read_frames
from test_view import VIEW_LINE, request

CLIENT = os.environ.get("KESTRAV_FOXGLOVE_CLIENT", "")
LINE = re.compile(r"foxglove: ws://([^/]+)/\?token=([0-9a-f]{32})\r?\n")


def start(test, *args, stdout=subprocess.DEVNULL):
    """The tool with --foxglove on a free port: the process, its address,
    its token and a reader of the rest of its stderr."""
    proc = subprocess.Popen(tool(*args, "--foxglove", "127.0.0.1:0"),
                            stdout=stdout, stderr=subprocess.PIPE)
    test.addCleanup(proc.kill)
    test.addCleanup(proc.stderr.close)
    err = Lines(proc, proc.stderr)
    m = LINE.fullmatch(err.readline(TIMEOUT * 2))
    test.assertTrue(m, "no foxglove line")
    return proc, m[1], m[2], err


def client(address, token, *args, seconds=10):
    out = subprocess.run(["node", CLIENT, "ws://%s/?token=%s" % (address, token),
                          "--seconds", str(seconds)] + list(args),
                         capture_output=True, text=True, timeout=seconds + 20)
    if out.returncode != 0:
        raise AssertionError("foxglove_client.mjs: " + out.stderr)
    return json.loads(out.stdout)


class HeldSocket(socket.socket):
    """A socket that keeps the head of its upgrade's answer."""
    head = ""


def upgrade(address, path, protocol="foxglove.websocket.v1", small=False,
            lines=None):
    """A raw upgrade request: the socket (with small, a receive buffer of
    4 KiB, set before it connects), and the answer's status line. lines
    replace the key, version and protocol lines."""
    host, port = address.rsplit(":", 1)
    s = HeldSocket()
    s.settimeout(TIMEOUT)
    if small:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect((host, int(port)))
    key = base64.b64encode(os.urandom(16)).decode()
    if lines is None:
        lines = ["Sec-WebSocket-Key: " + key, "Sec-WebSocket-Version: 13",
                 "Sec-WebSocket-Protocol: " + protocol]
    s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\n%s\r\n\r\n"
               % (path, address, "\r\n".join(lines))).encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk:
            break
        head += chunk
    s.head = head.decode()
    return s, head.split(b"\r\n")[0].decode()


def steady_frames(pty):
    """The set of frames a steady sender sends now, once what was queued
    has gone."""
    pty.read_available(0.05)
    data = pty.read_available(0.2)
    data = data[len(data) % 25:]
    return {data[k:k + 25] for k in range(0, len(data), 25)}


def subscribe(s, *pairs):
    """Subscribes s: (subscription id, channel id) pairs."""
    s.sendall(masked(0x1, json.dumps({"op": "subscribe", "subscriptions": [
        {"id": i, "channelId": c} for i, c in pairs]}).encode()))


def statuses(reader, until):
    """Status messages from the server up to one that holds until."""
    got, deadline = [], time.monotonic() + TIMEOUT
    while not got or until not in got[-1]:
        if time.monotonic() > deadline:
            raise AssertionError("no status with %r: %r" % (until, got))
        opcode, payload = server_frame(reader)
        if opcode == 0x1 and json.loads(payload)["op"] == "status":
            got.append(json.loads(payload)["message"])
    return got


def server_frame(reader):
    """One unmasked server frame: its opcode and payload."""
    b0, b1 = reader.read(2)
    n = b1 & 0x7F
    if n == 126:
        n = int.from_bytes(reader.read(2), "big")
    elif n == 127:
        n = int.from_bytes(reader.read(8), "big")
    return b0 & 0x0F, reader.read(n)


def masked(opcode, payload):
    """A client frame: FIN, masked (payloads under 64 KiB)."""
    mask = b"\x01\x02\x03\x04"
    n = len(payload)
    size = bytes([0x80 | n]) if n < 126 else bytes([0x80 | 126]) + \
        n.to_bytes(2, "big")
    return bytes([0x80 | opcode]) + size + mask + bytes(
        b ^ mask[k % 4] for k, b in enumerate(payload))


@unittest.skipUnless(CLIENT, "no Foxglove client given")
@unittest.skipIf(WINDOWS, "the simulator's pty and signals are POSIX")
class Foxglove(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()

    def test_a_client_gets_the_recordings_channel_and_every_record(self):
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", rate=200,
                        noise=False)
        path = os.path.join(self.tmp, "run.mcap")
        stdout = open(os.path.join(self.tmp, "stdout"), "w+")
        self.addCleanup(stdout.close)
        proc, address, token, _ = start(self, "link", sim.where, "--format",
                                         "jsonl", "--record", path, "--count",
                                         600, stdout=stdout)
        got = client(address, token)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        stdout.seek(0)
        out = stdout.read()
        self.assertEqual((got["protocol"], got["close"]),
                         ("foxglove.websocket.v1", 1001))
        recorded = read_mcap(path)["streamed"]
        [meta] = recorded["metadata"]
        info = got["serverInfo"]
        self.assertEqual((info["name"], info["capabilities"],
                          info["supportedEncodings"], info["metadata"]),
                         ("kestrav 1.0.0", [], ["json"], meta["metadata"]))
        # The channel is the recording's decoded channel, schema and all.
        [channel] = got["channels"]
        decoded = [c for c in recorded["channels"]
                   if c["messageEncoding"] == "json"][0]
        [schema] = [s for s in recorded["schemas"]
                    if s["id"] == decoded["schemaId"]][:1]
        self.assertEqual((channel["topic"], channel["encoding"],
                          channel["schemaName"], channel["schemaEncoding"],
                          channel["schema"]),
                         (decoded["topic"], "json", schema["name"],
                          schema["encoding"], schema["data"]))
        # Every record from the first one it got: standard output's, in
        # order, each at its recorded log time.
        live = out.splitlines()
        data = [m["data"] for m in got["messages"]]
        self.assertGreater(len(data), 100)
        first = json.loads(data[0])["n"]
        self.assertEqual(data, live[first - 1:])
        times = {m["sequence"]: m["logTime"] for m in recorded["messages"]
                 if m["channelId"] == decoded["id"]}
        self.assertEqual([int(m["timestamp"]) for m in got["messages"]],
                         [int(times[n]) for n in range(first, 601)])

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_a_publish_moves_the_servos_and_a_bad_one_nothing(self):
        pty = Pty(self)
        good = [100 + k for k in range(16)]
        proc, address, token, _ = start(self, "sbus", pty.path, "--period", 4,
                                        "--values", csv([992] * 16))
        moved = [300] * 16
        got = client(address, token, "--publish",
                     json.dumps({"channels": moved, "failsafe": True}),
                     "--publish", json.dumps({"channels": good[:15] + [2048]}),
                     "--publish", "{not json", seconds=1.5)
        self.assertEqual(got["serverInfo"]["capabilities"], ["clientPublish"])
        errors = [s["message"] for s in got["statuses"] if s.get("level") == 2]
        self.assertEqual(len(errors), 2, got["statuses"])
        self.assertIn("channel 15 must be an integer from 0 to 2047", errors[0])
        self.assertIn("not JSON", errors[1])
        self.assertEqual(steady_frames(pty),
                         {pack(moved, flags=0x08, end=0)})
        # A client's channel id is its own (258 here), read whole.
        s, _ = upgrade(address, "/?token=" + token)
        self.addCleanup(s.close)
        s.sendall(masked(0x1, json.dumps({"op": "advertise", "channels": [
            {"id": 258, "topic": "/sbus/set", "encoding": "json",
             "schemaName": "s"}]}).encode()))
        body = json.dumps({"channels": good}).encode()
        s.sendall(masked(0x2, b"\x01" + (258).to_bytes(4, "little") + body))
        time.sleep(0.1)
        self.assertEqual(steady_frames(pty),
                         {pack(good, end=0)})
        # A channel it never advertised moves nothing, and is told so.
        s.sendall(masked(0x2, b"\x01" + (259).to_bytes(4, "little") +
                         json.dumps({"channels": moved}).encode()))
        self.assertIn("channel 259 was not advertised",
                      statuses(s.makefile("rb"), "259")[-1])
        self.assertEqual(steady_frames(pty),
                         {pack(good, end=0)})
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)

    @unittest.skipUnless(TERMIOS2, NO_TERMIOS2)
    def test_the_latest_source_wins_within_a_tick(self):
        # A publish, then 50 ms later a POST /sbus, inside one 400 ms tick:
        # the next frames carry the POST.
        pty = Pty(self)
        proc = subprocess.Popen(tool("sbus", pty.path, "--period", 400,
                                     "--serve", "127.0.0.1:0", "--foxglove",
                                     "127.0.0.1:0"),
                                stderr=subprocess.PIPE)
        self.addCleanup(proc.kill)
        err = Lines(proc, proc.stderr)
        view = VIEW_LINE.fullmatch(err.readline())
        fox = LINE.fullmatch(err.readline())
        s, _ = upgrade(fox[1], "/?token=" + fox[2])
        self.addCleanup(s.close)
        s.sendall(masked(0x1, json.dumps({"op": "advertise", "channels": [
            {"id": 5, "topic": "/sbus/set", "encoding": "json",
             "schemaName": "s"}]}).encode()))
        published, posted = [100] * 16, [1500] * 16
        read_frames(pty, 1)  # a tick has just gone by
        s.sendall(masked(0x2, b"\x01" + (5).to_bytes(4, "little") +
                         json.dumps({"channels": published}).encode()))
        time.sleep(0.05)
        status, _ = request(view[1], "POST", "/sbus?token=" + view[2],
                            json.dumps({"channels": posted}))
        self.assertEqual(status, 204)
        self.assertEqual(read_frames(pty, 2), [pack(posted)] * 2)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)

    def test_refused_before_the_upgrade(self):
        proc, address, token, _ = start(self, "link", Pty(self).path,
                                        "--format", "none")
        for path, protocol, status in (
                ("/", "foxglove.websocket.v1", "403"),
                ("/?token=" + "0" * 32, "foxglove.websocket.v1", "403"),
                ("/?token=" + token, "other.v1", "400"),
                ("/?token=" + token, "x, foxglove.sdk.v1", "101")):
            with self.subTest(path=path, protocol=protocol):
                s, line = upgrade(address, path, protocol)
                s.close()
                self.assertIn(" %s " % status, line + " ")
        # The handshake's details: another version is told the one spoken
        # (426); a list is one list on however many lines; the key is 16
        # bytes in base64, on one line.
        key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="
        for lines, status in (
                ([key, "Sec-WebSocket-Version: 8"], "426"),
                ([key, "Sec-WebSocket-Version: 13",
                  "Sec-WebSocket-Protocol: x",
                  "Sec-WebSocket-Protocol: foxglove.sdk.v1"], "101"),
                (["Sec-WebSocket-Key: abc", "Sec-WebSocket-Version: 13",
                  "Sec-WebSocket-Protocol: foxglove.sdk.v1"], "400"),
                ([key, key, "Sec-WebSocket-Version: 13",
                  "Sec-WebSocket-Protocol: foxglove.sdk.v1"], "400")):
            with self.subTest(lines=lines):
                s, line = upgrade(address, "/?token=" + token, lines=lines)
                s.close()
                self.assertIn(" %s " % status, line + " ")
                if status == "426":
                    self.assertIn("\r\nSec-WebSocket-Version: 13\r\n", s.head)
        # Sixteen clients at most.
        held = [upgrade(address, "/?token=" + token) for _ in range(17)]
        for s, _ in held:
            self.addCleanup(s.close)
        self.assertEqual([" 101 " in line for _, line in held],
                         [True] * 16 + [False])
        self.assertIn(" 503 ", held[-1][1] + " ")
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)

    def test_clients_that_never_read_hold_up_nothing(self):
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", rate=1000,
                        noise=False)
        started = time.monotonic()
        stdout = open(os.path.join(self.tmp, "stdout"), "w+")
        self.addCleanup(stdout.close)
        proc, address, token, _ = start(self, "link", sim.where, "--format",
                                        "jsonl", "--seconds", 3, stdout=stdout)
        lazy = []
        for _ in range(4):
            s, line = upgrade(address, "/?token=" + token, small=True)
            self.assertIn(" 101 ", line)
            s.sendall(masked(0x1, json.dumps({"op": "subscribe",
                                              "subscriptions": [
                                                  {"id": 1, "channelId": 1}]
                                              }).encode()))
            lazy.append(s)
            self.addCleanup(s.close)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertLess(time.monotonic() - started, 4.5)
        stdout.seek(0)
        self.assertGreater(len(stdout.read().splitlines()), 2500)

    def test_a_flooding_client_starves_no_one(self):
        # A reads, subscribed once (a second subscription to its channel is
        # refused, so no record comes twice); B sends empty pongs back to
        # back; C's upgrade comes in the middle of the flood.
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", rate=1000,
                        noise=False)
        proc, address, token, _ = start(self, "link", sim.where, "--format",
                                        "none")
        a, _ = upgrade(address, "/?token=" + token)
        self.addCleanup(a.close)
        subscribe(a, (1, 1), (2, 1))
        reader = a.makefile("rb")
        self.assertIn("channel 1 is subscribed already, as subscription 1",
                      statuses(reader, "channel 1")[-1])
        got = []  # (arrival, subscription id, n)

        def read():
            while True:
                opcode, payload = server_frame(reader)
                if opcode == 0x8:
                    return
                if opcode == 0x2:
                    got.append((time.monotonic(),
                                int.from_bytes(payload[1:5], "little"),
                                json.loads(payload[13:])["n"]))
        threading.Thread(target=read, daemon=True).start()
        b, _ = upgrade(address, "/?token=" + token)
        self.addCleanup(b.close)
        pongs = masked(0xA, b"") * 10000
        flood_from = time.monotonic()
        upgraded = None
        while time.monotonic() < flood_from + 2:
            b.sendall(pongs)
            if upgraded is None and time.monotonic() > flood_from + 1:
                asked = time.monotonic()
                c, line = upgrade(address, "/?token=" + token)
                c.close()
                self.assertIn(" 101 ", line)
                upgraded = time.monotonic() - asked
        flood_to = time.monotonic()
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertLess(upgraded, 0.5)
        during = [t for t, _, _ in got if flood_from <= t <= flood_to]
        gaps = [y - x for x, y in zip([flood_from] + during,
                                      during + [flood_to])]
        self.assertLess(max(gaps), 0.5)
        self.assertEqual({i for _, i, _ in got}, {1})
        numbers = [n for _, _, n in got]
        self.assertEqual(numbers, list(range(numbers[0],
                                             numbers[0] + len(numbers))))

    def test_a_client_that_reads_none_of_its_answers_is_closed(self):
        # Each unknown id of an unsubscribe gets a warning; a client that
        # asks for 18,000 of them (1.1 MB of answers) and reads none is
        # closed (1008) once its answers waiting pass the bound, and what
        # waited is let go.
        proc, address, token, _ = start(self, "link", Pty(self).path,
                                        "--format", "none")
        s, _ = upgrade(address, "/?token=" + token, small=True)
        self.addCleanup(s.close)
        ask = masked(0x1, json.dumps({"op": "unsubscribe", "subscriptionIds":
                                      list(range(10**6, 10**6 + 3000))})
                     .encode())
        for _ in range(6):
            s.sendall(ask)
        time.sleep(0.5)
        with open("/proc/%d/status" % proc.pid) as f:
            rss = int(re.search(r"VmRSS:\s+(\d+)", f.read())[1])
        self.assertLess(rss, 40 * 1024, "kB resident")
        reader = s.makefile("rb")
        while True:
            opcode, payload = server_frame(reader)
            if opcode == 0x8:
                break
        self.assertEqual(int.from_bytes(payload[:2], "big"), 1008)
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)

    def test_a_slow_client_loses_its_oldest_messages_and_is_told(self):
        sim = Simulator(self, "--pty", rate=5000, noise=False)
        proc, address, token, _ = start(self, "link", sim.where, "--format",
                                        "none")
        s, line = upgrade(address, "/?token=" + token, small=True)
        self.addCleanup(s.close)
        s.sendall(masked(0x1, b'{"op": "subscribe", "subscriptions": '
                         b'[{"id": 7, "channelId": 1}]}'))
        time.sleep(2.5)  # not reading
        reader = s.makefile("rb")
        numbers, dropped, missing = [], 0, 0
        until = time.monotonic() + 2
        while time.monotonic() < until or (numbers and dropped > missing):
            opcode, payload = server_frame(reader)
            if opcode == 0x2 and payload[0] == 0x01:
                n = json.loads(payload[13:])["n"]
                if numbers:
                    missing += n - numbers[-1] - 1
                numbers.append(n)
            elif opcode == 0x1 and b"messages dropped" in payload:
                dropped += int(json.loads(payload)["message"].split()[0])
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertGreater(dropped, 0)
        self.assertEqual(missing, dropped)

    def test_a_replay_waits_for_room_instead_of_dropping(self):
        # A raw stream has no clock: its records go out as fast as they are
        # read, far faster than a client takes them.
        count = 30000
        path = os.path.join(self.tmp, "stream.bin")
        with open(path, "wb") as f:
            for n in range(count):
                f.write(bytes.fromhex("faa51f0000") +
                        b"".join((n + k & 0xFFFF).to_bytes(2, "little")
                                 for k in range(15)) + b"\x5f")
        proc, address, token, _ = start(self, "inspect", path, "--format",
                                        "none")
        got = client(address, token, seconds=60)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        self.assertEqual([s for s in got["statuses"]
                          if "dropped" in s.get("message", "")], [])
        self.assertEqual([json.loads(m["data"])["block15"][0]
                          for m in got["messages"]], list(range(count)))

    def test_inspect_replays_a_recording_with_its_times(self):
        sim = Simulator(self, "--listen", "tcp:127.0.0.1:0", rate=200)
        path = os.path.join(self.tmp, "run.mcap")
        subprocess.run(tool("link", sim.where, "--format", "none", "--record",
                            path, "--count", 100), check=True, timeout=TIMEOUT)
        proc, address, token, _ = start(self, "inspect", path, "--format",
                                        "none")
        started = time.monotonic()
        got = client(address, token)
        self.assertEqual(proc.wait(timeout=TIMEOUT), 0)
        recorded = read_mcap(path)["streamed"]
        decoded = [c["id"] for c in recorded["channels"]
                   if c["messageEncoding"] == "json"][0]
        want = [(m["logTime"], m["data"]) for m in recorded["messages"]
                if m["channelId"] == decoded]
        self.assertEqual([(m["timestamp"], m["data"])
                          for m in got["messages"]], want)
        # At its recorded pace: 100 records at 200 a second.
        self.assertGreater(time.monotonic() - started, 0.4)


if __name__ == "__main__":
    unittest.main(verbosity=2)
