// The one argument parser of the tool's commands: options by a table,
// anywhere on the line, and the operands left over.
#ifndef TARVO_TOOLS_ARGUMENTS_H
#define TARVO_TOOLS_ARGUMENTS_H

#include <functional>
#include <string>
#include <vector>

namespace tarvo::tool {

struct Option {
    const char* name;   // "--baud"
    const char* alias;  // "-v", or nullptr
    bool takesValue;
    // Takes the value ("" for a flag); false for a bad one.
    std::function<bool(const std::string& value)> apply;
};

// Options as the table says, "--" ends them, "-" alone is an operand.
// False with `error` set: an unknown option, a missing or bad value.
bool parse_arguments(const std::vector<std::string>& args, const std::vector<Option>& options,
                     std::vector<std::string>& operands, std::string& error);

}  // namespace tarvo::tool

#endif
