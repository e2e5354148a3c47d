// The write every sending function ends in.
#ifndef TARVO_TRANSFER_SEND_H
#define TARVO_TRANSFER_SEND_H

#include "registry/port_table.h"

namespace tarvo {

// Hands `count` bytes to the open port's device and waits for the write to
// end; the bytes it took (0 for a negative count or no buffer).
int write_block(PortSlot& slot, const char* buffer, int count);

}  // namespace tarvo

#endif
