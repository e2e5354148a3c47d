// One traced call: started before the core runs, written as one line after.
#ifndef TARVO_TRACE_CALL_H
#define TARVO_TRACE_CALL_H

#include <cstdint>

namespace tarvo::trace {

class Call {
public:
    // Notes the start time and clears the thread's device facts.
    explicit Call(int port);
    // Writes the line: `text` is the call with its arguments, then the
    // result with its code's name, the device facts, and the `count` bytes
    // at `data` (none when count <= 0) after `dataWord` ("wrote", "read").
    // The caller's last error is the same after as before.
    void finish(const char* text, int result, const char* dataWord = nullptr, const void* data = nullptr,
                int count = 0) const;

private:
    std::uint64_t start_;
    int port_;
};

}  // namespace tarvo::trace

#endif
