// The device kind for serial ports served over the network: a Telnet
// COM-PORT-OPTION server (line settings travel to the far port) or a raw TCP
// server (data only), with the Win32 semantics of a local port. One
// connection (socket, buffers, pump, waits, departure) speaks either
// protocol through a policy picked at open.
//
// Locks. Each port has three mutexes, and all ports share one more:
// - `holds` (shared): which server and port each open port holds, and the
//   making of a pool entry's port. Taken last (an open or close takes it
//   under the port's mutex) and never across a wait.
// - the port's mutex: everything else of the connection (the socket, the
//   received data, the control queue, the session, the pace of writes, the
//   broken state). Every call takes it (after its turn, if it needs one)
//   and keeps it to the end, except while it sleeps for the socket: only
//   the two waits (in poll() for the socket to be ready, and between looks
//   at the data still on its way) let it go, and take it back before they
//   return. A helper handed the lock (the port's or a protocol's) may
//   therefore wait, and finds the connection as other calls left it: it
//   reads the state again after every wait, and what it must keep across
//   one it holds in its own variables (what the session has to say is taken
//   out of it before it is sent).
// - the write turn: one write at a time, taken before the port's mutex and
//   kept through the write's waits, so no other write's bytes come between
//   the pieces of one; commands wait while a piece is partly in the socket.
// - the setting turn: one change of settings or break at a time, taken
//   before the port's mutex, so the answers awaited are this change's.
// The order is turn, then the port's mutex, then `holds`.
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
