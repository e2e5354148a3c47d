#include "trace/call.h"

#include <cstddef>
#include <cstdio>

#include "contract/tarvo_contract.h"
#include "contract/trace_format.h"
#include "device/device.h"
#include "trace/device_watch.h"
#include "trace/log.h"
#include "trace/platform.h"

namespace tarvo::trace {
namespace {

const char* result_name(int result) {
    switch (result) {
#define TARVO_RESULT_CASE(value, name, text) \
    case (value): return #name;
        TARVO_CONTRACT_RESULTS(TARVO_RESULT_CASE)
#undef TARVO_RESULT_CASE
        default: return nullptr;
    }
}

// The errors a serial device call reports, by their Win32 names.
const char* error_name(dev::DWORD error) {
    switch (error) {
        case dev::ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
        case dev::ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
        case dev::ERROR_INVALID_HANDLE: return "ERROR_INVALID_HANDLE";
        case dev::ERROR_GEN_FAILURE: return "ERROR_GEN_FAILURE";
        case dev::ERROR_SHARING_VIOLATION: return "ERROR_SHARING_VIOLATION";
        case dev::ERROR_NOT_SUPPORTED: return "ERROR_NOT_SUPPORTED";
        case dev::ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
        case dev::ERROR_SEM_TIMEOUT: return "ERROR_SEM_TIMEOUT";
        case dev::ERROR_INSUFFICIENT_BUFFER: return "ERROR_INSUFFICIENT_BUFFER";
        case dev::ERROR_CONNECTION_REFUSED: return "ERROR_CONNECTION_REFUSED";
        case dev::ERROR_DEVICE_IN_USE: return "ERROR_DEVICE_IN_USE";
        case dev::WSAHOST_NOT_FOUND: return "WSAHOST_NOT_FOUND";
        default: return "";
    }
}

// A line under construction; whatever does not fit is cut, never overrun.
class Line {
public:
    template <typename... Args>
    void add(const char* format, Args... args) {
        if (used_ >= sizeof text_) return;
        const int n = std::snprintf(text_ + used_, sizeof text_ - used_, format, args...);
        if (n > 0) used_ = used_ + static_cast<std::size_t>(n) < sizeof text_ ? used_ + n : sizeof text_ - 1;
    }
    // Hex, then the printable characters between bars ('.' for the others).
    void add_bytes(const char* word, const unsigned char* data, int count) {
        add("%s%s %d:", contract::TRACE_FACT_SEPARATOR, word, count);
        const int shown = count < contract::TRACE_DATA_SHOWN ? count : contract::TRACE_DATA_SHOWN;
        for (int i = 0; i < shown; ++i) add(" %02x", data[i]);
        add(" |");
        for (int i = 0; i < shown; ++i) add("%c", data[i] >= 0x20 && data[i] < 0x7f ? data[i] : '.');
        add("|");
        if (shown < count) add(" (%d more)", count - shown);
    }
    void end() {
        if (used_ >= sizeof text_ - 1) used_ = sizeof text_ - 2;
        text_[used_++] = '\n';
    }
    const char* text() const { return text_; }
    std::size_t size() const { return used_; }

private:
    char text_[2048];
    std::size_t used_ = 0;
};

}  // namespace

Call::Call(int port) : start_(since_load()), port_(port) { begin_facts(); }

void Call::finish(const char* text, int result, const char* dataWord, const void* data, int count) const {
    const unsigned long callerError = platform::saved_error();
    const std::uint64_t end = since_load();
    Line line;
    line.add("%llu +%llu t%lu p%d %s = %d", static_cast<unsigned long long>(start_),
             static_cast<unsigned long long>(end - start_), platform::thread_id(), port_, text, result);
    if (const char* name = result_name(result)) line.add(" %s", name);
    const Facts& seen = facts();
    if (seen.opened) {
        char target[600];
        platform::describe_target(seen.path, target, sizeof target);
        line.add("%s%s %s", contract::TRACE_FACT_SEPARATOR, contract::TRACE_TARGET, target);
    }
    if (seen.purgedInput)
        line.add("%s%s %lu unread", contract::TRACE_FACT_SEPARATOR, contract::TRACE_DISCARDED,
                 static_cast<unsigned long>(seen.discarded));
    if (seen.failedCall != nullptr)
    {
        const char* name = error_name(seen.failedError);
        line.add("%s%s %s error %lu%s%s", contract::TRACE_FACT_SEPARATOR, seen.failedCall, contract::TRACE_FAILED,
                 static_cast<unsigned long>(seen.failedError), name[0] != '\0' ? " " : "", name);
    }
    if (dataWord != nullptr && data != nullptr && count > 0)
        line.add_bytes(dataWord, static_cast<const unsigned char*>(data), count);
    line.end();
    log().append(line.text(), line.size());
    platform::restore_error(callerError);
}

}  // namespace tarvo::trace
