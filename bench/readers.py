#!/usr/bin/env python3
"""Frames decoded a second of one core by each reader, on the same stream:
native C fed byte by byte (reader_speed), the Python package's LinkReader
and the JavaScript package's linkReader (node). A benchmark, not a test:

    bench/readers.py build/linux build/wasm

The stream: 3,000 port data frames of types 0, 1 and 2 in turn, with
random words, fed whole to the Python and JavaScript readers (which give
every frame of a chunk)."""
import os
import random
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def stream(frames=3000):
    rng, out = random.Random(7), bytearray()
    for n in range(frames):
        kind = n % 3
        payload = bytes([kind]) + bytes(rng.randrange(256) for _ in range(2 * (15, 32, 47)[kind]))
        out += bytes([0xFA, 0xA5, len(payload) & 0xFF, len(payload) >> 8]) + payload + b"\x5f"
    return bytes(out)


JS = """
import { load } from '%s';
import fs from 'node:fs';
const bytes = fs.readFileSync(process.argv[2]);
const k = await load();
const reader = k.linkReader();
let frames = 0, seconds = 0;
const start = performance.now();
while (seconds < 1) {
  frames += reader.feed(bytes).length;
  seconds = (performance.now() - start) / 1000;
}
console.log(frames, seconds);
"""


def main():
    native, wasm = sys.argv[1], sys.argv[2]
    data = stream()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "stream.bin")
        with open(path, "wb") as f:
            f.write(data)
        rows = []
        out = subprocess.run([os.path.join(native, "bin", "reader_speed"), path],
                             capture_output=True, text=True, check=True).stdout.split()
        rows.append(("native C, byte by byte", int(out[0]) / float(out[1])))
        sys.path.insert(0, os.path.join(ROOT, "bindings", "python"))
        os.environ["KESTRAV_LIBRARY"] = os.path.join(native, "bin", "libKestrav.so.1")
        import kestrav
        reader, frames, start = kestrav.LinkReader(), 0, time.perf_counter()
        while time.perf_counter() - start < 1:
            frames += len(reader.feed(data))
        rows.append(("Python LinkReader", frames / (time.perf_counter() - start)))
        script = os.path.join(tmp, "bench.mjs")
        with open(script, "w") as f:
            f.write(JS % os.path.abspath(os.path.join(wasm, "js", "index.js")))
        out = subprocess.run(["node", script, path], capture_output=True, text=True,
                             check=True).stdout.split()
        rows.append(("JavaScript linkReader (node)", int(out[0]) / float(out[1])))
    print("| reader | frames/s | of native |\n|---|---|---|")
    for name, rate in rows:
        print("| %s | %.0f | %.0f %% |" % (name, rate, 100 * rate / rows[0][1]))


if __name__ == "__main__":
    main()
