"""The tarvo module against misuse: a wrong device, bad arguments, failed
constructions, buffers that are too small or immutable, and waits that must
sleep. Each pty's master plays the device; a byte on the wrong master is a
byte sent to another device."""
import ctypes
import os
import resource
import select
import subprocess
import sys
import threading
import time
import tty

import pytest

import tarvo

TIMEOUT_S = 5.0


class Pty:
    """A raw pty pair; `path` is the device the library opens."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def received(self, count=1 << 16, timeout=0.05):
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            data += os.read(self.master, count - len(data))
        return data

    def close(self):
        os.close(self.slave)
        os.close(self.master)


@pytest.fixture
def ptys(monkeypatch):
    """Two ptys: COM1 and COM5."""
    pair = Pty(), Pty()
    monkeypatch.setenv("TARVO_COM1", pair[0].path)
    monkeypatch.setenv("TARVO_COM5", pair[1].path)
    yield pair
    for pty in pair:
        pty.close()


def wait_for_waiting(port, count):
    deadline = time.monotonic() + TIMEOUT_S
    while port.waiting < count and time.monotonic() < deadline:
        time.sleep(0.005)
    return port.waiting


def free_numbers():
    return [n for n in range(1, 17) if tarvo.sio_term_irq(n) == tarvo.ERR_NOT_OPEN]


def test_a_port_opens_its_own_com_number_whatever_opened_before(ptys):
    com1, com5 = ptys
    with tarvo.Port(1, com=5) as port:
        port.write(b"for COM5")
    with tarvo.Port(1) as port:
        port.write(b"for COM1")
    assert com1.received(8, TIMEOUT_S) == b"for COM1"
    assert com5.received(16, TIMEOUT_S) == b"for COM5"


def test_failed_constructions_claim_nothing(ptys):
    com1, _ = ptys
    for _ in range(20):
        with pytest.raises(TypeError):
            tarvo.Port(com1.path.encode()).open()
        with pytest.raises(ValueError):
            tarvo.Port(com1.path + "\0").open()
        with pytest.raises(ValueError):
            tarvo.Port(1, com=2 ** 40).open()
        with pytest.raises(ValueError):
            tarvo.Port("COM%d" % 2 ** 40).open()
        with pytest.raises(TypeError):
            tarvo.Port(True).open()
    assert len(free_numbers()) == 16
    with tarvo.Port(com1.path) as port:
        assert port.write(b"opened") == 6
    assert com1.received(6, TIMEOUT_S) == b"opened"


def test_opening_a_path_writes_no_environment(ptys):
    com1, _ = ptys
    before = dict(os.environ)
    with tarvo.Port(com1.path):
        assert dict(os.environ) == before


def test_read_sizes_are_bounded_and_never_cut(ptys):
    com1, _ = ptys
    with tarvo.Port(1) as port:
        for size in (2 ** 31, 2 ** 32 + 2, 2 ** 70):
            os.write(com1.master, b"hello")
            assert wait_for_waiting(port, 5) == 5
            start = time.monotonic()
            assert port.read(size) == b"hello"
            assert port.read(size, timeout=0.05) == b""
            assert time.monotonic() - start < 1.0
        for size, error in ((-1, ValueError), (1.5, TypeError), (True, TypeError), ("4", TypeError)):
            with pytest.raises(error):
                port.read(size)
        with pytest.raises(ValueError):
            port.read(4, timeout=-1)
        with pytest.raises(ValueError):
            port.readline(timeout=float("nan"))
        with pytest.raises(TypeError):
            port.readline(max=True)


def test_ints_are_not_bytes(ptys):
    com1, _ = ptys
    with tarvo.Port(1) as port:
        for call in (lambda: port.write(5), lambda: port.send(3), lambda: port.write(True),
                     lambda: port.write("text"), lambda: port.readline(end=3, timeout=0.01)):
            with pytest.raises(TypeError):
                call()
        assert com1.received() == b""
        assert port.write(bytearray(b"ab")) + port.send(memoryview(b"cd")) == 4
        assert com1.received(4, TIMEOUT_S) == b"abcd"


RAW_BUFFERS = r"""
import ctypes, os, sys, time, tty
import tarvo
master, slave = os.openpty()
tty.setraw(slave)
os.environ["TARVO_COM1"] = os.ttyname(slave)
assert tarvo.sio_open(1) == 0
os.write(master, b"x" * 4000)
while tarvo.sio_iqueue(1) < 4000:
    time.sleep(0.001)
