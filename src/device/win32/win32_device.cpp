// The device layer on Windows: every operation is the KERNEL32 call of the
// same name. The core's records and blocks are the Win32 structures in all
// but name, which the assertions below hold to, so pointers pass straight
// through.
#include "device/device.h"  // first: <windows.h> turns several of its names into macros

// The constants the core hands on to KERNEL32 unchanged. Their values are
// taken here, before <windows.h> hides the names behind its own macros, and
// compared with the Win32 values further down.
#define TARVO_SHARED_CONSTANTS(X)                                                                              \
    X(GENERIC_READ) X(GENERIC_WRITE) X(OPEN_EXISTING) X(FILE_ATTRIBUTE_NORMAL) X(FILE_FLAG_OVERLAPPED)          \
    X(PURGE_TXABORT) X(PURGE_RXABORT) X(PURGE_TXCLEAR) X(PURGE_RXCLEAR) X(ERROR_IO_PENDING) X(NOPARITY)      \
    X(ODDPARITY) X(EVENPARITY) X(MARKPARITY) X(SPACEPARITY) X(ONESTOPBIT) X(ONE5STOPBITS) X(TWOSTOPBITS)      \
    X(DTR_CONTROL_DISABLE) X(DTR_CONTROL_ENABLE) X(DTR_CONTROL_HANDSHAKE) X(RTS_CONTROL_DISABLE)              \
    X(RTS_CONTROL_ENABLE) X(RTS_CONTROL_HANDSHAKE) X(RTS_CONTROL_TOGGLE)
#define TARVO_CORE_VALUE(name) static_cast<unsigned long>(tarvo::dev::name),
namespace {
constexpr unsigned long coreConstants[] = {TARVO_SHARED_CONSTANTS(TARVO_CORE_VALUE)};
}
#undef TARVO_CORE_VALUE

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstddef>

