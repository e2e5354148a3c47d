#include "execute.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "tarvo.h"
#include "terminal.h"
#include "text.h"

namespace tarvo::tool {
namespace {

using Clock = std::chrono::steady_clock;

int millis_until(Clock::time_point then) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(then - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
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
    for (;;) {
        const auto quietAt = Clock::now() + std::chrono::milliseconds(gap);
        const bool deadlineFirst = deadline < quietAt;
        const int now = wait_for_input(port, waiting + 1, millis_until(deadlineFirst ? deadline : quietAt));
        if (now < 0) return quiet = true, now;
        if (now <= waiting) return quiet = !deadlineFirst, waiting;
        waiting = now;  // another byte came: the gap starts again
    }
}

// `wait PORT COUNT MS [GAP]`: COUNT bytes within MS, and with GAP, then
// silence for GAP ms within the same MS.
CallResult wait_result(const std::vector<int>& a) {
    const int port = a[0], count = a[1], millis = a[2];
    const auto deadline = Clock::now() + std::chrono::milliseconds(millis);
    CallResult result = plain(count > 0 ? wait_for_input(port, count, millis) : sio_iqueue(port));
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
