#include "pty_pair.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tarvo {
namespace {

// Throws for the errno of the failed step.
void check(bool ok, const char* step) {
    if (!ok) throw std::system_error(errno, std::generic_category(), step);
}

}  // namespace

PtyPair::PtyPair(const PtyOptions& options) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    try {
        check(master_ >= 0, "posix_openpt");
        check(::grantpt(master_) == 0 && ::unlockpt(master_) == 0, "unlocking the pseudo-terminal");
        char name[128];
        check(::ptsname_r(master_, name, sizeof name) == 0, "ptsname_r");
        slavePath_ = name;
        if (options.nonblocking) check(::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK) == 0, "fcntl");
        if (options.holdSlave) {
            slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
            check(slave_ >= 0, "opening the slave");
        }
        if (options.raw) {
            // Settings made on the master apply to the slave.
            termios line{};
            check(::tcgetattr(master_, &line) == 0, "tcgetattr");
            ::cfmakeraw(&line);
            check(::tcsetattr(master_, TCSANOW, &line) == 0, "tcsetattr");
        }
    } catch (...) {
        close_all();
        throw;
    }
}

PtyPair::~PtyPair() { close_all(); }

void PtyPair::close_master() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

void PtyPair::close_all() {
    close_master();
    if (slave_ >= 0) ::close(slave_);
    slave_ = -1;
}

}  // namespace tarvo
