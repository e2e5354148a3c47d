"""Tarvo from Python: the 16 sio_ functions of libtarvo.so.1 (Tarvo.dll on
Windows) through ctypes, and a Port class around them.

    import tarvo

    with tarvo.Port(1) as port:             # sio_open(1) ... sio_close(1)
        port.set(rate=9600, format="8N1")
        port.write(b"*IDN?\\r\\n")
        answer = port.readline(timeout=2.0)

    with tarvo.Port("/dev/ttyUSB0") as port:        # a device path, or
        ...
    with tarvo.Port("rfc2217://127.0.0.1:7000") as port:  # a network port
        ...

The functions themselves (tarvo.sio_open(1), ...) return the library's result
codes unchanged; their names are tarvo.ERR_BAD_PORT and so on. Port raises
tarvo.Error, which carries the code and its name, for every negative result;
for a failed open also why it failed (Error.cause, Error.reason).

The library loaded is TARVO_LIBRARY if that is set, else libtarvo.so.1
(Tarvo.dll) in this package's folder, else the one the system finds by name
(the installed library).
"""
import ctypes
import math
import os
import threading
import time

from ._contract import CAUSES, FUNCTIONS, LINE_MODES, MAX_RATE, MODEM_LINES, RATES, RESULTS
from ._version import __version__

globals().update({name: value for value, name, _ in RESULTS})
globals().update(CAUSES)
globals().update(MODEM_LINES)  # CTS, DSR, RI, DCD
_ERROR_NAMES = {value: name for value, name, _ in RESULTS}
_ERROR_TEXTS = {value: text for value, _, text in RESULTS}

_c_int, _c_char_p = ctypes.c_int, ctypes.c_char_p
# The ctypes type of each letter of a function's shape.
_SHAPE_TYPES = {"p": _c_int, "i": _c_int, "n": _c_int, "o": ctypes.c_void_p, "d": ctypes.c_void_p}
_SIGNATURES = {name: ([_SHAPE_TYPES[letter] for letter in shape], _c_int) for name, shape in FUNCTIONS}
# The extensions of libtarvo.so (tarvo_ext.h); Tarvo.dll has none of them.
_EXTENSIONS = {
    "tarvo_open_cause": ([_c_int, ctypes.c_char_p, _c_int], _c_int),
    "tarvo_cause_text": ([_c_int], _c_char_p),
    "tarvo_send": ([_c_int, _c_char_p, _c_int], _c_int),
    "tarvo_modem_status": ([_c_int], _c_int),
    "tarvo_break": ([_c_int, _c_int], _c_int),
    "tarvo_set_target": ([_c_int, _c_char_p], _c_int),
    "tarvo_port_device": ([_c_int, ctypes.c_char_p, _c_int], _c_int),
    "tarvo_wait": ([_c_int, _c_int, _c_int], _c_int),
}

# The range of the library's int arguments; a Python int outside it would be
# cut to its low 32 bits.
_INT_MIN, _INT_MAX = -2 ** 31, 2 ** 31 - 1
# The port's own timeouts (sio_ioctl sets 2000 ms): how long readline waits.
_PORT_TIMEOUT_S = 2.0
# What a Port reads into without allocating: a pty's whole input queue.
_READ_BUFFER_SIZE = 4096
# Room for a target's text with its NUL (TARVO_DEVICE_TEXT_SIZE).
_DEVICE_TEXT_SIZE = 256


class ArgumentError(ctypes.ArgumentError, TypeError):
    """An argument of the wrong kind for a library function: a TypeError, and
    the ctypes.ArgumentError that ctypes itself raises for one."""


def error_name(code):
    """The name of a result code ("ERR_NOT_OPEN"), or "" for success codes."""
    return _ERROR_NAMES.get(code, "")


