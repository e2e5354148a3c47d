// The device kind for Linux terminals (serial ports, USB adapters, ptys):
// termios2 settings, Win32 semantics.
#ifndef TARVO_DEVICE_POSIX_TERMINAL_PORT_H
#define TARVO_DEVICE_POSIX_TERMINAL_PORT_H

#include <cstddef>

#include "device/posix/port.h"

namespace tarvo::posix {

// Opens `path` exclusively and raw into the terminal storage of pool entry
// `index`; nullptr with the last error set on failure, with everything taken
// so far given back.
Port* open_terminal(std::size_t index, const char* path);

}  // namespace tarvo::posix

#endif
