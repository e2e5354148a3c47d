// The terminal side of `tarvo term` on POSIX: the user's terminal in raw mode
// (output processing kept), poll(2) on standard input, and SIGTERM, SIGHUP,
// SIGINT and SIGQUIT noted so the session restores the terminal first.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

#include "tarvo_ext.h"
#include "term_console.h"

namespace tarvo::tool {
namespace {

volatile std::sig_atomic_t pendingSignal = 0;

void note_signal(int signal) { pendingSignal = signal; }

// Sleeps in tarvo_wait on the port for the console, one wait at a time, and
// tells of its end through a pipe the console polls beside the keyboard. The
// port is read on the console's thread, once the wait has ended.
class PortWaiter {
public:
    explicit PortWaiter(int port) : port_(port) {
        if (::pipe2(token_, O_CLOEXEC | O_NONBLOCK) != 0) token_[0] = token_[1] = -1;
        thread_ = std::thread([this] { run(); });
    }
    ~PortWaiter() {
        {
            std::lock_guard<std::mutex> lock(guard_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
        ::close(token_[0]);
        ::close(token_[1]);
    }
    PortWaiter(const PortWaiter&) = delete;
    PortWaiter& operator=(const PortWaiter&) = delete;

    bool usable() const { return token_[0] >= 0; }
    int token() const { return token_[0]; }
    // Starts a wait unless one runs.
    void arm() {
        {
            std::lock_guard<std::mutex> lock(guard_);
            if (waiting_) return;
            waiting_ = true;
        }
        wake_.notify_one();
    }
    // True when no wait runs; takes the token a finished one left.
    bool idle() {
        char drained[16];
        while (::read(token_[0], drained, sizeof drained) > 0) {
        }
        return !waiting_;
    }

private:
    // Long enough to be no wake-up at all while the line is quiet.
    static constexpr int LONGEST_WAIT_MS = 3600 * 1000;

    void run() {
        std::unique_lock<std::mutex> lock(guard_);
        for (;;) {
            wake_.wait(lock, [this] { return waiting_ || stopping_; });
            if (stopping_) return;
            lock.unlock();
            tarvo_wait(port_, 1, LONGEST_WAIT_MS);  // bytes, a hang-up or the time: the console looks
            lock.lock();
            waiting_ = false;
            const char byte = 1;
            if (::write(token_[1], &byte, 1) < 0) {
            }  // full: a token is there already
        }
    }

    const int port_;
    int token_[2] = {-1, -1};
    std::mutex guard_;
    std::condition_variable wake_;
    std::atomic<bool> waiting_{false};
    bool stopping_ = false;
    std::thread thread_;
};

class PosixConsole : public TermConsole {
public:
    PosixConsole() {
        // Without SA_RESTART, so a signal ends the keyboard poll at once.
        struct sigaction action {};
        action.sa_handler = note_signal;
        sigemptyset(&action.sa_mask);
        for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGQUIT}) sigaction(signal, &action, nullptr);
    }
    ~PosixConsole() override {
        restore();
        // A wait still in the library cannot be cut short: it is left to
        // end with the process, the port not closed under it.
        if (waiter_ && !waiter_->idle()) static_cast<void>(waiter_.release());
    }

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

    int await(int port, int millis) override {
        if (!waiter_) waiter_ = std::make_unique<PortWaiter>(port);
        if (!waiter_->usable()) return KEYS | PORT;
        waiter_->arm();
        pollfd watch[2] = {{STDIN_FILENO, POLLIN, 0}, {waiter_->token(), POLLIN, 0}};
        if (::poll(watch, 2, millis) <= 0) return 0;  // the time, or a signal
        return (watch[0].revents != 0 ? KEYS : 0) | (watch[1].revents != 0 ? PORT : 0);
    }
    bool sleeps_on_port() const override { return waiter_ == nullptr || waiter_->usable(); }
    bool port_free() override { return waiter_ == nullptr || waiter_->idle(); }

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
    std::unique_ptr<PortWaiter> waiter_;
};

}  // namespace

std::unique_ptr<TermConsole> make_term_console() { return std::make_unique<PosixConsole>(); }

std::string device_of_port(int port) {
    char text[TARVO_DEVICE_TEXT_SIZE];
    return tarvo_port_device(port, text, sizeof text) >= 0 ? text : "";
}

bool map_port_to_path(int port, const std::string& path) { return tarvo_set_target(port, path.c_str()) == 0; }

}  // namespace tarvo::tool
