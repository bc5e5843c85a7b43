#!/usr/bin/env bash
# Builds the benchmark and the daemon, then runs the benchmark on a disposable board.
# The board is not optional: the daemon runs reboot, ifconfig and fw_setenv, which outside
# the board would be the machine's own. Run as root (the board needs namespaces).
# BUILD_DIR picks the build tree (default build-bench); arguments go to amp-bench.
set -euo pipefail
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$repo/build-bench}
if [[ ! -f $build/build.ninja ]]; then
  # Figures from a debug or sanitizer build would mostly measure the instrumentation.
  nice cmake -S "$repo" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
fi
nice ninja -C "$build" amp-bench amp-bridge
# The build tree may lie outside the repository (under /tmp, say): the board shows it too, so
# that the benchmark finds the daemon and the libraries it was built with.
exec "$repo/sim/board/run-in-board" --expose "$build" "$build/bench/amp-bench" "$@"
