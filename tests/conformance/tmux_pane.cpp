#include "tmux_pane.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "child_process.h"

namespace tarvo::conformance {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string file_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool tmux_installed() { return run_to_end({{"tmux", "-V"}, {}, {}, {}}, 10s).ending.value_or(Ending{}).status == 0; }

namespace {

std::string shell_word(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

}  // namespace

TmuxPane::TmuxPane(const std::string& toolArgs) {
    start("exec " + std::string(TARVO_CONFORMANCE_TOOL) + " " + toolArgs);
}

TmuxPane::TmuxPane(const ProcessSetup& setup) {
    std::string command = "exec env";
    for (const auto& [name, value] : setup.env) command += " " + shell_word(name + "=" + value);
    for (const std::string& word : setup.argv) command += " " + shell_word(word);
    start(setup.directory.empty() ? command : "cd " + shell_word(setup.directory) + " && " + command);
}

// The command is exec'd by a shell of its own (and execs the tool), so the
// pid noted is the tool's.
void TmuxPane::start(const std::string& command) {
    static int serial = 0;
    dir_ = fs::path(::testing::TempDir()) / ("tarvo_tmux_" + std::to_string(getpid()) + "_" + std::to_string(++serial));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const std::string d = dir_.string();
    const std::string script = "stty -g > " + d + "/before; sh -c 'echo $$ > " + d + "/pid; exec \"$0\" \"$@\"' " +
                               "sh -c " + shell_word(command) + "; echo $? > " + d + "/status.tmp; stty -g > " + d +
                               "/after; mv " + d + "/status.tmp " + d + "/status; exec sleep 600";
    tmux({"new-session", "-d", "-x", "100", "-y", "30", "-s", "t", script});
}

TmuxPane::~TmuxPane() {
    tmux({"kill-server"});
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
}

void TmuxPane::type_text(const std::string& text) { tmux({"send-keys", "-t", "t", "-l", text}); }
void TmuxPane::press(const std::string& key) { tmux({"send-keys", "-t", "t", key}); }
std::string TmuxPane::screen() { return tmux({"capture-pane", "-p", "-t", "t"}); }

bool TmuxPane::shows(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (screen().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

std::optional<int> TmuxPane::status() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (fs::exists(dir_ / "status")) return std::stoi(file_text(dir_ / "status"));
        std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
}

pid_t TmuxPane::tool_pid() { return static_cast<pid_t>(std::stol(file_text(dir_ / "pid"))); }
bool TmuxPane::takes_keys_raw(std::chrono::milliseconds timeout) {
    std::string tty = tmux({"display-message", "-p", "-t", "t", "#{pane_tty}"});
    while (!tty.empty() && (tty.back() == '\n' || tty.back() == '\r')) tty.pop_back();
    const int fd = ::open(tty.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool raw = false;
    while (!raw && std::chrono::steady_clock::now() < deadline) {
        termios settings{};
        raw = ::tcgetattr(fd, &settings) == 0 && (settings.c_iflag & ICRNL) == 0 && (settings.c_lflag & ICANON) == 0;
        if (!raw) std::this_thread::sleep_for(20ms);
    }
    ::close(fd);
    return raw;
}

std::string TmuxPane::settings_before() { return file_text(dir_ / "before"); }
std::string TmuxPane::settings_after() { return file_text(dir_ / "after"); }

std::string TmuxPane::tmux(std::vector<std::string> args) {
    ProcessSetup setup;
    setup.argv = {"tmux", "-S", (dir_ / "tmux.sock").string()};
    setup.argv.insert(setup.argv.end(), args.begin(), args.end());
    setup.env = {{"TERM", "xterm"}};
    // The pane's programs see only the mappings a test gives them.
    setup.removedPrefixes = {"TARVO_COM", "TMUX"};
    return run_to_end(setup, 10s).output;
}

}  // namespace tarvo::conformance
