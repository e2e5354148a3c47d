#include "pty_rig.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

namespace bench {

void fail(const std::string& what) {
    std::fprintf(stderr, "bench: %s (%s)\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

namespace {

tarvo::PtyPair new_pair() {
    try {
        return tarvo::PtyPair();
    } catch (const std::exception& e) {
        fail(e.what());
    }
}

}  // namespace

Pty::Pty() : pair(new_pair()), master(pair.master()), slave(pair.slave_path()) {}

int open_slave(const std::string& path, bool nonblocking, bool exclusive) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | (nonblocking ? O_NONBLOCK : 0));
    if (fd < 0) fail("open " + path);
    // Held exclusively, as the library holds its devices.
    if (exclusive && (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0)) fail("lock " + path);
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) fail("tcgetattr");
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) fail("tcsetattr");
    return fd;
}

void write_all(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("write");
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

EchoPeer::EchoPeer(std::vector<int> masters) : masters_(std::move(masters)) {
    stop_ = eventfd(0, EFD_CLOEXEC);
    if (stop_ < 0) fail("eventfd");
    thread_ = std::thread([this] { run(); });
}

EchoPeer::~EchoPeer() {
    const std::uint64_t one = 1;
    if (write(stop_, &one, sizeof one) != sizeof one) fail("stop echo peer");
    thread_.join();
    close(stop_);
}

void EchoPeer::run() {
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0) fail("epoll_create1");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = stop_;
    epoll_ctl(ep, EPOLL_CTL_ADD, stop_, &ev);
    for (const int m : masters_) {
        ev.data.fd = m;
        if (epoll_ctl(ep, EPOLL_CTL_ADD, m, &ev) != 0) fail("epoll_ctl");
    }
    char buf[4096];
    epoll_event ready[64];
    for (;;) {
        const int n = epoll_wait(ep, ready, 64, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("epoll_wait");
        }
        for (int i = 0; i < n; ++i) {
            const int fd = ready[i].data.fd;
            if (fd == stop_) {
                close(ep);
                return;
            }
            const ssize_t got = read(fd, buf, sizeof buf);
            if (got > 0) {
                write_all(fd, buf, static_cast<std::size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                // Hung up: stop watching rather than spin on it.
                epoll_ctl(ep, EPOLL_CTL_DEL, fd, nullptr);
            }
        }
    }
}

Streamer::Streamer(std::size_t total) : total_(total) {
    if (pipe2(requests_, O_CLOEXEC) != 0) fail("pipe2");
    thread_ = std::thread([this] { run(); });
}

Streamer::~Streamer() {
    const int stop = -1;
    if (write(requests_[1], &stop, sizeof stop) != sizeof stop) fail("stop streamer");
    thread_.join();
    close(requests_[0]);
    close(requests_[1]);
}

void Streamer::start(int master) {
    if (write(requests_[1], &master, sizeof master) != sizeof master) fail("start streamer");
}

void Streamer::run() {
    std::vector<char> chunk(64 * 1024);
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>('a' + i % 26);
    for (;;) {
        int master = -1;
        if (read(requests_[0], &master, sizeof master) != sizeof master || master < 0) return;
        for (std::size_t left = total_; left > 0;) {
            const std::size_t n = std::min(left, chunk.size());
            write_all(master, chunk.data(), n);
            left -= n;
        }
    }
}

}  // namespace bench