namespace {

namespace dev = tarvo::dev;

static_assert(sizeof(dev::BOOL) == sizeof(::BOOL));
static_assert(sizeof(dev::DWORD) == sizeof(::DWORD));
static_assert(sizeof(dev::HANDLE) == sizeof(::HANDLE));

static_assert(sizeof(dev::DCB) == sizeof(::DCB));
static_assert(offsetof(dev::DCB, DCBlength) == offsetof(::DCB, DCBlength));
static_assert(offsetof(dev::DCB, BaudRate) == offsetof(::DCB, BaudRate));
static_assert(offsetof(dev::DCB, wReserved) == offsetof(::DCB, wReserved));
static_assert(offsetof(dev::DCB, XonLim) == offsetof(::DCB, XonLim));
static_assert(offsetof(dev::DCB, XoffLim) == offsetof(::DCB, XoffLim));
static_assert(offsetof(dev::DCB, ByteSize) == offsetof(::DCB, ByteSize));
static_assert(offsetof(dev::DCB, Parity) == offsetof(::DCB, Parity));
static_assert(offsetof(dev::DCB, StopBits) == offsetof(::DCB, StopBits));
static_assert(offsetof(dev::DCB, XonChar) == offsetof(::DCB, XonChar));
static_assert(offsetof(dev::DCB, XoffChar) == offsetof(::DCB, XoffChar));
static_assert(offsetof(dev::DCB, ErrorChar) == offsetof(::DCB, ErrorChar));
static_assert(offsetof(dev::DCB, EofChar) == offsetof(::DCB, EofChar));
static_assert(offsetof(dev::DCB, EvtChar) == offsetof(::DCB, EvtChar));
static_assert(offsetof(dev::DCB, wReserved1) == offsetof(::DCB, wReserved1));

static_assert(sizeof(dev::COMSTAT) == sizeof(::COMSTAT));
static_assert(offsetof(dev::COMSTAT, cbInQue) == offsetof(::COMSTAT, cbInQue));
static_assert(offsetof(dev::COMSTAT, cbOutQue) == offsetof(::COMSTAT, cbOutQue));

static_assert(sizeof(dev::COMMTIMEOUTS) == sizeof(::COMMTIMEOUTS));
static_assert(offsetof(dev::COMMTIMEOUTS, ReadIntervalTimeout) == offsetof(::COMMTIMEOUTS, ReadIntervalTimeout));
static_assert(offsetof(dev::COMMTIMEOUTS, ReadTotalTimeoutMultiplier) ==
              offsetof(::COMMTIMEOUTS, ReadTotalTimeoutMultiplier));
static_assert(offsetof(dev::COMMTIMEOUTS, ReadTotalTimeoutConstant) ==
              offsetof(::COMMTIMEOUTS, ReadTotalTimeoutConstant));
static_assert(offsetof(dev::COMMTIMEOUTS, WriteTotalTimeoutMultiplier) ==
              offsetof(::COMMTIMEOUTS, WriteTotalTimeoutMultiplier));
static_assert(offsetof(dev::COMMTIMEOUTS, WriteTotalTimeoutConstant) ==
              offsetof(::COMMTIMEOUTS, WriteTotalTimeoutConstant));

static_assert(sizeof(dev::OVERLAPPED) == sizeof(::OVERLAPPED));
static_assert(offsetof(dev::OVERLAPPED, Internal) == offsetof(::OVERLAPPED, Internal));
static_assert(offsetof(dev::OVERLAPPED, InternalHigh) == offsetof(::OVERLAPPED, InternalHigh));
static_assert(offsetof(dev::OVERLAPPED, Offset) == offsetof(::OVERLAPPED, Offset));
static_assert(offsetof(dev::OVERLAPPED, OffsetHigh) == offsetof(::OVERLAPPED, OffsetHigh));
static_assert(offsetof(dev::OVERLAPPED, hEvent) == offsetof(::OVERLAPPED, hEvent));

#define TARVO_WIN32_VALUE(name) static_cast<unsigned long>(name),
constexpr unsigned long win32Constants[] = {TARVO_SHARED_CONSTANTS(TARVO_WIN32_VALUE)};
#undef TARVO_WIN32_VALUE

constexpr bool same_constants() {
    for (std::size_t i = 0; i < sizeof coreConstants / sizeof coreConstants[0]; ++i)
        if (coreConstants[i] != win32Constants[i]) return false;
    return true;
}
static_assert(same_constants(), "a device constant differs from its Win32 value");

::DWORD* win(dev::DWORD* value) { return reinterpret_cast<::DWORD*>(value); }
::LPOVERLAPPED win(dev::OVERLAPPED* record) { return reinterpret_cast<::LPOVERLAPPED>(record); }

}  // namespace

namespace tarvo::dev {

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    return ::CreateFileA(fileName, desiredAccess, shareMode, static_cast<::LPSECURITY_ATTRIBUTES>(securityAttributes),
                         creationDisposition, flagsAndAttributes, templateFile);
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) { return ::SetupComm(file, inQueue, outQueue); }

BOOL CloseHandle(HANDLE object) { return ::CloseHandle(object); }

HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, const char* name) {
    return ::CreateEventA(static_cast<::LPSECURITY_ATTRIBUTES>(securityAttributes), manualReset, initialState, name);
}

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
    return ::ClearCommError(file, win(errors), reinterpret_cast<::LPCOMSTAT>(stat));
}

BOOL PurgeComm(HANDLE file, DWORD flags) { return ::PurgeComm(file, flags); }

BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
    return ::ReadFile(file, buffer, toRead, win(read), win(overlapped));
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) {
    return ::WriteFile(file, buffer, toWrite, win(written), win(overlapped));
}

DWORD GetLastError() { return ::GetLastError(); }

BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
    return ::GetOverlappedResult(file, win(overlapped), win(transferred), wait);
}

BOOL GetCommState(HANDLE file, DCB* dcb) { return ::GetCommState(file, reinterpret_cast<::LPDCB>(dcb)); }

BOOL SetCommState(HANDLE file, DCB* dcb) { return ::SetCommState(file, reinterpret_cast<::LPDCB>(dcb)); }

BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
    return ::SetCommTimeouts(file, reinterpret_cast<::LPCOMMTIMEOUTS>(timeouts));
}

}  // namespace tarvo::dev
