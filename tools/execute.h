// Carries out one parsed command through the library.
#ifndef TARVO_TOOLS_EXECUTE_H
#define TARVO_TOOLS_EXECUTE_H

#include <string>

#include "script.h"

namespace tarvo::tool {

// Calls the library and returns the result line (without newline).
std::string execute(const Command& command);

}  // namespace tarvo::tool

#endif
