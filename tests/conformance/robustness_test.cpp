// `tarvo` on hostile input and command lines: it must end cleanly with a
// message that names the bad line, never by a signal, never hang.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "child_process.h"
#include "script.h"

namespace tarvo::conformance {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

struct Outcome {
    Ending ending;
    std::string out;
    std::string err;
};

// Runs the tool with no real port reachable, whatever this machine has.
Outcome run_tool(const std::vector<std::string>& args) {
    ProcessSetup setup;
    setup.argv = {TARVO_CONFORMANCE_TOOL};
    setup.argv.insert(setup.argv.end(), args.begin(), args.end());
    for (int com = 1; com <= 16; ++com) setup.env["TARVO_COM" + std::to_string(com)] = "/nonexistent/com";
    ChildProcess child(setup);
    child.close_stdin();
    const auto ending = child.wait(60s);
    EXPECT_TRUE(ending.has_value()) << "tarvo did not finish";
    std::string out;
    while (auto line = child.read_line(0ms)) out += *line + "\n";
    return Outcome{ending.value_or(Ending{}), out + child.unread_stdout(), child.stderr_text()};
}

std::string script_file(const std::string& name, const std::string& content) {
    const std::string path = ::testing::TempDir() + "tarvo_" + std::to_string(getpid()) + "_" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

// The number of the line the message names, or 0.
std::size_t named_line(const std::string& err) {
    std::smatch match;
    static const std::regex pattern("^tarvo run: line ([0-9]+): ");
    return std::regex_search(err, match, pattern) ? std::stoul(match[1]) : 0;
}

void expect_clean_refusal(const Outcome& o) {
    ASSERT_TRUE(o.ending.exited) << "killed by signal " << o.ending.status;
    EXPECT_EQ(o.ending.status, 2);
    EXPECT_GT(named_line(o.err), 0u) << o.err;
}

std::size_t count_lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

TEST(ToolRobustness, RandomBytes) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        std::mt19937 random(seed);
        std::string bytes(64 * 1024, '\0');
        for (char& c : bytes) c = static_cast<char>(random() & 0xff);
        SCOPED_TRACE("seed " + std::to_string(seed));
        expect_clean_refusal(run_tool({"run", script_file("bytes", bytes)}));
    }
}

// Mostly well-formed calls with random arguments (so the tool really runs
// them), mixed with lines of the language's words and near misses. Nothing
// can sleep or wait for long. The last line is always bad.
std::string random_line(std::mt19937& random) {
    static const std::vector<std::string> templates = {
        "iqueue P", "getch P", "read P 5", "write P \"a\\r\\n\"", "write P x:00ff", "flush P 2", "baud P 9600",
        "ioctl P 12 0x03", "open P", "close P", "setComPortNo P 4", "RTS P 1", "sleep 1", "wait P 1 2",
        "# comment", "", "term_irq P"};
    static const std::vector<std::string> words = {
        "open", "close", "iqueue", "getch", "read", "write", "flush", "baud", "ioctl", "flowctrl", "RTS", "DTR",
        "enableat", "disableat", "term_irq", "setComPortNo", "wait", "sleep", "#", "0", "1", "2", "-1", "17",
        "0x10", "007", "-0x80000000", "2147483647", "2147483648", "99999999999999999999", "0x", "-", "1e3",
        "\"text\\r\\n\"", "\"\\x41\\0\"", "\"unterminated", "x:2a49", "x:abc", "x:", "\"\"", "\"a\"b", "\xff\xfe"};
    std::string line;
    if (random() % 32 != 0) {
        line = templates[random() % templates.size()];
        const std::size_t port = line.find('P');
        if (port != std::string::npos) line.replace(port, 1, std::to_string(static_cast<int>(random() % 19) - 1));
        return line;
    }
    const int tokens = static_cast<int>(random() % 5);
    for (int t = 0; t < tokens; ++t) line += (t ? " " : "") + words[random() % words.size()];
    return line;
}

std::string random_script(std::mt19937& random, std::vector<std::string>& lines) {
    std::ostringstream script;
    for (int i = 0; i < 300; ++i) {
        lines.push_back(random_line(random));
        script << lines.back() << (random() % 8 == 0 ? "\r\n" : "\n");
    }
    lines.push_back("not-a-command");
    script << lines.back() << "\n";
    return script.str();
}

// Standard error without the lines that say why an open failed.
std::string without_open_reasons(const std::string& err) {
    std::istringstream lines(err);
    std::string kept;
    for (std::string line; std::getline(lines, line);)
        if (!std::regex_search(line, std::regex("^tarvo run: line [0-9]+: open -?[0-9]+: "))) kept += line + "\n";
    return kept;
}

