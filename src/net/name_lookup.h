// The addresses of a network port's host, found within the port's timeout.
//
// The system's getaddrinfo waits as long as the resolver configuration says
// (seconds per server and attempt), and its asynchronous form leaves a thread
// of its own running; neither fits an open that promises its bound and starts
// no thread. So an address is taken as written, and a name is looked up with
// c-ares as the system would (hosts file, resolv.conf's servers, search list,
// ndots and options, TCP when an answer is cut), driven on this thread
// through its sockets until the deadline; nothing is left running after.
// Allocates (inside c-ares) at open time only.
#ifndef TARVO_NET_NAME_LOOKUP_H
#define TARVO_NET_NAME_LOOKUP_H

#include <sys/socket.h>

#include <chrono>
#include <cstdint>

namespace tarvo::posix {

struct HostAddresses {
    static constexpr int MOST = 64;
    sockaddr_storage address[MOST];
    int count = 0;
};

enum class Lookup {
    Found,
    NoSuchHost,  // no such name (or no address for it), as the servers say
    NoAnswer,    // the deadline passed before the servers said
    Failed,      // the servers refused or failed, or nothing to ask
};

// The addresses of `host` with TCP port `port`, IPv4 and IPv6 taking turns,
// looked up until `deadline`; once one family is found, the other has a
// short resolution delay to follow.
Lookup look_up_host(const char* host, std::uint16_t port, std::chrono::steady_clock::time_point deadline,
                    HostAddresses& found);

}  // namespace tarvo::posix

#endif
