/*
 * Tarvo extensions: what tools need beyond the 16 functions of tarvo.h.
 *
 * libtarvo.so only (symbol version TARVO_EXT_1); Tarvo.dll exports exactly
 * the 16 functions and none of these. Same rules as tarvo.h: every function
 * returns an int (0 or more success, a negative TARVO result code), the port
 * number comes first, nothing is allocated per call, no thread is started and
 * every wait is bounded: by the port's write timeout, or by the call's own.
 */
#ifndef TARVO_EXT_H
#define TARVO_EXT_H

#include "tarvo.h"

/* Why an open failed: a fixed value, and a short text (tarvo_cause_text). */
enum tarvo_cause {
    TARVO_CAUSE_NONE = 0,         /* the last open succeeded, or none was made */
    TARVO_CAUSE_NOT_FOUND = 1,    /* no such device or file */
    TARVO_CAUSE_NOT_SERIAL = 2,   /* not a serial device (a file, a pty master, ...) */
    TARVO_CAUSE_BUSY = 3,         /* held by another process or port */
    TARVO_CAUSE_PERMISSION = 4,   /* no permission to open it */
    TARVO_CAUSE_CONSOLE = 5,      /* the system console: never opened */
    TARVO_CAUSE_BAD_MAPPING = 6,  /* the COM mapping cannot be understood */
    TARVO_CAUSE_REFUSED = 7,      /* the network server refused the connection */
    TARVO_CAUSE_NO_ANSWER = 8,    /* the server or the name lookup did not answer in time */
    TARVO_CAUSE_NO_SUCH_HOST = 9, /* the host name does not resolve */
    TARVO_CAUSE_NEGOTIATION = 10, /* the server refused the serial-port protocol */
    TARVO_CAUSE_OTHER = 11,       /* anything else: the text says what */
    TARVO_CAUSE_UNREACHABLE = 12, /* no route to the network server */
    TARVO_CAUSE_RESET = 13,       /* the network server reset the connection */
    TARVO_CAUSE_MALFORMED = 14    /* the server answered something malformed */
};

/*
 * tarvo_open_cause: why the last sio_open of `port` failed, as a
 *   tarvo_cause; `text` (if not NULL, `size` > 0) gets a short NUL-terminated
 *   reason naming the device, e.g. "/dev/ttyUSB7: no such device"
 *   (TARVO_DEVICE_TEXT_SIZE + 64 bytes hold any). ERR_BAD_PORT for a port
 *   outside 1..16.
 * tarvo_cause_text: the fixed text of a cause ("not found", "busy", ...),
 *   never NULL.
 */
#define TARVO_DEVICE_TEXT_SIZE 256
TARVO_API(int) tarvo_open_cause(int port, char *text, int size);
TARVO_API(const char *) tarvo_cause_text(int cause);

/* One COM port or serial device as `tarvo ports` shows it. */
enum tarvo_port_status {
    TARVO_PORT_FREE = 0,          /* can be opened now */
    TARVO_PORT_BUSY = 1,          /* held by another process */
    TARVO_PORT_NO_ACCESS = 2,     /* permission denied */
    TARVO_PORT_CONSOLE = 3,       /* the system console: never opened */
    TARVO_PORT_NOT_FOUND = 4,     /* the mapping names nothing */
    TARVO_PORT_NOT_SERIAL = 5,    /* exists but is not a serial device */
    TARVO_PORT_NETWORK = 6,       /* a network mapping whose server takes a connection */
    TARVO_PORT_BAD_MAPPING = 7,   /* the mapping cannot be understood */
    TARVO_PORT_UNREACHABLE = 8    /* a network mapping whose server takes no connection */
};

struct tarvo_port_info {
    int com;                 /* COM number 1..16 that reaches it, 0 for none */
    int status;              /* a tarvo_port_status */
    char device[256];        /* the path or URL opened; "" when nothing */
    char mapping[256];       /* the mapping as written (TARVO_COMn=...); "" for the default */
    char driver[64];         /* kernel driver, "" when unknown */
    char usb_vid[8], usb_pid[8];      /* hex as sysfs gives them, "" when not USB */
    char usb_serial[256];    /* "" when it is longer than 255 bytes: never cut */
    char usb_manufacturer[128], usb_product[128];
    char by_id[256];         /* first /dev/serial/by-id link, "" when none */
    char usb_interface[8];   /* USB interface number as sysfs gives it, "" when not USB */
    char detail[256];        /* the status in words a user can act on, e.g. "busy: held by
                                another program", "refused: nothing listens there" */
};

