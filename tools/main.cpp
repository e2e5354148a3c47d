// tarvo: drive serial ports through the library from scripts or a terminal.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "script.h"
#include "term_options.h"
#include "terminal.h"
#include "trace_view.h"

namespace tarvo::tool {
namespace {

const char DEMO_HELP[] =
    "usage: tarvo demo\n"
    "\n"
    "Starts a simulated instrument on a Linux pseudo-terminal, points COM1 at it\n"
    "and runs a typical exchange through the library: open, 9600 bit/s 8N1,\n"
    "send a request, poll for the answer, read it, close. Prints each request,\n"
    "answer and round-trip time. Exit status 0 when every answer arrived intact.\n"
    "It needs Linux pseudo-terminals, so it runs only in the Linux build.\n";

int demo_entry(const std::vector<std::string>& args) {
    if (!args.empty()) {
        std::fputs("tarvo: demo takes no arguments (see tarvo demo --help)\n", stderr);
        return EXIT_USAGE;
    }
    return demo_main(args);
}

// Every command: its name, its line in the usage, where it runs, its help
// and its entry point. The usage, the help and the dispatch read this alone.
struct CommandEntry {
    const char* name;
    const char* synopsis;
    bool available;  // false: not offered here (demo needs Linux pseudo-terminals)
    void (*help)();
    int (*entry)(const std::vector<std::string>& args);
};

const std::vector<CommandEntry>& commands() {
    static const std::vector<CommandEntry> table = {
        {"run", "run [FILE|-]   run library calls, one per line, from FILE or standard input", true,
         print_run_help, run_main},
        {"term", "term PORT      an interactive terminal on a port, a device or a URL (Ctrl-] leaves)", true,
         [] { std::fputs(TERM_HELP, stdout); }, term_main},
        {"ports", "ports          which COM numbers reach which devices, and whether they open", true,
         [] { std::fputs(PORTS_HELP, stdout); }, ports_main},
        {"trace", "trace FILE     what a traced program did: exchanges, latencies, discarded bytes, errors", true,
         [] { std::fputs(TRACE_HELP, stdout); }, trace_main},
        {"demo", "demo           a complete exchange with a simulated instrument (no hardware)", DEMO_AVAILABLE,
         [] { std::fputs(DEMO_HELP, stdout); }, demo_entry},
    };
    return table;
}

std::string usage() {
    std::string text =
        "usage: tarvo COMMAND [ARGS]\n"
        "       tarvo --version | -V\n"
        "       tarvo --help | -h\n"
        "\n"
        "commands:\n";
    for (const CommandEntry& command : commands())
        if (command.available) text += std::string("  ") + command.synopsis + "\n";
    return text +
           "\n"
           "Run 'tarvo COMMAND --help' for the details of a command.\n"
           "Exit status: 0 success, 1 the command failed, 2 a usage error.\n";
}

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
    const std::string& name = argv[0];
    const std::vector<std::string> args(argv.begin() + 1, argv.end());
    if (is_help(name)) {
        std::fputs(usage().c_str(), stdout);
        return EXIT_OK;
    }
    if (name == "--version" || name == "-V") {
        std::printf("tarvo %s\n", TARVO_VERSION);
        return EXIT_OK;
    }
    for (const CommandEntry& command : commands()) {
        if (name != command.name) continue;
        // A command not offered here still explains itself.
        if (asks_for_help(args)) {
            command.help();
            return EXIT_OK;
        }
        return command.entry(args);
    }
    return usage_error("unknown command '" + name + "'");
}

}  // namespace
}  // namespace tarvo::tool

int main(int argc, char** argv) {
    tarvo::tool::use_binary_stdio();
    return tarvo::tool::dispatch(std::vector<std::string>(argv + 1, argv + argc));
}
