// The scenarios over the core linked into this program with the fake device:
// each command line goes through the interpreter of `tarvo run` here, and
// COM<n> is the fake's line \\.\COM<n>, the name the core opens for it.
#include <stdexcept>

#include "execute.h"
#include "fake/fake_device.h"
#include "fake_peer.h"
#include "launcher.h"
#include "registry/port_table.h"
#include "script.h"

namespace tarvo::conformance {
namespace {

class InProcessSession : public Session {
public:
    std::optional<std::string> call(const std::string& line) override {
        const tool::ParsedLine parsed = tool::parse_line(line);
        if (parsed.kind != tool::ParsedLine::Kind::Command) {
            problem_ += "not a command: \"" + line + "\" (" + parsed.error + ")\n";
            return std::nullopt;
        }
        return tool::execute(parsed.command).line;
    }

    // Where the tool's process ends, the system closes what it held and the
    // next one loads the library afresh.
    std::string finish() override {
        fake::device().openHandles.clear();
        fake::device().calls.clear();
        reset_port_table();
        return problem_;
    }

    std::string problem() const override { return problem_; }

private:
    std::string problem_;
};

class FakeLauncher : public Launcher {
public:
    FakeLauncher() { fake::reset(); }

    std::string name() const override { return "fake"; }
    bool wine() const override { return false; }
    bool in_process() const override { return true; }
    std::unique_ptr<LinePeer> own_peer(int com) override { return std::make_unique<FakePeer>(com); }
    void map_ports(const std::map<int, std::string>&) override {}
    ProcessSetup tool_setup(const std::vector<std::string>&) const override {
        throw std::logic_error("no tool program: the calls run in this process");
    }
    std::unique_ptr<Session> start_run() const override { return std::make_unique<InProcessSession>(); }
    std::chrono::milliseconds patience() const override { return std::chrono::seconds(1); }
};

}  // namespace

std::unique_ptr<Launcher> make_fake_launcher() { return std::make_unique<FakeLauncher>(); }

}  // namespace tarvo::conformance
