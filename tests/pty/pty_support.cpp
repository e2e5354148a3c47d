#include "pty/pty_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <grp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace tarvo::pty {

Pty::Pty() = default;

void Pty::open_to_all() const {
    if (::chmod(slave_name(), 0666) != 0) std::abort();
}

void Pty::map_as(int comNumber) const {
    const std::string name = "TARVO_COM" + std::to_string(comNumber);
    ::setenv(name.c_str(), slave_name(), 1);
}

termios2 Pty::settings() const {
    termios2 tio{};
    if (::ioctl(master(), TCGETS2, &tio) != 0) std::abort();
    return tio;
}

void Pty::set(const termios2& settings) const {
    if (::ioctl(master(), TCSETS2, &settings) != 0) std::abort();
}

std::size_t Pty::send(const void* data, std::size_t size, int timeoutMs) const {
    const auto start = Clock::now();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < size && elapsed_ms(start) < timeoutMs) {
        const ssize_t put = ::write(master(), bytes + done, size - done);
        if (put > 0) {
            done += static_cast<std::size_t>(put);
            continue;
        }
        pollfd watch{master(), POLLOUT, 0};
        ::poll(&watch, 1, 10);
    }
    return done;
}

std::vector<std::uint8_t> Pty::receive(std::size_t size, int timeoutMs) const {
    const auto start = Clock::now();
    std::vector<std::uint8_t> bytes(size);
    std::size_t done = 0;
    while (done < size && elapsed_ms(start) < timeoutMs) {
        const ssize_t got = ::read(master(), bytes.data() + done, size - done);
        if (got > 0) {
            done += static_cast<std::size_t>(got);
            continue;
        }
        pollfd watch{master(), POLLIN, 0};
        ::poll(&watch, 1, 10);
    }
    bytes.resize(done);
    return bytes;
}

bool wait_until(const std::function<bool()>& condition, int timeoutMs) {
    const auto start = Clock::now();
    while (!condition()) {
        if (elapsed_ms(start) >= timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

namespace {

void become(unsigned uid) {
    if (uid == 0) return;
    // No group of root's stays behind to open what the user may not.
    if (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
        ::_exit(98);
    }
}

int exit_status(int pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int run_in_child(const std::function<int()>& body, unsigned uid) {
    const int pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        become(uid);
        ::_exit(body());
    }
    return exit_status(pid);
}

StandingChild::StandingChild(const std::function<int()>& body) {
    int report[2];
    if (::pipe(report) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
        ::close(report[0]);
        const unsigned char result = static_cast<unsigned char>(body());
        if (::write(report[1], &result, 1) != 1) ::_exit(97);
        for (;;) ::pause();
    }
    ::close(report[1]);
    unsigned char result = 0;
    ready_ = ::read(report[0], &result, 1) == 1 ? result : -1;
    ::close(report[0]);
}

StandingChild::~StandingChild() { kill(); }

void StandingChild::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    exit_status(pid_);
    pid_ = -1;
}

int open_descriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
    return count;
}

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 167 + i / 256) & 0xFF);
    return bytes;
}

}  // namespace tarvo::pty
