#include "fake/fake_device.h"

#include <cstdio>
#include <cstring>

namespace tarvo::fake {
namespace {

Device state;
dev::DWORD lastError = 0;
std::uintptr_t nextHandle = 0x100;
std::uintptr_t nextEvent = 0x9000;

struct Pending {
    dev::HANDLE handle;
    void* readInto;  // nullptr for a write
    dev::DWORD count;
};
std::map<dev::OVERLAPPED*, Pending> pending;

std::string hex(dev::DWORD value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", width, static_cast<unsigned>(value));
    return text;
}

void record(const std::string& call) { state.calls.push_back(call); }

// Called right after record(), so the call's position is the last one.
bool fails(const char* name) {
    if (state.failing.count(name) == 0 && state.failingCalls.count(state.calls.size() - 1) == 0) return false;
    lastError = state.lastErrorOnFailure;
    return true;
}

// The line a handle was opened on.
Line& line_of(dev::HANDLE handle) {
    const auto open = state.openHandles.find(handle);
    if (open == state.openHandles.end()) return state;
    const auto own = state.lines.find(open->second);
    return own != state.lines.end() ? own->second : state;
}

// A line that has hung up fails what needs its far end.
bool hung_up(const Line& line) {
    if (!line.hungUp) return false;
    lastError = dev::ERROR_GEN_FAILURE;
    return true;
}

dev::DWORD waiting(const Line& line) {
    return state.queueOverride >= 0 ? static_cast<dev::DWORD>(state.queueOverride)
                                    : static_cast<dev::DWORD>(line.input.size());
}

dev::DWORD take_input(Line& line, std::uint8_t* into, dev::DWORD wanted) {
    dev::DWORD got = 0;
    while (got < wanted && !line.input.empty()) {
        const std::uint8_t byte = line.input.front();
        line.input.pop_front();
        if (line.dcb.fNull && byte == 0) continue;  // null stripping drops the byte
        into[got++] = byte;
    }
    return got;
}

dev::DWORD put_output(Line& line, const void* from, dev::DWORD count) {
    if (state.writeLimit >= 0 && count > static_cast<dev::DWORD>(state.writeLimit))
        count = static_cast<dev::DWORD>(state.writeLimit);
    const auto* bytes = static_cast<const std::uint8_t*>(from);
    line.output.insert(line.output.end(), bytes, bytes + count);
    return count;
}

// A line as it starts: a 9600 8N1 control block, nothing queued.
Line fresh_line() {
    Line line;
    line.dcb.DCBlength = sizeof(dev::DCB);
    line.dcb.BaudRate = 9600;
    line.dcb.fBinary = 1;
    line.dcb.fDtrControl = dev::DTR_CONTROL_ENABLE;
    line.dcb.fRtsControl = dev::RTS_CONTROL_ENABLE;
    line.dcb.fOutX = 1;  // something for the flow-control operations to clear
    line.dcb.fInX = 1;
    line.dcb.XonLim = 2048;
    line.dcb.XoffLim = 512;
    line.dcb.ByteSize = 8;
    line.dcb.Parity = dev::NOPARITY;
    line.dcb.StopBits = dev::ONESTOPBIT;
    line.dcb.XonChar = 0x11;
    line.dcb.XoffChar = 0x13;
    return line;
}

}  // namespace

std::vector<std::string> Device::callsStartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& call : calls)
        if (call.compare(0, prefix.size(), prefix) == 0) found.push_back(call);
    return found;
}

Device& device() { return state; }

void reset() {
    state = Device{};
    static_cast<Line&>(state) = fresh_line();
    lastError = 0;
    nextHandle = 0x100;
    nextEvent = 0x9000;
    pending.clear();
}

Line& add_line(const std::string& name) { return state.lines[name] = fresh_line(); }

std::string handle_name(dev::HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (handle == nullptr) return "null";
    if (handle == dev::INVALID_HANDLE_VALUE) return "INVALID";
    if (value >= 0x9000) return "e" + std::to_string(value - 0x9000 + 1);
    return "h" + std::to_string(value - 0x100 + 1);
}

}  // namespace tarvo::fake

