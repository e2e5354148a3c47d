// How the suite starts `tarvo run -` and how a COM number reaches a pty:
// the native tool through TARVO_COM<n>, the Windows tool under Wine through
// Wine's table of ports, or the native tool through rfc2217:// URLs of a
// ser2net serving the ptys. Or no tool program at all: the interpreter of
// `tarvo run` in this process, over the fake device and its own far ends.
#ifndef TARVO_CONFORMANCE_LAUNCHER_H
#define TARVO_CONFORMANCE_LAUNCHER_H

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "pty_peer.h"
#include "session.h"

namespace tarvo::conformance {

class Launcher {
public:
    virtual ~Launcher() = default;
    virtual std::string name() const = 0;
    virtual bool wine() const = 0;
    // The ports are reached over the network, through a server.
    virtual bool network() const { return false; }
    // ... as raw TCP, which carries bytes only: settings stay on this side.
    virtual bool raw_tcp() const { return false; }
    // The calls run in this process: there is no tool program to start.
    virtual bool in_process() const { return false; }
    // The far end of COM `com` where the launcher brings its own devices;
    // nullptr: the suite gives the COM number a device of its own.
    virtual std::unique_ptr<LinePeer> own_peer(int /*com*/) { return nullptr; }
    // Makes each COM number reach its device for tools started from now on;
    // earlier mappings stay. Throws std::runtime_error.
    virtual void map_ports(const std::map<int, std::string>& comToDevice) = 0;
    // Starts the tool with these arguments.
    virtual ProcessSetup tool_setup(const std::vector<std::string>& args) const = 0;
    // Starts `tarvo run -`.
    ProcessSetup run_setup() const { return tool_setup({"run", "-"}); }
    virtual std::unique_ptr<Session> start_run() const {
        return std::make_unique<ToolSession>(run_setup(), patience());
    }
    // How long one result may take (Wine starts slowly).
    virtual std::chrono::milliseconds patience() const = 0;
    // Called once after the last scenario.
    virtual void finish() {}
};

// Wine when TARVO_CONFORMANCE_WINE_EXE names a tarvo.exe, the fake device
// when TARVO_CONFORMANCE_FAKE is set, else the native tool whose path the
// build compiled in, over ser2net when TARVO_CONFORMANCE_NETWORK is set (as
// tcp:// when it is "tcp", else as rfc2217://). Throws std::runtime_error.
std::unique_ptr<Launcher> make_launcher();
std::unique_ptr<Launcher> make_fake_launcher();

}  // namespace tarvo::conformance

#endif
