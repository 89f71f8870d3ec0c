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
import time
import unittest

from harness import TIMEOUT, WINDOWS, Lines, Pty, tool
from test_link import Simulator
from test_record import read_mcap
from test_sbus import NO_TERMIOS2, TERMIOS2, csv, pack

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


def upgrade(address, path, protocol="foxglove.websocket.v1", small=False):
    """A raw upgrade request: the socket (with small, a receive buffer of
    4 KiB, set before it connects), and the answer's status line."""
    host, port = address.rsplit(":", 1)
    s = socket.socket()
    s.settimeout(TIMEOUT)
    if small:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.connect((host, int(port)))
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\n"
               "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: %s\r\n\r\n"
               % (path, address, key, protocol)).encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(1)
        if not chunk:
            break
        head += chunk
    return s, head.split(b"\r\n")[0].decode()


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
        pty.read_available(0.05)
        frames = pty.read_available(0.2)
        frames = frames[len(frames) % 25:]
        self.assertEqual({frames[k:k + 25] for k in range(0, len(frames), 25)},
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
        pty.read_available(0.05)
        frames = pty.read_available(0.2)
        frames = frames[len(frames) % 25:]
        self.assertEqual({frames[k:k + 25] for k in range(0, len(frames), 25)},
                         {pack(good, end=0)})
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
