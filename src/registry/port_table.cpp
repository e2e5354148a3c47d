#include "registry/port_table.h"

#include <cstring>

#include "tarvo.h"

namespace tarvo {
namespace {

PortSlot table[PORT_COUNT];

// Fills the table when the library is loaded, before any exported call can run.
struct TableAtLoad {
    TableAtLoad() { reset_port_table(); }
} const tableAtLoad;

}  // namespace

void reset_port_table() {
    for (PortSlot& slot : table) {
        slot.handle = dev::INVALID_HANDLE_VALUE;
        slot.comOverride = -1;
        std::memset(&slot.readRecord, 0, sizeof slot.readRecord);
        std::memset(&slot.writeRecord, 0, sizeof slot.writeRecord);
        slot.openError = dev::ERROR_SUCCESS;
        slot.timeouts = dev::COMMTIMEOUTS{};
        slot.target[0] = '\0';
    }
}

PortSlot* port_slot(int port) {
    if (port < 1 || port > PORT_COUNT) return nullptr;
    return &table[port - 1];
}

int find_open_port(int port, PortSlot*& slot) {
    slot = port_slot(port);
    if (slot == nullptr) return ERR_BAD_PORT;
    if (!is_open(*slot)) return ERR_NOT_OPEN;
    return 0;
}

}  // namespace tarvo