class Error(Exception):
    """A call of the library failed: `call` gave the negative result `code`.

    For a failed sio_open, `cause` is why (one of tarvo.CAUSE_...) and
    `reason` a short text naming the device ("/dev/ttyUSB7: no such
    device"); elsewhere, and where the library cannot tell (Tarvo.dll),
    `cause` is None and `reason` the code's own text."""

    def __init__(self, call, code, cause=None, reason=""):
        self.call = call
        self.code = code
        self.name = error_name(code)
        self.cause = cause
        self.reason = reason or _ERROR_TEXTS.get(code, "")
        message = f"{call} returned {code} {self.name}".rstrip()
        super().__init__(f"{message}: {self.reason}" if self.reason else message)


def library_path():
    """The file or name of the library that library() loads."""
    configured = os.environ.get("TARVO_LIBRARY")
    if configured:
        return configured
    name = "Tarvo.dll" if os.name == "nt" else "libtarvo.so.1"
    beside = os.path.join(os.path.dirname(os.path.abspath(__file__)), name)
    return beside if os.path.exists(beside) else name


_library = None


def library():
    """The loaded library, its functions' argument and result types declared.

    Loaded on first use, so that importing the module never fails."""
    global _library
    if _library is None:
        # The functions use the C calling convention (cdecl): CDLL, also on Windows.
        loaded = ctypes.CDLL(library_path())
        for name, (argtypes, restype) in list(_SIGNATURES.items()) + list(_EXTENSIONS.items()):
            if name in _EXTENSIONS and not hasattr(loaded, name):
                continue
            function = getattr(loaded, name)
            function.argtypes = argtypes
            function.restype = restype
        _library = loaded
    return _library


def _int_argument(name, position, value):
    if not isinstance(value, int):
        raise ArgumentError(f"{name} argument {position}: an int, not {type(value).__name__}")
    if not _INT_MIN <= value <= _INT_MAX:
        raise ValueError(f"{name} argument {position}: {value} is outside the 32-bit range")
    return value


def _filled_buffer(name, position, buffer):
    """(ctypes object, size) of a buffer the library may write: a ctypes array, a
    bytearray or another writable buffer. bytes and other immutable objects
    are refused: writing them would change every holder of the object."""
    if buffer is None:
        return None, 0
    if isinstance(buffer, ctypes.Array):
        return buffer, ctypes.sizeof(buffer)
    try:
        view = memoryview(buffer)
    except TypeError:
        view = None
    if view is None or view.readonly or not view.c_contiguous:
        kind = "an immutable" if view is not None and view.readonly else "no writable"
        raise ArgumentError(f"{name} argument {position}: {kind} buffer ({type(buffer).__name__}); "
                            "pass a bytearray or ctypes.create_string_buffer(size)")
    size = view.nbytes
    view.release()
    if size == 0:
        return None, 0
    # Held through the call: while it exists the buffer cannot be resized.
    return (ctypes.c_char * size).from_buffer(buffer), size


def _sent_bytes(name, position, data):
    """bytes of a bytes-like object; an int is no count of NULs."""
    if data is None:
        return None
    if isinstance(data, bytes):
        return data
    try:
        with memoryview(data) as view:
            return view.tobytes()
    except TypeError:
        raise ArgumentError(f"{name} argument {position}: bytes-like data, not {type(data).__name__}") from None


def _function(name):
    """A library function whose arguments are checked first: ints within 32
    bits, buffers that are writable where the library writes, and lengths
    no longer than the buffer they count."""
    shape = dict(FUNCTIONS)[name]

    def call(*arguments):
        if len(arguments) != len(shape):
            raise TypeError(f"{name} takes {len(shape)} arguments ({len(arguments)} given)")
        passed, size = [], None
        for position, (letter, value) in enumerate(zip(shape, arguments), 1):
            if letter == "o":
                value, size = _filled_buffer(name, position, value)
            elif letter == "d":
                value = _sent_bytes(name, position, value)
                size = 0 if value is None else len(value)
            else:
                _int_argument(name, position, value)
                if letter == "n" and size is not None and value > size:
                    raise ValueError(f"{name} argument {position}: {value} bytes, the buffer holds {size}")
            passed.append(value)
        return getattr(library(), name)(*passed)
    call.__name__ = call.__qualname__ = name
    call.__doc__ = f"{name}{tuple(t.__name__ for t in _SIGNATURES[name][0])} of the library: its result code."
    return call


