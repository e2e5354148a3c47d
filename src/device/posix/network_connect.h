// A TCP connection to the server a network mapping names, within a time
// bound: for the network port kind, and for `tarvo ports`, which says
// whether a network port connects now.
#ifndef TARVO_DEVICE_POSIX_NETWORK_CONNECT_H
#define TARVO_DEVICE_POSIX_NETWORK_CONNECT_H

#include "device/posix/com_mapping.h"

namespace tarvo::posix {

enum class ConnectFailure { None, NoSuchHost, Refused, NoAnswer, Unreachable };

// A connected, nonblocking socket with TCP_NODELAY set, or -1 and why. The
// name lookup allocates and is bounded by the system resolver's own limits.
int connect_to_server(const ComTarget& target, int timeoutMs, ConnectFailure& why);

}  // namespace tarvo::posix

#endif
