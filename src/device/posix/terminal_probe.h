// Why a path would not open as a COM device, found out without changing the
// device: no settings are written and no hold is kept. The library's open
// reports the same causes through GetLastError; the tarvo tool turns them
// into words.
#ifndef TARVO_DEVICE_POSIX_TERMINAL_PROBE_H
#define TARVO_DEVICE_POSIX_TERMINAL_PROBE_H

#include "device/device.h"

namespace tarvo::posix {

// The Win32 code for the errno of a failed open(2) of a device path.
dev::DWORD open_error(int error);

// False for what no COM port may be: the caller's own terminal (/dev/tty),
// the pty multiplexer (/dev/ptmx) and anything that is no character device.
// `fd` is the path opened; checked after open, since a path may be a link.
bool is_serial_candidate(int fd);

// ERROR_SUCCESS if `path` would open now; otherwise the code the open gives:
// ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION (held by
// another program), ERROR_NOT_SUPPORTED (not a serial device).
dev::DWORD probe_terminal(const char* path);

}  // namespace tarvo::posix

#endif
