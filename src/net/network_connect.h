// A TCP connection to the server a network mapping names, within a time
// bound: for the network port kind, and for `tarvo ports`, which says
// whether a network port connects now.
#ifndef TARVO_NET_NETWORK_CONNECT_H
#define TARVO_NET_NETWORK_CONNECT_H

#include "device/device.h"
#include "device/posix/com_mapping.h"

namespace tarvo::posix {

// Why no connection came about; Other carries the errno.
enum class ConnectFailure { None, NoSuchHost, Refused, NoAnswer, Unreachable, Reset, Other };

// A connected, nonblocking socket with TCP_NODELAY set, or -1 and why, all
// within `timeoutMs`, the name lookup included (which alone allocates).
int connect_to_server(const ComTarget& target, int timeoutMs, ConnectFailure& why);

// What GetLastError gives for a network open that failed: for the reason
// the connection failed, or once connected, for a server that refused the
// protocol, answered something malformed, broke the connection (`broken`,
// the error it left; 0 for none) or let the time run out.
dev::DWORD open_error(ConnectFailure why, bool protocolRefused, bool malformed, dev::DWORD broken, bool timedOut);

}  // namespace tarvo::posix

#endif
