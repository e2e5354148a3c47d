// Pseudo-terminals for the tests: the library opens the slave as a COM
// device, the test plays the instrument on the master side, which never
// blocks: every wait below is bounded by poll.
//
// Settings are read and written through the master: termios ioctls on a
// Linux pty master act on the slave's settings.
#ifndef TARVO_TESTS_PTY_SUPPORT_H
#define TARVO_TESTS_PTY_SUPPORT_H

#include <asm/termbits.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "pty_pair.h"

namespace tarvo::pty {

class Pty {
public:
    Pty();  // throws std::system_error if no pty can be had: the test fails

    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return pair_.master(); }
    const char* slave_name() const { return pair_.slave_path().c_str(); }
    void close_master() { pair_.close_master(); }
    // Lets every user open the slave.
    void open_to_all() const;

    // TARVO_COM<comNumber> names this pty's slave from now on.
    void map_as(int comNumber) const;

    termios2 settings() const;
    void set(const termios2& settings) const;

    // Peer side I/O, bounded by the timeout: bytes written / read.
    std::size_t send(const void* data, std::size_t size, int timeoutMs = 5000) const;
    std::vector<std::uint8_t> receive(std::size_t size, int timeoutMs = 5000) const;

private:
    // The test holds a slave of its own, so the line stays up while the
    // library closes and reopens it.
    PtyPair pair_{PtyOptions{true, false, true}};
};

// A user other than the test's, for openers that root's rights must not hide.
constexpr unsigned NOBODY = 65534;
// Only root can become NOBODY; the cases that need it are skipped otherwise.
constexpr const char* NEEDS_ROOT = "acting as another user (uid 65534) needs root";

// Runs `body` in a forked child, as user `uid` if it is not 0 (the test runs
// as root), and gives its result: the child's exit status, or -1 if it did not
// exit by itself. The child ends with _exit and never returns into the test.
int run_in_child(const std::function<int()>& body, unsigned uid = 0);

// A forked child that runs `body` and then waits until it is killed; the
// parent goes on once `body` has returned and reads its result from ready().
class StandingChild {
public:
    explicit StandingChild(const std::function<int()>& body);
    ~StandingChild();  // kills the child if it still runs
    int ready() const { return ready_; }
    void kill();  // SIGKILL, and reaped

private:
    int pid_ = -1;
    int ready_ = -1;
};

// Polls `condition` every millisecond until it holds or the time is up.
bool wait_until(const std::function<bool()>& condition, int timeoutMs = 5000);

// Descriptors this process holds now.
int open_descriptors();

// 0, 1, ... 255, 0, 1 ... scrambled so that neighbours differ.
std::vector<std::uint8_t> pattern(std::size_t size);

using Clock = std::chrono::steady_clock;
inline long elapsed_ms(Clock::time_point since) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

}  // namespace tarvo::pty

#endif
