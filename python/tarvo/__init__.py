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
_SHAPE_TYPES = {"p": _c_int, "i": _c_int, "n": _c_int, "o": ctypes.POINTER(ctypes.c_char), "d": _c_char_p}
_SIGNATURES = {name: ([_SHAPE_TYPES[letter] for letter in shape], _c_int) for name, shape in FUNCTIONS}
# The extensions of libtarvo.so (tarvo_ext.h); Tarvo.dll has none of them.
_EXTENSIONS = {
    "tarvo_open_cause": ([_c_int, ctypes.c_char_p, _c_int], _c_int),
    "tarvo_cause_text": ([_c_int], _c_char_p),
    "tarvo_send": ([_c_int, _c_char_p, _c_int], _c_int),
    "tarvo_modem_status": ([_c_int], _c_int),
    "tarvo_break": ([_c_int, _c_int], _c_int),
}

# How often a waiting read looks at the input queue: short enough to answer
# promptly, long enough not to spin.
_POLL_S = 0.002
# The port's own timeouts (sio_ioctl sets 2000 ms): how long readline waits.
_PORT_TIMEOUT_S = 2.0


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


def _function(name):
    def call(*arguments):
        return getattr(library(), name)(*arguments)
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


# COM numbers of the paths and URLs that Ports open: COM n stands for the
# path in TARVO_COM<n>, the library's own mapping, as for every program.
_PATH_COM_BASE = 1000
_claimed = set()
_claim_lock = threading.Lock()


def _mapping_variable(com):
    return f"TARVO_COM{com}"


def _claim_port(path=None):
    """A port number that is free (closed, not held by another Port), with
    its COM number mapped to `path` if one is given."""
    with _claim_lock:
        for number in range(1, 17):
            variable = _mapping_variable(_PATH_COM_BASE + number)
            if number in _claimed or (path is not None and os.environ.get(variable, path) != path):
                continue
            if sio_term_irq(number) != ERR_NOT_OPEN:
                continue  # open by someone else in this process
            _claimed.add(number)
            if path is not None:
                os.environ[variable] = path
            return number
    raise Error("sio_open", ERR_BAD_PORT, None, "all 16 ports are in use")


def _release_port(number):
    with _claim_lock:
        sio_setComPortNo(number, -1)
        os.environ.pop(_mapping_variable(_PATH_COM_BASE + number), None)
        _claimed.discard(number)


def _com_number(text):
    """n for "COMn" (any case), else None."""
    if text[:3].upper() == "COM" and text[3:].isdigit() and int(text[3:]) >= 1:
        return int(text[3:])
    return None


