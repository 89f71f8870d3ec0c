#!/usr/bin/env bash
# The main command: builds the library and the kestrav tool, then walks the
# typical road without hardware. A simulated device listens on a
# pseudo-terminal; `kestrav link` opens it as a host opens a serial port,
# requests port data, prints a few decoded frames and sends the stop frame,
# which the device reports. Then the example host shows SBUS and HID.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --preset linux >/dev/null
cmake --build --preset linux --target kestrav_tool kestrav_host >/dev/null
bin=build/linux/bin

device_log=$(mktemp)
trap 'rm -f "$device_log"; kill "$device" 2>/dev/null || true' EXIT
"$bin/kestrav" simulate --pty --rate 20 >"$device_log" &
device=$!
for _ in $(seq 50); do [ -s "$device_log" ] && break; sleep 0.1; done
tty=$(head -n 1 "$device_log")

echo "== simulated device on $tty; kestrav link $tty --count 3"
"$bin/kestrav" link "$tty" --count 3
wait "$device"
echo "== what the device received"
tail -n +2 "$device_log"
echo "== SBUS and HID (examples/host.c)"
"$bin/kestrav_host" --codecs
