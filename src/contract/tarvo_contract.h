/*
 * The contract of tarvo.h as data: its 16 functions, its 11 result codes, the
 * rate table of sio_ioctl and the line-mode byte. Everything that lists them
 * takes them from here: the library's core, the tarvo tool, and, generated
 * from this file by CMake (cmake/contract.cmake), Tarvo.def and the Python
 * module's tables. tests/contract checks every list against tarvo.h.
 *
 * X-macros only: nothing here is compiled unless a caller expands a list, so
 * the core pays nothing at run time for reading its tables here. CMake reads
 * the lists line by line: one entry a line, written exactly as below.
 */
#ifndef TARVO_CONTRACT_H
#define TARVO_CONTRACT_H

/*
 * X(name, Tag, shape, parameters, usage): every exported function in the
 * order of tarvo.h.
 *   Tag         the function as a word (the tool's command kinds)
 *   shape       one letter per C parameter: p port number, i int,
 *               o a buffer the call fills, d bytes the call sends,
 *               n the length of the buffer before it
 *   parameters  the C parameter names of tarvo.h
 *   usage       the arguments of the tool's script command (data and a
 *               filled buffer's length as one word each)
 */
#define TARVO_CONTRACT_FUNCTIONS(X) \
    X(sio_setComPortNo, SetComPortNo, "pi", "port comNumber", "PORT COM") \
    X(sio_open, Open, "p", "port", "PORT") \
    X(sio_close, Close, "p", "port", "PORT") \
    X(sio_term_irq, TermIrq, "p", "port", "PORT") \
    X(sio_iqueue, Iqueue, "p", "port", "PORT") \
    X(sio_getch, Getch, "p", "port", "PORT") \
    X(sio_read, Read, "pon", "port buffer length", "PORT LENGTH") \
    X(sio_write, Write, "pdn", "port buffer count", "PORT \"TEXT\"|x:HEX") \
    X(sio_flush, Flush, "pi", "port selector", "PORT SELECTOR") \
    X(sio_baud, Baud, "pi", "port rate", "PORT RATE") \
    X(sio_ioctl, Ioctl, "pii", "port baudIndex mode", "PORT INDEX MODE") \
    X(sio_flowctrl, Flowctrl, "pi", "port mode", "PORT MODE") \
    X(sio_RTS, Rts, "pi", "port on", "PORT ON") \
    X(sio_DTR, Dtr, "pi", "port on", "PORT ON") \
    X(sio_enableat, Enableat, "p", "port", "PORT") \
    X(sio_disableat, Disableat, "p", "port", "PORT")

/* X(value, name, text): the result codes, as tarvo.h defines and explains them. */
#define TARVO_CONTRACT_RESULTS(X) \
    X(-20001, ERR_BAD_PORT, "port number outside 1..16") \
    X(-20002, ERR_OPEN_FAILED, "opening the device failed") \
    X(-20003, ERR_SETUP_FAILED, "setting the device queue sizes failed") \
    X(-20004, ERR_NOT_OPEN, "the port is not open") \
    X(-20005, ERR_CLOSE_FAILED, "closing the device failed") \
    X(-20006, ERR_STATUS_FAILED, "reading the device status failed") \
    X(-20007, ERR_NO_DATA, "no received byte is waiting") \
    X(-20008, ERR_GET_STATE_FAILED, "reading the line settings failed") \
    X(-20009, ERR_SET_STATE_FAILED, "writing the line settings failed") \
    X(-20010, ERR_BAD_PARAMETER, "a rate or rate index out of range") \
    X(-20011, ERR_PURGE_FAILED, "a purge failed, or a bad purge selector")

/* X(rate): the rates of sio_ioctl in bit/s, by baud index 0..19. The last
   is also the highest rate sio_baud takes. */
#define TARVO_CONTRACT_RATES(X) \
    X(50) X(75) X(110) X(134) X(150) \
    X(300) X(600) X(1200) X(1800) X(2400) \
    X(4800) X(7200) X(9600) X(19200) X(38400) \
    X(57600) X(115200) X(230400) X(460800) X(921600)

/*
 * The line-mode byte of sio_ioctl, and its "8N1" notation: data bits,
 * parity letter, stop bits.
 * X(letter, bits): data bits 5..8, in the mask 0x03.
 * X(letter, bits): one or two stop bits, in the mask 0x04.
 * X(letter, bits, DcbParity): the parities, in the mask 0x38; the other
 *   values of the mask (0x10, 0x20, 0x30) keep the device's parity.
 */
#define TARVO_CONTRACT_DATA_BITS_MASK 0x03
#define TARVO_CONTRACT_DATA_BITS(X) \
    X('5', 0x00) \
    X('6', 0x01) \
    X('7', 0x02) \
    X('8', 0x03)
#define TARVO_CONTRACT_STOP_BITS_MASK 0x04
#define TARVO_CONTRACT_STOP_BITS(X) \
    X('1', 0x00) \
    X('2', 0x04)
#define TARVO_CONTRACT_PARITY_MASK 0x38
#define TARVO_CONTRACT_PARITIES(X) \
    X('N', 0x00, NOPARITY) \
    X('O', 0x08, ODDPARITY) \
    X('E', 0x18, EVENPARITY) \
    X('M', 0x28, MARKPARITY) \
    X('S', 0x38, SPACEPARITY)

#endif /* TARVO_CONTRACT_H */
