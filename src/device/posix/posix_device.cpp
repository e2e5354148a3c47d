// The Win32 device operations on Linux: each finds the Port behind its handle
// and lets the port's kind do the work. Here live only what every kind
// shares: checking handles and arguments, filling the out-parameters and the
// OVERLAPPED record, and choosing the kind a COM number's target needs.
#include "device/device.h"

#include <cstdio>
#include <cstring>

#include "device/posix/com_mapping.h"
#include "device/posix/handle_pool.h"
#include "device/posix/last_error.h"
#include "net/network_port.h"
#include "device/posix/open_record.h"
#include "device/posix/sysfs_serial.h"
#include "device/posix/terminal_port.h"

namespace tarvo::dev {
namespace {

using posix::fail;
using posix::Port;

// Any event object: nothing on this layer pends, so no event is ever
// signalled or waited for; the core only needs a handle that is not null.
char eventSentinel;

Port* open_target(std::size_t index, const posix::ComTarget& target) {
    switch (target.kind) {
        case posix::TargetKind::Terminal: return posix::open_terminal(index, target.device);
        case posix::TargetKind::Rfc2217:
        case posix::TargetKind::Tcp: return posix::open_network(index, target);
    }
    posix::set_last_error(ERROR_INVALID_PARAMETER);
    return nullptr;
}

void record_transfer(DWORD* count, OVERLAPPED* overlapped, DWORD transferred) {
    if (count != nullptr) *count = transferred;
    if (overlapped != nullptr) overlapped->InternalHigh = transferred;
}

void clear_transfer(DWORD* count, OVERLAPPED* overlapped) {
    if (count != nullptr) *count = 0;
    if (overlapped != nullptr) overlapped->Internal = overlapped->InternalHigh = 0;
}

// A write that failed after part of it went out, the way Windows tells of an
// overlapped write that ends in failure: pending now, and its completion
// gives the bytes the device took and the error that ended it.
BOOL report_partial_failure(OVERLAPPED& overlapped) {
    overlapped.Internal = posix::last_error();
    return fail(ERROR_IO_PENDING);
}

// Why a COM number reaches no device: a well-formed usb: mapping that
// matches none is a device not there; anything else is a mapping that
// cannot be understood (QueryMappingProblem says which part).
DWORD unresolved_error(const char* mapping, const posix::ComTarget& target) {
    posix::UsbSelector selector;
    if (target.problem[0] == '\0' && posix::is_usb_mapping(mapping) && posix::parse_usb_selector(mapping, selector) &&
        posix::find_usb_tty("", selector, nullptr, 0) == 0)
        return ERROR_FILE_NOT_FOUND;
    return ERROR_INVALID_PARAMETER;
}

// A name never opened: what it would reach now, into `name`.
bool describe_unopened(long number, const char* deviceName, char* name, std::size_t size) {
    const char* mapping = number >= 0 ? posix::mapping_of(number) : deviceName;
    posix::ComTarget target;
    const char* shown = mapping;
    if (posix::resolve_com(number >= 0 ? number : 0, mapping, target) && target.kind == posix::TargetKind::Terminal)
        shown = target.device;
    const int length = std::snprintf(name, size, "%s", shown != nullptr ? shown : "");
    return length >= 0 && static_cast<std::size_t>(length) < size;
}

}  // namespace

// `fileName` is "\\.\COM<n>", or a target named in the call (a path, a URL
// or usb:VID:PID[:SERIAL]) taken as a mapping of its own.
HANDLE CreateFileA(const char* fileName, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
    if (fileName == nullptr || *fileName == '\0') {
        posix::set_last_error(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const long number = posix::com_number(fileName);
    const char* mapping = number >= 0 ? posix::mapping_of(number) : fileName;
    posix::ComTarget target;
    if (!posix::resolve_com(number >= 0 ? number : 0, mapping, target)) {
        posix::record_open(fileName, mapping != nullptr ? mapping : "");
        posix::set_last_error(unresolved_error(mapping, target));
        return INVALID_HANDLE_VALUE;
    }
    posix::record_open(fileName, target.kind == posix::TargetKind::Terminal ? target.device : mapping);
    posix::Claim claim{};
    if (!posix::claim_entry(claim)) {
        posix::set_last_error(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    Port* port = open_target(claim.index, target);
    if (port == nullptr) {
        posix::abandon(claim);
        return INVALID_HANDLE_VALUE;
    }
    return posix::publish(claim, port);
}

BOOL SetupComm(HANDLE file, DWORD, DWORD) {
    // Neither terminals nor connections take queue sizes; there is nothing to ask for.
    return posix::open_port(file) != nullptr ? TRUE : fail(ERROR_INVALID_HANDLE);
}

BOOL CloseHandle(HANDLE object) {
    if (object == &eventSentinel) return TRUE;
    Port* port = posix::begin_close(object);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    const BOOL closed = port->close();
    posix::release(object);
    return closed;
}

HANDLE CreateEventA(void*, BOOL, BOOL, const char*) { return &eventSentinel; }

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
    Port* port = posix::open_port(file);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    return port->clear_comm_error(errors, stat);
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    Port* port = posix::open_port(file);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    return port->purge(flags);
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
    clear_transfer(read, overlapped);
    Port* port = posix::open_port(file);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (toRead == 0) return TRUE;
    if (buffer == nullptr) return fail(ERROR_INVALID_PARAMETER);
    DWORD got = 0;
    const BOOL ok = port->read(buffer, toRead, got);
    record_transfer(read, overlapped, got);
    return ok;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) {
    clear_transfer(written, overlapped);
    Port* port = posix::open_port(file);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (toWrite != 0 && buffer == nullptr) return fail(ERROR_INVALID_PARAMETER);
    DWORD sent = 0;
    const BOOL ok = port->write(buffer, toWrite, sent);
    record_transfer(written, overlapped, sent);
    if (!ok && sent > 0 && overlapped != nullptr) return report_partial_failure(*overlapped);
    return ok;
}

DWORD GetLastError() { return posix::last_error(); }

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL) {
    // Every transfer has ended before ReadFile/WriteFile returned.
    if (posix::open_port(file) == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (overlapped == nullptr) return fail(ERROR_INVALID_PARAMETER);
    if (transferred != nullptr) *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    // Internal holds the error that ended a transfer that failed part-way.
    if (overlapped->Internal != ERROR_SUCCESS) return fail(static_cast<DWORD>(overlapped->Internal));
    return TRUE;
}

BOOL GetCommState(HANDLE file, DCB* dcb) {
    Port* port = posix::open_port(file);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (dcb == nullptr) return fail(ERROR_INVALID_PARAMETER);
    return port->get_state(*dcb);
}

BOOL SetCommState(HANDLE file, DCB* dcb) {
    Port* port = posix::open_port(file);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (dcb == nullptr) return fail(ERROR_INVALID_PARAMETER);
    return port->set_state(*dcb);
}

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
    Port* port = posix::open_port(file);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (timeouts == nullptr) return fail(ERROR_INVALID_PARAMETER);
    port->set_timeouts(*timeouts);
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat) {
    Port* port = posix::open_port(file);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (modemStat == nullptr) return fail(ERROR_INVALID_PARAMETER);
    DWORD lines = 0;
    if (!port->modem_status(lines)) return FALSE;
    *modemStat = lines;
    return TRUE;
}

BOOL SetCommBreak(HANDLE file) {
    Port* port = posix::open_port(file);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    return port->set_break(true);
}

BOOL ClearCommBreak(HANDLE file) {
    Port* port = posix::open_port(file);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    return port->set_break(false);
}

// What CreateFileA reached or tried at the last open of "COM<n>" or of a
// target given as it stands; for a name not opened yet, what it would reach
// now: the path (a usb: mapping resolved), the URL of a network port, else
// the mapping as written.
DWORD QueryDosDeviceA(const char* deviceName, char* targetPath, DWORD max) {
    if (deviceName == nullptr || targetPath == nullptr) {
        posix::set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char path[24];
    std::snprintf(path, sizeof path, "\\\\.\\%s", deviceName);
    const long number = posix::com_number(path);
    const char* opened = number >= 0 ? path : deviceName;
    char name[posix::DEVICE_NAME_SIZE];
    if (posix::recall_open(opened, name, sizeof name) < 0 && !describe_unopened(number, deviceName, name, sizeof name)) {
        posix::set_last_error(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::size_t length = std::strlen(name);
    if (length + 2 > max) {
        posix::set_last_error(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(targetPath, name, length);
    targetPath[length] = targetPath[length + 1] = '\0';
    return static_cast<DWORD>(length + 2);
}

DWORD QueryMappingProblem(const char* deviceName, char* text, DWORD max) {
    if (deviceName == nullptr || text == nullptr || max == 0) return 0;
    char path[24];
    std::snprintf(path, sizeof path, "\\\\.\\%s", deviceName);
    const long number = posix::com_number(path);
    posix::ComTarget target;
    if (posix::resolve_com(number >= 0 ? number : 0, number >= 0 ? posix::mapping_of(number) : deviceName, target) ||
        target.problem[0] == '\0')
        return 0;
    const int length = std::snprintf(text, max, "%s", target.problem);
    return length > 0 && static_cast<DWORD>(length) < max ? static_cast<DWORD>(length) : 0;
}

BOOL WaitCommInput(HANDLE file, DWORD count, DWORD milliseconds, DWORD* waiting) {
    Port* port = posix::open_port(file);
    if (port == nullptr) return fail(ERROR_INVALID_HANDLE);
    if (waiting == nullptr || count == 0) return fail(ERROR_INVALID_PARAMETER);
    *waiting = 0;
    return port->wait_input(count, milliseconds, *waiting);
}

}  // namespace tarvo::dev
