#!/usr/bin/env python3
"""Tarvo.dll under 32-bit Wine on the 8250 UART, inside tests/vm/vm.py.

    win32_uart.py TARVO_EXE STORE

tarvo.exe (`tarvo run -`, every call through Tarvo.dll) opens COM2, which
the prefix maps to /dev/ttyS1 in HKLM\\Software\\Wine\\Ports; after each call
the driver's settings and modem lines are read from a descriptor of
/dev/ttyS1 held here, so what Wine made of the DLL's requests is what the
8250 driver holds. Exits 77 where this kernel runs no 32-bit programs.
"""

import array
import fcntl
import os
import subprocess
import sys
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WINE = os.path.join(HERE, "..", "windows", "wine.sh")
RUN_UNDER_WINE = os.path.join(HERE, "..", "windows", "run-under-wine.sh")
DEVICE = "/dev/ttyS1"
CMSPAR = 0o10000000000  # not in Python's termios
SPEEDS = {getattr(termios, "B%d" % rate): rate for rate in (9600, 19200, 115200)}

# The call, then what the driver must hold after it: (format, rate) or the
# (RTS, DTR) lines.
STEPS = [
    ("ioctl 2 12 0x1A", ("7E1", 9600)),
    ("ioctl 2 16 0x0F", ("8O2", 115200)),
    ("ioctl 2 12 0x2B", ("8M1", 9600)),
    ("ioctl 2 13 0x3B", ("8S1", 19200)),
    ("RTS 2 0", (0, 1)),
    ("DTR 2 0", (0, 0)),
    ("RTS 2 1", (1, 0)),
    ("DTR 2 1", (1, 1)),
]


def format_of(cflag):
    bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
    parity = "N"
    if cflag & termios.PARENB:
        odd = bool(cflag & termios.PARODD)
        parity = ("M" if odd else "S") if cflag & CMSPAR else ("O" if odd else "E")
    return "%d%s%d" % (bits, parity, 2 if cflag & termios.CSTOPB else 1)


def main():
    exe, store = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    # In the machine's memory, over the read-only host tree (see win32-suites.sh).
    prefix = os.path.join(os.path.dirname(os.path.dirname(exe)), "wineprefix-uart")
    checked = subprocess.run([WINE, "--check", exe], stdout=subprocess.PIPE, text=True)
    if checked.returncode != 0:
        print(checked.stdout.strip())
        return checked.returncode
    started = time.monotonic()
    subprocess.run([RUN_UNDER_WINE, "--prefix", prefix, "--store", store, "--com", "2=" + DEVICE, "--init"],
                   check=True)
    print("win32 uart: prefix ready after %.1f s" % (time.monotonic() - started), flush=True)

    observer = os.open(DEVICE, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", DISPLAY="")
    # Tarvo.dll is found in the current folder: the build tree's top.
    tool = subprocess.Popen([WINE, exe, "run", "-"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                            env=env, cwd=os.path.dirname(os.path.dirname(exe)))

    def call(line):
        tool.stdin.write(line + "\n")
        tool.stdin.flush()
        answer = tool.stdout.readline().strip()
        return int(answer.split()[0]) if answer else None

    failures = 0
    if call("open 2") != 0:
        print("FAILED: open 2 through Wine's COM2 =", DEVICE)
        return 1
    for line, expected in STEPS:
        result = call(line)
        cflag = termios.tcgetattr(observer)[2]
        bits = array.array("i", [0])
        fcntl.ioctl(observer, termios.TIOCMGET, bits)
        rts, dtr = int(bool(bits[0] & termios.TIOCM_RTS)), int(bool(bits[0] & termios.TIOCM_DTR))
        held = (format_of(cflag), SPEEDS.get(termios.tcgetattr(observer)[5])) if line.startswith("ioctl") else (rts, dtr)
        verdict = "ok" if result == 0 and held == expected else "FAILED (expected %s)" % (expected,)
        failures += verdict != "ok"
        print("Tarvo.dll under Wine, %s: %s; the 8250 driver holds %s %s, RTS %d DTR %d: %s"
              % (line, result, format_of(cflag), SPEEDS.get(termios.tcgetattr(observer)[5], "?"), rts, dtr, verdict),
              flush=True)
    call("close 2")
    tool.stdin.close()
    tool.wait(timeout=120)
    print("win32 uart: done after %.1f s" % (time.monotonic() - started))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
