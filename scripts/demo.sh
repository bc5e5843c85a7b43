#!/usr/bin/env bash
# Builds the daemon and the amplifier simulator and runs them together on a simulated
# board. The board's tools are fakes (nothing on this machine is reconfigured or
# rebooted); the network is the host's, so a gRPC client can reach 127.0.0.1:50051.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -G Ninja -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
ninja -C build amp-bridge amp-sim amp-client

cat <<'TEXT'

== amp-bridge demo
The daemon starts on a simulated board (fresh namespaces, overlay root, fake board tools)
against the simulated amplifier on /dev/ttyS3 and /dev/ttyS2.
  red lines   (>>>)  frames the daemon sends to the amplifier
  pink lines  (<<<)  frames the amplifier reports
  amp-sim:           what the simulated amplifier received
  ble-helper:        what the board's BLE helper heard from the daemon
The gRPC API listens on 127.0.0.1:50051 once the handshake is done.
Board commands the daemon runs are logged in the sandbox at /board/commands.log.
Try it from another terminal:
  build/sim/client/amp-client observe-volume      (watch; Ctrl-C ends it)
  build/sim/client/amp-client set-volume 40       (the stream jumps to 40 when the ramp ends)
  build/sim/client/amp-client select-input 12     (with observe-input in a third terminal)
Press Ctrl-C to stop.

TEXT
# The board's BLE helper is the minimal one, which greets the daemon and logs what it
# hears (ble-helper: lines): without a helper the daemon could not reach it and would say
# so every few seconds.
exec sim/board/run-in-board --host-net bash -c \
  'install -m 755 board/ble-helper/minimal-ble-helper.py /board/scenario/ble-helper &&
   exec build/sim/amp/amp-sim -- build/src/amp-bridge'
