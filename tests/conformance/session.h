// What the scenarios talk to: a `tarvo run -` session, one command line in,
// its one result line out. The tool as a child process is one; the same
// script interpreter called in this process (over the fake device) another.
#ifndef TARVO_CONFORMANCE_SESSION_H
#define TARVO_CONFORMANCE_SESSION_H

#include <chrono>
#include <optional>
#include <string>

#include "child_process.h"

namespace tarvo::conformance {

class Session {
public:
    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    virtual ~Session() = default;

    // The result line of one command (without its ending); nothing when none
    // came, problem() says why.
    virtual std::optional<std::string> call(const std::string& line) = 0;
    // Ends the session as the end of its input ends `tarvo run`: empty when
    // it ended as a script that ran every line does, else what went wrong.
    virtual std::string finish() = 0;
    // What the session reported besides its results (the tool's standard
    // error), for failure messages.
    virtual std::string problem() const = 0;
};

// `tarvo run -` as a child process with pipes on its standard streams.
class ToolSession : public Session {
public:
    ToolSession(const ProcessSetup& setup, std::chrono::milliseconds patience)
        : tool_(setup), patience_(patience) {}

    std::optional<std::string> call(const std::string& line) override;
    std::string finish() override;
    std::string problem() const override { return deaf_ + "stderr: " + tool_.stderr_text(); }

private:
    ChildProcess tool_;
    std::string deaf_;  // set once the tool no longer takes input
    std::chrono::milliseconds patience_;
};

}  // namespace tarvo::conformance

#endif
