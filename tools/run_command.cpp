// `tarvo run`: reads commands line by line, prints one result line each.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "execute.h"
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

// Runs every line of `in`. At a malformed line a script stops; an
// interactive session reports it and goes on. Either way the exit status
// tells that a line was malformed.
int run_lines(std::FILE* in, bool interactive) {
    std::string line;
    std::size_t number = 0;
    bool malformed_seen = false;
    prompt(interactive);
    for (LineStatus status; (status = read_line(in, line)) != LineStatus::End; prompt(interactive)) {
        ++number;
        const ParsedLine parsed = status == LineStatus::TooLong
                                      ? ParsedLine{ParsedLine::Kind::Malformed, {}, "line too long"}
                                      : parse_line(line);
        if (parsed.kind == ParsedLine::Kind::Blank) continue;
        if (parsed.kind == ParsedLine::Kind::Malformed) {
            report_malformed(number, parsed.error, line);
            malformed_seen = true;
            if (interactive) continue;
            break;
        }
        std::fputs(execute(parsed.command).c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);  // a driving process waits for each result
    }
    if (interactive) std::fputc('\n', stdout);
    return malformed_seen ? EXIT_USAGE : EXIT_OK;
}

}  // namespace

int run_main(const std::vector<std::string>& args) {
    if (args.size() > 1) {
        std::fprintf(stderr, "tarvo run: too many arguments (see tarvo run --help)\n");
        return EXIT_USAGE;
    }
    const std::string source = args.empty() ? "-" : args[0];
    if (source == "-") return run_lines(stdin, stdin_is_terminal());

    std::FILE* file = std::fopen(source.c_str(), "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "tarvo run: cannot open %s: %s\n", source.c_str(), std::strerror(errno));
        return EXIT_FAILED;
    }
    const int status = run_lines(file, false);
    std::fclose(file);
    return status;
}

}  // namespace tarvo::tool
