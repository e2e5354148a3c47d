// `tarvo run`: reads commands line by line, prints one result line each.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "arguments.h"
#include "execute.h"
#include "tarvo.h"
#include "script.h"
#include "terminal.h"
#include "text.h"

namespace tarvo::tool {
namespace {

enum class LineStatus { Line, TooLong, End };

// Reads one line without its ending (\n or \r\n). A line over MAX_LINE is
// skipped to its end and reported, so memory stays bounded on any input.
LineStatus read_line(std::FILE* in, std::string& line) {
    line.clear();
    bool any = false;
    bool too_long = false;
    int c;
    while ((c = std::getc(in)) != EOF) {
        any = true;
        if (c == '\n') break;
        if (line.size() < MAX_LINE) {
            line += static_cast<char>(c);
        } else {
            too_long = true;
        }
    }
    if (!any) return LineStatus::End;
    if (too_long) return LineStatus::TooLong;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return LineStatus::Line;
}

void report_malformed(std::size_t number, const std::string& why, const std::string& line) {
    std::fprintf(stderr, "tarvo run: line %zu: %s: \"%s\"\n", number, why.c_str(), escape_shortened(line, 80).c_str());
    std::fflush(stderr);
}

void prompt(bool interactive) {
    if (!interactive) return;
    std::fputs("tarvo> ", stdout);
    std::fflush(stdout);
}

struct RunMode {
    bool interactive = false;
    bool verbose = false;  // each result beside its command
    bool strict = false;   // stop at the first error code or wait that runs out
};

enum class SessionWord { None, Help, Quit };

// Words only a person at a terminal types; in a script they stay malformed.
SessionWord session_word(const std::string& line) {
    std::string word;
    for (char c : line)
        if (c != ' ' && c != '\t') word += c;
    if (word == "help" || word == "?") return SessionWord::Help;
    if (word == "quit" || word == "exit") return SessionWord::Quit;
    return SessionWord::None;
}

// Short enough to read at the prompt; `tarvo run --help` has the rest.
void print_session_help() {
    std::string line = "commands:";
    for (const std::string& synopsis : command_synopses()) {
        if (line.size() + synopsis.size() > 76) {
            std::printf("%s\n", line.c_str());
            line = "         ";
        }
        line += " " + synopsis + ";";
    }
    std::printf("%s\nalso: help, quit, exit (or Ctrl-D). Details: tarvo run --help\n", line.c_str());
}

std::string result_line(const Command& command, const CallResult& result, const RunMode& mode) {
    std::string line = result.line;
    // Scripts read the default form; the annotation is for the other modes.
    if (result.timedOut && (mode.verbose || mode.strict)) line += " timeout";
    return mode.verbose ? command_text(command) + " -> " + line : line;
}

// A call that returned an error code, or a wait that ran out.
bool failed(const CallResult& result) { return result_code_name(result.value) != nullptr || result.timedOut; }

void report_stop(std::size_t number, const Command& command, const CallResult& result) {
    std::fprintf(stderr, "tarvo run: line %zu: %s returned %s%s; stopping (--strict)\n", number,
                 command_text(command).c_str(), result.line.c_str(), result.timedOut ? " (timeout)" : "");
    std::fflush(stderr);
}

// Runs every line of `in`. At a malformed line a script stops; an
// interactive session reports it and goes on, and ends with status 0.
int run_lines(std::FILE* in, const RunMode& mode) {
    std::string line;
    std::size_t number = 0;
    bool malformed_seen = false;
    prompt(mode.interactive);
    for (LineStatus status; (status = read_line(in, line)) != LineStatus::End; prompt(mode.interactive)) {
        ++number;
        const SessionWord word = mode.interactive ? session_word(line) : SessionWord::None;
        if (word == SessionWord::Quit) return EXIT_OK;
        if (word == SessionWord::Help) {
            print_session_help();
            continue;
        }
        const ParsedLine parsed = status == LineStatus::TooLong
                                      ? ParsedLine{ParsedLine::Kind::Malformed, {}, "line too long"}
                                      : parse_line(line);
        if (parsed.kind == ParsedLine::Kind::Blank) continue;
        if (parsed.kind == ParsedLine::Kind::Malformed) {
            report_malformed(number, parsed.error, line);
            malformed_seen = true;
            if (mode.interactive) continue;
            break;
        }
        const CallResult result = execute(parsed.command);
        // Why an open failed, on standard error: standard output keeps one
        // result line a command, as scripts read it.
        if (parsed.command.op == Op::Open && result.value == ERR_OPEN_FAILED && !parsed.command.args.empty())
            std::fprintf(stderr, "tarvo run: line %zu: open %d: %s\n", number, parsed.command.args[0],
                         open_failure_reason(parsed.command.args[0]).c_str());
        std::fputs(result_line(parsed.command, result, mode).c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);  // a driving process waits for each result
        if (mode.strict && failed(result)) {
            report_stop(number, parsed.command, result);
            if (!mode.interactive) return EXIT_FAILED;
        }
    }
    if (mode.interactive) {
        std::fputc('\n', stdout);
        return EXIT_OK;
    }
    return malformed_seen ? EXIT_USAGE : EXIT_OK;
}

}  // namespace

void print_run_help() {
    std::fputs(
        "usage: tarvo run [--verbose] [--strict] [FILE|-]\n"
        "\n"
        "Reads FILE (or standard input for '-' or no argument) and runs one command\n"
        "per line, printing one result line each: the returned integer, the name of\n"
        "an error code, and for read and getch the bytes received as \"text\" and x:hex.\n"
        "Blank lines and lines starting with # are ignored. Integers are decimal or\n"
        "0x hex and may be negative. Data is \"text\" (escapes \\r \\n \\t \\0 \\\\ \\\" \\xHH)\n"
        "or x:HEX. At most 1048576 bytes move per read or write.\n"
        "\n"
        "  --verbose, -v  print each command beside its result: open 1 -> 0\n"
        "  --strict       stop at the first call that returns an error code, or the\n"
        "                 first wait that runs out, naming the line (exit status 1)\n"
        "  With either, a wait that runs out adds 'timeout' after the count.\n"
        "\n"
        "commands:\n",
        stdout);
    for (const std::string& synopsis : command_synopses()) std::printf("  %s\n", synopsis.c_str());
    std::fputs(
        "  (wait: until COUNT bytes wait and, with GAP, until no byte has come for\n"
        "   GAP ms after them: the whole answer; both within MS. sleep: pause)\n"
        "\n"
        "example:\n"
        "  open 1\n"
        "  ioctl 1 12 0x03\n"
        "  write 1 \"*IDN?\\r\\n\"\n"
        "  wait 1 1 2000 50\n"
        "  read 1 64\n"
        "  close 1\n"
        "\n"
        "On a terminal, run prompts, goes on after a malformed line, and knows help,\n"
        "quit and exit; the end of input (Ctrl-D) ends it with status 0.\n"
        "\n"
        "exit status: 0 every line ran; 1 FILE cannot be read, or --strict stopped;\n"
        "2 a malformed line (the script stops there; the message names the line) or\n"
        "a bad command line.\n",
        stdout);
}

int run_main(const std::vector<std::string>& args) {
    RunMode mode;
    std::vector<std::string> sources;
    std::string error;
    const std::vector<Option> table = {
        {"--verbose", "-v", false, [&mode](const std::string&) { return mode.verbose = true, true; }},
        {"--strict", nullptr, false, [&mode](const std::string&) { return mode.strict = true, true; }},
    };
    if (!parse_arguments(args, table, sources, error)) {
        std::fprintf(stderr, "tarvo run: %s (see tarvo run --help)\n", error.c_str());
        return EXIT_USAGE;
    }
    if (sources.size() > 1) {
        std::fprintf(stderr, "tarvo run: too many arguments (see tarvo run --help)\n");
        return EXIT_USAGE;
    }
    const std::string source = sources.empty() ? "-" : sources[0];
    if (source == "-") {
        mode.interactive = stdin_is_terminal();
        return run_lines(stdin, mode);
    }

    std::FILE* file = std::fopen(source.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "tarvo run: cannot open %s: %s\n", source.c_str(), std::strerror(errno));
        return EXIT_FAILED;
    }
    const int status = run_lines(file, mode);
    std::fclose(file);
    return status;
}

}  // namespace tarvo::tool
