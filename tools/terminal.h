// The little the tool needs from the platform's console handling.
#ifndef TARVO_TOOLS_TERMINAL_H
#define TARVO_TOOLS_TERMINAL_H

namespace tarvo::tool {

// True when standard input is an interactive terminal (then `run` prompts).
bool stdin_is_terminal();

// Standard input and output pass bytes unchanged (no CR/LF or end-of-file
// translation), so scripts and results look the same on every platform.
void use_binary_stdio();

}  // namespace tarvo::tool

#endif
