#include "launcher.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <vector>

#include "net/servers.h"

namespace tarvo::conformance {
namespace {

namespace fs = std::filesystem;

class NativeLauncher : public Launcher {
public:
    explicit NativeLauncher(std::string tool) : tool_(std::move(tool)) {}

    std::string name() const override { return "native"; }
    bool wine() const override { return false; }
    void map_ports(const std::map<int, std::string>& comToDevice) override {
        for (const auto& [com, device] : comToDevice) env_["TARVO_COM" + std::to_string(com)] = device;
    }
    ProcessSetup tool_setup(const std::vector<std::string>& args) const override {
        ProcessSetup setup;
        setup.argv = {tool_};
        setup.argv.insert(setup.argv.end(), args.begin(), args.end());
        setup.env = env_;
        // Only the suite's own mappings: never a real port of this machine.
        setup.removedPrefixes = {"TARVO_COM"};
        return setup;
    }
    std::chrono::milliseconds patience() const override { return std::chrono::seconds(5); }

private:
    std::string tool_;
    std::map<std::string, std::string> env_;
};

// The native tool with each COM number an rfc2217:// (or tcp://) URL of one
// ser2net serving all the ptys, started when the ports are mapped.
class NetworkLauncher : public NativeLauncher {
public:
    NetworkLauncher(std::string tool, net::Ser2net::Accepter accepter)
        : NativeLauncher(std::move(tool)), accepter_(accepter) {}

    std::string name() const override { return raw_tcp() ? "tcp" : "rfc2217"; }
    bool network() const override { return true; }
    bool raw_tcp() const override { return accepter_ == net::Ser2net::Accepter::Raw; }
    void map_ports(const std::map<int, std::string>& comToDevice) override {
        std::vector<std::string> devices;
        for (const auto& entry : comToDevice) devices.push_back(entry.second);
        server_ = std::make_unique<net::Ser2net>(devices, accepter_);
        if (!server_->running()) throw std::runtime_error("ser2net did not start (is it installed?)");
        std::map<int, std::string> urls;
        std::size_t index = 0;
        for (const auto& entry : comToDevice) urls[entry.first] = server_->url("", index++);
        NativeLauncher::map_ports(urls);
    }
    void finish() override { server_.reset(); }

private:
    net::Ser2net::Accepter accepter_;
    std::unique_ptr<net::Ser2net> server_;
};

// The prefix is made once (that takes a while) and kept in the build tree.
// Port mappings live in HKLM\Software\Wine\Ports, which Wine's mount manager
// reads when the wineserver starts: so map, then restart the server.
class WineLauncher : public Launcher {
public:
    WineLauncher(std::string exe, std::string prefix) : exe_(std::move(exe)), prefix_(std::move(prefix)) {
        if (!fs::exists(exe_)) throw std::runtime_error("no such program: " + exe_);
        directory_ = dll_directory();
        fs::create_directories(prefix_);
        // Made as every test's prefix is made (unpacked from the build tree's
        // store, its DLL copies links), before this suite locks it.
        if (!fs::exists(fs::path(prefix_) / "system.reg"))
            wine_tool({TARVO_RUN_UNDER_WINE, "--init", "--prefix", prefix_}, std::chrono::minutes(5));
        lock_prefix();
    }

    std::string name() const override { return "wine"; }
    bool wine() const override { return true; }

    void map_ports(const std::map<int, std::string>& comToDevice) override {
        hold_server();
        for (const auto& [com, device] : comToDevice) {
            wine_tool({TARVO_WINE, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM" + std::to_string(com), "/t",
                       "REG_SZ", "/d", device, "/f"},
                      std::chrono::minutes(2));
        }
        release_server();
        restart_server();
        hold_server();
    }

    ProcessSetup tool_setup(const std::vector<std::string>& args) const override {
        ProcessSetup setup;
        setup.argv = {TARVO_WINE, exe_};
        setup.argv.insert(setup.argv.end(), args.begin(), args.end());
        setup.env = environment();
        setup.removedPrefixes = {"TARVO_COM"};
        // The library loads from the program's folder or the current one.
        setup.directory = directory_;
        return setup;
    }

    std::chrono::milliseconds patience() const override { return std::chrono::seconds(60); }

    void finish() override {
        release_server();
        restart_server();
    }

