/*
 * Tarvo: plain C functions for RS-232 COM ports 1..16.
 *
 * Every function returns an int: 0 or more is success (0, a byte value or a
 * count), a negative value is one of the TARVO result codes below.
 * Port numbers run from 1 to 16; the port number always comes first.
 */
#ifndef TARVO_H
#define TARVO_H

#define ERR_BAD_PORT          (-20001) /* port number outside 1..16 */
#define ERR_OPEN_FAILED       (-20002) /* opening the device failed */
#define ERR_SETUP_FAILED      (-20003) /* setting the device queue sizes failed */
#define ERR_NOT_OPEN          (-20004) /* the port is not open */
#define ERR_CLOSE_FAILED      (-20005) /* closing the device failed */
#define ERR_STATUS_FAILED     (-20006) /* reading the device status failed */
#define ERR_NO_DATA           (-20007) /* no received byte is waiting */
#define ERR_GET_STATE_FAILED  (-20008) /* reading the line settings failed */
#define ERR_SET_STATE_FAILED  (-20009) /* writing the line settings failed */
#define ERR_BAD_PARAMETER     (-20010) /* a rate or rate index out of range */
#define ERR_PURGE_FAILED      (-20011) /* a purge failed, or a bad purge selector */

/*
 * TARVO_API(type) declares an exported function: C linkage, undecorated name,
 * the C calling convention (cdecl). On Windows the DLL exports the functions
 * and applications import them; elsewhere they have default visibility.
 */
#ifdef __cplusplus
#define TARVO_LINKAGE extern "C"
#else
#define TARVO_LINKAGE
#endif

#if defined(_WIN32)
#  if defined(TARVO_BUILDING)
#    define TARVO_API(type) TARVO_LINKAGE __declspec(dllexport) type __cdecl
#  else
#    define TARVO_API(type) TARVO_LINKAGE __declspec(dllimport) type __cdecl
#  endif
#else
#  define TARVO_API(type) TARVO_LINKAGE __attribute__((visibility("default"))) type
#endif

/*
 * Port lifecycle.
 * sio_setComPortNo: port n opens COM comNumber from its next sio_open on
 *   (a negative comNumber: COM n again). 0.
 * sio_open: opens the port's COM device exclusively. 0, ERR_BAD_PORT,
 *   ERR_OPEN_FAILED, ERR_SETUP_FAILED (the port is then open: close it).
 *   An open port is closed first.
 * sio_close: 0, ERR_NOT_OPEN, ERR_CLOSE_FAILED.
 * sio_term_irq: 0 if the port is open, else ERR_NOT_OPEN.
 */
TARVO_API(int) sio_setComPortNo(int port, int comNumber);
TARVO_API(int) sio_open(int port);
TARVO_API(int) sio_close(int port);
TARVO_API(int) sio_term_irq(int port);

/*
 * Receiving: never waits, takes only bytes already received.
 * sio_iqueue: bytes waiting, or ERR_NOT_OPEN, ERR_STATUS_FAILED.
 * sio_getch: the next byte as 0..255, or ERR_NOT_OPEN, ERR_NO_DATA.
 * sio_read: bytes stored in buffer (at most length), or ERR_NOT_OPEN.
 */
TARVO_API(int) sio_iqueue(int port);
TARVO_API(int) sio_getch(int port);
TARVO_API(int) sio_read(int port, char *buffer, int length);

/*
 * Sending and purging.
 * sio_write: discards whatever waits in both device queues, sends count
 *   bytes and returns when they have gone out or the write ended early
 *   (timeout, failure, hang-up): the bytes the device took until then, or
 *   ERR_NOT_OPEN. No later purge discards bytes counted as sent.
 * sio_flush: selector 0 empties the input queue, 1 the output queue, 2 both.
 *   0, ERR_NOT_OPEN, ERR_STATUS_FAILED, ERR_PURGE_FAILED.
 */
TARVO_API(int) sio_write(int port, const char *buffer, int count);
TARVO_API(int) sio_flush(int port, int selector);

/*
 * Speed and character format. 0, ERR_NOT_OPEN, ERR_BAD_PARAMETER,
 * ERR_GET_STATE_FAILED, ERR_SET_STATE_FAILED.
 * sio_baud: any rate from 0 to 921600 bit/s; the device decides.
 * sio_ioctl: baudIndex 0..19 picks 50 75 110 134 150 300 600 1200 1800 2400
 *   4800 7200 9600 19200 38400 57600 115200 230400 460800 921600 bit/s;
 *   mode bits 0-1 data bits (5 + value), bit 2 two stop bits, bits 3-5
 *   parity (0x00 none, 0x08 odd, 0x18 even, 0x28 mark, 0x38 space, others
 *   keep the device's). Also sets 2000 ms read and write timeouts.
 */
TARVO_API(int) sio_baud(int port, int rate);
TARVO_API(int) sio_ioctl(int port, int baudIndex, int mode);

/*
 * Flow control and control lines. 0, ERR_NOT_OPEN, ERR_GET_STATE_FAILED,
 * ERR_SET_STATE_FAILED.
 * sio_flowctrl: bit 0 watches CTS before sending, bit 1 sets RTS on;
 *   XON/XOFF goes off.
 * sio_RTS, sio_DTR: the line on (non-zero) or off.
 * sio_enableat: received 0x00 bytes are dropped, RTS on.
 * sio_disableat: 0x00 bytes are kept, RTS off.
 */
TARVO_API(int) sio_flowctrl(int port, int mode);
TARVO_API(int) sio_RTS(int port, int on);
TARVO_API(int) sio_DTR(int port, int on);
TARVO_API(int) sio_enableat(int port);
TARVO_API(int) sio_disableat(int port);

#endif /* TARVO_H */
