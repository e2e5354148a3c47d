// The terminal side of `tarvo term` on POSIX: the user's terminal in raw mode
// (output processing kept), poll(2) on standard input, and SIGTERM, SIGHUP,
// SIGINT and SIGQUIT noted so the session restores the terminal first.
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "tarvo_ext.h"
#include "term_console.h"

namespace tarvo::tool {
namespace {

volatile std::sig_atomic_t pendingSignal = 0;

void note_signal(int signal) { pendingSignal = signal; }

class PosixConsole : public TermConsole {
public:
    PosixConsole() {
        // Without SA_RESTART, so a signal ends the keyboard poll at once.
        struct sigaction action {};
        action.sa_handler = note_signal;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) sigaction(signal, &action, nullptr);
    }
    ~PosixConsole() override { restore(); }

    bool interactive() const override { return isatty(STDIN_FILENO) == 1; }

    void take_keys_raw() override {
        if (raw_ || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios raw = saved_;
        cfmakeraw(&raw);
        // Raw output would pass \n without a carriage return; keep the
        // output processing so messages and received LF look right.
        raw.c_oflag = saved_.c_oflag;
        raw_ = tcsetattr(STDIN_FILENO, TCSAFLUSH, &raw) == 0;
    }

    void restore() override {
        if (raw_) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
        raw_ = false;
    }

    int read_input(char* buffer, int size, int millis) override {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&input, 1, millis);
        if (ready <= 0) return 0;  // nothing yet, or a signal came
        const ssize_t count = ::read(STDIN_FILENO, buffer, static_cast<std::size_t>(size));
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) return 0;
        return count > 0 ? static_cast<int>(count) : -1;
    }

    void write(const std::string& text) override {
        const char* bytes = text.data();
        std::size_t size = text.size();
        while (size > 0) {
            const ssize_t written = ::write(STDOUT_FILENO, bytes, size);
            if (written < 0 && errno == EINTR) continue;
            if (written <= 0) return;  // the screen is gone; nothing to tell
            bytes += written;
            size -= static_cast<std::size_t>(written);
        }
    }

    bool asked_to_end() const override { return pendingSignal != 0; }

    // By the signal that asked for it, as a shell expects.
    void end_as_asked() override {
        if (pendingSignal == 0) return;
        restore();
        std::signal(pendingSignal, SIG_DFL);
        std::raise(pendingSignal);
        std::_Exit(128 + pendingSignal);
    }

private:
    termios saved_{};
    bool raw_ = false;
};

}  // namespace

std::unique_ptr<TermConsole> make_term_console() { return std::make_unique<PosixConsole>(); }

std::string device_of_port(int port) {
    char text[TARVO_DEVICE_TEXT_SIZE];
    return tarvo_port_device(port, text, sizeof text) >= 0 ? text : "";
}

bool map_port_to_path(int port, const std::string& path) { return tarvo_set_target(port, path.c_str()) == 0; }

}  // namespace tarvo::tool
