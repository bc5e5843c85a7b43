#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a bounded time each, starting from the
# seed corpus in the repository (copied, so the repository does not grow). Fails on the
# first crash, leak, time-out or sanitizer report.
#   scripts/fuzz.sh BUILD_DIR [SECONDS_PER_TARGET]
set -euo pipefail
build=$(cd "${1:?usage: scripts/fuzz.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-60}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
while read -r name program seeds; do
  [[ -n $name ]] || continue
  corpus=$work/$name
  mkdir -p "$corpus"
  [[ -d $seeds ]] && cp -r "$seeds/." "$corpus/"
  mkdir -p "$build/fuzz-artifacts"
  echo "-- fuzz $name (${seconds}s)"
  if ! (cd "$work" && "$program" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 \
      -artifact_prefix="$build/fuzz-artifacts/$name-" "$corpus" >"$work/$name.log" 2>&1); then
    tail -n 60 "$work/$name.log"
    echo "fuzz: $name failed"
    status=1
  else
    grep -E '^stat::number_of_executed_units' "$work/$name.log" || true
  fi
done <"$build/fuzz-targets.txt"
exit $status
