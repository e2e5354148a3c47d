// The one piece of state the library keeps: 16 port slots, filled at load.
#ifndef TARVO_REGISTRY_PORT_TABLE_H
#define TARVO_REGISTRY_PORT_TABLE_H

#include "device/device.h"

namespace tarvo {

constexpr int PORT_COUNT = 16;
// Room for a target named through the extensions, with its NUL.
constexpr int TARGET_TEXT_SIZE = 256;

struct PortSlot {
    int comOverride;             // >= 0: the COM number sio_open opens; negative: the port number itself
    dev::HANDLE handle;          // INVALID_HANDLE_VALUE while the port is closed
    dev::OVERLAPPED readRecord;  // passed to every read of the port
    dev::OVERLAPPED writeRecord; // passed to every write of the port
    dev::DWORD openError;        // GetLastError of the last failed sio_open, ERROR_SUCCESS after one that opened
    dev::COMMTIMEOUTS timeouts;  // the timeouts last installed on the open device (all 0: none)
    char target[TARGET_TEXT_SIZE]; // what sio_open opens ahead of any COM number; "" for none
};

// Puts every slot back into its load-time state: closed, no override,
// records zeroed. Runs once at load; the unit tests call it between cases.
void reset_port_table();

// The slot of a port number, or nullptr for numbers outside 1..16.
PortSlot* port_slot(int port);

inline bool is_open(const PortSlot& slot) { return slot.handle != dev::INVALID_HANDLE_VALUE; }

// The open test every operation but sio_setComPortNo and sio_open begins
// with: 0 and the slot of an open port, else the result code to return.
int find_open_port(int port, PortSlot*& slot);

}  // namespace tarvo

#endif
