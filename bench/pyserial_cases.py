"""pyserial on a pseudo-terminal, timing itself; run by tarvo_bench.

usage: pyserial_cases.py SLAVE CASE COUNT BULK_BYTES
Prints "ready fill" / "ready stream" when the harness should feed the port,
then "result SECONDS OPS". Each case does the device work of its Tarvo
counterpart with pyserial's own calls.
"""
import sys
import time

import serial

REQUEST = b"0123456789abcdefghijklmnopqrstu\0"


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def in_waiting(port, count):
    say("ready fill")
    while port.in_waiting < len(REQUEST):
        pass
    for _ in range(count // 10):
        port.in_waiting
    t0 = time.perf_counter()
    for _ in range(count):
        port.in_waiting
    return time.perf_counter() - t0, count


def exchange(port):
    # Tarvo's write: status read, purge of both queues, write, drain; then
    # poll for the answer and take it.
    port.in_waiting
    port.reset_input_buffer()
    port.reset_output_buffer()
    port.write(REQUEST)
    port.flush()
    while port.in_waiting < len(REQUEST):
        pass
    port.in_waiting
    if len(port.read(len(REQUEST))) != len(REQUEST):
        raise RuntimeError("short answer")


def roundtrip(port, count):
    for _ in range(count // 10):
        exchange(port)
    t0 = time.perf_counter()
    for _ in range(count):
        exchange(port)
    return time.perf_counter() - t0, count


def bulk(port, total):
    got = 0
    say("ready stream")
    t0 = time.perf_counter()
    while got < total:
        n = port.in_waiting
        if n:
            got += len(port.read(n))
    return time.perf_counter() - t0, 1


def main():
    slave, case, count, total = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    # timeout=0: reads take what waits and never block, as Tarvo's do.
    port = serial.Serial(slave, 9600, timeout=0)
    if case == "in_waiting":
        seconds, ops = in_waiting(port, count)
    elif case == "roundtrip":
        seconds, ops = roundtrip(port, count)
    elif case == "bulk":
        seconds, ops = bulk(port, total)
    else:
        raise SystemExit("unknown case " + case)
    port.close()
    say("result %.9f %d" % (seconds, ops))


if __name__ == "__main__":
    main()
