// Why a path would not open as a COM device, found out without changing the
// device: no settings are written and no hold is kept. The library's open
// reports the same causes through GetLastError; the tarvo tool turns them
// into words.
#ifndef TARVO_DEVICE_POSIX_TERMINAL_PROBE_H
#define TARVO_DEVICE_POSIX_TERMINAL_PROBE_H

#include <sys/types.h>

#include "device/device.h"

struct termios2;  // the kernel's (asm/termbits.h), which clashes with <termios.h>

namespace tarvo::posix {

// The Win32 code for the errno of a failed open(2) of a device path.
dev::DWORD open_error(int error);

// False for what no COM port may be: the caller's own terminal (/dev/tty),
// the console and the virtual consoles, the pty multiplexer (/dev/ptmx), any
// pty master, and anything that is no terminal.
// `fd` is the path opened; checked after open, since a path may be a link.
bool is_serial_candidate(int fd);

// What an opened device is, found with one look at it. `settings`, if not
// null, receives the terminal's settings of a serial candidate.
struct DeviceNature {
    bool serialCandidate;  // as is_serial_candidate
    bool ptySlave;         // the slave side of a pseudo-terminal
    dev_t number;          // its device number
};
DeviceNature examine_device(int fd, termios2* settings = nullptr);

// True when an opener has marked the terminal exclusive (TIOCEXCL): it holds
// the device, whatever device file reached it. A pty slave keeps the mark
// after its holder is gone, so it says nothing there.
bool marked_exclusive(int fd);

// True when `path` reaches (through any links) the system console: the
// kernel writes its messages there (/sys/class/tty/console/active,
// /proc/consoles), or it is /dev/console. Read under
// `root` (empty: this machine). Only looked at, never opened: opening a
// serial port alone raises its modem lines.
bool is_console_path(const char* path, const char* root = "");
// The same for a device number (this machine's consoles are read at most
// once a second; a tree's every time).
bool is_console_number(dev_t number, const char* root = "");

// ERROR_SUCCESS if `path` would open now; otherwise the code the open gives:
// ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION (held by
// another program), ERROR_NOT_SUPPORTED (not a serial device),
// ERROR_DEVICE_IN_USE (the system console, not opened at all).
dev::DWORD probe_terminal(const char* path, const char* root = "");

}  // namespace tarvo::posix

#endif
