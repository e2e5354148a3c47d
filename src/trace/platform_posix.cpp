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

#include "device/device.h"
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

void describe_target(const char* path, char* text, std::size_t size) {
    // "\\.\COM<n>": what the number reaches now (a device path or a URL).
    const char* name = path != nullptr && std::strncmp(path, "\\\\.\\", 4) == 0 ? path + 4 : "";
    char device[4096 + 2] = {};
    if (name[0] != '\0' && dev::QueryDosDeviceA(name, device, sizeof device) != 0 && device[0] != '\0')
        std::snprintf(text, size, "%s: %s", name, device);
    else
        std::snprintf(text, size, "%s", path != nullptr ? path : "");
}

}  // namespace tarvo::trace::platform
