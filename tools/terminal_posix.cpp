#include <unistd.h>

#include "commands.h"
#include "tarvo_ext.h"
#include "terminal.h"

namespace tarvo::tool {

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }

void use_binary_stdio() {}  // POSIX streams never translate

const bool DEMO_AVAILABLE = true;

int send_piece(int port, const char* bytes, int count) { return tarvo_send(port, bytes, count); }

std::string open_failure_reason(int port) {
    char text[TARVO_DEVICE_TEXT_SIZE + 64];
    return tarvo_open_cause(port, text, sizeof text) > 0 ? text : "";
}

}  // namespace tarvo::tool