namespace tarvo::dev {
using fake::handle_name;
using fake::hex;
using fake::hung_up;
using fake::line_of;
using fake::record;
using fake::state;

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    record(std::string("CreateFileA(") + fileName + ", " + hex(desiredAccess, 8) + ", " + std::to_string(shareMode) +
           ", " + (securityAttributes ? "sa" : "null") + ", " + std::to_string(creationDisposition) + ", " +
           hex(flagsAndAttributes, 8) + ", " + handle_name(templateFile) + ")");
    if (fake::fails("CreateFileA")) return INVALID_HANDLE_VALUE;
    for (const auto& open : state.openHandles) {
        if (open.second == fileName) {  // held exclusively by an earlier open
            fake::lastError = 5;          // ERROR_ACCESS_DENIED
            return INVALID_HANDLE_VALUE;
        }
    }
    HANDLE handle = reinterpret_cast<HANDLE>(fake::nextHandle++);
    state.openHandles[handle] = fileName;
    return handle;
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    record("SetupComm(" + handle_name(file) + ", " + std::to_string(inQueue) + ", " + std::to_string(outQueue) + ")");
    return fake::fails("SetupComm") ? FALSE : TRUE;
}

BOOL CloseHandle(HANDLE object) {
    record("CloseHandle(" + handle_name(object) + ")");
    if (fake::fails("CloseHandle")) return FALSE;
    if (state.openHandles.erase(object) == 0) {
        fake::lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return TRUE;
}

HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, const char* name) {
    record(std::string("CreateEventA(") + (securityAttributes ? "sa" : "null") + ", " +
           (manualReset ? "manual" : "auto") + ", " + (initialState ? "signaled" : "unsignaled") + ", " +
           (name ? name : "null") + ")");
    if (fake::fails("CreateEventA")) return nullptr;
    return reinterpret_cast<HANDLE>(fake::nextEvent++);
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
    record("ClearCommError(" + handle_name(file) + ")");
    if (fake::fails("ClearCommError")) return FALSE;
    if (errors) *errors = 0;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = fake::waiting(line_of(file));
    }
    return TRUE;
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    record("PurgeComm(" + handle_name(file) + ", " + hex(flags, 2) + ")");
    if (fake::fails("PurgeComm")) return FALSE;
    if (flags & PURGE_RXCLEAR) line_of(file).input.clear();
    return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
    record("ReadFile(" + handle_name(file) + ", " + std::to_string(toRead) + ", " +
           handle_name(overlapped ? overlapped->hEvent : nullptr) + ")");
    fake::pending.erase(overlapped);  // a new transfer on the record replaces any earlier one
    if (fake::fails("ReadFile") || hung_up(line_of(file))) return FALSE;
    if (state.readsPend) {
        fake::pending[overlapped] = {file, buffer, toRead};
        fake::lastError = ERROR_IO_PENDING;
        return FALSE;
    }
    const DWORD got = fake::take_input(line_of(file), static_cast<std::uint8_t*>(buffer), toRead);
    if (read) *read = got;
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) {
    record("WriteFile(" + handle_name(file) + ", " + std::to_string(toWrite) + ", " +
           handle_name(overlapped ? overlapped->hEvent : nullptr) + ")");
    fake::pending.erase(overlapped);
    if (fake::fails("WriteFile") || hung_up(line_of(file))) return FALSE;
    if (state.writesPend) {
        // The bytes are taken now, as the driver would; the count comes later.
        fake::pending[overlapped] = {file, nullptr, fake::put_output(line_of(file), buffer, toWrite)};
        fake::lastError = ERROR_IO_PENDING;
        return FALSE;
    }
    const DWORD put = fake::put_output(line_of(file), buffer, toWrite);
    if (written) *written = put;
    return TRUE;
}

