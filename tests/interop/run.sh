#!/bin/bash
# Runs the @grpc/grpc-js client against the real daemon. Meant to run on a disposable board:
#   sim/board/run-in-board bash tests/interop/run.sh <build-dir>
# The simulator makes the serial ports and then starts the daemon as its child. The board has
# no route to the npm registry, so node_modules must have been installed beforehand (CTest's
# interop_npm_ci fixture does that outside the board).
set -u

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [[ $# -lt 1 || ! -d "$1" ]]; then
  echo "usage: run.sh <build-dir> [test.mjs...]   (an existing build directory)" >&2
  exit 2
fi
build="$(cd "$1" && pwd)"
shift
# The test files to run against the freshly started daemon; by default the API's own.
tests=("$@")
if ((${#tests[@]} == 0)); then
  tests=("$here/volume_and_inputs.test.mjs")
fi
sim="$build/sim/amp/amp-sim"
daemon="$build/src/amp-bridge"
log=/tmp/amp-bridge-interop.log
ready_text="Server listening on 0.0.0.0:50051"
# The last of the amplifier's start-up reports (the headphones): once it is traced, the
# daemon's mirror holds the amplifier's whole state.
settled_text="<<< 0xB5"
ready_wait_s=60

# The daemon reboots, takes interfaces down and rewrites the boot environment through real
# board tools; only the board's fakes may receive those calls.
if [[ "$(readlink -f "$(command -v reboot)" 2>/dev/null)" != /board/lib/tools/* ]]; then
  echo "run.sh: not on a board; run it through sim/board/run-in-board" >&2
  exit 2
fi
for program in "$sim" "$daemon"; do
  if [[ ! -x "$program" ]]; then
    echo "run.sh: $program is missing; build amp-bridge and amp-sim first" >&2
    exit 2
  fi
done
if [[ ! -d "$here/node_modules/@grpc/grpc-js" || ! -d "$here/node_modules/@grpc/proto-loader" ]]; then
  echo "run.sh: $here/node_modules is missing; run 'npm ci' in $here first" >&2
  exit 2
fi

"$sim" --quiet -- "$daemon" >"$log" 2>&1 &
sim_pid=$!

show_log() {
  echo "----- amp-sim and amp-bridge output ($log) -----"
  cat "$log"
  echo "----- end of output -----"
}

stop_daemon() {
  if kill -0 "$sim_pid" 2>/dev/null; then
    # amp-sim passes SIGTERM on to the daemon and ends when it ends.
    kill -TERM "$sim_pid" 2>/dev/null
    for _ in $(seq 50); do
      kill -0 "$sim_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$sim_pid" 2>/dev/null
  fi
  wait "$sim_pid" 2>/dev/null
}

deadline=$((SECONDS + ready_wait_s))
until grep -qF "$ready_text" "$log" && grep -qF "$settled_text" "$log"; do
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    wait "$sim_pid"
    echo "run.sh: the daemon ended (status $?) before serving the API" >&2
    show_log
    exit 1
  fi
  if ((SECONDS >= deadline)); then
    echo "run.sh: no \"$ready_text\" within $ready_wait_s s" >&2
    stop_daemon
    show_log
    exit 1
  fi
  sleep 0.1
done

node --test "${tests[@]}"
status=$?

if ! kill -0 "$sim_pid" 2>/dev/null; then
  echo "run.sh: the daemon ended during the test" >&2
  status=1
fi
stop_daemon
if ((status != 0)); then
  show_log
fi
exit "$status"
