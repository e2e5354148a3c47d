// The trace on Linux: TARVO_TRACE=FILE appends to FILE, TARVO_TRACE=stderr
// writes to the standard error.
#include <fcntl.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "device/posix/com_mapping.h"
#include "trace/platform.h"

namespace tarvo::trace::platform {
namespace {

int logFd = -1;
pthread_mutex_t writing = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

bool open_log(char* name, std::size_t size) {
    const char* setting = std::getenv("TARVO_TRACE");
    if (setting == nullptr || setting[0] == '\0') return false;
    if (std::strcmp(setting, "stderr") == 0) {
        logFd = STDERR_FILENO;
    } else {
        logFd = ::open(setting, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (logFd < 0) {
            char text[600];
            std::snprintf(text, sizeof text, "tarvo: TARVO_TRACE: cannot open %s (%s): not tracing\n", setting,
                          std::strerror(errno));
            note(text);
            return false;
        }
    }
    std::snprintf(name, size, "%s", setting);
    return true;
}

bool write_log(const char* text, std::size_t length) {
    pthread_mutex_lock(&writing);
    const ssize_t written = ::write(logFd, text, length);
    pthread_mutex_unlock(&writing);
    return written == static_cast<ssize_t>(length);
}

void note(const char* text) {
    const ssize_t ignored = ::write(STDERR_FILENO, text, std::strlen(text));
    (void)ignored;
}

std::uint64_t microseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

unsigned long thread_id() {
    // Asked of the kernel once a thread.
    static thread_local unsigned long id = static_cast<unsigned long>(::syscall(SYS_gettid));
    return id;
}

unsigned long process_id() { return static_cast<unsigned long>(::getpid()); }

unsigned long saved_error() { return static_cast<unsigned long>(errno); }

void restore_error(unsigned long error) { errno = static_cast<int>(error); }

// What the COM number of the path stands for now, by the rule CreateFileA
// follows (no device call): the device path, the URL, and a usb: mapping
// beside the device it found.
void describe_target(const char* path, char* text, std::size_t size) {
    const long number = posix::com_number(path);
    if (number < 0) {
        std::snprintf(text, size, "%s", path != nullptr ? path : "");
        return;
    }
    const char* mapping = posix::mapping_of(number);
    posix::ComTarget target;  // on the stack: the library's thread-local room is small (dlopen)
    if (posix::resolve_com(number, mapping, target) && target.kind == posix::TargetKind::Terminal) {
        if (mapping != nullptr && std::strcmp(mapping, target.device) != 0)
            std::snprintf(text, size, "COM%ld: %s (%s)", number, target.device, mapping);
        else
            std::snprintf(text, size, "COM%ld: %s", number, target.device);
    } else {
        std::snprintf(text, size, "COM%ld: %s", number, mapping != nullptr ? mapping : "no device");
    }
}

}  // namespace tarvo::trace::platform
