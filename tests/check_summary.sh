#!/usr/bin/env bash
# The test command's closing line must count a failing test as failed: run
# ctest on a throw-away project with one passing and one failing test, twice,
# and add up its output as scripts/test.sh does.
#   check_summary.sh CMAKE CTEST SUMMARY_AWK
set -euo pipefail
cmake=$1 ctest=$2 summary=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat >"$work/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(summary NONE)
enable_testing()
add_test(NAME passes COMMAND ${CMAKE_COMMAND} -E true)
add_test(NAME fails COMMAND ${CMAKE_COMMAND} -E false)
CMAKE
"$cmake" -S "$work" -B "$work/build" >/dev/null
for run in 1 2; do
  (cd "$work/build" && "$ctest" >>"$work/log" 2>&1) || true
done
got=$(awk -f "$summary" "$work/log")
if [ "$got" != "2 passed, 2 failed" ]; then
  echo "summary of two runs with one failure each: got '$got'"
  cat "$work/log"
  exit 1
fi
echo "summary counted: $got"
