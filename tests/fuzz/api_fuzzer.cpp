// Fuzzes the 16 exported functions over the recording fake device.
//
// An input is a sequence of steps, each an operation byte and its arguments
// (see make_corpus.py for the encoding). A step either calls a sio_ function
// with arbitrary integers, or changes the device: which calls fail, what
// waits in the input queue, what the status read reports, whether transfers
// pend. After every call the result, the calls the device saw and the port
// table are checked against a model of the 16 slots; a mismatch aborts with a
// description, which libFuzzer reports as a crash.
#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "fake/fake_device.h"
#include "registry/port_table.h"
#include "tarvo.h"

namespace {

using namespace tarvo;

// The most bytes the fuzzer keeps in the input queue, and the most a caller's
// buffer holds: a read never gets more than is queued, and a write longer
// than this is cut short by the device (writeLimit).
constexpr std::size_t BUFFER_CAP = 4096;

enum Step : std::uint8_t {
    SET_COM_PORT_NO, OPEN, CLOSE, TERM_IRQ, IQUEUE, GETCH, READ, WRITE, FLUSH, BAUD, IOCTL, FLOWCTRL, RTS, DTR,
    ENABLEAT, DISABLEAT,
    FAIL_BY_NAME,   // 2-byte mask over CALL_NAMES
    FAIL_UPCOMING,  // the call so many calls from now fails
    CLEAR_FAILURES,
    RECEIVE,        // count byte, then the bytes
    QUEUE_OVERRIDE, // byte: odd -> none, else a 4-byte count
    PENDING,        // bit 0 reads pend, bit 1 writes pend
    WRITE_LIMIT,    // integer; negative -> none
    LAST_ERROR,     // what failed calls leave for GetLastError
    STEP_COUNT
};

const char* const CALL_NAMES[] = {"CreateFileA",    "SetupComm",    "CloseHandle",  "CreateEventA",
                                  "ClearCommError", "PurgeComm",    "ReadFile",     "WriteFile",
                                  "GetLastError",   "GetOverlappedResult",           "GetCommState",
                                  "SetCommState",   "SetCommTimeouts"};
constexpr int CALL_NAME_COUNT = sizeof CALL_NAMES / sizeof CALL_NAMES[0];

constexpr int INTERESTING[] = {0,     1,     -1,      2,       3,           16,          17,   19,    20,
                               0x3F,  0x40,  0xFF,    0x100,   1024,        4096,        4097, 65535, 65536,
                               -20004, 921600, 921601, INT_MAX, INT_MAX - 1, INT_MIN + 1, INT_MIN};
constexpr int INTERESTING_COUNT = sizeof INTERESTING / sizeof INTERESTING[0];

// Reads the input from the front; past its end every byte reads as 0.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t word() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value |= static_cast<std::uint32_t>(byte()) << (8 * i);
        return value;
    }
    // A tag byte, then: 0 a signed byte, 1 four bytes, 2 an index into
    // INTERESTING, 3 an unsigned byte.
    int integer() {
        switch (byte() % 4) {
            case 0: return static_cast<std::int8_t>(byte());
            case 1: {
                const std::uint32_t raw = word();
                return raw <= INT_MAX ? static_cast<int>(raw) : -static_cast<int>(~raw) - 1;
            }
            case 2: return INTERESTING[byte() % INTERESTING_COUNT];
            default: return byte();
        }
    }

    // Mostly ports 1..16 (a byte below 0xF0), else any integer.
    int port() {
        const std::uint8_t value = byte();
        return value < 0xF0 ? 1 + value % PORT_COUNT : integer();
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

[[noreturn]] void violated(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fprintf(stderr, "invariant violated: ");
    std::vfprintf(stderr, format, args);
    std::fprintf(stderr, "\nlast device calls:\n");
    va_end(args);
    const auto& calls = fake::device().calls;
    for (std::size_t i = calls.size() > 12 ? calls.size() - 12 : 0; i < calls.size(); ++i)
        std::fprintf(stderr, "  %s\n", calls[i].c_str());
    std::abort();
}

bool in_range(int port) { return port >= 1 && port <= PORT_COUNT; }

// What the library should hold, derived from the results it gave.
struct Model {
    bool open[PORT_COUNT + 1] = {};
    int comOverride[PORT_COUNT + 1];
    Model() {
        for (int& value : comOverride) value = -1;
    }
};

// The results a function may give: its success range and its own codes.
struct Allowed {
    long low, high;  // success range
    std::vector<int> codes;
};

void check_result(const char* function, int rc, const Allowed& allowed) {
    if (rc >= 0) {
        if (rc < allowed.low || rc > allowed.high)
            violated("%s returned %d, outside its success range %ld..%ld", function, rc, allowed.low, allowed.high);
        return;
    }
    for (int code : allowed.codes)
        if (rc == code) return;
    violated("%s returned %d, not one of its codes", function, rc);
}

// The handle argument of a recorded call, e.g. "h3" of "ReadFile(h3, 4, e1)".
std::string first_argument(const std::string& call) {
    const std::size_t open = call.find('(');
    const std::size_t end = call.find_first_of(",)", open);
    return call.substr(open + 1, end - open - 1);
}

std::string call_name(const std::string& call) { return call.substr(0, call.find('(')); }

class Run {
public:
    explicit Run(Input& in) : in_(in) {}

    void step() {
        switch (in_.byte() % STEP_COUNT) {
            case SET_COM_PORT_NO: {
                const int port = in_.port(), com = in_.integer();
                const int rc = call(port, "sio_setComPortNo", {0, 0, {ERR_BAD_PORT}}, NO_OPEN_TEST,
                                    [&] { return sio_setComPortNo(port, com); });
                if (rc == 0) model_.comOverride[port] = com;
                break;
            }
            case OPEN: open(in_.port()); break;
            case CLOSE: {
                const int port = in_.port();
                const int rc = call(port, "sio_close", {0, 0, {ERR_BAD_PORT, ERR_NOT_OPEN, ERR_CLOSE_FAILED}},
                                    [&] { return sio_close(port); });
                if (rc == 0) model_.open[port] = false;
                break;
            }
            case TERM_IRQ: {
                const int port = in_.port();
                call(port, "sio_term_irq", {0, 0, {ERR_BAD_PORT, ERR_NOT_OPEN}}, NO_DEVICE_CALL,
                     [&] { return sio_term_irq(port); });
                break;
            }
            case IQUEUE: {
                const int port = in_.port();
                const auto& dev = fake::device();
                const std::uint64_t queued =
                    dev.queueOverride >= 0 ? static_cast<std::uint64_t>(dev.queueOverride) : dev.input.size();
                const int rc = call(port, "sio_iqueue", {0, INT_MAX, {ERR_BAD_PORT, ERR_NOT_OPEN, ERR_STATUS_FAILED}},
                                    [&] { return sio_iqueue(port); });
                const std::uint64_t expected = std::min<std::uint64_t>(queued, INT_MAX);
                if (rc >= 0 && static_cast<std::uint64_t>(rc) != expected)
                    violated("sio_iqueue(%d) returned %d with %llu bytes waiting", port, rc,
                             static_cast<unsigned long long>(queued));
                break;
            }
            case GETCH: {
                const int port = in_.port();
                const std::string expected = next_bytes();
                const int rc = call(port, "sio_getch", {0, 255, {ERR_BAD_PORT, ERR_NOT_OPEN, ERR_NO_DATA}},
                                    [&] { return sio_getch(port); });
                if (rc >= 0 && (expected.empty() || rc != static_cast<std::uint8_t>(expected[0])))
                    violated("sio_getch(%d) returned %d, not the next byte received", port, rc);
                break;
            }
            case READ: read(); break;
            case WRITE: write(); break;
            case FLUSH: {
                const int port = in_.port(), selector = in_.integer();
                call(port, "sio_flush", {0, 0, {ERR_BAD_PORT, ERR_NOT_OPEN, ERR_STATUS_FAILED, ERR_PURGE_FAILED}},
                     [&] { return sio_flush(port, selector); });
                break;
            }
            case BAUD: {
                const int port = in_.port(), rate = in_.integer();
                const int rc = call(port, "sio_baud", line_setting_results(true), [&] { return sio_baud(port, rate); });
                if (rc == 0 && fake::device().dcb.BaudRate != static_cast<dev::DWORD>(rate))
                    violated("sio_baud(%d, %d) left the rate at %u", port, rate, fake::device().dcb.BaudRate);
                break;
            }
            case IOCTL: {
                const int port = in_.port(), index = in_.integer(), mode = in_.integer();
                call(port, "sio_ioctl", line_setting_results(true), [&] { return sio_ioctl(port, index, mode); });
                break;
            }
            case FLOWCTRL: {
                const int port = in_.port(), mode = in_.integer();
                call(port, "sio_flowctrl", line_setting_results(false), [&] { return sio_flowctrl(port, mode); });
                break;
            }
            case RTS: {
                const int port = in_.port(), on = in_.integer();
                call(port, "sio_RTS", line_setting_results(false), [&] { return sio_RTS(port, on); });
                break;
            }
            case DTR: {
                const int port = in_.port(), on = in_.integer();
                call(port, "sio_DTR", line_setting_results(false), [&] { return sio_DTR(port, on); });
                break;
            }
            case ENABLEAT: {
                const int port = in_.port();
                call(port, "sio_enableat", line_setting_results(false), [&] { return sio_enableat(port); });
                break;
            }
            case DISABLEAT: {
                const int port = in_.port();
                call(port, "sio_disableat", line_setting_results(false), [&] { return sio_disableat(port); });
                break;
            }
            case FAIL_BY_NAME: {
                const unsigned mask = in_.byte() | (in_.byte() << 8);
                for (int i = 0; i < CALL_NAME_COUNT; ++i)
                    if (mask & (1u << i)) fake::device().failing.insert(CALL_NAMES[i]);
                break;
            }
            case FAIL_UPCOMING:
                fake::device().failingCalls.insert(fake::device().calls.size() + in_.byte() % 8);
                break;
            case CLEAR_FAILURES:
                fake::device().failing.clear();
                fake::device().failingCalls.clear();
                break;
            case RECEIVE: {
                auto& input = fake::device().input;
                for (int count = in_.byte(); count > 0 && !in_.empty(); --count) {
                    const std::uint8_t value = in_.byte();
                    if (input.size() < BUFFER_CAP) input.push_back(value);
                }
                break;
            }
            case QUEUE_OVERRIDE:
                fake::device().queueOverride = (in_.byte() & 1) ? -1 : static_cast<std::int64_t>(in_.word());
                break;
            case PENDING: {
                const std::uint8_t bits = in_.byte();
                fake::device().readsPend = bits & 1;
                fake::device().writesPend = bits & 2;
                break;
            }
            case WRITE_LIMIT: {
                const int limit = in_.integer();
                fake::device().writeLimit = limit < 0 ? -1 : limit;
                break;
            }
            case LAST_ERROR: {
                const std::uint8_t which = in_.byte() % 3;
                fake::device().lastErrorOnFailure =
                    which == 0 ? dev::ERROR_GEN_FAILURE : which == 1 ? dev::ERROR_IO_PENDING : in_.word();
                break;
            }
        }
        check_table();
    }

private:
    static Allowed line_setting_results(bool checksArgument) {
        if (checksArgument)
            return {0, 0, {ERR_BAD_PORT, ERR_NOT_OPEN, ERR_BAD_PARAMETER, ERR_GET_STATE_FAILED, ERR_SET_STATE_FAILED}};
        return {0, 0, {ERR_BAD_PORT, ERR_NOT_OPEN, ERR_GET_STATE_FAILED, ERR_SET_STATE_FAILED}};
    }

    // How far an operation other than sio_open goes: every one but
    // sio_setComPortNo makes the open test, all of those but sio_term_irq
    // then call the device.
    enum Reach { NO_OPEN_TEST, NO_DEVICE_CALL, DEVICE };

    // Calls an operation other than sio_open and checks its result; that a
    // bad or closed port gets its code without a device call; that an open
    // port's calls reach only that port's handle.
    template <typename Function>
    int call(int port, const char* function, const Allowed& allowed, Function function_call) {
        return call(port, function, allowed, DEVICE, function_call);
    }
    template <typename Function>
    int call(int port, const char* function, const Allowed& allowed, Reach reach, Function function_call) {
        const std::size_t before = fake::device().calls.size();
        const std::string handle = in_range(port) ? fake::handle_name(port_slot(port)->handle) : "";
        const int rc = function_call();
        check_result(function, rc, allowed);

        const auto& calls = fake::device().calls;
        if (!in_range(port)) {
            if (rc != ERR_BAD_PORT) violated("%s(%d) returned %d for a port outside 1..16", function, port, rc);
            if (calls.size() != before) violated("%s(%d) reached the device", function, port);
        } else if (reach == NO_OPEN_TEST) {
            if (rc != 0) violated("%s(%d) returned %d", function, port, rc);
        } else if (!model_.open[port]) {
            if (rc != ERR_NOT_OPEN) violated("%s(%d) returned %d on a closed port", function, port, rc);
            if (calls.size() != before) violated("%s(%d) reached the device on a closed port", function, port);
        } else {
            if (rc == ERR_NOT_OPEN) violated("%s(%d) said not open on an open port", function, port);
            for (std::size_t i = before; i < calls.size(); ++i) {
                if (call_name(calls[i]) == "GetLastError") continue;
                if (first_argument(calls[i]) != handle)
                    violated("%s(%d) on %s made the call %s", function, port, handle.c_str(), calls[i].c_str());
            }
        }
        if (reach != DEVICE && calls.size() != before) violated("%s(%d) reached the device", function, port);
        return rc;
    }

    void open(int port) {
        const std::size_t before = fake::device().calls.size();
        const dev::HANDLE heldBefore = in_range(port) ? port_slot(port)->handle : dev::INVALID_HANDLE_VALUE;
        const std::string oldHandle = fake::handle_name(heldBefore);
        const int rc = sio_open(port);
        check_result("sio_open", rc, {0, 0, {ERR_BAD_PORT, ERR_OPEN_FAILED, ERR_SETUP_FAILED}});
        const auto& calls = fake::device().calls;
        if (!in_range(port)) {
            if (rc != ERR_BAD_PORT) violated("sio_open(%d) returned %d for a port outside 1..16", port, rc);
            if (calls.size() != before) violated("sio_open(%d) reached the device", port);
            return;
        }
        if (rc == ERR_BAD_PORT) violated("sio_open(%d) refused a port in range", port);

        const int device = model_.comOverride[port] >= 0 ? model_.comOverride[port] : port;
        const std::string path = "\\\\.\\COM" + std::to_string(device);
        const std::string newHandle = fake::handle_name(port_slot(port)->handle);
        for (std::size_t i = before; i < calls.size(); ++i) {
            const std::string name = call_name(calls[i]), argument = first_argument(calls[i]);
            const bool fits = name == "CreateEventA" || (name == "CreateFileA" && argument == path) ||
                              (name == "CloseHandle" && model_.open[port] && argument == oldHandle) ||
                              (name == "SetupComm" && argument == newHandle) ||
                              name == "GetLastError";  // why an open failed, kept in the slot
            if (!fits) violated("sio_open(%d) made the call %s", port, calls[i].c_str());
        }
        // An open port whose device could not be let go keeps it, and says so.
        const bool stuck = model_.open[port] && fake::device().openHandles.count(heldBefore) != 0;
        if (stuck && (rc != ERR_OPEN_FAILED || port_slot(port)->handle != heldBefore))
            violated("sio_open(%d) could not let go of its device but returned %d on another handle", port, rc);
        model_.open[port] = rc == 0 || rc == ERR_SETUP_FAILED || stuck;
    }

    // The caller's buffer for a length: as long, up to BUFFER_CAP.
    static std::size_t buffer_size(int length) {
        return length <= 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(length), BUFFER_CAP);
    }

    // A buffer of exactly that size, so any access past it is reported.
    static std::unique_ptr<char[]> buffer_of(int length) {
        return std::unique_ptr<char[]>(new char[buffer_size(length)]);
    }

    void read() {
        const int port = in_.port(), length = in_.integer();
        const bool noBuffer = in_.byte() & 1;
        auto buffer = buffer_of(length);
        const std::string expected = next_bytes();
        const int rc = call(port, "sio_read", {0, length < 0 ? 0 : length, {ERR_BAD_PORT, ERR_NOT_OPEN}},
                            [&] { return sio_read(port, noBuffer ? nullptr : buffer.get(), length); });
        const std::size_t got = rc > 0 ? static_cast<std::size_t>(rc) : 0;
        if (std::string(buffer.get(), got) != expected.substr(0, got))
            violated("sio_read(%d, %d) returned %d bytes that are not the next ones received", port, length, rc);
    }

    // The bytes a read takes next: the input queue without the 0x00 bytes
    // that null stripping drops.
    static std::string next_bytes() {
        const auto& dev = fake::device();
        std::string bytes;
        for (std::uint8_t byte : dev.input)
            if (!(dev.dcb.fNull && byte == 0)) bytes.push_back(static_cast<char>(byte));
        return bytes;
    }

    void write() {
        const int port = in_.port(), count = in_.integer();
        const bool noBuffer = in_.byte() & 1;
        auto buffer = buffer_of(count);
        const std::size_t size = buffer_size(count);
        for (std::size_t i = 0; i < size; ++i) buffer[i] = static_cast<char>(i * 31 + 7);
        // The caller's buffer holds only BUFFER_CAP bytes: a longer write is
        // one the device cuts short before it reaches the end of the buffer.
        auto& dev = fake::device();
        const long limit = dev.writeLimit;
        if (count > static_cast<long>(BUFFER_CAP) && (limit < 0 || limit > static_cast<long>(BUFFER_CAP)))
            dev.writeLimit = BUFFER_CAP;
        const int rc = call(port, "sio_write", {0, count < 0 ? 0 : count, {ERR_BAD_PORT, ERR_NOT_OPEN}},
                            [&] { return sio_write(port, noBuffer ? nullptr : buffer.get(), count); });
        // The device took a prefix of the caller's block, and the count
        // reported is no more than it took.
        if (dev.output.size() > size ||
            !std::equal(dev.output.begin(), dev.output.end(), reinterpret_cast<const std::uint8_t*>(buffer.get())))
            violated("sio_write(%d, %d) sent bytes that are not the block's", port, count);
        if (rc > 0 && static_cast<std::size_t>(rc) > dev.output.size())
            violated("sio_write(%d, %d) returned %d with %zu bytes sent", port, count, rc, dev.output.size());
        dev.writeLimit = limit;
        dev.output.clear();
    }

    // The table matches the model: open state and override of every slot; an
    // open slot's handle is one the device holds, is held by no other slot,
    // and both its records have their events.
    void check_table() {
        for (int port = 1; port <= PORT_COUNT; ++port) {
            const PortSlot& slot = *port_slot(port);
            if (is_open(slot) != model_.open[port])
                violated("port %d is %s, expected %s", port, is_open(slot) ? "open" : "closed",
                         model_.open[port] ? "open" : "closed");
            if (slot.comOverride != model_.comOverride[port])
                violated("port %d override %d, expected %d", port, slot.comOverride, model_.comOverride[port]);
            if (!is_open(slot)) continue;
            if (fake::device().openHandles.count(slot.handle) == 0)
                violated("port %d holds %s, which the device does not", port, fake::handle_name(slot.handle).c_str());
            if (slot.readRecord.hEvent == nullptr || slot.writeRecord.hEvent == nullptr ||
                slot.readRecord.hEvent == slot.writeRecord.hEvent)
                violated("port %d is open without an event for each record", port);
            for (int other = 1; other < port; ++other)
                if (is_open(*port_slot(other)) && port_slot(other)->handle == slot.handle)
                    violated("ports %d and %d share a handle", other, port);
        }
    }

    Input& in_;
    Model model_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake::reset();
    reset_port_table();
    Input in(data, size);
    Run run(in);
    while (!in.empty()) run.step();
    return 0;
}
