"""The tarvo module against pyserial, paired on one pty rig.

usage: python_bench.py ECHO_PEER [--blocks N] [--idle SECONDS]

ECHO_PEER (tarvo_pty_echo_peer) makes two pty pairs and echoes every byte
from one C thread; tarvo.Port holds one slave, serial.Serial the other. Each
case runs in blocks of BLOCK operations, the two sides alternating block by
block and taking turns at going first, so load that comes and goes falls on
both alike; the ratio of the two totals decides. Then one idle read(32,
timeout) on each, on a silent port: its CPU time and context switches.

Run with Debian's /usr/bin/python3 (pyserial is python3-serial) and the
build tree's module on PYTHONPATH: the bench_python target does both.
"""
import argparse
import resource
import subprocess
import sys
import time

import serial

import tarvo

REQUEST = b"0123456789abcdefghijklmnopqrstu\n"  # 32 bytes, a line
BLOCK = 50


class TarvoSide:
    name = "tarvo"

    def __init__(self, path):
        self.port = tarvo.Port(path).open()

    def roundtrip(self):
        self.port.write(REQUEST)
        return self.port.read(len(REQUEST), timeout=1.0)

    def readline(self):
        self.port.write(REQUEST)
        return self.port.readline(timeout=1.0)

    roundtrip_purging = roundtrip  # the purge is part of its write

    def idle_read(self, seconds):
        return self.port.read(32, timeout=seconds)

    def close(self):
        self.port.close()


class PyserialSide:
    name = "pyserial"

    def __init__(self, path):
        self.port = serial.Serial(path, 115200, timeout=1.0, exclusive=True)

    def roundtrip(self):
        self.port.write(REQUEST)
        return self.port.read(len(REQUEST))

    def readline(self):
        self.port.write(REQUEST)
        return self.port.readline()

    def roundtrip_purging(self):
        # The device work of Tarvo's write: a status read and an input purge first.
        self.port.in_waiting
        self.port.reset_input_buffer()
        return self.roundtrip()

    def idle_read(self, seconds):
        self.port.timeout = seconds
        try:
            return self.port.read(32)
        finally:
            self.port.timeout = 1.0

    def close(self):
        self.port.close()


def run_block(side, case):
    operation = getattr(side, case)
    start = time.perf_counter()
    for _ in range(BLOCK):
        if operation() != REQUEST:
            raise RuntimeError(f"{side.name} {case}: a short or wrong answer")
    return time.perf_counter() - start


def paired(sides, case, blocks):
    for side in sides:
        run_block(side, case)  # warm up
    totals = {side.name: 0.0 for side in sides}
    for block in range(blocks):
        order = sides if block % 2 == 0 else sides[::-1]
        for side in order:
            totals[side.name] += run_block(side, case)
    return {name: total / (blocks * BLOCK) for name, total in totals.items()}


def idle(side, seconds):
    before = resource.getrusage(resource.RUSAGE_THREAD)
    start = time.monotonic()
    if side.idle_read(seconds) != b"":
        raise RuntimeError(f"{side.name}: bytes on a silent port")
    elapsed = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_THREAD)
    cpu = (after.ru_utime + after.ru_stime) - (before.ru_utime + before.ru_stime)
    switches = (after.ru_nvcsw + after.ru_nivcsw) - (before.ru_nvcsw + before.ru_nivcsw)
    return elapsed, cpu, switches


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("peer")
    parser.add_argument("--blocks", type=int, default=20)
    parser.add_argument("--idle", type=float, default=5.0)
    options = parser.parse_args()

    peer = subprocess.Popen([options.peer, "2"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        paths = [peer.stdout.readline().strip() for _ in range(2)]
        sides = [TarvoSide(paths[0]), PyserialSide(paths[1])]
        print(f"paired on one pty rig, {options.blocks} blocks of {BLOCK} per side, C echo peer\n")
        print("| case | tarvo | pyserial | tarvo / pyserial |")
        print("|---|---|---|---|")
        for case, label in (("roundtrip", "write + read(32, timeout=1.0)"), ("readline", "write + readline()"),
                            ("roundtrip_purging", "write + read(32, timeout=1.0), pyserial also with the status read and input purge of sio_write")):
            per_op = paired(sides, case, options.blocks)
            ratio = per_op["tarvo"] / per_op["pyserial"]
            print(f"| {label} | {per_op['tarvo'] * 1e6:.1f} µs | {per_op['pyserial'] * 1e6:.1f} µs | {ratio:.2f} |")
        print(f"\n| idle read(32, timeout={options.idle:g}) | elapsed | CPU | context switches |")
        print("|---|---|---|---|")
        for side in sides:
            elapsed, cpu, switches = idle(side, options.idle)
            print(f"| {side.name} | {elapsed:.3f} s | {cpu * 1e3:.2f} ms | {switches} |")
        for side in sides:
            side.close()
    finally:
        peer.stdin.close()
        peer.wait(timeout=10)
    return 0


if __name__ == "__main__":
    sys.exit(main())