immutable = b"ab"
for call in (lambda: tarvo.sio_read(1, immutable, 4000), lambda: tarvo.sio_read(1, b"\0" * 9, 9),
             lambda: tarvo.sio_read(1, 5, 4)):
    try:
        call()
        sys.exit("an immutable buffer was written")
    except TypeError:
        pass
assert immutable == b"ab" and tarvo.sio_iqueue(1) == 4000
for call in (lambda: tarvo.sio_read(1, bytearray(2), 4000), lambda: tarvo.sio_read(1, ctypes.create_string_buffer(3), 4),
             lambda: tarvo.sio_write(1, b"ab", 4000), lambda: tarvo.sio_setComPortNo(1, 2 ** 40)):
    try:
        call()
        sys.exit("a call went past its buffer or range")
    except ValueError:
        pass
target = bytearray(6)
assert tarvo.sio_read(1, target, 6) == 6 and target == b"xxxxxx"
target = ctypes.create_string_buffer(4)
assert tarvo.sio_read(1, target, 4) == 4 and target.raw == b"xxxx"
assert tarvo.sio_write(1, memoryview(b"abc"), 3) == 3 and os.read(master, 3) == b"abc"
print("ok")
"""


def test_raw_functions_never_write_past_or_into_an_immutable_buffer():
    # A crash of the interpreter is the fault to catch: in a process of its own.
    run = subprocess.run([sys.executable, "-c", RAW_BUFFERS], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout.strip()) == (0, "ok"), run.stderr


def test_a_pty_has_no_status_lines(ptys):
    with tarvo.Port(1) as port:
        with pytest.raises(tarvo.Error) as failure:
            port.cts
        assert failure.value.code == tarvo.ERR_STATUS_FAILED
        assert "no modem status lines" in str(failure.value)


def test_an_idle_timed_read_sleeps_until_its_end(ptys):
    with tarvo.Port(1) as port:
        usage = resource.getrusage(resource.RUSAGE_THREAD)
        start = time.monotonic()
        assert port.read(32, timeout=0.5) == b""
        after = resource.getrusage(resource.RUSAGE_THREAD)
    assert time.monotonic() - start >= 0.49
    assert after.ru_nvcsw - usage.ru_nvcsw <= 5  # woken at the end only, not every few ms
    assert (after.ru_utime + after.ru_stime) - (usage.ru_utime + usage.ru_stime) < 0.05


def test_waits_end_when_the_answer_is_whole(ptys):
    com1, _ = ptys
    with tarvo.Port(1) as port:
        threading.Timer(0.05, os.write, (com1.master, b"ab")).start()
        threading.Timer(0.1, os.write, (com1.master, b"cd\nef")).start()
        start = time.monotonic()
        assert port.read(4, timeout=TIMEOUT_S) == b"abcd"
        assert port.readline(timeout=TIMEOUT_S) == b"\n"
        assert time.monotonic() - start < 1.0
        assert port.readline(timeout=0.1) == b"ef"


def test_a_hung_up_line_ends_a_wait_at_once(ptys):
    com1, _ = ptys
    with tarvo.Port(1) as port:
        os.write(com1.master, b"last")
        assert port.read(4, timeout=TIMEOUT_S) == b"last"
        threading.Timer(0.05, os.close, (com1.master,)).start()
        start = time.monotonic()
        with pytest.raises(tarvo.Error) as failure:
            port.read(10, timeout=TIMEOUT_S)
        assert "hung up" in str(failure.value)
        with pytest.raises(tarvo.Error):
            port.readline(timeout=TIMEOUT_S)
        assert time.monotonic() - start < 2.0
    com1.master = os.open("/dev/null", os.O_RDONLY)  # for the fixture to close


def test_a_port_number_held_by_another_port_is_refused(ptys):
    com1, com5 = ptys
    with tarvo.Port(1) as first:
        with pytest.raises(tarvo.Error):
            tarvo.Port(1, com=5).open()
        first.write(b"still")
    assert com1.received(5, TIMEOUT_S) == b"still"
    assert com5.received() == b""


def test_a_closed_port_refuses_every_call():
    port = tarvo.Port("/dev/null")
    for call in (lambda: port.write(b"x"), lambda: port.read(1), lambda: port.waiting):
        with pytest.raises(tarvo.Error) as failure:
            call()
        assert failure.value.code == tarvo.ERR_NOT_OPEN
