"""Two threads, each with a port of its own, through the tarvo Python module:
ROUNDS requests "Q<n>?\r" on each, each answer waited for and read whole.
Prints "<port> <calls>" per port: how many library calls its thread made.
    two_ports.py PORT_A PORT_B ROUNDS
"""
import ctypes
import sys
import threading
import time

import tarvo


def converse(port, rounds, counts):
    calls = 0
    assert tarvo.sio_open(port) == 0
    assert tarvo.sio_ioctl(port, 16, 0x03) == 0
    calls += 2
    buffer = (ctypes.c_char * 64)()
    for n in range(1, rounds + 1):
        request = f"Q{n}?\r".encode()
        answer = len(f"A{n}:xyz\r\n")
        assert tarvo.sio_write(port, request, len(request)) == len(request)
        calls += 1
        deadline = time.monotonic() + 2.0
        while True:
            waiting = tarvo.sio_iqueue(port)
            calls += 1
            if waiting >= answer or time.monotonic() > deadline:
                break
            time.sleep(0.001)
        assert tarvo.sio_read(port, buffer, 64) == answer
        calls += 1
    assert tarvo.sio_close(port) == 0
    counts[port] = calls + 1


def main():
    port_a, port_b, rounds = (int(arg) for arg in sys.argv[1:4])
    counts = {}
    threads = [threading.Thread(target=converse, args=(port, rounds, counts)) for port in (port_a, port_b)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for port in (port_a, port_b):
        print(port, counts[port])
    return 0 if len(counts) == 2 else 1


if __name__ == "__main__":
    sys.exit(main())