DWORD GetLastError() {
    record("GetLastError()");
    if (fake::fails("GetLastError")) return state.lastErrorOnFailure;
    return fake::lastError;
}

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
    record("GetOverlappedResult(" + handle_name(file) + ", " + handle_name(overlapped ? overlapped->hEvent : nullptr) +
           ", " + (wait ? "wait" : "nowait") + ")");
    auto it = fake::pending.find(overlapped);
    if (fake::fails("GetOverlappedResult")) {
        if (it != fake::pending.end()) fake::pending.erase(it);
        return FALSE;
    }
    if (it == fake::pending.end() || it->second.handle != file) return FALSE;
    DWORD count = it->second.count;
    if (it->second.readInto)
        count = fake::take_input(line_of(file), static_cast<std::uint8_t*>(it->second.readInto), count);
    fake::pending.erase(it);
    if (transferred) *transferred = count;
    return TRUE;
}

BOOL GetCommState(HANDLE file, DCB* dcb) {
    record("GetCommState(" + handle_name(file) + ")");
    if (fake::fails("GetCommState")) return FALSE;
    *dcb = line_of(file).dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE file, DCB* dcb) {
    record("SetCommState(" + handle_name(file) + ")");
    if (fake::fails("SetCommState")) return FALSE;
    line_of(file).dcb = *dcb;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
    record("SetCommTimeouts(" + handle_name(file) + ", " + std::to_string(timeouts->ReadIntervalTimeout) + ", " +
           std::to_string(timeouts->ReadTotalTimeoutMultiplier) + ", " +
           std::to_string(timeouts->ReadTotalTimeoutConstant) + ", " +
           std::to_string(timeouts->WriteTotalTimeoutMultiplier) + ", " +
           std::to_string(timeouts->WriteTotalTimeoutConstant) + ")");
    if (fake::fails("SetCommTimeouts")) return FALSE;
    line_of(file).timeouts = *timeouts;
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat) {
    record("GetCommModemStatus(" + handle_name(file) + ")");
    if (fake::fails("GetCommModemStatus")) return FALSE;
    *modemStat = line_of(file).modemStatus;
    return TRUE;
}

BOOL SetCommBreak(HANDLE file) {
    record("SetCommBreak(" + handle_name(file) + ")");
    if (fake::fails("SetCommBreak")) return FALSE;
    line_of(file).inBreak = true;
    return TRUE;
}

BOOL ClearCommBreak(HANDLE file) {
    record("ClearCommBreak(" + handle_name(file) + ")");
    if (fake::fails("ClearCommBreak")) return FALSE;
    line_of(file).inBreak = false;
    return TRUE;
}

DWORD QueryMappingProblem(const char* deviceName, char* text, DWORD max) {
    record(std::string("QueryMappingProblem(") + deviceName + ")");
    const std::string& problem = state.mappingProblem;
    if (problem.empty() || problem.size() + 1 > max) return 0;
    std::memcpy(text, problem.c_str(), problem.size() + 1);
    return static_cast<DWORD>(problem.size());
}

DWORD QueryDosDeviceA(const char* deviceName, char* targetPath, DWORD max) {
    record(std::string("QueryDosDeviceA(") + deviceName + ")");
    if (fake::fails("QueryDosDeviceA") || state.dosDevice.size() + 2 > max) return 0;
    std::memcpy(targetPath, state.dosDevice.c_str(), state.dosDevice.size() + 1);
    targetPath[state.dosDevice.size() + 1] = '\0';
    return static_cast<DWORD>(state.dosDevice.size() + 2);
}

// Nothing arrives while a test waits: the wait ends at once with the queue
// as it stands.
BOOL WaitCommInput(HANDLE file, DWORD count, DWORD milliseconds, DWORD* waiting) {
    record("WaitCommInput(" + handle_name(file) + ", " + std::to_string(count) + ", " + std::to_string(milliseconds) +
           ")");
    if (fake::fails("WaitCommInput") || hung_up(line_of(file))) return FALSE;
    *waiting = fake::waiting(line_of(file));
    return TRUE;
}

}  // namespace tarvo::dev
