#!/usr/bin/python3
"""Runs a program against a simulated instrument on a pseudo-terminal.

    instrument_peer.py [--pace BITS_PER_S] COMMAND [ARG...]

TARVO_COM1 names the pty's slave for COMMAND; the peer answers every request
line it receives on the master side with IDENTITY. Passes (exit 0) when
COMMAND exits 0, the peer received exactly the request "*IDN?\\r\\n" and
COMMAND printed the answer it was sent. With --pace the answer goes out a byte
at a time, ten bits each at that rate, as a real line brings it; a run in
which this process itself stalled between two bytes long enough for a reader
to take the line as quiet (a loaded machine) brought no line pace, and is
repeated, up to three runs in all.
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
STALL_S = 0.025  # half the quiet gap of the examples' `wait 1 1 2000 50`
RUNS = 3


def answer(master, pace, stalls):
    if not pace:
        os.write(master, IDENTITY)
        return
    last = None
    for byte in IDENTITY:
        os.write(master, bytes([byte]))
        now = time.monotonic()
        if last is not None and now - last > STALL_S:
            stalls.append(now - last)
        last = now
        time.sleep(10.0 / pace)


def serve(master, stop, received, pace, stalls):
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
            answer(master, pace, stalls)


def run_once(command, pace):
    """COMMAND against the instrument: its faults, and the peer's stalls in seconds."""
    master, slave = os.openpty()
    tty.setraw(slave)  # the library sets raw mode at open as well
    env = dict(os.environ, TARVO_COM1=os.ttyname(slave))
    stop, received, stalls = threading.Event(), bytearray(), []
    peer = threading.Thread(target=serve, args=(master, stop, received, pace, stalls))
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
    return faults, stalls


def main(command, pace=0):
    for run in range(1, RUNS + 1):
        faults, stalls = run_once(command, pace)
        if not faults or not stalls or run == RUNS:
            break
        print(f"instrument_peer: this peer stalled {max(stalls) * 1000:.0f} ms between two bytes of the answer,"
              " so the line kept no pace; run again", file=sys.stderr)
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
