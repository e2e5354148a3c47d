// `tarvo term` as a person uses it: inside tmux, keys typed with send-keys,
// the screen read with capture-pane, a pty master as the far end of the line.
// Every way out must leave the pane's terminal settings as they were.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include "child_process.h"
#include "pty_peer.h"
#include "tmux_pane.h"

namespace tarvo::conformance {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

class TermInTmux : public ::testing::Test {
protected:
    void SetUp() override {
        if (!tmux_installed()) GTEST_SKIP() << "tmux is not installed (./dev.sh test installs it)";
    }

    // The terminal has started once its opening line is on the screen.
    void start(TmuxPane& pane) {
        // The opening line comes once the keyboard is raw.
        ASSERT_TRUE(pane.shows("Ctrl-] leaves")) << pane.screen();
    }

    void expect_left_as_found(TmuxPane& pane) {
        EXPECT_FALSE(pane.settings_before().empty());
        EXPECT_EQ(pane.settings_after(), pane.settings_before()) << "the terminal was left changed";
    }

    PtyPeer peer_;
};

TEST_F(TermInTmux, KeysGoOutReceivedBytesShowAndTheMenuActs) {
    const fs::path logFile = fs::path(::testing::TempDir()) / ("tarvo_term_" + std::to_string(getpid()) + ".log");
    fs::remove(logFile);
    TmuxPane pane("term --baud 115200 --log " + logFile.string() + " " + peer_.device());
    start(pane);
    EXPECT_THAT(pane.screen(), HasSubstr("tarvo term: " + peer_.device() + " at 115200 8N1"));
    EXPECT_EQ(peer_.line().outputSpeed, 115200u);

    pane.type_text("hello");
    pane.press("Enter");
    EXPECT_EQ(peer_.receive(6, 5s), "hello\r");
    ASSERT_TRUE(peer_.send("WORLD\r\n"));
    EXPECT_TRUE(pane.shows("WORLD")) << pane.screen();

    // Hex display, then Enter sends LF instead of CR.
    pane.press("C-t");
    pane.type_text("x");
    EXPECT_TRUE(pane.shows("hex display on"));
    ASSERT_TRUE(peer_.send("AB"));
    EXPECT_TRUE(pane.shows("41 42")) << pane.screen();
    pane.press("C-t");
    pane.type_text("n");
    EXPECT_TRUE(pane.shows("Enter sends LF"));
    pane.type_text("x");
    pane.press("Enter");
    EXPECT_EQ(peer_.receive(2, 5s), "x\n");

    // The exit and menu keys themselves, sent through the menu.
    pane.press("C-t");
    pane.type_text("]");
    pane.press("C-t");
    pane.type_text("t");
    EXPECT_EQ(peer_.receive(2, 5s), "\x1d\x14");

    // A new rate, typed at the menu's prompt.
    pane.press("C-t");
    pane.type_text("b19200");
    pane.press("Enter");
    EXPECT_TRUE(pane.shows("rate 19200 bit/s")) << pane.screen();
    EXPECT_EQ(peer_.line().outputSpeed, 19200u);

    // A file, sent whole.
    const fs::path sent = pane.file("sent.txt");
    std::ofstream(sent, std::ios::binary) << std::string(1000, 'z');
    pane.press("C-t");
    pane.type_text("s" + sent.string());
    pane.press("Enter");
    EXPECT_EQ(peer_.receive(1000, 10s), std::string(1000, 'z'));
    EXPECT_TRUE(pane.shows("(1000 bytes)")) << pane.screen();

    pane.press("C-]");
    EXPECT_EQ(pane.status(), 0);
    expect_left_as_found(pane);

    const std::string log = file_text(logFile);
    EXPECT_THAT(log, HasSubstr("Z > \"hello\"\n"));
    EXPECT_THAT(log, HasSubstr("Z > \"\\r\"\n"));
    EXPECT_THAT(log, HasSubstr("Z < \"WORLD\\r\\n\""));
    EXPECT_THAT(log, ::testing::ContainsRegex("^20[0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9:.]+Z [<>] \""));
}

TEST_F(TermInTmux, EveryWayOutRestoresTheTerminal) {
    struct WayOut {
        const char* what;
        int signal;  // 0: the peer hangs up instead
        int status;
    } waysOut[] = {
        {"SIGTERM", SIGTERM, 128 + SIGTERM},
        {"SIGHUP", SIGHUP, 128 + SIGHUP},
        {"the port hanging up", 0, 1},
    };
    for (const WayOut& ending : waysOut) {
        SCOPED_TRACE(ending.what);
        PtyPeer peer;
        TmuxPane pane("term " + peer.device());
        start(pane);
        if (ending.signal != 0) {
            ASSERT_EQ(kill(pane.tool_pid(), ending.signal), 0);
        } else {
            peer.hang_up();
            EXPECT_TRUE(pane.shows("hung up")) << pane.screen();
        }
        EXPECT_EQ(pane.status(), ending.status);
        expect_left_as_found(pane);
    }
}

// Received bytes as the log has them, its escapes undone (digits and line ends only).
std::string received_in_log(const std::string& log) {
    std::string bytes;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t start = line.find(" < \"");
        if (start == std::string::npos) continue;
        const std::string payload = line.substr(start + 4, line.size() - start - 5);
        for (std::size_t i = 0; i < payload.size(); ++i) {
            if (payload[i] == '\\' && i + 1 < payload.size() && payload[i + 1] == 'n') {
                bytes += '\n';
                ++i;
            } else {
                bytes += payload[i];
            }
        }
    }
    return bytes;
}

