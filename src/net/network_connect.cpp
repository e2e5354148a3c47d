#include "net/network_connect.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "net/name_lookup.h"

namespace tarvo::posix {
namespace {

using Clock = std::chrono::steady_clock;

// What a connection attempt is given at least, when the bound allows.
constexpr std::chrono::milliseconds ATTEMPT_MS{250};

// 0 once connected, else the errno of the attempt (ETIMEDOUT at the deadline).
int finish_connect(int fd, Clock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return ETIMEDOUT;
        pollfd watch{fd, POLLOUT, 0};
        const int ready = ::poll(&watch, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return ready == 0 ? ETIMEDOUT : errno;
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
        return error;
    }
}

ConnectFailure failure_of(int error) {
    switch (error) {
        case ECONNREFUSED: return ConnectFailure::Refused;
        case ETIMEDOUT: return ConnectFailure::NoAnswer;
        case ECONNRESET: return ConnectFailure::Reset;
        case ENETUNREACH:
        case EHOSTUNREACH:
        case ENETDOWN:
        case EHOSTDOWN: return ConnectFailure::Unreachable;
        default: return ConnectFailure::Other;
    }
}

ConnectFailure lookup_failure(Lookup lookup) {
    switch (lookup) {
        case Lookup::NoSuchHost: return ConnectFailure::NoSuchHost;
        case Lookup::NoAnswer: return ConnectFailure::NoAnswer;
        default: return ConnectFailure::Other;
    }
}

}  // namespace

int connect_to_server(const ComTarget& target, int timeoutMs, ConnectFailure& why) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    HostAddresses found;
    const auto port = static_cast<std::uint16_t>(std::strtoul(target.service, nullptr, 10));
    const Lookup lookup = look_up_host(target.device, port, deadline, found);
    if (lookup != Lookup::Found) {
        why = lookup_failure(lookup);
        return -1;
    }
    int connected = -1;
    int error = ECONNREFUSED;
    for (int i = 0; i < found.count && connected < 0; ++i) {
        const sockaddr_storage& address = found.address[i];
        // Each address has its share of what is left, and at least a moment:
        // one that never answers does not keep the others from being tried.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const auto share = std::max(left / (found.count - i), std::min(left, ATTEMPT_MS));
        const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        const socklen_t size = address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        error = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), size) == 0 ? 0 : errno;
        if (error == EINPROGRESS) error = finish_connect(fd, Clock::now() + share);
        if (error == 0) {
            connected = fd;
        } else {
            ::close(fd);
        }
    }
    if (connected < 0) {
        why = failure_of(error);
        return -1;
    }
    // Requests and answers are small; none may wait for a fuller segment.
    const int on = 1;
    setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    why = ConnectFailure::None;
    return connected;
}

dev::DWORD open_error(ConnectFailure why, bool protocolRefused, bool malformed, dev::DWORD broken, bool timedOut) {
    switch (why) {
        case ConnectFailure::NoSuchHost: return dev::WSAHOST_NOT_FOUND;
        case ConnectFailure::Refused: return dev::ERROR_CONNECTION_REFUSED;
        case ConnectFailure::NoAnswer: return dev::ERROR_SEM_TIMEOUT;
        case ConnectFailure::Unreachable: return dev::ERROR_NETWORK_UNREACHABLE;
        case ConnectFailure::Reset: return dev::WSAECONNRESET;
        case ConnectFailure::Other: return dev::ERROR_GEN_FAILURE;
        case ConnectFailure::None: break;
    }
    if (protocolRefused) return dev::ERROR_NOT_SUPPORTED;
    if (malformed) return dev::ERROR_INVALID_DATA;
    if (broken != 0) return broken;
    return timedOut ? dev::ERROR_SEM_TIMEOUT : dev::ERROR_GEN_FAILURE;
}

}  // namespace tarvo::posix
