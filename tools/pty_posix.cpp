#include "pty_posix.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tarvo::tool {
namespace {

[[noreturn]] void fail(const char* what) { throw std::runtime_error(std::string(what) + ": " + std::strerror(errno)); }

}  // namespace

PtyPair::PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) fail("posix_openpt");
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        const int saved = errno;
        close(master_);
        errno = saved;
        fail("unlocking the pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        const int saved = errno;
        close(master_);
        errno = saved;
        fail("ptsname");
    }
    slavePath_ = name;
    // A new pseudo-terminal starts as a cooked, echoing terminal; an
    // instrument line is raw. Settings made on the master apply to the slave.
    termios line{};
    if (tcgetattr(master_, &line) == 0) {
        cfmakeraw(&line);
        tcsetattr(master_, TCSANOW, &line);
    }
}

PtyPair::~PtyPair() {
    if (master_ >= 0) close(master_);
}

}  // namespace tarvo::tool
