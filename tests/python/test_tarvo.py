"""The tarvo Python module against a peer on the master side of a pty.

Runs from a build tree (PYTHONPATH=build/<preset>/python) and against the
installed python3-tarvo package alike; TARVO_TEST_MODULE_DIR, when set, names
the folder the module under test must come from.
"""
import ctypes
import fcntl
import os
import select
import struct
import termios
import time
import tty

import pytest

import tarvo

TIMEOUT_S = 5.0


@pytest.fixture
def peer(monkeypatch):
    """The pty's master; COM1 is its slave."""
    master, slave = os.openpty()
    tty.setraw(slave)
    monkeypatch.setenv("TARVO_COM1", os.ttyname(slave))
    yield master, slave
    os.close(slave)
    os.close(master)


def receive(master, count):
    data = b""
    deadline = time.monotonic() + TIMEOUT_S
    while len(data) < count and time.monotonic() < deadline:
        if select.select([master], [], [], 0.05)[0]:
            data += os.read(master, count - len(data))
    return data


def line_speed(fd):
    """Output speed in bit/s, read with TCGETS2: the library sets exact rates
    through termios2, which the B-constants of tcgetattr do not show."""
    layout = "4IB19s2I"  # struct termios2: flags, c_line, c_cc, c_ispeed, c_ospeed
    tcgets2 = 0x802C542A
    return struct.unpack(layout, fcntl.ioctl(fd, tcgets2, bytes(struct.calcsize(layout))))[-1]


def wait_for_waiting(port, count):
    deadline = time.monotonic() + TIMEOUT_S
    while port.waiting < count and time.monotonic() < deadline:
        time.sleep(0.01)
    return port.waiting


def test_module_is_the_one_under_test():
    expected = os.environ.get("TARVO_TEST_MODULE_DIR")
    if expected:
        assert os.path.dirname(os.path.realpath(tarvo.__file__)) == os.path.realpath(expected)
    assert tarvo.__version__.count(".") == 2
    assert tarvo.library().sio_open.argtypes == [ctypes.c_int]


def test_port_exchanges_sets_the_line_and_closes(peer):
    master, slave = peer
    with tarvo.Port(1) as port:
        port.set(rate=19200, format="8N2")
        assert line_speed(slave) == 19200
        assert termios.tcgetattr(slave)[2] & termios.CSTOPB
        port.set(rate=250000)  # not in the rate table: through sio_baud
        assert line_speed(slave) == 250000
        assert not termios.tcgetattr(slave)[2] & termios.CSTOPB

        assert port.write(b"PING\r\n") == 6
        assert receive(master, 6) == b"PING\r\n"
        os.write(master, b"PONG\x00\r\n")
        assert wait_for_waiting(port, 7) == 7
        assert port.read(4) == b"PONG"
        assert port.read(100) == b"\x00\r\n"
        assert port.read(100) == b""
    assert tarvo.sio_iqueue(1) == tarvo.ERR_NOT_OPEN
    with tarvo.Port(1):  # closed, so it opens again
        pass


def test_failures_raise_error_with_code_and_name(peer):
    with pytest.raises(tarvo.Error) as failure:
        tarvo.Port(17).open()
    assert (failure.value.call, failure.value.code, failure.value.name) == ("sio_open", -20001, "ERR_BAD_PORT")
    with pytest.raises(tarvo.Error) as failure:
        tarvo.Port(2).waiting
    assert failure.value.code == tarvo.ERR_NOT_OPEN and "ERR_NOT_OPEN" in str(failure.value)

    with tarvo.Port(1) as port:
        try:
            with pytest.raises(tarvo.Error) as failure:
                tarvo.Port(2, com=1).open()  # COM1 is held by port 1
            assert failure.value.name == "ERR_OPEN_FAILED"
        finally:
            tarvo.sio_setComPortNo(2, -1)
        with pytest.raises(tarvo.Error) as failure:
            port.set(rate=-5)
        assert (failure.value.call, failure.value.code) == ("sio_baud", tarvo.ERR_BAD_PARAMETER)
        with pytest.raises(ValueError):
            port.set(rate=9600, format="9X1")


def test_functions_refuse_arguments_of_the_wrong_type():
    # Undeclared, a str would go to sio_write as a wide-character pointer.
    with pytest.raises(ctypes.ArgumentError):
        tarvo.sio_write(1, "text", 4)
    with pytest.raises(ctypes.ArgumentError):
        tarvo.sio_open(1.5)
