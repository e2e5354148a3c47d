#include "uart_peer.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace tarvo::conformance {
namespace {

using Clock = std::chrono::steady_clock;

std::string virtio_port_path(const std::string& name) {
    namespace fs = std::filesystem;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/class/virtio-ports", error)) {
        std::ifstream file(entry.path() / "name");
        std::string found;
        if (std::getline(file, found) && found == name) return "/dev/" + entry.path().filename().string();
    }
    throw std::runtime_error("no virtio port named " + name + " (run inside tests/vm/vm.py --uart-peer)");
}

}  // namespace

UartPeer::UartPeer(std::string device, const std::string& portName) : device_(std::move(device)) {
    const bool tty = portName.rfind("/dev/", 0) == 0;  // a far end that is a terminal of its own
    const std::string port = tty ? portName : virtio_port_path(portName);
    port_ = ::open(port.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | (tty ? O_NOCTTY : 0));
    if (port_ < 0) throw std::runtime_error("cannot open " + port);
    termios raw{};
    if (tty && ::tcgetattr(port_, &raw) == 0) {
        ::cfmakeraw(&raw);
        raw.c_cflag |= CLOCAL | CREAD;
        if (::tcsetattr(port_, TCSANOW, &raw) != 0) throw std::runtime_error("cannot set " + port + " raw");
    }
    // Held raw so that between the tool's runs the line discipline neither
    // echoes what the peer sends nor keeps it for a line editor.
    uart_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (uart_ < 0 || ::tcgetattr(uart_, &tio) != 0) throw std::runtime_error("cannot open " + device_);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    if (::tcsetattr(uart_, TCSANOW, &tio) != 0) throw std::runtime_error("cannot set " + device_ + " raw");
}

UartPeer::~UartPeer() {
    if (uart_ >= 0) ::close(uart_);
    if (port_ >= 0) ::close(port_);
}

bool UartPeer::send(const std::string& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (done < bytes.size()) {
        const ssize_t n = ::write(port_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (Clock::now() >= deadline) return false;
        pollfd fd{port_, POLLOUT, 0};
        ::poll(&fd, 1, 10);
    }
    return true;
}

std::string UartPeer::receive(std::size_t count, std::chrono::milliseconds timeout) {
    std::string got;
    const auto deadline = Clock::now() + timeout;
    while (got.size() < count) {
        char chunk[4096];
        const ssize_t n = ::read(port_, chunk, sizeof chunk);
        if (n > 0) {
            got.append(chunk, static_cast<std::size_t>(n));
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        // A virtio port reads 0 while the host has not connected its end.
        pollfd fd{port_, POLLIN, 0};
        if (::poll(&fd, 1, left < 20 ? static_cast<int>(left) : 20) > 0 && n == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
    return got;
}

DeviceLine UartPeer::line() const {
    DeviceLine line;
    if (!read_device_line(uart_, line))
        throw std::runtime_error("cannot read the line settings of " + device_ + ": " + std::strerror(errno));
    return line;
}

bool UartPeer::set_xon_xoff(bool on) { return conformance::set_xon_xoff(uart_, on); }

void UartPeer::drain() {
    // Bytes still on their way through the host arrive within a moment.
    for (int round = 0; round < 2; ++round) {
        receive_for(std::chrono::milliseconds(20));
        ::tcflush(uart_, TCIOFLUSH);
    }
}

}  // namespace tarvo::conformance
