#include <sys/stat.h>
#include <unistd.h>

#include "commands.h"
#include "tarvo_ext.h"
#include "terminal.h"

namespace tarvo::tool {

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }

void use_binary_stdio() {}  // POSIX streams never translate

const bool DEMO_AVAILABLE = true;

int send_piece(int port, const char* bytes, int count) { return tarvo_send(port, bytes, count); }

int wait_for_input(int port, int count, int millis) { return tarvo_wait(port, count, millis); }

bool is_own_terminal(const std::string& path) {
    struct stat device {};
    if (::stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) return false;
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        struct stat own {};
        if (isatty(fd) == 1 && ::fstat(fd, &own) == 0 && own.st_rdev == device.st_rdev) return true;
    }
    return false;
}

std::string open_failure_reason(int port) {
    char text[TARVO_DEVICE_TEXT_SIZE + 64];
    return tarvo_open_cause(port, text, sizeof text) > 0 ? text : "";
}

}  // namespace tarvo::tool
