// The trace log: on when the environment asked for one at load, bounded in
// size, one write per line.
#ifndef TARVO_TRACE_LOG_H
#define TARVO_TRACE_LOG_H

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tarvo::trace {

// Set once at load, before any exported call can run; read by every call.
extern bool enabled;

// Appends lines up to `limit` bytes, then one line that says the log
// stopped, then nothing. Any thread; a line that cannot be written is lost
// and the log goes quiet.
class Log {
public:
    using Writer = bool (*)(const char* text, std::size_t length);
    Log(std::uint64_t limit, Writer writer) : limit_(limit), writer_(writer) {}
    void append(const char* text, std::size_t length);
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

private:
    const std::uint64_t limit_;
    const Writer writer_;
    std::atomic<std::uint64_t> used_{0};
    std::atomic<bool> stopped_{false};
};

// The library's log (valid while `enabled`).
Log& log();
// Microseconds since the library loaded.
std::uint64_t since_load();

}  // namespace tarvo::trace

#endif
