"""The contract of tarvo.h as Python data.

Written by cmake/contract.cmake from src/contract/tarvo_contract.h; do not edit.
"""
# (name, shape): p port, i int, o buffer filled, d bytes sent, n buffer length.
FUNCTIONS = (
    ("sio_setComPortNo", "pi"),
    ("sio_open", "p"),
    ("sio_close", "p"),
    ("sio_term_irq", "p"),
    ("sio_iqueue", "p"),
    ("sio_getch", "p"),
    ("sio_read", "pon"),
    ("sio_write", "pdn"),
    ("sio_flush", "pi"),
    ("sio_baud", "pi"),
    ("sio_ioctl", "pii"),
    ("sio_flowctrl", "pi"),
    ("sio_RTS", "pi"),
    ("sio_DTR", "pi"),
    ("sio_enableat", "p"),
    ("sio_disableat", "p"),
)
# (value, name, text)
RESULTS = (
    (-20001, "ERR_BAD_PORT", "port number outside 1..16"),
    (-20002, "ERR_OPEN_FAILED", "opening the device failed"),
    (-20003, "ERR_SETUP_FAILED", "setting the device queue sizes failed"),
    (-20004, "ERR_NOT_OPEN", "the port is not open"),
    (-20005, "ERR_CLOSE_FAILED", "closing the device failed"),
    (-20006, "ERR_STATUS_FAILED", "reading the device status failed"),
    (-20007, "ERR_NO_DATA", "no received byte is waiting"),
    (-20008, "ERR_GET_STATE_FAILED", "reading the line settings failed"),
    (-20009, "ERR_SET_STATE_FAILED", "writing the line settings failed"),
    (-20010, "ERR_BAD_PARAMETER", "a rate or rate index out of range"),
    (-20011, "ERR_PURGE_FAILED", "a purge failed, or a bad purge selector"),
)
# The rates of sio_ioctl by baud index; sio_baud takes 0 to the last.
RATES = (50, 75, 110, 134, 150, 300, 600, 1200, 1800, 2400, 4800, 7200, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600)
MAX_RATE = 921600
# "8N1" ... (data bits, parity, stop bits): the line-mode byte of sio_ioctl.
LINE_MODES = {
    "5N1": 0x0, "5N2": 0x4, "5O1": 0x8, "5O2": 0xc, "5E1": 0x18, "5E2": 0x1c, "5M1": 0x28, "5M2": 0x2c, "5S1": 0x38, "5S2": 0x3c,
    "6N1": 0x1, "6N2": 0x5, "6O1": 0x9, "6O2": 0xd, "6E1": 0x19, "6E2": 0x1d, "6M1": 0x29, "6M2": 0x2d, "6S1": 0x39, "6S2": 0x3d,
    "7N1": 0x2, "7N2": 0x6, "7O1": 0xa, "7O2": 0xe, "7E1": 0x1a, "7E2": 0x1e, "7M1": 0x2a, "7M2": 0x2e, "7S1": 0x3a, "7S2": 0x3e,
    "8N1": 0x3, "8N2": 0x7, "8O1": 0xb, "8O2": 0xf, "8E1": 0x1b, "8E2": 0x1f, "8M1": 0x2b, "8M2": 0x2f, "8S1": 0x3b, "8S2": 0x3f,
}
# Extensions of libtarvo.so (tarvo_ext.h): why an open failed, the modem status bits.
CAUSES = {"CAUSE_NONE": 0, "CAUSE_NOT_FOUND": 1, "CAUSE_NOT_SERIAL": 2, "CAUSE_BUSY": 3, "CAUSE_PERMISSION": 4, "CAUSE_CONSOLE": 5, "CAUSE_BAD_MAPPING": 6, "CAUSE_REFUSED": 7, "CAUSE_NO_ANSWER": 8, "CAUSE_NO_SUCH_HOST": 9, "CAUSE_NEGOTIATION": 10, "CAUSE_OTHER": 11, "CAUSE_UNREACHABLE": 12, "CAUSE_RESET": 13, "CAUSE_MALFORMED": 14}
MODEM_LINES = {"CTS": 0x10, "DSR": 0x20, "RI": 0x40, "DCD": 0x80}
