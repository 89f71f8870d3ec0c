#!/usr/bin/env bash
# Runs every libFuzzer target for a bounded time, starting from the checked-in
# corpus (which is left untouched), and fails on any finding.
#   fuzz/run.sh [SECONDS_PER_TARGET] [BUILD_DIR]
set -euo pipefail
seconds=${1:-60}
build=$(cd "${2:-build/sanitize}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for target in fuzz_stream:stream fuzz_codecs:codecs fuzz_web:web; do
  name=${target%%:*}
  corpus=${target##*:}
  mkdir -p "$work/$corpus" "$work/artifacts"
  echo "== $name: ${seconds}s"
  if ! (cd "$work" && "$build/bin/$name" "$work/$corpus" "$here/corpus/$corpus" \
          -dict="$here/kestrav.dict" -max_total_time="$seconds" \
          -artifact_prefix="$work/artifacts/" -print_final_stats=1 \
          >"$work/$name.log" 2>&1); then
    tail -n 60 "$work/$name.log"
    for f in "$work"/artifacts/*; do
      [ -e "$f" ] && { echo "finding: $f"; od -A d -t x1 "$f" | head -40; }
    done
    exit 1
  fi
  grep -E 'cov:' "$work/$name.log" | tail -n 1
  grep -E '^stat::' "$work/$name.log"
done
