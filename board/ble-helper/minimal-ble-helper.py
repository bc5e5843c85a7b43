#!/usr/bin/env python3
"""A minimal stand-in for the BLE GATT helper, for trying the daemon's helper socket.

The daemon starts the product's GATT helper as "python3 /opt/vtl/ble/main.py N" (N: the
API model number) and talks to it over Unix datagrams on /tmp/main_socket. The real
helper is the product's own program; this one is never installed over it. It binds a
socket of its own (the daemon answers to the sender's address, so an unbound sender
would never hear back), greets the daemon, and prints every message it receives:
    0x01            acknowledgement
    0x02 + text     serial number
    0x03 + text     DA module type and version, e.g. "21.4.0"
"""

import os
import socket
import sys
import time

DAEMON_SOCKET = "/tmp/main_socket"
OWN_SOCKET = "/tmp/ble_helper_socket"
GREETING_ATTEMPTS = 20
GREETING_PAUSE_S = 0.5


def log(text):
    sys.stdout.write("ble-helper: " + text + "\n")
    sys.stdout.flush()


def describe(message):
    if not message:
        return "empty message"
    kind, text = message[0], message[1:].decode("utf-8", "replace")
    if kind == 0x01:
        return "acknowledged"
    if kind == 0x02:
        return "serial number " + text
    if kind == 0x03:
        return "DA module " + text
    return "unknown message " + message.hex(" ")


def greet(sock, model):
    # The daemon binds its socket before starting the helper; retry for a while in case
    # the helper was started by hand first.
    greeting = "BLE helper ready, model %s\n" % model
    for _ in range(GREETING_ATTEMPTS):
        try:
            sock.sendto(greeting.encode(), DAEMON_SOCKET)
            return True
        except OSError:
            time.sleep(GREETING_PAUSE_S)
    return False


def main():
    model = sys.argv[1] if len(sys.argv) > 1 else "0"
    try:
        os.unlink(OWN_SOCKET)
    except FileNotFoundError:
        pass
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sock.bind(OWN_SOCKET)
    log("started for model " + model)
    if not greet(sock, model):
        log("the daemon's socket %s does not answer" % DAEMON_SOCKET)
        return 1
    while True:
        message = sock.recv(1024)
        log(describe(message))


if __name__ == "__main__":
    sys.exit(main())
