// demo builds on Linux pseudo-terminals; Windows has none, so there it only
// explains that.
#include <cstdio>

#include "commands.h"

namespace tarvo::tool {
namespace {

int unavailable(const char* name) {
    std::fprintf(stderr, "tarvo %s: not available on Windows (it needs Linux pseudo-terminals)\n", name);
    return EXIT_USAGE;
}

}  // namespace

int demo_main(const std::vector<std::string>&) { return unavailable("demo"); }

}  // namespace tarvo::tool
