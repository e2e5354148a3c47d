#include <unistd.h>

#include "terminal.h"

namespace tarvo::tool {

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }

void use_binary_stdio() {}  // POSIX streams never translate

}  // namespace tarvo::tool
