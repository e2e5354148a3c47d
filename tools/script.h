// The command language of `tarvo run`: one library call (or wait/sleep) per
// line. Parsing is separate from execution so it can be tested without a
// device and so a bad line is rejected before anything reaches a port.
#ifndef TARVO_TOOLS_SCRIPT_H
#define TARVO_TOOLS_SCRIPT_H

#include <cstddef>
#include <string>
#include <vector>

#include "tarvo_contract.h"

namespace tarvo::tool {

// Largest block a single read or write line may move, and the longest wait.
constexpr int MAX_TRANSFER = 1 << 20;
constexpr int MAX_MILLIS = 24 * 60 * 60 * 1000;
// A line long enough for a maximal hex write, with room to spare.
constexpr std::size_t MAX_LINE = 4 * static_cast<std::size_t>(MAX_TRANSFER);

// One per library function, then the script's own.
enum class Op {
#define TARVO_OP(function, tag, shape, parameters, usage) tag,
    TARVO_CONTRACT_FUNCTIONS(TARVO_OP)
#undef TARVO_OP
    Wait, Sleep,
};

struct Command {
    Op op = Op::Sleep;
    std::vector<int> args;  // integer arguments in the order written
    std::string data;       // payload of `write`
};

struct ParsedLine {
    enum class Kind { Blank, Command, Malformed };
    Kind kind = Kind::Blank;
    Command command;
    std::string error;  // why a malformed line was rejected
};

// Parses one line (without its line ending). Never throws on bad input.
ParsedLine parse_line(const std::string& line);

// The command as a line that parses back to it: its name, the arguments in
// decimal, write's data as "escaped text".
std::string command_text(const Command& command);

// One line of usage per command, for help texts.
std::vector<std::string> command_synopses();

}  // namespace tarvo::tool

#endif
