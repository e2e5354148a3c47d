// The device calls of a traced core. The trace build compiles the core with
// each device operation renamed to its watched_ twin here (CMake's
// TARVO_TRACE_RENAMES), which makes the same call and, while tracing, keeps
// what explains the traced call's outcome: bytes a purge discarded, the
// first device call that failed and its error, the path an open asked for.
#ifndef TARVO_TRACE_DEVICE_WATCH_H
#define TARVO_TRACE_DEVICE_WATCH_H

#include <cstddef>

#include "device/device.h"

namespace tarvo::trace {

// What the device calls of one traced call showed, on its thread.
struct Facts {
    dev::DWORD queued;      // cbInQue of the last ClearCommError
    bool queueKnown;        // ... and no purge of the input queue since
    dev::DWORD discarded;   // bytes waiting when a purge emptied the input queue
    bool purgedInput;
    const char* failedCall; // the first device call that failed, or nullptr
    dev::DWORD failedError; // and its GetLastError
    bool opened;            // CreateFileA ran, on `path`
    char path[64];
};

// Clears the thread's facts at the start of a traced call; the facts so far.
void begin_facts();
const Facts& facts();
// `ok` as it is; a failure of `call` noted with its error (while tracing).
dev::BOOL watch(dev::BOOL ok, const char* call);

}  // namespace tarvo::trace

namespace tarvo::dev {

HANDLE watched_CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                           DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL watched_SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL watched_CloseHandle(HANDLE object);
HANDLE watched_CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, const char* name);
BOOL watched_ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat);
BOOL watched_PurgeComm(HANDLE file, DWORD flags);
BOOL watched_ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped);
BOOL watched_WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped);
BOOL watched_GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait);
BOOL watched_GetCommState(HANDLE file, DCB* dcb);
BOOL watched_SetCommState(HANDLE file, DCB* dcb);
BOOL watched_SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
// The extensions' own (device_watch_ext.cpp, libtarvo.so only).
BOOL watched_GetCommModemStatus(HANDLE file, DWORD* modemStat);
BOOL watched_SetCommBreak(HANDLE file);
BOOL watched_ClearCommBreak(HANDLE file);

}  // namespace tarvo::dev

#endif