globals().update({name: _function(name) for name, _ in FUNCTIONS})


def _extension(name):
    """An extension function of the library, or None where it has none."""
    return getattr(library(), name, None)


def check(call, result):
    """result if it is 0 or more, else raises Error(call, result)."""
    if result < 0:
        raise Error(call, result)
    return result


def cause_text(cause):
    """The fixed text of an open cause ("not found", "busy", ...)."""
    text_of = _extension("tarvo_cause_text")
    return text_of(cause).decode() if text_of else ""


def open_error(port, code):
    """Error for a failed sio_open of `port`, with why it failed as far as the
    library tells."""
    cause_of = _extension("tarvo_open_cause")
    if cause_of is None or code != ERR_OPEN_FAILED:
        return Error("sio_open", code)
    text = ctypes.create_string_buffer(512)
    cause = cause_of(port, text, len(text))
    if cause < 0:
        return Error("sio_open", code)
    return Error("sio_open", code, cause, text.value.decode(errors="replace") or cause_text(cause))


def line_mode(format):
    """The line-mode byte of sio_ioctl for a format such as "8N1" or "7E2":
    data bits 5..8, parity N(one) O(dd) E(ven) M(ark) S(pace), stop bits 1 or 2."""
    mode = LINE_MODES.get(format.upper()) if isinstance(format, str) else None
    if mode is None:
        raise ValueError(f"format {format!r}: data bits 5-8, parity N, O, E, M or S, stop bits 1 or 2 (\"8N1\")")
    return mode


# Port numbers held by open Ports, and the lock under which a Port takes
# one, names its device (tarvo_set_target, in the call: nothing goes through
# the environment) and opens it, so that no other Port's open runs between.
_held = set()
_open_lock = threading.Lock()
_HUNG_UP = "the line hung up"


def _com_number(text):
    """n for "COMn" (any case), else None; ValueError for n outside 1..2**31-1."""
    digits = text[3:]
    if text[:3].upper() != "COM" or not digits.isascii() or not digits.isdigit():
        return None
    return _checked_com(int(digits))


def _checked_com(com):
    if com is None:
        return None
    if isinstance(com, bool) or not isinstance(com, int):
        raise TypeError(f"com {com!r}: a COM number, an int")
    if not 1 <= com <= _INT_MAX:
        raise ValueError(f"com {com}: COM numbers are 1 to {_INT_MAX}")
    return com


def _checked_target(target):
    if isinstance(target, bool) or not isinstance(target, (int, str)):
        raise TypeError(f"Port target {target!r}: a port number 1..16 or a str (a device path, a URL or \"COMn\")")
    if isinstance(target, str):
        if not target or any(ord(c) < 0x20 or ord(c) == 0x7F for c in target):
            raise ValueError(f"Port target {target!r}: empty, or a control character (NUL, newline ...) in it")
        if len(os.fsencode(target)) >= _DEVICE_TEXT_SIZE:
            raise ValueError(f"Port target {target[:40]!r}...: longer than {_DEVICE_TEXT_SIZE - 1} bytes")
    return target


def _count(call, value):
    """A size or count argument: an int (not a bool) of 0 or more."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{call}: a size in bytes is an int, not {type(value).__name__}")
    if value < 0:
        raise ValueError(f"{call}({value}): a negative size")
    return value


def _seconds(call, timeout):
    """A timeout in seconds, None for none: a finite number of 0 or more."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"{call}: timeout {timeout!r} is no number of seconds")
    if not 0 <= timeout < float("inf"):
        raise ValueError(f"{call}: timeout {timeout!r}: 0 or more seconds")
    return timeout


def _ms_left(deadline):
    left = deadline - time.monotonic()
    return 0 if left <= 0 else min(_INT_MAX, math.ceil(left * 1000))


