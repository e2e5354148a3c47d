"""Tarvo from Python: the 16 sio_ functions of libtarvo.so.1 (Tarvo.dll on
Windows) through ctypes, and a Port class around them.

    import tarvo

    with tarvo.Port(1) as port:             # sio_open(1) ... sio_close(1)
        port.set(rate=9600, format="8N1")
        port.write(b"*IDN?\\r\\n")
        while port.waiting < 20:
            time.sleep(0.01)
        answer = port.read(256)

The functions themselves (tarvo.sio_open(1), ...) return the library's result
codes unchanged; their names are tarvo.ERR_BAD_PORT and so on. Port raises
tarvo.Error, which carries the code and its name, for every negative result.

The library loaded is TARVO_LIBRARY if that is set, else libtarvo.so.1
(Tarvo.dll) in this package's folder, else the one the system finds by name.
"""
import ctypes
import os

from ._version import __version__

ERR_BAD_PORT = -20001
ERR_OPEN_FAILED = -20002
ERR_SETUP_FAILED = -20003
ERR_NOT_OPEN = -20004
ERR_CLOSE_FAILED = -20005
ERR_STATUS_FAILED = -20006
ERR_NO_DATA = -20007
ERR_GET_STATE_FAILED = -20008
ERR_SET_STATE_FAILED = -20009
ERR_BAD_PARAMETER = -20010
ERR_PURGE_FAILED = -20011

_ERROR_NAMES = {code: name for name, code in globals().items() if name.startswith("ERR_")}

# The rate table of sio_ioctl: index -> bit/s.
RATES = (50, 75, 110, 134, 150, 300, 600, 1200, 1800, 2400, 4800, 7200, 9600, 19200, 38400, 57600,
         115200, 230400, 460800, 921600)
# Parity bits of the line-mode byte of sio_ioctl.
_PARITY_BITS = {"N": 0x00, "O": 0x08, "E": 0x18, "M": 0x28, "S": 0x38}

_c_int, _c_char_p = ctypes.c_int, ctypes.c_char_p
_SIGNATURES = {
    "sio_setComPortNo": [_c_int, _c_int],
    "sio_open": [_c_int],
    "sio_close": [_c_int],
    "sio_term_irq": [_c_int],
    "sio_iqueue": [_c_int],
    "sio_getch": [_c_int],
    "sio_read": [_c_int, ctypes.POINTER(ctypes.c_char), _c_int],  # written into
    "sio_write": [_c_int, _c_char_p, _c_int],
    "sio_flush": [_c_int, _c_int],
    "sio_baud": [_c_int, _c_int],
    "sio_ioctl": [_c_int, _c_int, _c_int],
    "sio_flowctrl": [_c_int, _c_int],
    "sio_RTS": [_c_int, _c_int],
    "sio_DTR": [_c_int, _c_int],
    "sio_enableat": [_c_int],
    "sio_disableat": [_c_int],
}


def error_name(code):
    """The name of a result code ("ERR_NOT_OPEN"), or "" for success codes."""
    return _ERROR_NAMES.get(code, "")


class Error(Exception):
    """A call of the library failed: `call` gave the negative result `code`."""

    def __init__(self, call, code):
        self.call = call
        self.code = code
        self.name = error_name(code)
        super().__init__(f"{call} returned {code} {self.name}".rstrip())


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
        for name, argtypes in _SIGNATURES.items():
            function = getattr(loaded, name)
            function.argtypes = argtypes
            function.restype = _c_int
        _library = loaded
    return _library


def _function(name):
    def call(*arguments):
        return getattr(library(), name)(*arguments)
    call.__name__ = call.__qualname__ = name
    call.__doc__ = f"{name}{tuple(t.__name__ for t in _SIGNATURES[name])} of the library: its result code."
    return call


sio_setComPortNo = _function("sio_setComPortNo")
sio_open = _function("sio_open")
sio_close = _function("sio_close")
sio_term_irq = _function("sio_term_irq")
sio_iqueue = _function("sio_iqueue")
sio_getch = _function("sio_getch")
sio_read = _function("sio_read")
sio_write = _function("sio_write")
sio_flush = _function("sio_flush")
sio_baud = _function("sio_baud")
sio_ioctl = _function("sio_ioctl")
sio_flowctrl = _function("sio_flowctrl")
sio_RTS = _function("sio_RTS")
sio_DTR = _function("sio_DTR")
sio_enableat = _function("sio_enableat")
sio_disableat = _function("sio_disableat")


def check(call, result):
    """result if it is 0 or more, else raises Error(call, result)."""
    if result < 0:
        raise Error(call, result)
    return result


def line_mode(format):
    """The line-mode byte of sio_ioctl for a format such as "8N1" or "7E2":
    data bits 5..8, parity N(one) O(dd) E(ven) M(ark) S(pace), stop bits 1 or 2."""
    text = format.upper()
    if len(text) != 3 or text[0] not in "5678" or text[1] not in _PARITY_BITS or text[2] not in "12":
        raise ValueError(f"format {format!r}: data bits 5-8, parity N, O, E, M or S, stop bits 1 or 2 (\"8N1\")")
    return (int(text[0]) - 5) | (0x04 if text[2] == "2" else 0) | _PARITY_BITS[text[1]]


class Port:
    """Port `number` (1..16); with `com`, it opens COM `com` instead of COM `number`.

    As a context manager it is open inside the block and closed after it.
    Every failing call raises Error."""

    def __init__(self, number, com=None):
        self.number = number
        self.com = com

    def open(self):
        if self.com is not None:
            check("sio_setComPortNo", sio_setComPortNo(self.number, self.com))
        check("sio_open", sio_open(self.number))
        return self

    def close(self):
        check("sio_close", sio_close(self.number))

    def __enter__(self):
        return self.open()

    def __exit__(self, *exception):
        self.close()

    def set(self, rate, format="8N1"):
        """Speed in bit/s and character format; also the 2000 ms read and
        write timeouts of sio_ioctl."""
        mode = line_mode(format)
        if rate in RATES:
            check("sio_ioctl", sio_ioctl(self.number, RATES.index(rate), mode))
            return
        # sio_ioctl takes rates from its table only: any other rate follows
        # through sio_baud once the format and timeouts are set.
        check("sio_ioctl", sio_ioctl(self.number, RATES.index(9600), mode))
        check("sio_baud", sio_baud(self.number, rate))

    def write(self, data):
        """Discards what waits in both queues, sends data and returns when it
        has gone out: the number of bytes sent (fewer if the write timed out)."""
        data = bytes(data)
        return check("sio_write", sio_write(self.number, data, len(data)))

    def read(self, max):
        """Up to max bytes of those already received; never waits."""
        if max < 0:
            raise ValueError(f"read({max}): a negative size")
        buffer = ctypes.create_string_buffer(max)
        count = check("sio_read", sio_read(self.number, buffer, max))
        return buffer.raw[:count]

    @property
    def waiting(self):
        """The number of received bytes waiting to be read."""
        return check("sio_iqueue", sio_iqueue(self.number))

    def flush(self, input=True, output=True):
        """Empties the input queue, the output queue, or both."""
        selector = 2 if input and output else 0 if input else 1
        if input or output:
            check("sio_flush", sio_flush(self.number, selector))
