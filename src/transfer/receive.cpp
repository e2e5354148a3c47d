// Receiving: only bytes that already wait in the device's input queue.
#include <climits>

#include "registry/port_table.h"
#include "tarvo.h"
#include "transfer/completion.h"

using namespace tarvo;
using namespace tarvo::dev;

namespace {

// Bytes waiting in the input queue; a failed status read counts as none.
DWORD waiting_bytes(HANDLE handle) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (ClearCommError(handle, &errors, &stat) != TRUE) return 0;
    return stat.cbInQue;
}

DWORD read_waiting(PortSlot& slot, void* buffer, DWORD amount) {
    DWORD count = 0;
    const BOOL done = ReadFile(slot.handle, buffer, amount, &count, &slot.readRecord);
    return transferred(slot.handle, done, count, slot.readRecord);
}

}  // namespace

TARVO_API(int) sio_iqueue(int port) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    DWORD errors = 0;
    COMSTAT stat{};
    if (ClearCommError(slot->handle, &errors, &stat) != TRUE) return ERR_STATUS_FAILED;
    // A count past INT_MAX (a driver gone wrong) must not come back negative,
    // where it would read as an error code.
    if (stat.cbInQue > static_cast<DWORD>(INT_MAX)) return INT_MAX;
    return static_cast<int>(stat.cbInQue);
}

TARVO_API(int) sio_getch(int port) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    if (waiting_bytes(slot->handle) == 0) return ERR_NO_DATA;
    unsigned char byte = 0;
    // A read that delivers nothing (failed, or a stripped 0x00) is no data.
    if (read_waiting(*slot, &byte, 1) != 1) return ERR_NO_DATA;
    return byte;
}

TARVO_API(int) sio_read(int port, char* buffer, int length) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    const DWORD waiting = waiting_bytes(slot->handle);
    if (length <= 0 || buffer == nullptr) return 0;
    const DWORD wanted = static_cast<DWORD>(length);
    const DWORD amount = wanted < waiting ? wanted : waiting;
    if (amount == 0) return 0;
    return static_cast<int>(read_waiting(*slot, buffer, amount));
}
