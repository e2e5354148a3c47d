#!/usr/bin/env python3
"""The typical exchange with an instrument on port 1, through ctypes.

Opens port 1, sets 9600 bit/s 8N1, sends one request line, polls until the
answer line has arrived, reads it and closes. On Linux, COM1 is the device
named by TARVO_COM1 (else /dev/ttyS0).

    exchange.py [REQUEST]       REQUEST defaults to *IDN?

The library is TARVO_LIBRARY if that is set, else libtarvo.so.1 (Linux) or
Tarvo.dll (Windows, beside this script or on PATH).
"""
import ctypes
import os
import sys
import time

PORT = 1
RATE_9600 = 12      # index into the rate table of sio_ioctl
MODE_8N1 = 0x03     # 8 data bits, 1 stop bit, no parity
ANSWER_TIMEOUT_S = 2.0

ERRORS = {
    -20001: "ERR_BAD_PORT", -20002: "ERR_OPEN_FAILED", -20003: "ERR_SETUP_FAILED",
    -20004: "ERR_NOT_OPEN", -20005: "ERR_CLOSE_FAILED", -20006: "ERR_STATUS_FAILED",
    -20007: "ERR_NO_DATA", -20008: "ERR_GET_STATE_FAILED", -20009: "ERR_SET_STATE_FAILED",
    -20010: "ERR_BAD_PARAMETER", -20011: "ERR_PURGE_FAILED",
}

# Every function returns int; the port number comes first.
c_int, c_char_p = ctypes.c_int, ctypes.c_char_p
SIGNATURES = {
    "sio_setComPortNo": [c_int, c_int],
    "sio_open": [c_int],
    "sio_close": [c_int],
    "sio_term_irq": [c_int],
    "sio_iqueue": [c_int],
    "sio_getch": [c_int],
    "sio_read": [c_int, ctypes.POINTER(ctypes.c_char), c_int],  # written into
    "sio_write": [c_int, c_char_p, c_int],
    "sio_flush": [c_int, c_int],
    "sio_baud": [c_int, c_int],
    "sio_ioctl": [c_int, c_int, c_int],
    "sio_flowctrl": [c_int, c_int],
    "sio_RTS": [c_int, c_int],
    "sio_DTR": [c_int, c_int],
    "sio_enableat": [c_int],
    "sio_disableat": [c_int],
}


class TarvoError(Exception):
    def __init__(self, call, code):
        super().__init__(f"{call} returned {code} {ERRORS.get(code, '')}".rstrip())
        self.code = code


def load_tarvo():
    """Loads the library and declares the argument and result types."""
    path = os.environ.get("TARVO_LIBRARY")
    if not path:
        if os.name == "nt":
            here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "Tarvo.dll")
            path = here if os.path.exists(here) else "Tarvo.dll"
        else:
            path = "libtarvo.so.1"
    # The functions use the C calling convention (cdecl): CDLL, also on Windows.
    lib = ctypes.CDLL(path)
    for name, argtypes in SIGNATURES.items():
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = c_int
    return lib


def check(call, result):
    if result < 0:
        raise TarvoError(call, result)
    return result


def exchange(tarvo, request):
    line = request.encode("ascii") + b"\r\n"
    check("sio_open", tarvo.sio_open(PORT))
    try:
        check("sio_ioctl", tarvo.sio_ioctl(PORT, RATE_9600, MODE_8N1))
        # Every write first empties both queues: the answer starts from nothing.
        sent = check("sio_write", tarvo.sio_write(PORT, line, len(line)))
        if sent != len(line):
            raise TarvoError("sio_write", sent)

        # Receiving never waits, so poll until the line ending has arrived.
        answer = b""
        buffer = ctypes.create_string_buffer(256)
        deadline = time.monotonic() + ANSWER_TIMEOUT_S
        while not answer.endswith(b"\n") and time.monotonic() < deadline:
            if check("sio_iqueue", tarvo.sio_iqueue(PORT)) == 0:
                time.sleep(0.01)
                continue
            count = check("sio_read", tarvo.sio_read(PORT, buffer, len(buffer)))
            answer += buffer.raw[:count]
        return answer
    finally:
        tarvo.sio_close(PORT)


def main(argv):
    request = argv[1] if len(argv) > 1 else "*IDN?"
    try:
        answer = exchange(load_tarvo(), request)
    except (OSError, TarvoError) as error:
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
