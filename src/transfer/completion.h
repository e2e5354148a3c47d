// How many bytes a ReadFile or WriteFile moved. Windows may take a transfer in
// the background even when the bytes are already there (Wine does on every
// read); it is waited for here, so no transfer ever outlives the call that
// owns its buffer.
#ifndef TARVO_TRANSFER_COMPLETION_H
#define TARVO_TRANSFER_COMPLETION_H

#include "device/device.h"

namespace tarvo {

// started/count: what ReadFile or WriteFile returned and reported.
inline dev::DWORD transferred(dev::HANDLE handle, dev::BOOL started, dev::DWORD count, dev::OVERLAPPED& record) {
    if (started) return count;
    if (dev::GetLastError() != dev::ERROR_IO_PENDING) return 0;
    dev::DWORD finished = 0;  // stays 0 if the wait fails
    dev::GetOverlappedResult(handle, &record, &finished, dev::TRUE);
    return finished;
}

}  // namespace tarvo

#endif
