// The little the tool needs from the platform's console handling.
#ifndef TARVO_TOOLS_TERMINAL_H
#define TARVO_TOOLS_TERMINAL_H

#include <string>

namespace tarvo::tool {

// True when standard input is an interactive terminal (then `run` prompts).
bool stdin_is_terminal();

// Standard input and output pass bytes unchanged (no CR/LF or end-of-file
// translation), so scripts and results look the same on every platform.
void use_binary_stdio();

// Why the last sio_open of `port` failed, naming the device, e.g.
// "/dev/ttyUSB7: no such device"; read right after the failed open.
std::string open_failure_reason(int port);

// True when `path` is the terminal this process reads or writes (its
// standard input, output or error), under any name.
bool is_own_terminal(const std::string& path);

// Sleeps until `count` (1..) bytes wait at `port`, `millis` pass or the line
// hangs up: the bytes waiting then (fewer on time-out), or a negative result
// code. In the kernel where the platform's library can wait; else by polling.
int wait_for_input(int port, int count, int millis);

// Sends what the port takes within a short bound, keeping what it received
// (full duplex where the platform's library has it): the bytes taken, or a
// negative result code.
int send_piece(int port, const char* bytes, int count);

}  // namespace tarvo::tool

#endif