/*
 * tarvo_list_ports: fills up to `capacity` entries (ports may be NULL when
 *   capacity is 0) and returns how many there are, which may be more than
 *   `capacity`: first COM1..COM16 where they reach something (in order),
 *   then the serial devices no COM number reaches (com 0). Reads only:
 *   nothing is opened in a way that changes a device, the console never; a
 *   network mapping's server is only connected to and let go at once
 *   (bounded by its timeout). Allocates while it runs (it is no data call).
 * tarvo_list_ports_at: the same with sysfs, /dev and /proc read under
 *   `root` (a container's or a test's tree; NULL or "" this machine's).
 */
TARVO_API(int) tarvo_list_ports(struct tarvo_port_info *ports, int capacity);
TARVO_API(int) tarvo_list_ports_at(const char *root, struct tarvo_port_info *ports, int capacity);
TARVO_API(const char *) tarvo_port_status_text(int status);

/*
 * tarvo_send: like sio_write but full duplex: nothing is purged, bytes
 *   already received stay in the input queue. Returns within about
 *   TARVO_SEND_MS with the bytes the device took, which may be fewer than
 *   `count` (send the rest with the next call: a caller sending in pieces
 *   can look at its keyboard and signals between them); ERR_NOT_OPEN,
 *   ERR_BAD_PORT. The port's own write timeouts are back in force after it.
 */
#define TARVO_SEND_MS 100
TARVO_API(int) tarvo_send(int port, const char *buffer, int count);

/* Modem status lines, as a bit mask of the values below. */
#define TARVO_CTS 0x10
#define TARVO_DSR 0x20
#define TARVO_RI  0x40
#define TARVO_DCD 0x80

/*
 * tarvo_modem_status: the status lines now, a mask of TARVO_CTS, TARVO_DSR,
 *   TARVO_RI, TARVO_DCD; ERR_NOT_OPEN, ERR_STATUS_FAILED (the device has no
 *   modem lines, as a pty or a raw TCP port).
 * tarvo_break: holds the line in the break state for `ms` milliseconds
 *   (1..5000), then releases it; a network server's answer to each step is
 *   awaited within the port's timeout. 0, ERR_NOT_OPEN, ERR_BAD_PARAMETER,
 *   ERR_SET_STATE_FAILED.
 */
TARVO_API(int) tarvo_modem_status(int port);
TARVO_API(int) tarvo_break(int port, int ms);

/*
 * tarvo_set_target: names what `port` opens, for this process, ahead of
 *   TARVO_COMn and sio_setComPortNo: a device path, a URL (tcp://,
 *   rfc2217://, with the same ?options as TARVO_COMn) or
 *   usb:VID:PID[:SERIAL]. NULL or "" forgets it. It takes effect at the
 *   port's next sio_open; an open port keeps its device. 0, ERR_BAD_PORT,
 *   ERR_BAD_PARAMETER (TARVO_DEVICE_TEXT_SIZE bytes or longer, or a control
 *   character in it). Nothing is read from or written to the environment.
 * tarvo_port_device: the device path or URL `port` opened, or its last open
 *   tried, as recorded at that open (a usb: target names the terminal it
 *   found then; "COM<n>" when the open reached no device at all): the
 *   length written into `text` (without its NUL), ERR_BAD_PORT,
 *   ERR_BAD_PARAMETER (`text` NULL, or `size` too small for the text and
 *   its NUL; TARVO_DEVICE_TEXT_SIZE always holds it).
 */
TARVO_API(int) tarvo_set_target(int port, const char *target);
TARVO_API(int) tarvo_port_device(int port, char *text, int size);

/*
 * tarvo_wait: sleeps in the kernel until at least `count` (1..) bytes wait in
 *   the input queue, `timeout_ms` (0..) passes or the line hangs up, then
 *   returns the bytes waiting: `count` or more, fewer on time-out. Nothing
 *   is taken from the queue; read it with sio_read. ERR_NOT_OPEN,
 *   ERR_BAD_PORT, ERR_BAD_PARAMETER, ERR_STATUS_FAILED (the line hung up, or
 *   failed, before `count` bytes came: what came waits to be read where the
 *   device keeps it; a pty drops it at the hang-up). No thread, nothing
 *   allocated; a wait on a network port sleeps on its socket.
 */
TARVO_API(int) tarvo_wait(int port, int count, int timeout_ms);

#endif /* TARVO_EXT_H */
