#!/usr/bin/env python3
"""Stand-in for the BLE GATT helper /opt/vtl/ble/main.py inside a run-in-board sandbox.

The daemon starts the helper as "python3 /opt/vtl/ble/main.py N &", so this file is
installed at that path and logs itself with that command text. A test that wants
the helper to talk to the daemon's socket leaves an executable
/board/scenario/ble-helper, which replaces this process with the same arguments.
Otherwise the helper behaves like one with nothing to say: it stays alive, silent,
until it is stopped.
"""

import os
import signal
import sys

LOG = "/board/commands.log"
SCENARIO = "/board/scenario/ble-helper"


def main():
    line = " ".join(["python3", "/opt/vtl/ble/main.py"] + sys.argv[1:]) + "\n"
    # One write on an O_APPEND descriptor keeps the line whole next to other tools.
    fd = os.open(LOG, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, line.encode())
    finally:
        os.close(fd)

    if os.path.isfile(SCENARIO) and os.access(SCENARIO, os.X_OK):
        os.execv(SCENARIO, [SCENARIO] + sys.argv[1:])

    signal.signal(signal.SIGTERM, signal.SIG_DFL)
    while True:
        signal.pause()


if __name__ == "__main__":
    main()
