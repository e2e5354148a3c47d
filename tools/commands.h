// Entry points of the tool's subcommands; each returns the process exit status.
#ifndef TARVO_TOOLS_COMMANDS_H
#define TARVO_TOOLS_COMMANDS_H

#include <string>
#include <vector>

namespace tarvo::tool {

// Exit statuses shared by all subcommands.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;  // the command ran but something did not work
constexpr int EXIT_USAGE = 2;   // bad command line or malformed input

int run_main(const std::vector<std::string>& args);
void print_run_help();
int ports_main(const std::vector<std::string>& args);
int term_main(const std::vector<std::string>& args);
// Needs Linux pseudo-terminals; where there are none it says so and returns
// EXIT_USAGE, and the usage does not offer it.
int demo_main(const std::vector<std::string>& args);
extern const bool DEMO_AVAILABLE;

// What `ports` lists here and how.
extern const char PORTS_HELP[];

}  // namespace tarvo::tool

#endif
