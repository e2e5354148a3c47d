#include "execute.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "tarvo.h"
#include "text.h"

namespace tarvo::tool {
namespace {

using Clock = std::chrono::steady_clock;

// Short enough that a waiting script reacts promptly, long enough not to spin.
constexpr std::chrono::milliseconds POLL_INTERVAL{2};

// Polls the input queue until `count` bytes wait, an error comes back or the
// time is up; the last answer of sio_iqueue is the result.
int wait_for_bytes(int port, int count, int millis) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
    while (true) {
        const int waiting = sio_iqueue(port);
        if (waiting < 0 || waiting >= count) return waiting;
        const auto now = Clock::now();
        if (now >= deadline) return waiting;
        std::this_thread::sleep_for(std::min<Clock::duration>(POLL_INTERVAL, deadline - now));
    }
}

CallResult plain(int value) { return CallResult{value, format_result(value), false}; }

CallResult getch_result(int port) {
    const int value = sio_getch(port);
    if (value < 0 || value > 255) return plain(value);
    return CallResult{value, format_result(value, std::string(1, static_cast<char>(value))), false};
}

CallResult read_result(int port, int length) {
    std::vector<char> buffer(static_cast<std::size_t>(std::max(length, 1)));
    const int count = sio_read(port, buffer.data(), length);
    if (count < 0) return plain(count);
    const int shown = std::min(count, length);
    return CallResult{count, format_result(count, std::string(buffer.data(), static_cast<std::size_t>(shown))), false};
}

// After `waiting` bytes came: waits until no further byte has come for
// `gap` ms, so an answer sent at line pace is there whole. The bytes waiting
// then; `quiet` false when the deadline came first.
int wait_for_quiet(int port, int waiting, int gap, Clock::time_point deadline, bool& quiet) {
    auto lastByte = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        if (now - lastByte >= std::chrono::milliseconds(gap)) return quiet = true, waiting;
        if (now >= deadline) return quiet = false, waiting;
        const Clock::duration untilQuiet = lastByte + std::chrono::milliseconds(gap) - now;
        std::this_thread::sleep_for(std::min({Clock::duration(POLL_INTERVAL), deadline - now, untilQuiet}));
        const int now_waiting = sio_iqueue(port);
        if (now_waiting < 0) return quiet = true, now_waiting;
        if (now_waiting != waiting) lastByte = Clock::now();
        waiting = now_waiting;
    }
}

// `wait PORT COUNT MS [GAP]`: COUNT bytes within MS, and with GAP, then
// silence for GAP ms within the same MS.
CallResult wait_result(const std::vector<int>& a) {
    const int port = a[0], count = a[1], millis = a[2];
    const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
    CallResult result = plain(wait_for_bytes(port, count, millis));
    result.timedOut = result.value >= 0 && result.value < count;
    if (a.size() < 4 || result.value < 0 || result.timedOut) return result;
    bool quiet = false;
    result = plain(wait_for_quiet(port, result.value, a[3], deadline, quiet));
    result.timedOut = result.value >= 0 && !quiet;
    return result;
}

template <typename Function, std::size_t... I>
int call_indexed(Function function, const std::vector<int>& a, std::index_sequence<I...>) {
    return function(a[I]...);
}

// A function of integers only, called with the command's integers; buffer
// functions take their own way (read_result, the write case).
template <typename... Params>
int call_with(int (*function)(Params...), const std::vector<int>& a) {
    if constexpr ((std::is_same_v<Params, int> && ...)) {
        return call_indexed(function, a, std::index_sequence_for<Params...>{});
    } else {
        return ERR_BAD_PARAMETER;  // not reached: parse_line gives no such command
    }
}

int call_library(const Command& command) {
    switch (command.op) {
#define TARVO_CALL_CASE(function, tag, shape, parameters, usage) \
    case Op::tag: return call_with(function, command.args);
        TARVO_CONTRACT_FUNCTIONS(TARVO_CALL_CASE)
#undef TARVO_CALL_CASE
        case Op::Wait: case Op::Sleep: break;
    }
    return ERR_BAD_PARAMETER;
}

}  // namespace

CallResult execute(const Command& command) {
    const std::vector<int>& a = command.args;
    switch (command.op) {
        case Op::Getch: return getch_result(a[0]);
        case Op::Read: return read_result(a[0], a[1]);
        case Op::Write:
            return plain(sio_write(a[0], command.data.data(), static_cast<int>(command.data.size())));
        case Op::Wait: return wait_result(a);
        case Op::Sleep:
            std::this_thread::sleep_for(std::chrono::milliseconds(a[0]));
            return plain(0);
        default: return plain(call_library(command));
    }
}

}  // namespace tarvo::tool
