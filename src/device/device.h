// The serial device operations the library is built on, by their Win32 names,
// types and constant values. Three implementations link against these
// declarations: the real KERNEL32 calls (win32/), a termios layer with the same
// semantics (posix/), and the recording fake of the unit tests.
//
// Include this header before <windows.h> where both are needed: the Win32
// headers define several of these names as macros.
#ifndef TARVO_DEVICE_DEVICE_H
#define TARVO_DEVICE_DEVICE_H

#include <cstdint>

namespace tarvo::dev {

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG_PTR = std::uintptr_t;
using HANDLE = void*;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

// All bits set, as on Win32. Internal linkage, so every translation unit has
// it before its own static initialisers run.
const HANDLE INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~ULONG_PTR{0});

// CreateFileA
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x00000080u;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;

// PurgeComm
constexpr DWORD PURGE_TXABORT = 0x0001;
constexpr DWORD PURGE_RXABORT = 0x0002;
constexpr DWORD PURGE_TXCLEAR = 0x0004;
constexpr DWORD PURGE_RXCLEAR = 0x0008;

// ClearCommError
constexpr DWORD CE_RXOVER = 0x0001;  // the input queue was full: bytes were lost

// GetLastError
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;  // the path names no serial device; a server refuses the protocol
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_SEM_TIMEOUT = 121;  // a network server or name lookup did not answer in time
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_CONNECTION_REFUSED = 1225;
constexpr DWORD ERROR_DEVICE_IN_USE = 2404;  // the system console: never opened as a port
constexpr DWORD WSAHOST_NOT_FOUND = 11001;
constexpr DWORD ERROR_INVALID_DATA = 13;            // a network server answered something malformed
constexpr DWORD ERROR_NETWORK_UNREACHABLE = 1231;   // no route to the network server
constexpr DWORD WSAECONNRESET = 10054;              // the network server reset the connection

// GetCommModemStatus
constexpr DWORD MS_CTS_ON = 0x0010;
constexpr DWORD MS_DSR_ON = 0x0020;
constexpr DWORD MS_RING_ON = 0x0040;
constexpr DWORD MS_RLSD_ON = 0x0080;

// DCB values
constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE MARKPARITY = 3;
constexpr BYTE SPACEPARITY = 4;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE ONE5STOPBITS = 1;
constexpr BYTE TWOSTOPBITS = 2;
constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD RTS_CONTROL_HANDSHAKE = 2;
constexpr DWORD RTS_CONTROL_TOGGLE = 3;

// Win32 keeps Offset/OffsetHigh in a union with a pointer; the two DWORDs
// cover that pointer on both 32- and 64-bit targets, so the layout matches.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

static_assert(sizeof(DCB) == 28, "DCB must have the Win32 layout");
static_assert(sizeof(COMSTAT) == 12, "COMSTAT must have the Win32 layout");
static_assert(sizeof(COMMTIMEOUTS) == 20, "COMMTIMEOUTS must have the Win32 layout");
static_assert(sizeof(OVERLAPPED) == 3 * sizeof(ULONG_PTR) + 8, "OVERLAPPED must have the Win32 layout");

HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL CloseHandle(HANDLE object);
HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, const char* name);

BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat);
BOOL PurgeComm(HANDLE file, DWORD flags);
BOOL ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped);
DWORD GetLastError();
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);

BOOL GetCommState(HANDLE file, DCB* dcb);
BOOL SetCommState(HANDLE file, DCB* dcb);
BOOL SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);

BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat);
BOOL SetCommBreak(HANDLE file);
BOOL ClearCommBreak(HANDLE file);
// "COM<n>": the device behind it, as a NUL-terminated string followed by a
// second NUL; the characters stored, or 0 with the last error set. A name
// CreateFileA was given as it stands (a target) is answered the same way.
DWORD QueryDosDeviceA(const char* deviceName, char* targetPath, DWORD max);
// Not Win32, which maps nothing: why what "COM<n>" (or a target given as it
// stands) is mapped to cannot be understood, naming the part that is wrong,
// as a NUL-terminated string; the characters stored, 0 when it can be
// understood (or there is no room).
DWORD QueryMappingProblem(const char* deviceName, char* text, DWORD max);

// The one operation with no KERNEL32 call of its own (Windows waits for
// EV_RXCHAR, which counts no bytes), for the extensions only: sleeps until
// at least `count` bytes wait in the input queue, `milliseconds` pass or the
// line hangs up; `waiting` gets the bytes waiting then. FALSE with the last
// error set when the line hung up or failed first.
BOOL WaitCommInput(HANDLE file, DWORD count, DWORD milliseconds, DWORD* waiting);

}  // namespace tarvo::dev

#endif  // TARVO_DEVICE_DEVICE_H
