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

/* Port lifecycle */
TARVO_API(int) sio_setComPortNo(int port, int comNumber);
TARVO_API(int) sio_open(int port);
TARVO_API(int) sio_close(int port);
TARVO_API(int) sio_term_irq(int port);

/* Receiving: never waits, takes only bytes already received */
TARVO_API(int) sio_iqueue(int port);
TARVO_API(int) sio_getch(int port);
TARVO_API(int) sio_read(int port, char *buffer, int length);

/* Sending (empties both device queues first) and purging */
TARVO_API(int) sio_write(int port, const char *buffer, int count);
TARVO_API(int) sio_flush(int port, int selector); /* 0 input, 1 output, 2 both */

/* Speed and character format */
TARVO_API(int) sio_baud(int port, int rate);
TARVO_API(int) sio_ioctl(int port, int baudIndex, int mode);

/* Flow control and control lines */
TARVO_API(int) sio_flowctrl(int port, int mode);
TARVO_API(int) sio_RTS(int port, int on);
TARVO_API(int) sio_DTR(int port, int on);
TARVO_API(int) sio_enableat(int port);
TARVO_API(int) sio_disableat(int port);

#endif /* TARVO_H */
