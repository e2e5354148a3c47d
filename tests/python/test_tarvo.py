"""The tarvo Python module against a peer on the master side of a pty.

Runs from a build tree (PYTHONPATH=build/<preset>/python) and against the
installed python3-tarvo package alike; TARVO_TEST_MODULE_DIR, when set, names
the folder the module under test must come from.
"""
import ctypes
import fcntl
import os
import select
import socket
import struct
import termios
import threading
import time
import tty

import pytest

import tarvo

TIMEOUT_S = 5.0


@pytest.fixture
def pty_pair():
    """A raw pty: (master, slave, the slave's path)."""
    master, slave = os.openpty()
    tty.setraw(slave)
    yield master, slave, os.ttyname(slave)
    os.close(slave)
    os.close(master)


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


def test_failed_set_changes_nothing(peer):
    master, slave = peer
    with tarvo.Port(1) as port:
        port.set(rate=115200, format="8N2")
        with pytest.raises(tarvo.Error) as failure:
            port.set(rate=1000000)
        assert (failure.value.call, failure.value.code) == ("sio_baud", tarvo.ERR_BAD_PARAMETER)
        with pytest.raises(ValueError):
            port.set(rate=250000, format="8X1")
        assert line_speed(slave) == 115200
        assert termios.tcgetattr(slave)[2] & termios.CSTOPB


def test_paths_open_on_free_port_numbers_given_back_at_close(peer, pty_pair):
    master, _, path = pty_pair
    with tarvo.Port(1), tarvo.Port(path) as port:
        assert port.number == 2  # 1 is open
        assert port.write(b"by path") == 7
        assert receive(master, 7) == b"by path"
    assert port.number is None
    with pytest.raises(tarvo.Error):
        tarvo.Port(path + "-gone").open()
    assert not [name for name in os.environ if name.startswith("TARVO_COM10")]
    with tarvo.Port(path) as port:  # free again, and so is its number
        assert port.number == 1


def test_open_failures_say_why(peer, tmp_path):
    missing, regular = str(tmp_path / "ttyUSB7"), tmp_path / "file"
    regular.write_bytes(b"")
    with tarvo.Port(1):
        for target, cause in ((missing, tarvo.CAUSE_NOT_FOUND), (str(regular), tarvo.CAUSE_NOT_SERIAL),
                              (os.ttyname(peer[1]), tarvo.CAUSE_BUSY)):
            with pytest.raises(tarvo.Error) as failure:
                tarvo.Port(target).open()
            assert (failure.value.code, failure.value.cause) == (tarvo.ERR_OPEN_FAILED, cause), target
            assert target in failure.value.reason and failure.value.reason in str(failure.value)
    assert tarvo.cause_text(tarvo.CAUSE_BUSY)


def test_reads_wait_up_to_their_timeout(peer):
    master, _ = peer
    with tarvo.Port(1) as port:
        threading.Timer(0.2, os.write, (master, b"abc\r\nde")).start()
        start = time.monotonic()
        assert port.readline(timeout=TIMEOUT_S) == b"abc\r\n"
        assert 0.15 < time.monotonic() - start < TIMEOUT_S
        start = time.monotonic()
        assert port.readline(timeout=0.3) == b"de"  # no line end in time
        assert port.read(4, timeout=0.3) == b""
        assert 0.55 < time.monotonic() - start < 0.55 + TIMEOUT_S
        threading.Timer(0.1, os.write, (master, b"wxyz!")).start()
        assert port.read(4, timeout=TIMEOUT_S) == b"wxyz"
        assert port.read(4) == b"!"


def test_control_lines_and_a_pty_without_status_lines(peer):
    with tarvo.Port(1) as port:
        port.rts, port.dtr = False, True
        assert (port.rts, port.dtr) == (False, True)
        # Platform: a pty has no modem status lines (TIOCMGET fails on it).
        with pytest.raises(tarvo.Error) as failure:
            port.cts
        assert failure.value.code == tarvo.ERR_STATUS_FAILED
        with pytest.raises(tarvo.Error):
            port.break_(0)  # 1..5000 ms


IAC, SB, SE, COM_PORT = 255, 250, 240, 44


class ComPortServer(threading.Thread):
    """An RFC 2217 server on the loopback that agrees to every setting
    (echoes it; queries answer 9600 8N1, DTR on), reports the status lines
    `modem_state` once the port has opened, and records every SET-CONTROL."""

    def __init__(self, modem_state):
        super().__init__(daemon=True)
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.url = "rfc2217://127.0.0.1:%d" % self.listener.getsockname()[1]
        self.modem_state, self.controls = modem_state, []

    def answer(self, value):
        code, rest = value[0], bytearray(value[1:])
        if value == bytes([1, 0, 0, 0, 0]):
            rest = bytearray([0, 0, 0x25, 0x80])
        elif code == 5:
            self.controls.append((rest[0], time.monotonic()))
            rest = bytearray([{7: 8, 0: 1}.get(rest[0], rest[0])])  # asked: DTR on, no flow control
        elif len(rest) == 1 and rest[0] == 0:
            rest[0] = 8 if code == 2 else 1
        return bytes([IAC, SB, COM_PORT, code + 100]) + bytes(rest).replace(b"\xff", b"\xff\xff") + bytes([IAC, SE])

    def run(self):
        connection, _ = self.listener.accept()
        connection.sendall(bytes([IAC, 251, 3, IAC, 253, 3, IAC, 251, 0, IAC, 253, 0, IAC, 253, COM_PORT]))
        pending, answers = b"", 0
        while True:
            try:
                data = connection.recv(4096)
            except ConnectionResetError:
                data = b""  # the port closed
            if not data:
                connection.close()
                self.listener.close()
                return
            pending += data
            while IAC in pending:
                at = pending.index(IAC)
                if pending[at + 1:at + 2] != bytes([SB]):
                    pending = pending[at + (3 if pending[at + 1:at + 2] and pending[at + 1] >= 251 else 2):]
                    continue
                end = pending.find(bytes([IAC, SE]), at)
                if end < 0:
                    break
                connection.sendall(self.answer(pending[at + 3:end].replace(b"\xff\xff", b"\xff")))
                pending, answers = pending[end + 2:], answers + 1
                if answers == 6:
                    connection.sendall(bytes([IAC, SB, COM_PORT, 107, self.modem_state, IAC, SE]))


def test_status_lines_and_break_of_a_network_port():
    server = ComPortServer(modem_state=0x10 | 0x80)  # CTS and DCD
    server.start()
    with tarvo.Port(server.url) as port:
        deadline = time.monotonic() + TIMEOUT_S
        while time.monotonic() < deadline:
            try:
                status = port.modem_status()
                break
            except tarvo.Error:
                time.sleep(0.01)  # not reported yet
        assert status == tarvo.CTS | tarvo.DCD
        assert (port.cts, port.dsr, port.ri, port.dcd) == (True, False, False, True)
        port.break_(50)
        deadline = time.monotonic() + TIMEOUT_S
        while [value for value, _ in server.controls[-2:]] != [5, 6] and time.monotonic() < deadline:
            time.sleep(0.01)  # break off may still be on its way
        (on, at_on), (off, at_off) = server.controls[-2:]
        assert (on, off) == (5, 6) and at_off - at_on >= 0.04  # break on, 50 ms, break off
