#include "trace/log.h"

#include <cstdio>

#include "contract/trace_format.h"
#include "trace/platform.h"

namespace tarvo::trace {

bool enabled = false;

namespace {

// Room kept below the limit for the line that says the log stopped.
constexpr std::uint64_t STOP_NOTE_ROOM = 160;

std::uint64_t loadTime = 0;
Log theLog(contract::TRACE_LIMIT_BYTES, platform::write_log);

// Runs when the library loads, before any exported call.
struct OpenAtLoad {
    OpenAtLoad() {
        loadTime = platform::microseconds();
        // The program's error state is the same after the library loaded as before.
        const unsigned long error = platform::saved_error();
        char name[512];
        if (!platform::open_log(name, sizeof name)) {
            platform::restore_error(error);
            return;
        }
        char header[768];
        const int length = std::snprintf(
            header, sizeof header,
            "%c tarvo trace of process %lu in %s: times in microseconds since the library loaded; "
            "the log stops at %llu bytes\n",
            contract::TRACE_COMMENT, platform::process_id(), name,
            static_cast<unsigned long long>(contract::TRACE_LIMIT_BYTES));
        theLog.append(header, length > 0 ? static_cast<std::size_t>(length) : 0);
        enabled = !theLog.stopped();
        platform::restore_error(error);
    }
} const openAtLoad;

}  // namespace

Log& log() { return theLog; }

std::uint64_t since_load() { return platform::microseconds() - loadTime; }

void Log::append(const char* text, std::size_t length) {
    if (stopped()) return;
    const std::uint64_t end = used_.fetch_add(length, std::memory_order_relaxed) + length;
    if (end + STOP_NOTE_ROOM > limit_) {
        // Only the first line past the limit writes the note.
        if (stopped_.exchange(true)) return;
        char stop[STOP_NOTE_ROOM];
        const int size = std::snprintf(stop, sizeof stop,
                                       "%c trace stopped: the log reached its limit of %llu bytes\n",
                                       contract::TRACE_COMMENT, static_cast<unsigned long long>(limit_));
        if (size > 0) writer_(stop, static_cast<std::size_t>(size));
        return;
    }
    if (!writer_(text, length)) stopped_.store(true, std::memory_order_relaxed);
}

}  // namespace tarvo::trace
