#!/usr/bin/env bash
# The main command: builds the library and the kestrav tool, then walks the
# typical road without hardware. A simulated device listens on a
# pseudo-terminal; `kestrav link` opens it as a host opens a serial port,
# requests port data, prints a few decoded frames and sends the stop frame,
# which the device reports. Then the example host shows SBUS and HID.
set -euo pipefail
cd "$(dirname "$0")/.."
# The tool's live view parses JSON with Debian's header-only nlohmann-json.
if ! dpkg-query -W -f='${db:Status-Abbrev}' nlohmann-json3-dev 2>/dev/null |
     grep -q '^ii'; then
  if [ "$(id -u)" = 0 ]; then
    echo "== installing nlohmann-json3-dev"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nlohmann-json3-dev \
      >/dev/null 2>&1 || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq nlohmann-json3-dev >/dev/null; }
  else
    echo "demo.sh: as root, run 'apt-get install nlohmann-json3-dev' first" >&2
    exit 1
  fi
fi
echo "== building the library, the kestrav tool and the example host (build/linux)"
cmake --preset linux >/dev/null
# One progress line, rewritten in place, instead of silence.
cmake --build --preset linux --target kestrav_tool kestrav_host kestrav_man \
  kestrav_debian_changelog |
  while IFS= read -r line; do
    case "$line" in \[*/*\]*) printf '\r   %-74.74s' "$line" ;; esac
  done
printf '\r   %-74s\n' "built"
bin=build/linux/bin

device_log=$(mktemp)
trap 'rm -f "$device_log"; kill "$device" 2>/dev/null || true' EXIT
"$bin/kestrav" simulate --pty --rate 20 >"$device_log" &
device=$!
for _ in $(seq 50); do [ -s "$device_log" ] && break; sleep 0.1; done
tty=$(head -n 1 "$device_log")

cat <<TEXT

== a simulated device on $tty; the host: kestrav link $tty --count 3
   Each record is one port data frame: its number, the time since the
   request, and the host's two blocks of words after that frame. The device
   sends frame types 0, 1 and 2 in turn, carrying block15, block32 and both,
   so block32 stays zeros until the first frame that carries it.
TEXT
"$bin/kestrav" link "$tty" --count 3
wait "$device"
cat <<'TEXT'

== what the device received: the upload request, then the stop frame
TEXT
tail -n +2 "$device_log"
# A short recording and its replay, on a second simulator whose words follow
# slow waves; then where the page and the live source would be.
rec_dir=$(mktemp -d)
trap 'rm -f "$device_log"; rm -rf "$rec_dir"; kill "$device" 2>/dev/null || true' EXIT
"$bin/kestrav" simulate --pty --rate 50 --waves >"$device_log" &
device=$!
for _ in $(seq 50); do [ -s "$device_log" ] && break; sleep 0.1; done
tty=$(head -n 1 "$device_log")
cat <<TEXT

== a recording: kestrav link $tty --seconds 1 --format none --record run.mcap
   MCAP keeps the raw bytes and every record with its time; inspect replays
   them through the same decoder (here its first two records, as CSV).
TEXT
"$bin/kestrav" link "$tty" --seconds 1 --format none --record "$rec_dir/run.mcap"
wait "$device"
"$bin/kestrav" inspect "$rec_dir/run.mcap" --format csv | head -n 3 | cut -c1-74

cat <<'TEXT'

== the page and the live source: each prints its address on stderr
   (the token in it is new each run); here on a replay, stopped at once.
TEXT
for option in --serve --foxglove; do
  "$bin/kestrav" inspect "$rec_dir/run.mcap" --format none "$option" 0 2>&1 &
  viewer=$!
  sleep 0.5
  kill -INT "$viewer" 2>/dev/null || true
  wait "$viewer" || true
done | sed -n 's/^/   /p' | grep -v 'played' || true

cat <<'TEXT'

== SBUS and HID (examples/host.c)
   "standard 300.. -> sbus 511.." is sixteen channels of 300, 305, 310, ...
   on the standard scale, scaled by convert_std_sbus_data (x 1.706, at most
   2047) to 511, ... on the SBUS scale, then packed into a 25-byte frame:
   v1 ends in 00, v2 in the rolling end byte 04, 14, 24, 34.
   The HID values are the eleven fields of one 17-byte game-controller
   report: three of 16 bits, five of 12, one of 4, one of 16 and one of 8.
TEXT
"$bin/kestrav_host" --codecs
