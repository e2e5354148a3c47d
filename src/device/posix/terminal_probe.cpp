#include "device/posix/terminal_probe.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "device/posix/sysfs_serial.h"

namespace tarvo::posix {

using namespace tarvo::dev;

namespace {

// Major 5: /dev/tty (minor 0), /dev/console (1) and /dev/ptmx (2).
constexpr unsigned TTYAUX_MAJOR = 5;
// Major 4 below minor 64: the virtual consoles (/dev/tty0 is the current one);
// the serial ports /dev/ttyS<n> follow from 64 on.
constexpr unsigned TTY_MAJOR = 4;
constexpr unsigned FIRST_SERIAL_MINOR = 64;
// Old-style pty masters and slaves; the slaves /dev/ptmx hands out.
constexpr unsigned PTY_MASTER_MAJOR = 2;
constexpr unsigned PTY_SLAVE_MAJOR = 3;
constexpr unsigned UNIX98_PTY_SLAVE_MAJOR = 136;
constexpr unsigned UNIX98_PTY_MAJOR_COUNT = 8;

bool is_pty_slave_number(dev_t number) {
    const unsigned kind = major(number);
    return kind == PTY_SLAVE_MAJOR ||
           (kind >= UNIX98_PTY_SLAVE_MAJOR && kind < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT);
}

// "MAJOR:MINOR" at `text` as a device number; false when it is not one.
bool parse_device_number(const char* text, dev_t& number) {
    unsigned majorNumber = 0, minorNumber = 0;
    char end = 0;
    if (std::sscanf(text, "%u:%u%c", &majorNumber, &minorNumber, &end) < 2) return false;
    number = makedev(majorNumber, minorNumber);
    return true;
}

// Each whitespace-separated word of `text`, in place.
template <class Visit>
void for_each_word(char* text, Visit visit) {
    char* rest = nullptr;
    for (char* word = strtok_r(text, " \t\n", &rest); word != nullptr; word = strtok_r(nullptr, " \t\n", &rest))
        visit(word);
}

// The device numbers of the consoles, as many as a machine has.
struct ConsoleNumbers {
    static constexpr int MOST = 32;
    dev_t numbers[MOST];
    int count = 0;

    void add(dev_t number) {
        if (count < MOST) numbers[count++] = number;
    }
    bool contain(dev_t number) const {
        for (int i = 0; i < count; ++i)
            if (numbers[i] == number) return true;
        return false;
    }
};

void read_named_consoles(const char* root, ConsoleNumbers& consoles) {
    char folder[SYSFS_PATH_SIZE], active[SYSFS_VALUE_SIZE];
    std::snprintf(folder, sizeof folder, "%s/sys/class/tty/console", root);
    if (!read_attribute(folder, "active", active, sizeof active)) return;
    for_each_word(active, [&](const char* name) {
        char ttyFolder[SYSFS_PATH_SIZE], text[32];
        dev_t console = 0;
        if (std::strchr(name, '/') != nullptr || std::strcmp(name, "..") == 0) return;
        std::snprintf(ttyFolder, sizeof ttyFolder, "%s/sys/class/tty/%s", root, name);
        if (read_attribute(ttyFolder, "dev", text, sizeof text) && parse_device_number(text, console))
            consoles.add(console);
    });
}

// /proc/consoles ends each line with the console's MAJOR:MINOR, all of them
// in one read; a tree without it (a container's, a test's) says it in sysfs.
ConsoleNumbers read_consoles(const char* root) {
    ConsoleNumbers consoles;
    char folder[SYSFS_PATH_SIZE], list[4096];
    std::snprintf(folder, sizeof folder, "%s/proc", root);
    if (!read_attribute(folder, "consoles", list, sizeof list)) {
        read_named_consoles(root, consoles);
        return consoles;
    }
    for_each_word(list, [&](const char* word) {
        dev_t console = 0;
        if (std::strchr(word, ':') != nullptr && parse_device_number(word, console)) consoles.add(console);
    });
    return consoles;
}

// This machine's consoles, read at most once a second: an open compares
// device numbers instead of reading the list (four system calls and the
// kernel writing it out, more than the open itself). A console that comes
// later (a driver loaded, netconsole) counts from the next reading.
constexpr long long CONSOLES_KEPT_NS = 1000000000LL;

bool is_machine_console(dev_t number) {
    static std::mutex guard;
    static ConsoleNumbers kept;
    static long long readAt = 0;  // 0: never
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);  // in the vDSO: no system call
    const long long nowNs = now.tv_sec * 1000000000LL + now.tv_nsec;
    std::lock_guard<std::mutex> lock(guard);
    if (readAt == 0 || nowNs - readAt >= CONSOLES_KEPT_NS) {
        kept = read_consoles("");
        readAt = nowNs != 0 ? nowNs : 1;
    }
    return kept.contain(number);
}

}  // namespace

bool is_console_number(dev_t number, const char* root) {
    if (major(number) == TTYAUX_MAJOR && minor(number) == 1) return true;  // /dev/console
    return root[0] == '\0' ? is_machine_console(number) : read_consoles(root).contain(number);
}

bool is_console_path(const char* path, const char* root) {
    struct stat info {};
    if (::stat(path, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    return is_console_number(info.st_rdev, root);
}

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

DeviceNature examine_device(int fd, termios2* settings) {
    DeviceNature nature{false, false, 0};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return nature;
    const unsigned kind = major(info.st_rdev);
    if (kind == TTYAUX_MAJOR || kind == PTY_MASTER_MAJOR) return nature;
    if (kind == TTY_MAJOR && minor(info.st_rdev) < FIRST_SERIAL_MINOR) return nature;
    termios2 tio{};
    if (::ioctl(fd, TCGETS2, &tio) != 0) return nature;
    // Only a pty master answers TIOCGPTN; its slave is the device, not it.
    // A slave's number says what it is without asking.
    const bool ptySlave = is_pty_slave_number(info.st_rdev);
    unsigned ptyIndex = 0;
    if (!ptySlave && ::ioctl(fd, TIOCGPTN, &ptyIndex) == 0) return nature;
    if (settings != nullptr) *settings = tio;
    nature.serialCandidate = true;
    nature.ptySlave = ptySlave;
    nature.number = info.st_rdev;
    return nature;
}

bool is_serial_candidate(int fd) { return examine_device(fd).serialCandidate; }

bool marked_exclusive(int fd) {
    int marked = 0;
    return ::ioctl(fd, TIOCGEXCL, &marked) == 0 && marked != 0;
}

DWORD probe_terminal(const char* path, const char* root) {
    if (is_console_path(path, root)) return ERROR_DEVICE_IN_USE;
    // O_NOCTTY | O_NONBLOCK: opening neither makes it our terminal nor waits
    // for carrier; nothing is written to the device.
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return open_error(errno);
    DWORD result = ERROR_SUCCESS;
    const DeviceNature nature = examine_device(fd);
    if (!nature.serialCandidate) {
        result = ERROR_NOT_SUPPORTED;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        result = open_error(errno);
    } else {
        ::flock(fd, LOCK_UN);
        if (!nature.ptySlave && marked_exclusive(fd)) result = ERROR_SHARING_VIOLATION;
    }
    ::close(fd);
    return result;
}

}  // namespace tarvo::posix
