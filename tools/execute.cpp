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

std::string getch_result(int port) {
    const int value = sio_getch(port);
    if (value < 0 || value > 255) return format_result(value);
    return format_result(value, std::string(1, static_cast<char>(value)));
}

std::string read_result(int port, int length) {
    std::vector<char> buffer(static_cast<std::size_t>(std::max(length, 1)));
    const int count = sio_read(port, buffer.data(), length);
    if (count < 0) return format_result(count);
    const int shown = std::min(count, length);
    return format_result(count, std::string(buffer.data(), static_cast<std::size_t>(shown)));
}

}  // namespace

std::string execute(const Command& command) {
    const std::vector<int>& a = command.args;
    switch (command.op) {
        case Op::SetComPortNo: return format_result(sio_setComPortNo(a[0], a[1]));
        case Op::Open: return format_result(sio_open(a[0]));
        case Op::Close: return format_result(sio_close(a[0]));
        case Op::TermIrq: return format_result(sio_term_irq(a[0]));
        case Op::Iqueue: return format_result(sio_iqueue(a[0]));
        case Op::Getch: return getch_result(a[0]);
        case Op::Read: return read_result(a[0], a[1]);
        case Op::Write:
            return format_result(sio_write(a[0], command.data.data(), static_cast<int>(command.data.size())));
        case Op::Flush: return format_result(sio_flush(a[0], a[1]));
        case Op::Baud: return format_result(sio_baud(a[0], a[1]));
        case Op::Ioctl: return format_result(sio_ioctl(a[0], a[1], a[2]));
        case Op::Flowctrl: return format_result(sio_flowctrl(a[0], a[1]));
        case Op::Rts: return format_result(sio_RTS(a[0], a[1]));
        case Op::Dtr: return format_result(sio_DTR(a[0], a[1]));
        case Op::Enableat: return format_result(sio_enableat(a[0]));
        case Op::Disableat: return format_result(sio_disableat(a[0]));
        case Op::Wait: return format_result(wait_for_bytes(a[0], a[1], a[2]));
        case Op::Sleep:
            std::this_thread::sleep_for(std::chrono::milliseconds(a[0]));
            return format_result(0);
    }
    return format_result(0);
}

}  // namespace tarvo::tool
