#include "device/posix/network_connect.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace tarvo::posix {
namespace {

using Clock = std::chrono::steady_clock;

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
        default: return ConnectFailure::Unreachable;
    }
}

}  // namespace

int connect_to_server(const ComTarget& target, int timeoutMs, ConnectFailure& why) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(target.device, target.service, &hints, &found) != 0) {
        why = ConnectFailure::NoSuchHost;
        return -1;
    }
    int connected = -1;
    int error = ECONNREFUSED;
    for (addrinfo* address = found; address != nullptr && connected < 0; address = address->ai_next) {
        const int fd = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                address->ai_protocol);
        if (fd < 0) continue;
        error = ::connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
        if (error == EINPROGRESS) error = finish_connect(fd, deadline);
        if (error == 0) {
            connected = fd;
        } else {
            ::close(fd);
        }
    }
    freeaddrinfo(found);
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

}  // namespace tarvo::posix
