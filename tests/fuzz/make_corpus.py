#!/usr/bin/env python3
"""Writes the API fuzzer's seed corpus (tests/fuzz/corpus/) from the scenarios
below, in the input encoding that api_fuzzer.cpp decodes:

  a step is one byte (its number modulo the step count) and its arguments;
  an integer is a tag byte and then 0: a signed byte, 1: four bytes little
  endian, 2: an index into the fuzzer's table of interesting values,
  3: an unsigned byte. A port number is a byte: below 0xF0 it names port
  1 + byte % 16, else an integer follows.

Run it after changing the encoding: python3 tests/fuzz/make_corpus.py
"""
import os
import struct

STEPS = ["setComPortNo", "open", "close", "term_irq", "iqueue", "getch", "read", "write", "flush", "baud",
         "ioctl", "flowctrl", "RTS", "DTR", "enableat", "disableat",
         "fail_by_name", "fail_upcoming", "clear_failures", "receive", "queue_override", "pending",
         "write_limit", "last_error"]
CALLS = ["CreateFileA", "SetupComm", "CloseHandle", "CreateEventA", "ClearCommError", "PurgeComm", "ReadFile",
         "WriteFile", "GetLastError", "GetOverlappedResult", "GetCommState", "SetCommState", "SetCommTimeouts"]


def integer(value):
    if -128 <= value <= 127:
        return bytes([0, value & 0xFF])
    return bytes([1]) + struct.pack("<I", value & 0xFFFFFFFF)


def port(number):
    return bytes([number - 1]) if 1 <= number <= 16 else bytes([0xF0]) + integer(number)


def step(name, *args):
    out = bytes([STEPS.index(name)])
    if STEPS.index(name) < 16:  # the sio_ functions: the port number first
        out += port(args[0])
        args = args[1:]
    for arg in args:
        out += arg if isinstance(arg, bytes) else integer(arg)
    return out


def flag(value):
    return bytes([value])


def fail(*names):
    mask = sum(1 << CALLS.index(name) for name in names)
    return step("fail_by_name", struct.pack("<H", mask))


def receive(data):
    return step("receive", bytes([len(data)]) + data)


INT_MIN, INT_MAX = -2**31, 2**31 - 1

SCENARIOS = {
    "exchange": [step("open", 1), step("ioctl", 1, 12, 0x03), step("write", 1, 7, flag(0)),
                 receive(b"TARVO,1\r\n"), step("iqueue", 1), step("getch", 1), step("read", 1, 64, flag(0)),
                 step("flush", 1, 2), step("close", 1), step("iqueue", 1)],
    "open_failures": [fail("SetupComm"), step("open", 2), step("term_irq", 2), step("clear_failures"),
                      step("close", 2), step("fail_upcoming", bytes([0])), step("open", 3), step("open", 3),
                      fail("CloseHandle"), step("close", 3), step("open", 3), step("clear_failures"),
                      fail("CreateEventA"), step("open", 4)],
    "pending_transfers": [step("open", 5), step("pending", flag(3)), receive(b"\x00\xffabc"), step("getch", 5),
                          step("read", 5, INT_MAX, flag(0)), step("write", 5, 5, flag(0)),
                          fail("GetOverlappedResult"), step("read", 5, 4, flag(0)),
                          step("last_error", flag(1)), fail("ReadFile"), step("getch", 5)],
    "queue_counts": [step("open", 6), step("queue_override", flag(0) + struct.pack("<I", 0xFFFFFFFF)),
                     step("iqueue", 6), step("read", 6, INT_MAX, flag(0)), step("read", 6, INT_MIN, flag(0)),
                     step("queue_override", flag(1)), receive(b"x" * 40), step("read", 6, 16, flag(1)),
                     step("write", 6, INT_MAX, flag(0)), step("write", 6, -1, flag(0)),
                     step("write_limit", 2), step("write", 6, 9, flag(0))],
    "bad_ports": [step(name, port) for port in (0, 17, -1, INT_MIN, INT_MAX)
                  for name in ("open", "close", "term_irq", "iqueue", "getch", "enableat")]
                 + [step("setComPortNo", 0, 3), step("flush", 17, 2), step("baud", INT_MIN, 9600)],
    "mapping": [step("setComPortNo", 1, 3), step("setComPortNo", 2, 3), step("open", 1), step("open", 2),
                step("setComPortNo", 1, INT_MAX), step("open", 1), step("setComPortNo", 2, -5), step("open", 2),
                step("open", 2), step("close", 1), step("close", 2)],
    "line_settings": [step("open", 16), step("baud", 16, 921600), step("baud", 16, 921601), step("ioctl", 16, 20, 0),
                      step("ioctl", 16, 19, 0x3F), step("flowctrl", 16, 3), step("RTS", 16, 0), step("DTR", 16, 5),
                      step("enableat", 16), receive(b"\x00\x00A"), step("getch", 16), step("getch", 16),
                      step("disableat", 16), fail("GetCommState"), step("baud", 16, 0), step("clear_failures"),
                      fail("SetCommState", "SetCommTimeouts"), step("ioctl", 16, 12, 3),
                      step("flush", 16, 3), step("flush", 16, -1)],
}

if __name__ == "__main__":
    directory = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(directory, exist_ok=True)
    for name, steps in SCENARIOS.items():
        with open(os.path.join(directory, name), "wb") as out:
            out.write(b"".join(steps))
