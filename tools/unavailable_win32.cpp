// demo builds on Linux pseudo-terminals and term on a POSIX terminal;
// Windows has neither, so there they only explain that.
#include <cstdio>

#include "commands.h"

namespace tarvo::tool {
namespace {

int unavailable(const char* name, const char* needs) {
    std::fprintf(stderr, "tarvo %s: not available on Windows (it needs %s)\n", name, needs);
    return EXIT_USAGE;
}

}  // namespace

int demo_main(const std::vector<std::string>&) { return unavailable("demo", "Linux pseudo-terminals"); }
int term_main(const std::vector<std::string>&) { return unavailable("term", "a POSIX terminal"); }

}  // namespace tarvo::tool
