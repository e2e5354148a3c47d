// Sending blocks and purging the device queues.
#include "registry/port_table.h"
#include "tarvo.h"
#include "transfer/completion.h"
#include "transfer/send.h"

using namespace tarvo;
using namespace tarvo::dev;

namespace tarvo {

int write_block(PortSlot& slot, const char* buffer, int count) {
    // A negative count must never reach the device as a huge unsigned one.
    if (count < 0 || buffer == nullptr) return 0;
    DWORD sent = 0;
    const BOOL done = WriteFile(slot.handle, buffer, static_cast<DWORD>(count), &sent, &slot.writeRecord);
    return static_cast<int>(transferred(slot.handle, done, sent, slot.writeRecord));
}

}  // namespace tarvo

TARVO_API(int) sio_write(int port, const char* buffer, int count) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;

    // Clear the error condition, then abort whatever is in progress and
    // empty both queues: the answer to this write starts from nothing.
    DWORD errors = 0;
    COMSTAT stat{};
    ClearCommError(slot->handle, &errors, &stat);
    PurgeComm(slot->handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    return write_block(*slot, buffer, count);
}

TARVO_API(int) sio_flush(int port, int selector) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;

    DWORD errors = 0;
    COMSTAT stat{};
    if (ClearCommError(slot->handle, &errors, &stat) != TRUE) return ERR_STATUS_FAILED;
    if (selector < 0 || selector > 2) return ERR_PURGE_FAILED;

    bool purged = true;
    if (selector == 0 || selector == 2) purged = PurgeComm(slot->handle, PURGE_RXCLEAR) != FALSE;
    if (selector == 1 || selector == 2) purged = (PurgeComm(slot->handle, PURGE_TXCLEAR) != FALSE) && purged;
    return purged ? 0 : ERR_PURGE_FAILED;
}
