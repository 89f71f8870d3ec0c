#!/usr/bin/env bash
# Counts the instructions each export spends, with callgrind (deterministic),
# on the Linux deliverable, and compares them with the budgets.
#   bench/instructions.sh [BUILD_DIR]      (default build/linux)
set -euo pipefail
build=$(cd "${1:-build/linux}" && pwd)
driver="$build/bin/instructions_driver"
[ -x "$driver" ] || { echo "build $driver first (cmake --build --preset linux)"; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
printf '%-46s %10s %8s %8s\n' "scenario" "measured" "budget" ""
while read -r scenario function unit budget label; do
  units=$("$driver" "$scenario" | awk '{print $1}')
  valgrind --tool=callgrind --toggle-collect="$function" \
    --callgrind-out-file="$work/$scenario.out" "$driver" "$scenario" >/dev/null 2>&1
  total=$(awk '/^(summary|totals):/ {print $2}' "$work/$scenario.out" | tail -n 1)
  per=$(awk -v t="$total" -v u="$units" 'BEGIN {printf "%.2f", t / u}')
  verdict=$(awk -v p="$per" -v b="$budget" 'BEGIN {print (p <= b) ? "ok" : "OVER"}')
  [ "$verdict" = ok ] || failed=1
  printf '%-46s %10s %8s %8s\n' "$label ($unit)" "$per" "$budget" "$verdict"
done <<'SCENARIOS'
stream255 parse_port_data byte   1.5 parse_port_data, realistic, 255-byte chunks
stream1   parse_port_data call   40  parse_port_data, realistic, 1-byte chunks
hostile   parse_port_data byte   4   parse_port_data, hostile, 255-byte chunks
sbus      encode_sbus_data_v1 call 80 encode_sbus_data_v1
convert   convert_std_sbus_data call 60 convert_std_sbus_data
hid       parse_hid_game_controller_device call 50 parse_hid_game_controller_device
SCENARIOS
exit $failed
