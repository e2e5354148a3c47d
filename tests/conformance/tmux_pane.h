// The tool in a tmux pane, as a person at a terminal runs it: keys typed
// with send-keys, the screen read with capture-pane.
#ifndef TARVO_CONFORMANCE_TMUX_PANE_H
#define TARVO_CONFORMANCE_TMUX_PANE_H

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace tarvo::conformance {

bool tmux_installed();

// One tmux server of its own with one pane. The pane runs a shell that notes
// the terminal settings, runs the tool (exec'd, so its pid is the tool's),
// then notes its exit status and the settings again.
class TmuxPane {
public:
    // `toolArgs`: the native tool's arguments as shell words, e.g.
    // "term /dev/pts/3".
    explicit TmuxPane(const std::string& toolArgs);
    // Any program: its arguments, environment and folder as `setup` says.
    explicit TmuxPane(const ProcessSetup& setup);
    ~TmuxPane();
    TmuxPane(const TmuxPane&) = delete;
    TmuxPane& operator=(const TmuxPane&) = delete;

    void type_text(const std::string& text);
    void press(const std::string& key);  // a tmux key name: Enter, C-t, C-]
    std::string screen();
    // True once the screen shows `text`, within a bounded wait.
    bool shows(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // True once the pane's terminal hands keys over as typed (no line
    // editing, no CR turned into NL), within a bounded wait.
    bool takes_keys_raw(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // The tool's exit status as the shell saw it, once it has ended.
    std::optional<int> status();

    pid_t tool_pid();
    std::string settings_before();
    std::string settings_after();
    std::filesystem::path file(const std::string& name) const { return dir_ / name; }

private:
    void start(const std::string& command);
    std::string tmux(std::vector<std::string> args);

    std::filesystem::path dir_;
};

std::string file_text(const std::filesystem::path& path);

}  // namespace tarvo::conformance

#endif