class Port:
    """A serial port, opened by open() or as a context manager.

    `target` is a port number 1..16 (with `com`, it opens COM `com` instead
    of COM `target`), "COMn", or on Linux a device path ("/dev/ttyUSB0") or
    a URL ("rfc2217://host:port", "tcp://host:port", "usb:VVVV:PPPP"). For a
    name, path or URL, the Port takes a free port number while it is open
    (Port.number). Every failing call raises Error."""

    def __init__(self, target, com=None):
        self.target = target
        self.com = com
        self.number = target if isinstance(target, int) else None
        self._claimed = False
        self._rts = self._dtr = None
        self._settings = None  # (rate, format) of the last set() that worked

    def __repr__(self):
        return f"tarvo.Port({self.target!r}, number={self.number})"

    def open(self):
        if not isinstance(self.target, int):
            com = _com_number(self.target)
            if com is not None:
                self.com = com
                self.number = _claim_port()
            else:
                self.number = _claim_port(self.target)
                self.com = _PATH_COM_BASE + self.number
            self._claimed = True
        try:
            if self.com is not None:
                check("sio_setComPortNo", sio_setComPortNo(self.number, self.com))
            result = sio_open(self.number)
            if result < 0:
                raise open_error(self.number, result)
        except BaseException:
            self._release()
            raise
        self._settings = None
        return self

    def close(self):
        try:
            check("sio_close", sio_close(self.number))
        finally:
            self._release()

    def _release(self):
        if self._claimed:
            _release_port(self.number)
            self._claimed = False
            self.number = None

    def __enter__(self):
        return self.open()

    def __exit__(self, *exception):
        self.close()

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
        try:
            self._apply(rate, mode)
        except Error:
            if self._settings is not None:
                previous_rate, previous_format = self._settings
                try:
                    self._apply(previous_rate, line_mode(previous_format))
                except Error:
                    pass  # the first failure is the one to report
            raise
        self._settings = (rate, format)

    def _apply(self, rate, mode):
        if rate in RATES:
            check("sio_ioctl", sio_ioctl(self.number, RATES.index(rate), mode))
            return
        # sio_ioctl takes rates from its table only: any other rate is asked
        # of the device first, so that a refused rate changes nothing, and set
        # again after the table rate that sio_ioctl installs with the format.
        check("sio_baud", sio_baud(self.number, rate))
        check("sio_ioctl", sio_ioctl(self.number, RATES.index(9600), mode))
        check("sio_baud", sio_baud(self.number, rate))

    def write(self, data):
        """Discards what waits in both queues, sends data and returns when it
        has gone out: the number of bytes sent (fewer if the write timed out)."""
        data = bytes(data)
        return check("sio_write", sio_write(self.number, data, len(data)))

    def send(self, data):
        """Like write, but full duplex: bytes already received stay waiting
        (libtarvo.so only)."""
        data = bytes(data)
        return check("tarvo_send", self._extension("tarvo_send")(self.number, data, len(data)))

    def read(self, max, timeout=None):
        """Up to max bytes of those received. Without a timeout it never waits;
        with one (seconds) it waits until max bytes wait or the time is up."""
        if max < 0:
            raise ValueError(f"read({max}): a negative size")
        if timeout is not None:
            deadline = time.monotonic() + timeout
            while self.waiting < max and time.monotonic() < deadline:
                time.sleep(_POLL_S)
        buffer = ctypes.create_string_buffer(max)
        count = check("sio_read", sio_read(self.number, buffer, max))
        return buffer.raw[:count]

    def readline(self, timeout=_PORT_TIMEOUT_S, end=b"\n", max=65536):
        """Received bytes up to and with `end` (a line feed), waiting up to
        `timeout` seconds for it; what came until then if it does not come,
        or once max bytes came. Takes nothing after `end`."""
        end = bytes(end)
        line = bytearray()
        deadline = time.monotonic() + timeout
        while len(line) < max and not (end and line.endswith(end)):
            byte = sio_getch(self.number)
            if byte >= 0:
                line.append(byte)
            elif byte != ERR_NO_DATA:
                check("sio_getch", byte)
            elif time.monotonic() >= deadline:
                break
            else:
                time.sleep(_POLL_S)
        return bytes(line)

    @property
    def waiting(self):
        """The number of received bytes waiting to be read."""
        return check("sio_iqueue", sio_iqueue(self.number))

    def flush(self, input=True, output=True):
        """Empties the input queue, the output queue, or both."""
        selector = 2 if input and output else 0 if input else 1
        if input or output:
            check("sio_flush", sio_flush(self.number, selector))

    @property
    def rts(self):
        """The RTS line as last set through this Port (None: not set yet)."""
        return self._rts

    @rts.setter
    def rts(self, on):
        check("sio_RTS", sio_RTS(self.number, 1 if on else 0))
        self._rts = bool(on)

    @property
    def dtr(self):
        """The DTR line as last set through this Port (None: not set yet)."""
        return self._dtr

    @dtr.setter
    def dtr(self, on):
        check("sio_DTR", sio_DTR(self.number, 1 if on else 0))
        self._dtr = bool(on)

    def modem_status(self):
        """The status lines now, a mask of tarvo.CTS, DSR, RI, DCD; Error
        ERR_STATUS_FAILED where the device has none (a pty, raw TCP)."""
        return check("tarvo_modem_status", self._extension("tarvo_modem_status")(self.number))

    cts = property(lambda self: bool(self.modem_status() & CTS), doc="The CTS line now.")
    dsr = property(lambda self: bool(self.modem_status() & DSR), doc="The DSR line now.")
    ri = property(lambda self: bool(self.modem_status() & RI), doc="The RI line now.")
    dcd = property(lambda self: bool(self.modem_status() & DCD), doc="The DCD line now.")

    def break_(self, ms=250):
        """Holds the line in the break state for ms milliseconds (1..5000)."""
        check("tarvo_break", self._extension("tarvo_break")(self.number, ms))

    def _extension(self, name):
        function = _extension(name)
        if function is None:
            raise NotImplementedError(f"{name}: an extension of libtarvo.so, not in {library_path()}")
        return function

