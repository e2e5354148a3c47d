// Carries out one parsed command through the library.
#ifndef TARVO_TOOLS_EXECUTE_H
#define TARVO_TOOLS_EXECUTE_H

#include <string>

#include "script.h"

namespace tarvo::tool {

struct CallResult {
    int value = 0;          // what the call returned
    std::string line;       // the result line (without newline)
    bool timedOut = false;  // a wait that ran out before its count arrived
};

// Calls the library and returns what came of it.
CallResult execute(const Command& command);

}  // namespace tarvo::tool

#endif