// Typing while the far end streams: every received line reaches the screen
// (and the log); sending keeps what arrived.
// Times every thread of a process went to sleep of its own accord.
long sleeps_of(pid_t pid) {
    long total = 0;
    const fs::path tasks = fs::path("/proc") / std::to_string(pid) / "task";
    for (const auto& task : fs::directory_iterator(tasks)) {
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) total += std::stol(line.substr(24));
    }
    return total;
}

// Idle, term sleeps until a key or a byte comes: no looking every few ms
// (it woke 97 times a second), and a byte still shows at once.
TEST_F(TermInTmux, SleepsWhileIdle) {
    TmuxPane pane("term " + peer_.device());
    start(pane);
    const long before = sleeps_of(pane.tool_pid());
    std::this_thread::sleep_for(1s);
    EXPECT_LT(sleeps_of(pane.tool_pid()) - before, 10) << "wake-ups in a second of silence";
    ASSERT_TRUE(peer_.send("ping"));
    EXPECT_TRUE(pane.shows("ping", 2s)) << pane.screen();
    pane.press("C-]");
    EXPECT_EQ(pane.status(), 0);
    expect_left_as_found(pane);
}

TEST_F(TermInTmux, RefusesTheTerminalItRunsIn) {
    TmuxPane pane("term $(tty)");
    EXPECT_TRUE(pane.shows("is the terminal tarvo runs in")) << pane.screen();
    EXPECT_EQ(pane.status(), 1);
    expect_left_as_found(pane);
    // The same reached through a COM number's mapping.
    TmuxPane mapped(ProcessSetup{{"sh", "-c", "TARVO_COM3=$(tty) exec " TARVO_CONFORMANCE_TOOL " term 3"}, {}, {}, {}});
    EXPECT_TRUE(mapped.shows("COM3 (/dev/")) << mapped.screen();
    EXPECT_TRUE(mapped.shows("is the terminal tarvo runs in")) << mapped.screen();
    EXPECT_EQ(mapped.status(), 1);
    EXPECT_EQ(mapped.settings_after(), mapped.settings_before());
}

TEST_F(TermInTmux, TypingLosesNoReceivedByte) {
    const fs::path logFile = fs::path(::testing::TempDir()) / ("tarvo_duplex_" + std::to_string(getpid()) + ".log");
    fs::remove(logFile);
    TmuxPane pane("term --baud 115200 --log " + logFile.string() + " " + peer_.device());
    start(pane);
    // The peer streams for as long as keys are being typed (at least 6 s), so
    // a loaded machine that types slowly still types every key into a stream.
    std::atomic<bool> typing{true};
    int lines = 0;
    std::thread stream([&] {
        const auto start = std::chrono::steady_clock::now();
        const auto atLeast = start + 6s, atMost = start + 60s;
        for (auto now = start; now < atMost && (typing || now < atLeast); now = std::chrono::steady_clock::now(), ++lines) {
            char line[16];
            std::snprintf(line, sizeof line, "%07d\n", lines);
            // As fast as the terminal takes them: bytes are always arriving
            // when a key goes out.
            if (!peer_.send(line)) break;
        }
    });
    int typed = 0;
    for (; typed < 40; ++typed) {
        pane.type_text("k");
        std::this_thread::sleep_for(100ms);
    }
    typing = false;
    stream.join();
    std::this_thread::sleep_for(1s);
    pane.press("C-]");
    EXPECT_EQ(pane.status(), 0);
    std::istringstream received(received_in_log(file_text(logFile)));
    std::set<int> seen;
    for (std::string line; std::getline(received, line);)
        if (line.size() == 7) seen.insert(std::stoi(line));
    std::cout << "full duplex: " << lines << " lines streamed, " << typed << " keys typed, "
              << lines - static_cast<int>(seen.size()) << " lines lost\n";
    EXPECT_EQ(typed, 40);
    EXPECT_EQ(static_cast<int>(seen.size()), lines);
    EXPECT_EQ(peer_.receive(static_cast<std::size_t>(typed), 5s), std::string(static_cast<std::size_t>(typed), 'k'));
}

