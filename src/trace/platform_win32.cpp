// The trace on Windows: TARVO_TRACE names the log file; without it the log
// is tarvo-trace-<process id>.log beside the application.
#include "device/device.h"  // first: <windows.h> turns several of its names into macros

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trace/platform.h"

namespace tarvo::trace::platform {
namespace {

HANDLE logFile = INVALID_HANDLE_VALUE;
CRITICAL_SECTION writing;
LARGE_INTEGER frequency;

// The application's folder and tarvo-trace-<pid>.log in it.
void default_log_name(char* name, std::size_t size) {
    char program[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
    char* slash = length > 0 && length < sizeof program ? std::strrchr(program, '\\') : nullptr;
    if (slash != nullptr)
        slash[1] = '\0';
    else
        program[0] = '\0';
    std::snprintf(name, size, "%starvo-trace-%lu.log", program, static_cast<unsigned long>(GetCurrentProcessId()));
}

}  // namespace

bool open_log(char* name, std::size_t size) {
    InitializeCriticalSection(&writing);
    const char* setting = std::getenv("TARVO_TRACE");
    if (setting != nullptr && setting[0] != '\0')
        std::snprintf(name, size, "%s", setting);
    else
        default_log_name(name, size);
    logFile = CreateFileA(name, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (logFile == INVALID_HANDLE_VALUE) {
        char text[600];
        std::snprintf(text, sizeof text, "tarvo: cannot open the trace log %s (error %lu): not tracing\n", name,
                      static_cast<unsigned long>(GetLastError()));
        note(text);
        return false;
    }
    return true;
}

bool write_log(const char* text, std::size_t length) {
    DWORD written = 0;
    EnterCriticalSection(&writing);
    const BOOL ok = WriteFile(logFile, text, static_cast<DWORD>(length), &written, nullptr);
    LeaveCriticalSection(&writing);
    return ok && written == length;
}

void note(const char* text) { OutputDebugStringA(text); }

std::uint64_t microseconds() {
    // The first call is the load's, before any thread of the caller's can ask.
    if (frequency.QuadPart == 0) QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
    const auto perSecond = static_cast<std::uint64_t>(frequency.QuadPart > 0 ? frequency.QuadPart : 1);
    return ticks / perSecond * 1000000u + ticks % perSecond * 1000000u / perSecond;
}

unsigned long thread_id() { return GetCurrentThreadId(); }

unsigned long process_id() { return GetCurrentProcessId(); }

unsigned long saved_error() { return GetLastError(); }

void restore_error(unsigned long error) { SetLastError(static_cast<DWORD>(error)); }

// The path as the application's open named it: asking Windows which device
// stands behind it would be a call the primary DLL does not make.
void describe_target(const char* path, char* text, std::size_t size) {
    std::snprintf(text, size, "%s", path != nullptr ? path : "");
}

}  // namespace tarvo::trace::platform
