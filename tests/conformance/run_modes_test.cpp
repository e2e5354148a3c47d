// `tarvo run` telling what happened: --verbose beside each command, --strict
// stopping at the first failure, and a person's session at a terminal.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "child_process.h"
#include "pty_peer.h"
#include "tmux_pane.h"

namespace tarvo::conformance {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

class RunModes : public ::testing::Test {
protected:
    // `tarvo run ARGS -` with COM1 on the peer's pty and nothing else mapped.
    std::unique_ptr<ChildProcess> start(std::vector<std::string> args) {
        ProcessSetup setup;
        setup.argv = {TARVO_CONFORMANCE_TOOL, "run"};
        setup.argv.insert(setup.argv.end(), args.begin(), args.end());
        setup.argv.push_back("-");
        setup.env = {{"TARVO_COM1", peer_.device()}};
        setup.removedPrefixes = {"TARVO_COM"};
        return std::make_unique<ChildProcess>(setup);
    }

    std::string result_of(ChildProcess& tool, const std::string& line) {
        EXPECT_TRUE(tool.write_stdin(line + "\n"));
        return tool.read_line(10s).value_or("(no result)");
    }

    PtyPeer peer_;
};

TEST_F(RunModes, VerboseShowsEachCommandBesideItsResult) {
    auto tool = start({"--verbose"});
    EXPECT_EQ(result_of(*tool, "open 1"), "open 1 -> 0");
    EXPECT_EQ(result_of(*tool, "WRITE 1 x:610d"), "write 1 \"a\\r\" -> 2");
    EXPECT_EQ(peer_.receive(2, 5s), "a\r");
    ASSERT_TRUE(peer_.send("hello"));
    EXPECT_EQ(result_of(*tool, "wait 1 5 5000"), "wait 1 5 5000 -> 5");
    EXPECT_EQ(result_of(*tool, "read 1 64"), "read 1 64 -> 5 \"hello\" x:68656c6c6f");
    EXPECT_EQ(result_of(*tool, "wait 1 1 10"), "wait 1 1 10 -> 0 timeout");
    EXPECT_EQ(result_of(*tool, "close 2"), "close 2 -> -20004 ERR_NOT_OPEN");
    tool->close_stdin();
    EXPECT_EQ(tool->wait(10s).value_or(Ending{}).status, 0);

    // Without it every line is as it always was: scripts keep working.
    auto plain = start({});
    EXPECT_EQ(result_of(*plain, "open 1"), "0");
    EXPECT_EQ(result_of(*plain, "wait 1 1 10"), "0");
}

TEST_F(RunModes, StrictStopsAtTheFirstFailureNamingItsLine) {
    struct Case {
        const char* script;
        const char* message;
        std::size_t results;
    } cases[] = {
        {"open 1\nclose 2\niqueue 1\n", "line 2: close 2 returned -20004 ERR_NOT_OPEN; stopping", 2},
        {"open 1\n# waits for nothing\nwait 1 1 10\nclose 1\n", "line 3: wait 1 1 10 returned 0 (timeout); stopping",
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.script);
        auto tool = start({"--strict"});
        ASSERT_TRUE(tool->write_stdin(c.script));
        tool->close_stdin();
        const auto ending = tool->wait(10s);
        ASSERT_TRUE(ending.has_value());
        EXPECT_EQ(ending->status, 1);
        EXPECT_THAT(tool->stderr_text(), HasSubstr(c.message));
        std::size_t results = 0;
        for (char ch : tool->unread_stdout()) results += ch == '\n';
        EXPECT_EQ(results, c.results) << tool->unread_stdout();
        peer_.drain();
    }
    const Completed missing = run_to_end({{TARVO_CONFORMANCE_TOOL, "run", "/nonexistent/script"}, {}, {}, {}}, 10s);
    EXPECT_EQ(missing.ending.value_or(Ending{}).status, 1);
}

// A mistyped target: run (without -v) and term say alike which part is
// wrong, naming the target once; standard output keeps only result lines.
TEST(MistypedTargets, RunAndTermSayWhichPartIsWrong) {
    const std::pair<const char*, const char*> cases[] = {
        {"rfc2217://host", "no :PORT after the host"},
        {"tcp://host:4700x", "port '4700x' is not a number from 1 to 65535"},
        {"rfc2217://host:4000?timout=500", "unknown option 'timout=500'"},
        {"tcp://fe80::1:4000", "an IPv6 address goes in brackets"},
        {"tcp://host:4000/", "'/' after the port"},
        {"usb:0403:60011", "product id '60011' is not one to four hex digits"},
        {"rfc2271://host:4000", "unknown scheme 'rfc2271'"},
        {"rfc2217:/host:4000", "'rfc2217:' needs // before the host"},
        {"/dev/tarvo-no-such-device", "no such device"},
    };
    for (const auto& [target, why] : cases) {
        SCOPED_TRACE(target);
        const std::string reason = std::string(target) + ": " + why;
        ProcessSetup setup{{TARVO_CONFORMANCE_TOOL, "run", "-"}, {{"TARVO_COM1", target}}, {"TARVO_COM"}, {}};
        ChildProcess run(setup);
        ASSERT_TRUE(run.write_stdin("open 1\n"));
        run.close_stdin();
        EXPECT_EQ(run.wait(10s).value_or(Ending{}).status, 0);
        EXPECT_EQ(run.unread_stdout(), "-20002 ERR_OPEN_FAILED\n");
        EXPECT_THAT(run.stderr_text(), HasSubstr("tarvo run: line 1: open 1: " + reason));

        const Completed term = run_to_end({{TARVO_CONFORMANCE_TOOL, "term", target}, {}, {"TARVO_COM"}, {}}, 10s);
        EXPECT_EQ(term.ending.value_or(Ending{}).status, 1);
        EXPECT_THAT(term.output, HasSubstr("tarvo term: cannot open " + reason));
        EXPECT_EQ(term.output.find(target), term.output.rfind(target)) << "named twice: " << term.output;
    }
}

TEST(RunAtATerminal, KnowsHelpQuitAndEndOfInput) {
    if (!tmux_installed()) GTEST_SKIP() << "tmux is not installed (./dev.sh test installs it)";
    for (const char* leave : {"quit", "exit", "C-d"}) {
        SCOPED_TRACE(leave);
        TmuxPane pane("run");
        ASSERT_TRUE(pane.shows("tarvo>")) << pane.screen();  // tmux trims the space
        pane.type_text("help");
        pane.press("Enter");
        EXPECT_TRUE(pane.shows("commands:")) << pane.screen();
        pane.type_text("bogus 1");
        pane.press("Enter");
        EXPECT_TRUE(pane.shows("unknown command \"bogus\"")) << pane.screen();
        pane.type_text("iqueue 1");
        pane.press("Enter");
        EXPECT_TRUE(pane.shows("-20004 ERR_NOT_OPEN")) << pane.screen();
        if (std::string(leave) == "C-d") {
            pane.press(leave);
        } else {
            pane.type_text(leave);
            pane.press("Enter");
        }
        EXPECT_EQ(pane.status(), 0) << pane.screen();
        EXPECT_EQ(pane.settings_after(), pane.settings_before());
    }
}

}  // namespace
}  // namespace tarvo::conformance
