// tarvo: drive serial ports through the library from scripts or a terminal.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "script.h"
#include "term_options.h"
#include "terminal.h"

namespace tarvo::tool {
namespace {

// demo is listed only where it runs: it needs Linux pseudo-terminals.
const char* const USAGE_HEAD =
    "usage: tarvo COMMAND [ARGS]\n"
    "       tarvo --version | -V\n"
    "       tarvo --help | -h\n"
    "\n"
    "commands:\n"
    "  run [FILE|-]   run library calls, one per line, from FILE or standard input\n"
    "  term PORT      an interactive terminal on a port (Ctrl-] leaves)\n"
    "  ports          which COM numbers reach which devices, and whether they open\n";
const char* const USAGE_DEMO =
    "  demo           a complete exchange with a simulated instrument (no hardware)\n";
const char* const USAGE_TAIL =
    "\n"
    "Run 'tarvo COMMAND --help' for the details of a command.\n"
    "Exit status: 0 success, 1 the command failed, 2 a usage error.\n";

std::string usage() {
    return std::string(USAGE_HEAD) + (DEMO_AVAILABLE ? USAGE_DEMO : "") + USAGE_TAIL;
}

const char DEMO_HELP[] =
    "usage: tarvo demo\n"
    "\n"
    "Starts a simulated instrument on a Linux pseudo-terminal, points COM1 at it\n"
    "and runs a typical exchange through the library: open, 9600 bit/s 8N1,\n"
    "send a request, poll for the answer, read it, close. Prints each request,\n"
    "answer and round-trip time. Exit status 0 when every answer arrived intact.\n"
    "It needs Linux pseudo-terminals, so it runs only in the Linux build.\n";

bool is_help(const std::string& arg) { return arg == "--help" || arg == "-h" || arg == "help"; }

bool asks_for_help(const std::vector<std::string>& args) {
    for (const std::string& arg : args)
        if (arg == "--help" || arg == "-h") return true;
    return false;
}

int usage_error(const std::string& message) {
    std::fprintf(stderr, "tarvo: %s\n\n%s", message.c_str(), usage().c_str());
    return EXIT_USAGE;
}

int dispatch(const std::vector<std::string>& argv) {
    if (argv.empty()) return usage_error("no command given");
    const std::string& command = argv[0];
    const std::vector<std::string> args(argv.begin() + 1, argv.end());

    if (is_help(command)) {
        std::fputs(usage().c_str(), stdout);
        return EXIT_OK;
    }
    if (command == "--version" || command == "-V") {
        std::printf("tarvo %s\n", TARVO_VERSION);
        return EXIT_OK;
    }
    const bool help = asks_for_help(args);
    if (command == "run") {
        if (help) print_run_help();
        return help ? EXIT_OK : run_main(args);
    }
    if (command == "demo") {
        if (help) std::fputs(DEMO_HELP, stdout);
        if (!help && !args.empty()) return usage_error("demo takes no arguments");
        return help ? EXIT_OK : demo_main(args);
    }
    if (command == "ports") {
        if (help) std::fputs(PORTS_HELP, stdout);
        return help ? EXIT_OK : ports_main(args);
    }
    if (command == "term") {
        if (help) std::fputs(TERM_HELP, stdout);
        return help ? EXIT_OK : term_main(args);
    }
    return usage_error("unknown command '" + command + "'");
}

}  // namespace
}  // namespace tarvo::tool

int main(int argc, char** argv) {
    tarvo::tool::use_binary_stdio();
    return tarvo::tool::dispatch(std::vector<std::string>(argv + 1, argv + argc));
}