// A file sent to a far end that reads nothing: the exit key and the signals
// still end it at once, and the terminal is given back.
TEST_F(TermInTmux, SendingToAPeerThatNeverReadsStops) {
    for (const int signal : {0, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal == 0 ? "the exit key" : strsignal(signal));
        PtyPeer peer;
        TmuxPane pane("term " + peer.device());
        start(pane);
        const fs::path big = pane.file("big.bin");
        std::ofstream(big, std::ios::binary) << std::string(8 << 20, 'b');
        pane.press("C-t");
        pane.type_text("s" + big.string());
        pane.press("Enter");
        std::this_thread::sleep_for(1500ms);  // the pty's buffer is full by now
        const auto asked = std::chrono::steady_clock::now();
        if (signal == 0) pane.press("C-]");
        else ASSERT_EQ(kill(pane.tool_pid(), signal), 0);
        EXPECT_EQ(pane.status(), signal == 0 ? 0 : 128 + signal) << pane.screen();
        EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
        expect_left_as_found(pane);
    }
}

// Standard input from a pipe: sent as it is, no menu, and the end of the
// input ends the program.
TEST(TermFromAPipe, SendsTheInputAndEndsWithIt) {
    PtyPeer peer;
    ChildProcess tool({{TARVO_CONFORMANCE_TOOL, "term", "--eol", "crlf", peer.device()}, {}, {"TARVO_COM"}, {}});
    const std::string input = "line one\r\x14q\x1dline two\n";
    ASSERT_TRUE(tool.write_stdin(input));
    EXPECT_EQ(peer.receive(input.size(), 5s), input);
    tool.close_stdin();
    const auto ending = tool.wait(10s);
    ASSERT_TRUE(ending.has_value());
    EXPECT_TRUE(ending->exited);
    EXPECT_EQ(ending->status, 0) << tool.stderr_text();
}

// In a pipe standard output carries the port's bytes alone; --exit-after
// waits for the answer after the end of the input, then ends.
TEST(TermFromAPipe, WaitsForTheAnswerAndPrintsOnlyIt) {
    PtyPeer peer;
    ChildProcess tool({{TARVO_CONFORMANCE_TOOL, "term", "--exit-after", "700", peer.device()}, {}, {"TARVO_COM"}, {}});
    ASSERT_TRUE(tool.write_stdin("*IDN?\r"));
    tool.close_stdin();
    EXPECT_EQ(peer.receive(6, 5s), "*IDN?\r");
    std::this_thread::sleep_for(300ms);  // the answer takes its time
    ASSERT_TRUE(peer.send("TARVO,METER\r\n"));
    const auto ending = tool.wait(10s);
    ASSERT_TRUE(ending.has_value());
    EXPECT_EQ(ending->status, 0) << tool.stderr_text();
    EXPECT_EQ(tool.unread_stdout(), "TARVO,METER\r\n");
    EXPECT_THAT(tool.stderr_text(), HasSubstr("tarvo term: " + peer.device() + " at 9600 8N1"));
    const Completed quiet = run_to_end(
        {{TARVO_CONFORMANCE_TOOL, "term", "--quiet", "--exit-after", "100", peer.device()}, {}, {"TARVO_COM"}, {}}, 10s);
    EXPECT_EQ(quiet.output, "");
}

TEST(TermFromAPipe, RefusesWhatItCannotOpen) {
    const Completed missing =
        run_to_end({{TARVO_CONFORMANCE_TOOL, "term", "/nonexistent/tty"}, {}, {"TARVO_COM"}, {}}, 10s);
    ASSERT_TRUE(missing.ending.has_value());
    EXPECT_EQ(missing.ending->status, 1);
    EXPECT_THAT(missing.output, HasSubstr("tarvo term: cannot open /nonexistent/tty: no such device"));
    // Named as typed, the scheme in any case; why it failed.
    const Completed refused =
        run_to_end({{TARVO_CONFORMANCE_TOOL, "term", "TCP://127.0.0.1:1?timeout=500"}, {}, {"TARVO_COM"}, {}}, 10s);
    EXPECT_THAT(refused.output, HasSubstr("cannot open TCP://127.0.0.1:1?timeout=500: "));
    EXPECT_THAT(refused.output, Not(HasSubstr("COM1")));
    const Completed notSerial = run_to_end({{TARVO_CONFORMANCE_TOOL, "term", "/dev/null"}, {}, {"TARVO_COM"}, {}}, 10s);
    EXPECT_THAT(notSerial.output, HasSubstr("/dev/null: not a serial device"));
    const Completed badFormat =
        run_to_end({{TARVO_CONFORMANCE_TOOL, "term", "--format", "9X1", "/dev/null"}, {}, {"TARVO_COM"}, {}}, 10s);
    ASSERT_TRUE(badFormat.ending.has_value());
    EXPECT_EQ(badFormat.ending->status, 2);
}

}  // namespace
}  // namespace tarvo::conformance
