#include <fcntl.h>
#include <io.h>
#include <stdio.h>

#include "commands.h"
#include "terminal.h"

namespace tarvo::tool {

// demo needs Linux pseudo-terminals.
const bool DEMO_AVAILABLE = false;

bool stdin_is_terminal() { return _isatty(_fileno(stdin)) != 0; }

void use_binary_stdio() {
    // Text mode would end a script at the first 0x1A byte and turn \n into \r\n.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace tarvo::tool
