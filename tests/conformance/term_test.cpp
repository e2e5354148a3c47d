// `tarvo term` as a person uses it: inside tmux, keys typed with send-keys,
// the screen read with capture-pane, a pty master as the far end of the line.
// Every way out must leave the pane's terminal settings as they were.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "child_process.h"
#include "pty_peer.h"
#include "tmux_pane.h"

namespace tarvo::conformance {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

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
    EXPECT_THAT(pane.screen(), HasSubstr("(" + peer_.device() + ") at 115200 8N1"));
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

TEST(TermFromAPipe, RefusesWhatItCannotOpen) {
    const Completed missing =
        run_to_end({{TARVO_CONFORMANCE_TOOL, "term", "/nonexistent/tty"}, {}, {"TARVO_COM"}, {}}, 10s);
    ASSERT_TRUE(missing.ending.has_value());
    EXPECT_EQ(missing.ending->status, 1);
    EXPECT_THAT(missing.output, HasSubstr("cannot open"));
    const Completed badFormat =
        run_to_end({{TARVO_CONFORMANCE_TOOL, "term", "--format", "9X1", "/dev/null"}, {}, {"TARVO_COM"}, {}}, 10s);
    ASSERT_TRUE(badFormat.ending.has_value());
    EXPECT_EQ(badFormat.ending->status, 2);
}

}  // namespace
}  // namespace tarvo::conformance
