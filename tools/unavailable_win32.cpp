// demo and ports build on pseudo-terminals and POSIX device names; Windows
// has neither, so there they only explain that.
#include <cstdio>

#include "commands.h"

namespace tarvo::tool {
namespace {

int unavailable(const char* name) {
    std::fprintf(stderr, "tarvo %s: not available on Windows (it needs POSIX pseudo-terminals)\n", name);
    return EXIT_USAGE;
}

}  // namespace

int demo_main(const std::vector<std::string>&) { return unavailable("demo"); }
int ports_main(const std::vector<std::string>&) { return unavailable("ports"); }
int term_main(const std::vector<std::string>&) { return unavailable("term"); }
const char PORTS_HELP[] = "usage: tarvo ports\n";

}  // namespace tarvo::tool
