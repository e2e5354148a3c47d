#include "device/posix/terminal_probe.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

namespace tarvo::posix {

using namespace tarvo::dev;

namespace {

// Major 5: /dev/tty (minor 0), /dev/console (1) and /dev/ptmx (2).
constexpr unsigned TTYAUX_MAJOR = 5;

}  // namespace

DWORD open_error(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
        case ENAMETOOLONG:
        case ELOOP: return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS: return ERROR_ACCESS_DENIED;
        case EBUSY:
        case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
        case EISDIR: return ERROR_NOT_SUPPORTED;
        default: return ERROR_GEN_FAILURE;
    }
}

bool is_serial_candidate(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    if (major(info.st_rdev) == TTYAUX_MAJOR) return false;
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return false;
    // Only a pty master answers TIOCGPTN; its slave is the device, not it.
    unsigned number = 0;
    return ::ioctl(fd, TIOCGPTN, &number) != 0;
}

DWORD probe_terminal(const char* path) {
    // O_NOCTTY | O_NONBLOCK: opening neither makes it our terminal nor waits
    // for carrier; nothing is written to the device.
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return open_error(errno);
    DWORD result = ERROR_SUCCESS;
    if (!is_serial_candidate(fd)) {
        result = ERROR_NOT_SUPPORTED;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        result = open_error(errno);
    } else {
        ::flock(fd, LOCK_UN);
    }
    ::close(fd);
    return result;
}

}  // namespace tarvo::posix
