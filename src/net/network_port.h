// The device kind for serial ports served over the network: a Telnet
// COM-PORT-OPTION server (line settings travel to the far port) or a raw TCP
// server (data only), with the Win32 semantics of a local port.
#ifndef TARVO_NET_NETWORK_PORT_H
#define TARVO_NET_NETWORK_PORT_H

#include <cstddef>

#include "device/posix/com_mapping.h"
#include "device/posix/port.h"

namespace tarvo::posix {

// Connects to the server `target` names and, for a COM-PORT-OPTION server,
// negotiates and learns the port's settings, all within the target's
// timeout, into the network storage of pool entry `index`; nullptr with the
// last error set on failure, with the connection closed.
Port* open_network(std::size_t index, const ComTarget& target);

}  // namespace tarvo::posix

#endif
