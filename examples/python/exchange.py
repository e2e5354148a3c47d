#!/usr/bin/env python3
"""The typical exchange with an instrument on port 1, through the tarvo module.

Opens port 1, sets 9600 bit/s 8N1, sends one request line, waits until the
answer line has arrived, reads it and closes. On Linux, COM1 is the device
named by TARVO_COM1 (else /dev/ttyS0).

    exchange.py [REQUEST]       REQUEST defaults to *IDN?

With the python3-tarvo package installed, `python3 exchange.py`; from a build
tree, `PYTHONPATH=build/native/python python3 examples/python/exchange.py`.
"""
import sys

import tarvo

ANSWER_TIMEOUT_S = 2.0


def exchange(port, request):
    # Every write first empties both queues: the answer starts from nothing.
    line = request.encode("ascii") + b"\r\n"
    sent = port.write(line)
    if sent != len(line):
        raise RuntimeError(f"sio_write sent {sent} of {len(line)} bytes")

    # readline sleeps until the line ending has arrived or the time is up.
    return port.readline(timeout=ANSWER_TIMEOUT_S)


def main(argv):
    request = argv[1] if len(argv) > 1 else "*IDN?"
    try:
        with tarvo.Port(1) as port:
            port.set(rate=9600, format="8N1")
            answer = exchange(port, request)
    except (OSError, RuntimeError, tarvo.Error) as error:
        print(f"exchange.py: {error}", file=sys.stderr)
        return 1
    if not answer.endswith(b"\n"):
        print(f"exchange.py: no answer within {ANSWER_TIMEOUT_S:g} s ({len(answer)} bytes)", file=sys.stderr)
        return 1
    print(f"request: {request}")
    print(f"answer:  {answer.decode('ascii', 'replace')}", end="")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
