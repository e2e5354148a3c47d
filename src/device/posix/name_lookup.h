// The addresses of a network port's host, found within the port's timeout.
//
// The system's getaddrinfo waits as long as the resolver configuration says
// (seconds per server and attempt), and its asynchronous form leaves a thread
// of its own running; neither fits an open that promises its bound and starts
// no thread. So an address is taken as written, a name is looked up in
// /etc/hosts, and otherwise asked of the name servers of /etc/resolv.conf
// (with its search list and ndots) over UDP, on this thread, until the
// deadline. Allocates only inside the system's reading of resolv.conf.
#ifndef TARVO_DEVICE_POSIX_NAME_LOOKUP_H
#define TARVO_DEVICE_POSIX_NAME_LOOKUP_H

#include <sys/socket.h>

#include <chrono>
#include <cstdint>

namespace tarvo::posix {

struct HostAddresses {
    static constexpr int MOST = 8;
    sockaddr_storage address[MOST];
    int count = 0;
};

enum class Lookup {
    Found,
    NoSuchHost,  // no such name (or no address for it), as the servers say
    NoAnswer,    // the deadline passed before the servers said
    Failed,      // the servers refused or failed, or nothing to ask
};

// The addresses of `host` with TCP port `port`, IPv4 before IPv6, looked up
// until `deadline`.
Lookup look_up_host(const char* host, std::uint16_t port, std::chrono::steady_clock::time_point deadline,
                    HostAddresses& found);

}  // namespace tarvo::posix

#endif
