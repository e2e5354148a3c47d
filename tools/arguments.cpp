#include "arguments.h"

#include <cstring>

namespace tarvo::tool {
namespace {

const Option* find_option(const std::vector<Option>& options, const std::string& arg) {
    for (const Option& option : options)
        if (arg == option.name || (option.alias != nullptr && arg == option.alias)) return &option;
    return nullptr;
}

}  // namespace

bool parse_arguments(const std::vector<std::string>& args, const std::vector<Option>& options,
                     std::vector<std::string>& operands, std::string& error) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const Option* option = find_option(options, arg);
        if (option == nullptr) {
            error = "unknown option " + arg;
            return false;
        }
        if (option->takesValue && i + 1 >= args.size()) {
            error = arg + " needs a value";
            return false;
        }
        const std::string value = option->takesValue ? args[++i] : std::string();
        if (!option->apply(value)) {
            error = "bad value for " + arg + ": '" + value + "'";
            return false;
        }
    }
    return true;
}

}  // namespace tarvo::tool