class Port:
    """A serial port, opened by open() or as a context manager.

    `target` is a port number 1..16 (with `com`, it opens COM `com` instead
    of COM `target`), "COMn", or on Linux a device path ("/dev/ttyUSB0") or
    a URL ("rfc2217://host:port", "tcp://host:port", "usb:VVVV:PPPP"). For a
    name, path or URL, the Port takes a free port number while it is open
    (Port.number). Bad arguments raise TypeError (the wrong kind) or
    ValueError (out of range) and change nothing; every failing call of the
    library raises Error."""

    def __init__(self, target, com=None):
        self.target = _checked_target(target)
        if isinstance(target, str):
            if com is not None:
                raise TypeError("com: only a port number's COM number can be chosen")
            com = _com_number(target)
        self.com = _checked_com(com)
        self.number = target if isinstance(target, int) else None
        self._open = False
        self._rts = self._dtr = None
        self._settings = None  # (rate, format) of the last set() that worked
        self._buffer = ctypes.create_string_buffer(_READ_BUFFER_SIZE)
        self._tarvo_wait = None

    def __repr__(self):
        return f"tarvo.Port({self.target!r}, number={self.number})"

    def open(self):
        if self._open:
            raise Error("sio_open", ERR_OPEN_FAILED, None, f"{self!r} is open already")
        lib = library()
        with _open_lock:
            number = self._take_number(lib)
            try:
                self._name_device(lib, number)
                result = lib.sio_open(number)
                if result < 0:
                    raise open_error(number, result)
            except BaseException:
                self._let_go(lib, number)
                raise
            _held.add(number)
            self.number, self._open = number, True
        self._tarvo_wait = getattr(lib, "tarvo_wait", None)
        self._settings = None
        self._rts = self._dtr = None
        return self

    def _take_number(self, lib):
        if isinstance(self.target, int):
            if not 1 <= self.target <= 16:
                raise Error("sio_open", ERR_BAD_PORT)
            if self.target in _held:
                raise Error("sio_open", ERR_OPEN_FAILED, None, f"port {self.target} is held by another Port")
            return self.target
        for number in range(1, 17):
            if number not in _held and lib.sio_term_irq(number) == ERR_NOT_OPEN:
                return number
        raise Error("sio_open", ERR_BAD_PORT, None, "all 16 ports are in use")

    def _name_device(self, lib, number):
        set_target = getattr(lib, "tarvo_set_target", None)
        named = self.com is None and isinstance(self.target, str)
        if named and set_target is None:
            raise NotImplementedError(f"a device named by path or URL: an extension of libtarvo.so, "
                                      f"not in {library_path()}")
        if set_target is not None:
            check("tarvo_set_target", set_target(number, os.fsencode(self.target) if named else None))
        check("sio_setComPortNo", lib.sio_setComPortNo(number, -1 if self.com is None else self.com))

    @staticmethod
    def _let_go(lib, number):
        set_target = getattr(lib, "tarvo_set_target", None)
        if set_target is not None:
            set_target(number, None)
        lib.sio_setComPortNo(number, -1)

    def close(self):
        """Closes the port; nothing happens if it is not open."""
        if not self._open:
            return
        lib = library()
        with _open_lock:
            try:
                check("sio_close", lib.sio_close(self.number))
            finally:
                self._let_go(lib, self.number)
                _held.discard(self.number)
                self._open = False
                if not isinstance(self.target, int):
                    self.number = None

    def __enter__(self):
        return self.open()

    def __exit__(self, *exception):
        self.close()

    def _port(self, call):
        """The number of the port, open through this Port, else Error."""
        if not self._open:
            raise Error(call, ERR_NOT_OPEN)
        return self.number

    @property
    def device(self):
        """The device path or URL the port opened (libtarvo.so only)."""
        number = self._port("tarvo_port_device")
        text = ctypes.create_string_buffer(_DEVICE_TEXT_SIZE)
        length = check("tarvo_port_device", self._extension("tarvo_port_device")(number, text, len(text)))
        return os.fsdecode(text.raw[:length])

    def set(self, rate, format="8N1"):
        """Speed in bit/s (0 to 921600) and character format; also the 2000 ms
        read and write timeouts of sio_ioctl.

        A set() that fails changes nothing: arguments are checked before the
        port is touched, and when the device refuses a setting the rate and
        format of the last set() that worked are put back. (After a refusal
        on the first set() of an open port the new rate may stay: the library
        cannot read the device's own settings back.)"""
        mode = line_mode(format)
        if isinstance(rate, bool) or not isinstance(rate, int) or not 0 <= rate <= MAX_RATE:
            raise Error("sio_baud", ERR_BAD_PARAMETER, None, f"rate {rate!r}: 0 to {MAX_RATE} bit/s")
        number = self._port("sio_ioctl")
        try:
            self._apply(number, rate, mode)
        except Error:
            if self._settings is not None:
                previous_rate, previous_format = self._settings
                try:
                    self._apply(number, previous_rate, line_mode(previous_format))
                except Error:
                    pass  # the first failure is the one to report
            raise
        self._settings = (rate, format)

    @staticmethod
    def _apply(number, rate, mode):
        if rate in RATES:
            check("sio_ioctl", sio_ioctl(number, RATES.index(rate), mode))
            return
        # sio_ioctl takes rates from its table only: any other rate is asked
        # of the device first, so that a refused rate changes nothing, and set
        # again after the table rate that sio_ioctl installs with the format.
        check("sio_baud", sio_baud(number, rate))
        check("sio_ioctl", sio_ioctl(number, RATES.index(9600), mode))
        check("sio_baud", sio_baud(number, rate))

    def write(self, data):
        """Discards what waits in both queues, sends data (bytes, bytearray,
        memoryview) and returns when it has gone out: the number of bytes
        sent (fewer if the write timed out)."""
        if type(data) is not bytes or len(data) > _INT_MAX:
            data = self._bytes("write", data)
        sent = library().sio_write(self._port("sio_write"), data, len(data))
        return sent if sent >= 0 else check("sio_write", sent)

    def send(self, data):
        """Like write, but full duplex: bytes already received stay waiting
        (libtarvo.so only)."""
        data = self._bytes("send", data)
        return check("tarvo_send", self._extension("tarvo_send")(self._port("tarvo_send"), data, len(data)))

    @staticmethod
    def _bytes(call, data):
        if data is None:
            raise TypeError(f"{call}: bytes-like data, not None")
        data = _sent_bytes(call, 1, data)
        if len(data) > _INT_MAX:
            raise ValueError(f"{call}: {len(data)} bytes, more than one call sends ({_INT_MAX})")
        return data

    def read(self, max, timeout=None):
        """Up to max bytes of those received. Without a timeout it never waits;
        with one (seconds) it sleeps until max bytes have come, the time is
        up or the line hangs up (Error if nothing came then)."""
        size = _count("read", max)
        timeout = _seconds("read", timeout)
        number = self._port("sio_read")
        if timeout is None:
            return self._take(number, min(size, self.waiting))
        deadline = time.monotonic() + timeout
        data = b""
        while len(data) < size:
            left = _ms_left(deadline)
            waiting = self._wait(number, size - len(data), left)
            if waiting is None:  # hung up: what came before, if the device kept it, is the last
                data += self._take(number, min(size - len(data), sio_iqueue(number)))
                if not data:
                    raise Error("tarvo_wait", ERR_STATUS_FAILED, None, _HUNG_UP)
                break
            if waiting:
                data += self._take(number, min(size - len(data), waiting))
            if left == 0:
                break
        return data

    def readline(self, timeout=_PORT_TIMEOUT_S, end=b"\n", max=65536):
        """Received bytes up to and with `end` (a line feed), sleeping up to
        `timeout` seconds for it; what came until then if it does not come,
        or once max bytes came. Takes nothing after `end`."""
        end = _sent_bytes("readline end", 1, end) if end is not None else b""
        limit = _count("readline max", max)
        timeout = _seconds("readline", timeout)
        number = self._port("sio_getch")
        getch = library().sio_getch
        deadline = time.monotonic() + (timeout or 0)
        line = bytearray()
        while len(line) < limit and not (end and line.endswith(end)):
            byte = getch(number)
            if byte >= 0:
                line.append(byte)
                continue
            if byte != ERR_NO_DATA:
                check("sio_getch", byte)
            left = _ms_left(deadline)
            if left == 0:
                break
            if self._wait(number, 1, left) is None:
                if not line:
                    raise Error("tarvo_wait", ERR_STATUS_FAILED, None, _HUNG_UP)
                break
        return bytes(line)

    def _wait(self, number, count, ms):
        """Sleeps until count bytes wait or ms pass: the bytes waiting, or
        None when the line hung up."""
        if self._tarvo_wait is None:
            return self._wait_by_polling(number, count, ms)
        waiting = self._tarvo_wait(number, count if count <= _INT_MAX else _INT_MAX, ms)
        if waiting >= 0:
            return waiting
        if waiting == ERR_STATUS_FAILED:
            return None
        return check("tarvo_wait", waiting)

    def _wait_by_polling(self, number, count, ms):
        # Tarvo.dll has no tarvo_wait: look at the queue every 2 ms.
        deadline = time.monotonic() + ms / 1000
        while self.waiting < count and time.monotonic() < deadline:
            time.sleep(0.002)
        return self.waiting

    def _take(self, number, count):
        """Up to count received bytes, read into the Port's own buffer where
        they fit: a read allocates only what it returns."""
        if count <= 0:
            return b""
        buffer = self._buffer if count <= len(self._buffer) else ctypes.create_string_buffer(count)
        got = library().sio_read(number, buffer, count)
        return buffer[:got] if got >= 0 else check("sio_read", got)

    @property
    def waiting(self):
        """The number of received bytes waiting to be read."""
        return check("sio_iqueue", sio_iqueue(self._port("sio_iqueue")))

    def flush(self, input=True, output=True):
        """Empties the input queue, the output queue, or both."""
        selector = 2 if input and output else 0 if input else 1
        number = self._port("sio_flush")
        if input or output:
            check("sio_flush", sio_flush(number, selector))

    @property
    def rts(self):
        """The RTS line as last set through this Port (None: not set yet)."""
        return self._rts

    @rts.setter
    def rts(self, on):
        check("sio_RTS", sio_RTS(self._port("sio_RTS"), 1 if on else 0))
        self._rts = bool(on)

    @property
    def dtr(self):
        """The DTR line as last set through this Port (None: not set yet)."""
        return self._dtr

    @dtr.setter
    def dtr(self, on):
        check("sio_DTR", sio_DTR(self._port("sio_DTR"), 1 if on else 0))
        self._dtr = bool(on)

    def modem_status(self):
        """The status lines now, a mask of tarvo.CTS, DSR, RI, DCD; Error
        ERR_STATUS_FAILED where the device has none (a pty, raw TCP)."""
        number = self._port("tarvo_modem_status")
        lines = self._extension("tarvo_modem_status")(number)
        if lines == ERR_STATUS_FAILED:
            raise Error("tarvo_modem_status", lines, None,
                        "the device has no modem status lines (as a pty or a raw TCP port)")
        return check("tarvo_modem_status", lines)

    cts = property(lambda self: bool(self.modem_status() & CTS), doc="The CTS line now.")
    dsr = property(lambda self: bool(self.modem_status() & DSR), doc="The DSR line now.")
    ri = property(lambda self: bool(self.modem_status() & RI), doc="The RI line now.")
    dcd = property(lambda self: bool(self.modem_status() & DCD), doc="The DCD line now.")

    def break_(self, ms=250):
        """Holds the line in the break state for ms milliseconds (1..5000)."""
        if isinstance(ms, bool) or not isinstance(ms, int):
            raise TypeError(f"break_: ms {ms!r} is an int")
        number = self._port("tarvo_break")
        check("tarvo_break", self._extension("tarvo_break")(number, max(_INT_MIN, min(ms, _INT_MAX))))

    def _extension(self, name):
        function = _extension(name)
        if function is None:
            raise NotImplementedError(f"{name}: an extension of libtarvo.so, not in {library_path()}")
        return function
