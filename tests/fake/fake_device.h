// A device layer for the unit tests: records every call with its arguments,
// serves an input queue the test fills, and fails or defers any call on demand.
// Several named lines let the conformance scenarios run over it.
#ifndef TARVO_TESTS_FAKE_DEVICE_H
#define TARVO_TESTS_FAKE_DEVICE_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "device/device.h"

namespace tarvo::fake {

// What one line holds: the bytes its far end sent that wait to be read, the
// bytes the device took, its settings and status lines.
struct Line {
    std::deque<std::uint8_t> input;   // received bytes, oldest first
    std::vector<std::uint8_t> output; // bytes WriteFile took
    // The status lines GetCommModemStatus reports; whether the line is in break.
    dev::DWORD modemStatus = 0;
    bool inBreak = false;
    dev::DCB dcb{};
    dev::COMMTIMEOUTS timeouts{};
    // The far end is gone: reads, writes and waits fail with
    // ERROR_GEN_FAILURE, as on a device that was unplugged.
    bool hungUp = false;
};

// The device behind every name CreateFileA opens, unless `lines` holds a line
// of that name: the members of Line are the line of every other name.
struct Device : Line {
    // Every call in order, e.g. "PurgeComm(h1, 0x0f)". Handles read h1, h2 ...
    // in the order CreateFileA gave them out; events read e1, e2 ...
    std::vector<std::string> calls;

    // Names of calls that fail (return FALSE / INVALID_HANDLE_VALUE / nullptr)
    // with lastErrorOnFailure.
    std::set<std::string> failing;
    // Positions in `calls` (0 = the first call recorded) of single calls that
    // fail the same way, whatever their name: the third call from now fails
    // with failingCalls = {calls.size() + 2}.
    std::set<std::size_t> failingCalls;
    // What a failed call leaves for GetLastError, and what a failing
    // GetLastError itself reports instead of the last error.
    dev::DWORD lastErrorOnFailure = dev::ERROR_GEN_FAILURE;

    // ClearCommError reports this many bytes waiting when set (0 to
    // 0xFFFFFFFF), else the input queue's size.
    std::int64_t queueOverride = -1;

    // Deferred transfers: ReadFile/WriteFile report ERROR_IO_PENDING and move
    // the bytes only when GetOverlappedResult is called for their record. A
    // failed GetOverlappedResult ends the transfer without moving anything.
    bool readsPend = false;
    bool writesPend = false;
    // WriteFile moves at most this many bytes (a write cut short by its timeout).
    long writeLimit = -1;

    // What QueryDosDeviceA names behind every COM number.
    std::string dosDevice = "/dev/fake";
    std::string mappingProblem;  // what QueryMappingProblem tells; empty: none

    // Device paths currently held open; a second open of one fails, as an
    // exclusive open does.
    std::map<dev::HANDLE, std::string> openHandles;

    // Lines of their own by the name CreateFileA opens (\\.\COM2), for
    // several devices at once; add_line makes one.
    std::map<std::string, Line> lines;

    // Calls recorded so far whose text starts with `prefix`.
    std::vector<std::string> callsStartingWith(const std::string& prefix) const;
};

// The one device the layer serves. reset() puts it back to its defaults
// (a 9600 8N1 control block, no timeouts, nothing open, nothing recorded).
Device& device();
void reset();

// A line of its own for the device named `name`, in the state reset() gives
// the device's own line; an existing one is put back into that state.
Line& add_line(const std::string& name);

// Name under which a handle appears in `calls` ("h1", "e2", ...).
std::string handle_name(dev::HANDLE handle);

}  // namespace tarvo::fake

#endif