    ~WineLauncher() override {
        if (lock_ >= 0) close(lock_);
    }

private:
    std::map<std::string, std::string> environment() const {
        return {{"WINEPREFIX", prefix_},
                {"WINEDEBUG", "-all"},
                {"DISPLAY", ""},
                // No offers to install Mono or Gecko while the prefix is made.
                {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
    }

    void wine_tool(std::vector<std::string> argv, std::chrono::milliseconds timeout) const {
        ProcessSetup setup;
        setup.argv = std::move(argv);
        setup.env = environment();
        const Completed done = run_to_end(setup, timeout);
        if (!done.ending || !done.ending->exited || done.ending->status != 0)
            throw std::runtime_error("'" + setup.argv[0] + " " + (setup.argv.size() > 1 ? setup.argv[1] : "") +
                                     "' failed under WINEPREFIX=" + prefix_ + ": " + done.output);
    }

    // Starting Wine's server and its system processes takes seconds, under
    // emulation many: an idle tool keeps them up for every tool started
    // meanwhile. It also keeps the server, which takes the first terminal it
    // opens as its controlling one, from ending and so hanging that
    // terminal up for the far end's hold on it.
    void hold_server() {
        keeper_ = std::make_unique<ChildProcess>(run_setup());
        if (!keeper_->write_stdin("sleep 0\n") || !keeper_->read_line(patience()))
            throw std::runtime_error("tarvo.exe did not start under WINEPREFIX=" + prefix_ + ": " +
                                     keeper_->stderr_text());
    }

    void release_server() {
        if (!keeper_) return;
        keeper_->close_stdin();
        keeper_->wait(patience());
        keeper_.reset();
    }

    void restart_server() const {
        ProcessSetup kill;
        kill.argv = {"wineserver", "-k"};
        kill.env = environment();
        run_to_end(kill, std::chrono::seconds(30));  // fails harmlessly when none runs
        wine_tool({"wineserver", "-w"}, std::chrono::seconds(30));
    }

    // Remapping ports restarts the prefix's server: one suite per prefix at a time.
    void lock_prefix() {
        const std::string path = prefix_ + ".lock";
        lock_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lock_ < 0) throw std::runtime_error("cannot create " + path);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
        while (flock(lock_, LOCK_EX | LOCK_NB) != 0) {
            if (std::chrono::steady_clock::now() >= deadline)
                throw std::runtime_error("another suite holds " + path + " for too long");
            usleep(100 * 1000);
        }
    }

    // Tarvo.dll beside the program, or one folder up (the build tree's top).
    std::string dll_directory() const {
        const fs::path here = fs::absolute(exe_).parent_path();
        for (const fs::path& dir : {here, here.parent_path()})
            if (fs::exists(dir / "Tarvo.dll") || fs::exists(dir / "tarvo.dll")) return dir.string();
        throw std::runtime_error("Tarvo.dll is neither beside " + exe_ + " nor one folder up");
    }

    std::string exe_;
    std::string prefix_;
    std::string directory_;
    int lock_ = -1;
    std::unique_ptr<ChildProcess> keeper_;
};

// TARVO_CONFORMANCE_WINEPREFIX if set; else a prefix of its own in the build
// tree that holds the program (so a 32- and a 64-bit build never share one),
// else one beside this suite.
std::string wine_prefix_for(const std::string& exe) {
    if (const char* prefix = getenv("TARVO_CONFORMANCE_WINEPREFIX"); prefix != nullptr && *prefix != '\0')
        return fs::absolute(prefix).string();
    for (fs::path dir = fs::path(exe).parent_path(); !dir.empty() && dir != dir.root_path(); dir = dir.parent_path())
        if (fs::exists(dir / "CMakeCache.txt")) return (dir / "wineprefix-conformance").string();
    return TARVO_CONFORMANCE_DEFAULT_WINEPREFIX;
}

}  // namespace

std::unique_ptr<Launcher> make_launcher() {
    if (const char* exe = getenv("TARVO_CONFORMANCE_WINE_EXE"); exe != nullptr && *exe != '\0') {
        const std::string program = fs::absolute(exe).string();
        return std::make_unique<WineLauncher>(program, wine_prefix_for(program));
    }
    if (const char* fake = getenv("TARVO_CONFORMANCE_FAKE"); fake != nullptr && *fake != '\0')
        return make_fake_launcher();
    if (const char* network = getenv("TARVO_CONFORMANCE_NETWORK"); network != nullptr && *network != '\0') {
        const bool tcp = std::string(network) == "tcp";
        return std::make_unique<NetworkLauncher>(TARVO_CONFORMANCE_TOOL,
                                                 tcp ? net::Ser2net::Accepter::Raw : net::Ser2net::Accepter::Rfc2217);
    }
    return std::make_unique<NativeLauncher>(TARVO_CONFORMANCE_TOOL);
}

}  // namespace tarvo::conformance
