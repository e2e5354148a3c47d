// Mapping, opening and closing ports.
#include <cstdio>

#include "registry/port_table.h"
#include "tarvo.h"

using namespace tarvo;
using namespace tarvo::dev;

namespace {

constexpr DWORD QUEUE_SIZE = 1024;

// Each record carries an event of its own (manual reset, kept for the life of
// the process), so the wait for a read and the wait for a write on the same
// port can never complete each other.
bool give_record_event(OVERLAPPED& record) {
    if (record.hEvent == nullptr) record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return record.hEvent != nullptr;
}

}  // namespace

TARVO_API(int) sio_setComPortNo(int port, int comNumber) {
    PortSlot* slot = port_slot(port);
    if (slot == nullptr) return ERR_BAD_PORT;
    slot->comOverride = comNumber;
    return 0;
}

TARVO_API(int) sio_open(int port) {
    PortSlot* slot = port_slot(port);
    if (slot == nullptr) return ERR_BAD_PORT;

    // A port that is still open lets go of its device first, so a reopen
    // neither leaks the handle nor leaves the device locked. A device that
    // cannot be let go stays with the port, still usable and closable, rather
    // than held by a handle nobody can reach.
    slot->openError = ERROR_GEN_FAILURE;
    if (is_open(*slot)) {
        if (!CloseHandle(slot->handle)) return ERR_OPEN_FAILED;
        slot->handle = INVALID_HANDLE_VALUE;
    }
    if (!give_record_event(slot->readRecord) || !give_record_event(slot->writeRecord)) return ERR_OPEN_FAILED;

    // The override if it is set, else the port number itself.
    const int device = slot->comOverride >= 0 ? slot->comOverride : port;
    char path[20];
    std::snprintf(path, sizeof path, "\\\\.\\COM%d", device);
    // A target named in the call (tarvo_set_target) goes to the device as it
    // is, ahead of any COM number; only the extensions set one.
    const char* name = slot->target[0] != '\0' ? slot->target : path;

    // Exclusive overlapped open; the slot takes the outcome whatever it is.
    slot->handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    // Why, kept for the caller that asks (the next device call may overwrite it).
    if (slot->handle == INVALID_HANDLE_VALUE) {
        slot->openError = GetLastError();
        return ERR_OPEN_FAILED;
    }
    slot->openError = ERROR_SUCCESS;
    slot->timeouts = COMMTIMEOUTS{};

    // Queue sizes. On failure the port stays open for the caller to close.
    if (!SetupComm(slot->handle, QUEUE_SIZE, QUEUE_SIZE)) return ERR_SETUP_FAILED;
    return 0;
}

TARVO_API(int) sio_close(int port) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    if (!CloseHandle(slot->handle)) return ERR_CLOSE_FAILED;
    slot->handle = INVALID_HANDLE_VALUE;
    return 0;
}

TARVO_API(int) sio_term_irq(int port) {
    PortSlot* slot = nullptr;
    return find_open_port(port, slot);
}
