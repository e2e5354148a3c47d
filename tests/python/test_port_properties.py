"""Property tests of tarvo.Port against a model of the ports on real ptys.

Three ptys are the devices: COM1 and COM2 reach the first two through
TARVO_COM1 and TARVO_COM2, the third only by its path. Hypothesis runs any
sequence of Port constructions, opens, closes, writes, reads and bad
arguments, and after each step checks the model: no crash, every byte on the
device of the Port that sent it and on no other, the documented exception
for each bad argument, and nothing held after a failure. The raw functions
are run against buffers of every kind and length."""
import ctypes
import os
import select
import termios
import time
import tty

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule  # noqa: E402

import tarvo  # noqa: E402

TIMEOUT_S = 2.0
EXAMPLES = settings(max_examples=30, stateful_step_count=16, deadline=None, database=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


class Device:
    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def drain_input(self):
        """Empties what the device sent and no port read (a run before left it)."""
        termios.tcflush(self.slave, termios.TCIFLUSH)

    def take(self, count, timeout):
        """What the device received: up to count bytes within timeout."""
        data = b""
        deadline = time.monotonic() + timeout
        while len(data) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                break
            data += os.read(self.master, count - len(data))
        return data


DEVICES = [Device() for _ in range(3)]


@pytest.fixture(scope="module", autouse=True)
def mapped_devices():
    saved = {name: os.environ.get(name) for name in ("TARVO_COM1", "TARVO_COM2")}
    os.environ["TARVO_COM1"], os.environ["TARVO_COM2"] = DEVICES[0].path, DEVICES[1].path
    yield
    for name, value in saved.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value


# How each good Port is made, and the device (index) it reaches.
GOOD_PORTS = [((1,), {}, 0), ((2,), {}, 1), ((1,), {"com": 2}, 1), ((2,), {"com": 1}, 0),
              (("COM2",), {}, 1), ((DEVICES[2].path,), {}, 2), ((DEVICES[0].path,), {}, 0)]
# Bad constructions and the exception each must raise at once.
BAD_PORTS = [((DEVICES[2].path.encode(),), {}, TypeError), ((DEVICES[2].path + "\0",), {}, ValueError),
             ((1,), {"com": 2 ** 40}, ValueError), ((1,), {"com": 0}, ValueError), ((True,), {}, TypeError),
             (("COM99999999999",), {}, ValueError), ((1.0,), {}, TypeError), ((1,), {"com": "2"}, TypeError),
             ((DEVICES[2].path,), {"com": 1}, TypeError), (("x" * 300,), {}, ValueError)]
BAD_DATA = st.sampled_from([5, True, 0, "text", None, 3.0, [1, 2]])
BAD_SIZES = st.sampled_from([(-1, ValueError), (True, TypeError), (2.0, TypeError), ("8", TypeError),
                             (None, TypeError)])


def open_numbers():
    return {n for n in range(1, 17) if tarvo.sio_term_irq(n) == 0}


class PortModel(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        # (Port, device index) of every good Port made: one of each to start.
        self.ports = [(tarvo.Port(*args, **kwargs), device) for args, kwargs, device in GOOD_PORTS]
        self.holder = {}       # device index -> the open Port holding it
        self.pending = {0: b"", 1: b"", 2: b""}  # sent by each device, not read yet
        for device in DEVICES:
            device.take(1 << 16, 0.01)
            device.drain_input()

    def open_ports(self):
        return [(port, device) for port, device in self.ports if port._open]

    @rule(kind=st.integers(0, len(GOOD_PORTS) - 1))
    def make_port(self, kind):
        args, kwargs, device = GOOD_PORTS[kind]
        self.ports.append((tarvo.Port(*args, **kwargs), device))

    @rule(kind=st.integers(0, len(BAD_PORTS) - 1))
    def make_bad_port(self, kind):
        args, kwargs, error = BAD_PORTS[kind]
        before = open_numbers()
        with pytest.raises(error):
            tarvo.Port(*args, **kwargs).open()
        assert open_numbers() == before

    @precondition(lambda self: self.ports)
    @rule(index=st.integers(0, 99))
    def open_port(self, index):
        port, device = self.ports[index % len(self.ports)]
        numbers = {p.number for p, _ in self.open_ports()}
        expect_ok = (not port._open and device not in self.holder and
                     not (isinstance(port.target, int) and port.target in numbers))
        before = open_numbers()
        if expect_ok:
            port.open()
            assert port.device == DEVICES[device].path
            self.holder[device] = port  # what the device sent before still waits
            assert open_numbers() == before | {port.number}
        else:
            with pytest.raises(tarvo.Error):
                port.open()
            assert open_numbers() == before

    @precondition(lambda self: self.ports)
    @rule(index=st.integers(0, 99))
    def close_port(self, index):
        port, device = self.ports[index % len(self.ports)]
        was_open, number = port._open, port.number
        port.close()
        if was_open:
            del self.holder[device]
            assert tarvo.sio_term_irq(number) == tarvo.ERR_NOT_OPEN

    @precondition(lambda self: self.ports)
    @rule(index=st.integers(0, 99), data=st.binary(min_size=0, max_size=64), full_duplex=st.booleans())
    def write(self, index, data, full_duplex):
        port, device = self.ports[index % len(self.ports)]
        if not port._open:
            with pytest.raises(tarvo.Error) as failure:
                port.write(data)
            assert failure.value.code == tarvo.ERR_NOT_OPEN
        else:
            assert (port.send(data) if full_duplex else port.write(data)) == len(data)
            if not full_duplex:
                self.pending[device] = b""  # a write empties the input queue first
            assert DEVICES[device].take(len(data), TIMEOUT_S) == data
        for other in range(3):
            assert DEVICES[other].take(1, 0.002) == b"", f"a byte reached device {other}"

    @precondition(lambda self: self.ports)
    @rule(index=st.integers(0, 99), data=BAD_DATA)
    def write_bad_data(self, index, data):
        port, _ = self.ports[index % len(self.ports)]
        with pytest.raises((TypeError, tarvo.Error)):
            port.write(data)
        with pytest.raises((TypeError, tarvo.Error)):
            port.send(data)

    @rule(device=st.integers(0, 2), data=st.binary(min_size=1, max_size=32))
    def device_sends(self, device, data):
        port = self.holder.get(device)
        if port is None:
            return
        os.write(DEVICES[device].master, data)
        self.pending[device] += data
        # Waiting on this side before the next step, so a write's purge
        # finds it there: the model's order is the device's.
        deadline = time.monotonic() + TIMEOUT_S
        while port.waiting < len(self.pending[device]) and time.monotonic() < deadline:
            time.sleep(0.001)
        assert port.waiting == len(self.pending[device])

    @precondition(lambda self: self.holder)
    @rule(index=st.integers(0, 99), size=st.one_of(st.integers(0, 48), st.sampled_from([2 ** 31, 2 ** 32 + 2])))
    def read(self, index, size):
        port, device = self.open_ports()[index % len(self.open_ports())]
        pending = self.pending[device]
        # Asked for no more than has come, a timed read returns at once.
        wanted = min(size, len(pending))
        assert port.read(wanted, timeout=TIMEOUT_S) == pending[:wanted]
        self.pending[device] = pending[wanted:]

    @precondition(lambda self: self.ports)
    @rule(index=st.integers(0, 99), bad=BAD_SIZES)
    def read_bad_size(self, index, bad):
        port, _ = self.ports[index % len(self.ports)]
        size, error = bad
        with pytest.raises(error):
            port.read(size)
        with pytest.raises((TypeError, ValueError)):
            port.readline(end=size if size is not None else 7, timeout=0)

    @invariant()
    def library_holds_what_the_model_holds(self):
        assert open_numbers() == {port.number for port, _ in self.open_ports()}

    def teardown(self):
        for port, _ in self.ports:
            port.close()
        assert open_numbers() == set()


PortModel.TestCase.settings = EXAMPLES
test_port_against_its_model = PortModel.TestCase


@pytest.fixture
def port_with_input():
    """Port 1 open on the first device, with 64 bytes waiting."""
    with tarvo.Port(1) as port:
        os.write(DEVICES[0].master, bytes(range(64)))
        deadline = time.monotonic() + TIMEOUT_S
        while port.waiting < 64 and time.monotonic() < deadline:
            time.sleep(0.001)
        yield port


BUFFERS = st.one_of(
    st.tuples(st.just("bytes"), st.binary(max_size=16)),
    st.tuples(st.just("bytearray"), st.binary(max_size=16)),
    st.tuples(st.just("ctypes"), st.binary(max_size=16)),
    st.tuples(st.just("memoryview"), st.binary(max_size=16)),
    st.tuples(st.just("int"), st.integers(0, 16)))


def make_buffer(kind, value):
    if kind == "bytes":
        return bytes(value)
    if kind == "bytearray":
        return bytearray(value)
    if kind == "ctypes":
        return ctypes.create_string_buffer(value, len(value)) if value else ctypes.create_string_buffer(0)
    if kind == "memoryview":
        return memoryview(bytes(value))  # read-only
    return value


@settings(max_examples=60, deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(buffer=BUFFERS, length=st.one_of(st.integers(-4, 40), st.sampled_from([2 ** 31 - 1, 2 ** 31, -2 ** 40])))
def test_raw_read_writes_only_inside_a_writable_buffer(port_with_input, buffer, length):
    kind, value = buffer
    target = make_buffer(kind, value)
    before = bytes(target) if kind != "int" else None
    waiting = tarvo.sio_iqueue(1)
    writable = kind in ("bytearray", "ctypes")
    size = len(value) if writable else 0
    try:
        got = tarvo.sio_read(1, target, length)
    except TypeError:
        assert not writable
        got = None
    except ValueError:
        assert writable and (length > size or not -2 ** 31 <= length < 2 ** 31)
        got = None
    if got is None:
        assert kind == "int" or bytes(target) == before  # untouched
        assert tarvo.sio_iqueue(1) == waiting
        return
    assert writable and length <= size
    assert got == max(0, min(length, waiting))
    assert bytes(target)[got:] == before[got:]  # nothing past what was read
