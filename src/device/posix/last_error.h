// The thread's last error, as GetLastError reports it, for every device kind.
#ifndef TARVO_DEVICE_POSIX_LAST_ERROR_H
#define TARVO_DEVICE_POSIX_LAST_ERROR_H

#include "device/device.h"

namespace tarvo::posix {

void set_last_error(dev::DWORD error);
dev::DWORD last_error();

// Records `error` and returns FALSE, for `return fail(...)` in operations.
inline dev::BOOL fail(dev::DWORD error) {
    set_last_error(error);
    return dev::FALSE;
}

// The Win32 code that stands for an errno of a failed system call.
dev::DWORD error_from_errno(int error);

}  // namespace tarvo::posix

#endif
