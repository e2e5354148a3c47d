#include "pty_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tarvo::conformance {
namespace {

using Clock = std::chrono::steady_clock;

int millis_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PtyPeer::PtyPeer() = default;

bool PtyPeer::send(const std::string& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (done < bytes.size() && master() >= 0) {
        const ssize_t n = write(master(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (Clock::now() >= deadline) return false;
        pollfd fd{master(), POLLOUT, 0};
        poll(&fd, 1, 10);
    }
    return done == bytes.size();
}

std::string PtyPeer::receive(std::size_t count, std::chrono::milliseconds timeout) {
    std::string got;
    const auto deadline = Clock::now() + timeout;
    while (got.size() < count && master() >= 0) {
        char chunk[4096];
        const ssize_t n = read(master(), chunk, sizeof chunk);
        if (n > 0) {
            got.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        const int left = millis_left(deadline);
        if (left == 0) break;
        // EIO: no process has the device open right now; poll would not wait.
        if (n < 0 && errno == EIO) {
            usleep(2000);
            continue;
        }
        pollfd fd{master(), POLLIN, 0};
        poll(&fd, 1, left < 20 ? left : 20);
    }
    return got;
}

DeviceLine PtyPeer::line() const {
    DeviceLine line;
    if (!read_device_line(master(), line)) throw std::runtime_error("cannot read the line settings of " + device());
    return line;
}

bool PtyPeer::set_xon_xoff(bool on) { return conformance::set_xon_xoff(master(), on); }

void PtyPeer::drain() {
    if (master() < 0) return;
    char chunk[4096];
    while (read(master(), chunk, sizeof chunk) > 0) {
    }
    // Bytes sent towards the device wait in the slave's input queue until
    // someone takes them; flushing through a slave descriptor drops them.
    const int slave = open(device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave >= 0) {
        tcflush(slave, TCIOFLUSH);
        close(slave);
    }
    while (read(master(), chunk, sizeof chunk) > 0) {
    }
}

bool PtyPeer::hang_up() {
    pair_.close_master();
    return true;
}

}  // namespace tarvo::conformance
