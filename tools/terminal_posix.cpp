#include <unistd.h>

#include "commands.h"
#include "terminal.h"

namespace tarvo::tool {

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }

void use_binary_stdio() {}  // POSIX streams never translate

const bool DEMO_AVAILABLE = true;

}  // namespace tarvo::tool
