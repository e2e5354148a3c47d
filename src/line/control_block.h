// Every line setting changes by one rule: read the whole control block fresh,
// change only the operation's own fields, write the block back.
#ifndef TARVO_LINE_CONTROL_BLOCK_H
#define TARVO_LINE_CONTROL_BLOCK_H

#include "device/device.h"
#include "registry/port_table.h"
#include "tarvo.h"

namespace tarvo {

// Open test, GetCommState, change, SetCommState. `change` receives the block
// and the slot's handle; any argument check happens before this is called.
template <typename Change>
int change_control_block(PortSlot& slot, Change change) {
    dev::DCB dcb{};
    if (!dev::GetCommState(slot.handle, &dcb)) return ERR_GET_STATE_FAILED;
    change(dcb, slot.handle);
    if (!dev::SetCommState(slot.handle, &dcb)) return ERR_SET_STATE_FAILED;
    return 0;
}

template <typename Change>
int change_control_block(int port, Change change) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    return change_control_block(*slot, change);
}

}  // namespace tarvo

#endif
