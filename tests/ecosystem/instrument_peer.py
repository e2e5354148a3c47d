#!/usr/bin/python3
"""Runs a program against a simulated instrument on a pseudo-terminal.

    instrument_peer.py [--pace BITS_PER_S] COMMAND [ARG...]

TARVO_COM1 names the pty's slave for COMMAND; the peer answers every request
line it receives on the master side with IDENTITY. Passes (exit 0) when
COMMAND exits 0, the peer received exactly the request "*IDN?\\r\\n" and
COMMAND printed the answer it was sent. With --pace the answer goes out a byte
at a time, ten bits each at that rate, as a real line brings it.
"""
import os
import select
import subprocess
import sys
import threading
import time
import tty

IDENTITY = b"TARVO,SIMULATED-METER,0001,1.1.0\r\n"
REQUEST = b"*IDN?\r\n"
TIMEOUT_S = 30


def answer(master, pace):
    if not pace:
        os.write(master, IDENTITY)
        return
    for byte in IDENTITY:
        os.write(master, bytes([byte]))
        time.sleep(10.0 / pace)


def serve(master, stop, received, pace):
    pending = b""
    while not stop.is_set():
        ready, _, _ = select.select([master], [], [], 0.02)
        if not ready:
            continue
        try:
            chunk = os.read(master, 256)
        except OSError:
            continue
        received.extend(chunk)
        pending += chunk
        while b"\n" in pending:
            _, pending = pending.split(b"\n", 1)
            answer(master, pace)


def main(command, pace=0):
    master, slave = os.openpty()
    tty.setraw(slave)  # the library sets raw mode at open as well
    env = dict(os.environ, TARVO_COM1=os.ttyname(slave))
    stop, received = threading.Event(), bytearray()
    peer = threading.Thread(target=serve, args=(master, stop, received, pace))
    peer.start()
    try:
        run = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             timeout=TIMEOUT_S)
    finally:
        stop.set()
        peer.join()
        os.close(slave)
        os.close(master)
    output = run.stdout.decode("utf-8", "replace")
    print(output, end="")
    faults = []
    if run.returncode != 0:
        faults.append(f"exit status {run.returncode}")
    if bytes(received) != REQUEST:
        faults.append(f"the instrument received {bytes(received)!r}, expected {REQUEST!r}")
    if IDENTITY.decode().strip() not in output:
        faults.append("the answer is missing from the output")
    for fault in faults:
        print(f"instrument_peer: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    arguments = sys.argv[1:]
    pace = 0
    if arguments[0] == "--pace":
        pace, arguments = int(arguments[1]), arguments[2:]
    sys.exit(main(arguments, pace))