TEST(ToolRobustness, RandomLinesStopAtTheFirstBadOne) {
    std::size_t total = 0;
    for (unsigned seed = 1; seed <= 8; ++seed) {
        std::mt19937 random(seed);
        std::vector<std::string> lines;
        const std::string script = random_script(random, lines);
        // Where the tool must stop, and how many results it must print first.
        std::size_t bad = 0, results = 0;
        for (std::size_t i = 0; i < lines.size() && bad == 0; ++i) {
            const auto kind = tool::parse_line(lines[i]).kind;
            if (kind == tool::ParsedLine::Kind::Malformed) bad = i + 1;
            if (kind == tool::ParsedLine::Kind::Command) ++results;
        }
        SCOPED_TRACE("seed " + std::to_string(seed));
        const Outcome o = run_tool({"run", script_file("lines", script)});
        expect_clean_refusal(o);
        const std::string refusal = without_open_reasons(o.err);
        EXPECT_EQ(named_line(refusal), bad) << o.err;
        EXPECT_EQ(count_lines(o.out), results);
        EXPECT_EQ(count_lines(refusal), 1u) << o.err;
        total += results;
    }
    EXPECT_GT(total, 20u) << "the random scripts hardly ran anything";
}

TEST(ScriptParserFuzz, RandomLinesNeverBreakTheParser) {
    std::mt19937 random(7);
    for (int i = 0; i < 20000; ++i) {
        std::string line = random_line(random);
        if (!line.empty() && random() % 3 == 0) line[random() % line.size()] = static_cast<char>(random());
        const tool::ParsedLine p = tool::parse_line(line);
        EXPECT_EQ(p.kind == tool::ParsedLine::Kind::Malformed, !p.error.empty()) << line;
    }
}

TEST(ToolRobustness, HostileLines) {
    const std::string huge(5 * 1024 * 1024, '9');
    const struct {
        const char* name;
        std::string script;
        std::size_t line;
    } cases[] = {
        {"overlong line", "iqueue 1\nsleep " + huge + "\n", 2},
        {"overlong line without end", "write 1 x:" + huge, 1},
        {"NUL byte", std::string("iqueue 1\nopen\0 1\n", 18), 2},
        {"huge number", "open 99999999999999999999999999999999\n", 1},
        {"read too large", "read 1 1048576\nread 1 1048577\n", 2},
        {"bare CR", "iqueue 1\ropen 1\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = run_tool({"run", script_file("hostile", c.script)});
        expect_clean_refusal(o);
        EXPECT_EQ(named_line(o.err), c.line) << o.err;
    }
}

TEST(ToolRobustness, WellFormedScripts) {
    Outcome o = run_tool({"run", script_file("good", "# a script\r\n\r\niqueue 1\r\nread 1 4\nopen 0\nsleep 1")});
    ASSERT_TRUE(o.ending.exited);
    EXPECT_EQ(o.ending.status, 0) << o.err;
    EXPECT_EQ(o.out, "-20004 ERR_NOT_OPEN\n-20004 ERR_NOT_OPEN\n-20001 ERR_BAD_PORT\n0\n");
    EXPECT_EQ(o.err, "");

    o = run_tool({"run", script_file("empty", "")});
    EXPECT_EQ(o.ending.status, 0);
    EXPECT_EQ(o.out, "");

    o = run_tool({"run", "/nonexistent/script"});
    EXPECT_EQ(o.ending.status, 1);
    EXPECT_THAT(o.err, HasSubstr("/nonexistent/script"));
}

TEST(ToolCommandLine, HelpAndUsage) {
    Outcome o = run_tool({"--help"});
    EXPECT_EQ(o.ending.status, 0);
    EXPECT_THAT(o.out, HasSubstr("usage: tarvo COMMAND"));

    o = run_tool({"run", "--help"});
    EXPECT_EQ(o.ending.status, 0);
    for (const char* name : {"setComPortNo", "open", "close", "term_irq", "iqueue", "getch", "read", "write", "flush",
                             "baud", "ioctl", "flowctrl", "RTS", "DTR", "enableat", "disableat", "wait", "sleep"})
        EXPECT_THAT(o.out, HasSubstr(std::string("\n  ") + name + " ")) << name;

    for (const char* command : {"demo", "ports"}) {
        o = run_tool({command, "--help"});
        EXPECT_EQ(o.ending.status, 0) << command;
        EXPECT_THAT(o.out, HasSubstr(std::string("usage: tarvo ") + command));
    }

    for (const std::vector<std::string>& wrong :
         {std::vector<std::string>{}, {"frobnicate"}, {"run", "a", "b"}, {"demo", "extra"}}) {
        o = run_tool(wrong);
        EXPECT_EQ(o.ending.status, 2) << (wrong.empty() ? "(none)" : wrong[0]);
        EXPECT_THAT(o.err, HasSubstr("tarvo"));
    }
}

}  // namespace
}  // namespace tarvo::conformance
