// Pseudo-terminals for the tests: the library opens the slave as a COM
// device, the test plays the instrument on the master side.
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

namespace tarvo::pty {

class Pty {
public:
    Pty();  // aborts the test run if no pty can be had
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int master() const { return master_; }
    const char* slave_name() const { return name_; }
    void close_master();

    // TARVO_COM<comNumber> names this pty's slave from now on.
    void map_as(int comNumber) const;

    termios2 settings() const;
    void set(const termios2& settings) const;

    // Peer side I/O, bounded by the timeout: bytes written / read.
    std::size_t send(const void* data, std::size_t size, int timeoutMs = 5000) const;
    std::vector<std::uint8_t> receive(std::size_t size, int timeoutMs = 5000) const;

private:
    int master_ = -1;
    int slave_ = -1;
    char name_[64] = {};
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
