#include "execute.h"

#include <algorithm>
#include <chrono>
#include <thread>
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

CallResult wait_result(int port, int count, int millis) {
    CallResult result = plain(wait_for_bytes(port, count, millis));
    result.timedOut = result.value >= 0 && result.value < count;
    return result;
}

}  // namespace

CallResult execute(const Command& command) {
    const std::vector<int>& a = command.args;
    switch (command.op) {
        case Op::SetComPortNo: return plain(sio_setComPortNo(a[0], a[1]));
        case Op::Open: return plain(sio_open(a[0]));
        case Op::Close: return plain(sio_close(a[0]));
        case Op::TermIrq: return plain(sio_term_irq(a[0]));
        case Op::Iqueue: return plain(sio_iqueue(a[0]));
        case Op::Getch: return getch_result(a[0]);
        case Op::Read: return read_result(a[0], a[1]);
        case Op::Write:
            return plain(sio_write(a[0], command.data.data(), static_cast<int>(command.data.size())));
        case Op::Flush: return plain(sio_flush(a[0], a[1]));
        case Op::Baud: return plain(sio_baud(a[0], a[1]));
        case Op::Ioctl: return plain(sio_ioctl(a[0], a[1], a[2]));
        case Op::Flowctrl: return plain(sio_flowctrl(a[0], a[1]));
        case Op::Rts: return plain(sio_RTS(a[0], a[1]));
        case Op::Dtr: return plain(sio_DTR(a[0], a[1]));
        case Op::Enableat: return plain(sio_enableat(a[0]));
        case Op::Disableat: return plain(sio_disableat(a[0]));
        case Op::Wait: return wait_result(a[0], a[1], a[2]);
        case Op::Sleep:
            std::this_thread::sleep_for(std::chrono::milliseconds(a[0]));
            return plain(0);
    }
    return plain(0);
}

}  // namespace tarvo::tool
