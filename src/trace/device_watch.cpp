// Each watched call makes the device call it stands for, unchanged, and only
// while tracing looks at the outcome; not tracing, it is a flag test and a
// jump to the device call. A failure's error is read at once
// (GetLastError changes nothing), before anything else can overwrite it.
#include "trace/device_watch.h"

#include <cstdio>
#include <cstring>

#include "trace/log.h"

namespace tarvo::trace {
namespace {

thread_local Facts threadFacts;

// The first failure of a traced call is the one that explains it.
void note_failure(const char* call) {
    if (threadFacts.failedCall != nullptr) return;
    threadFacts.failedCall = call;
    threadFacts.failedError = dev::GetLastError();
}

// A transfer that pends has not failed: its completion tells.
dev::BOOL watch_transfer(dev::BOOL ok, const char* call) {
    if (!ok && dev::GetLastError() != dev::ERROR_IO_PENDING) note_failure(call);
    return ok;
}

}  // namespace

dev::BOOL watch(dev::BOOL ok, const char* call) {
    if (!ok) note_failure(call);
    return ok;
}

void begin_facts() { std::memset(&threadFacts, 0, sizeof threadFacts); }

const Facts& facts() { return threadFacts; }

}  // namespace tarvo::trace

namespace tarvo::dev {

using trace::enabled;
using trace::threadFacts;

HANDLE watched_CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode, void* securityAttributes,
                           DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    if (!enabled)
        return CreateFileA(fileName, desiredAccess, shareMode, securityAttributes, creationDisposition,
                           flagsAndAttributes, templateFile);
    const HANDLE handle = CreateFileA(fileName, desiredAccess, shareMode, securityAttributes, creationDisposition,
                                      flagsAndAttributes, templateFile);
    if (handle == INVALID_HANDLE_VALUE) trace::note_failure("CreateFileA");
    std::snprintf(threadFacts.path, sizeof threadFacts.path, "%s", fileName != nullptr ? fileName : "");
    threadFacts.opened = true;
    return handle;
}

BOOL watched_SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    if (!enabled) return SetupComm(file, inQueue, outQueue);
    return trace::watch(SetupComm(file, inQueue, outQueue), "SetupComm");
}

BOOL watched_CloseHandle(HANDLE object) {
    if (!enabled) return CloseHandle(object);
    return trace::watch(CloseHandle(object), "CloseHandle");
}

HANDLE watched_CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, const char* name) {
    if (!enabled) return CreateEventA(securityAttributes, manualReset, initialState, name);
    const HANDLE event = CreateEventA(securityAttributes, manualReset, initialState, name);
    trace::watch(event != nullptr, "CreateEventA");
    return event;
}

BOOL watched_ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat) {
    if (!enabled) return ClearCommError(file, errors, stat);
    const BOOL ok = ClearCommError(file, errors, stat);
    if (ok && stat != nullptr) {
        threadFacts.queued = stat->cbInQue;
        threadFacts.queueKnown = true;
    }
    return trace::watch(ok, "ClearCommError");
}

BOOL watched_PurgeComm(HANDLE file, DWORD flags) {
    if (!enabled) return PurgeComm(file, flags);
    const BOOL ok = PurgeComm(file, flags);
    if (ok && (flags & PURGE_RXCLEAR) != 0 && threadFacts.queueKnown) {
        threadFacts.discarded += threadFacts.queued;
        threadFacts.purgedInput = true;
        threadFacts.queueKnown = false;
    }
    return trace::watch(ok, "PurgeComm");
}

BOOL watched_ReadFile(HANDLE file, void* buffer, DWORD toRead, DWORD* read, OVERLAPPED* overlapped) {
    if (!enabled) return ReadFile(file, buffer, toRead, read, overlapped);
    return trace::watch_transfer(ReadFile(file, buffer, toRead, read, overlapped), "ReadFile");
}

BOOL watched_WriteFile(HANDLE file, const void* buffer, DWORD toWrite, DWORD* written, OVERLAPPED* overlapped) {
    if (!enabled) return WriteFile(file, buffer, toWrite, written, overlapped);
    return trace::watch_transfer(WriteFile(file, buffer, toWrite, written, overlapped), "WriteFile");
}

BOOL watched_GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* transferred, BOOL wait) {
    if (!enabled) return GetOverlappedResult(file, overlapped, transferred, wait);
    return trace::watch(GetOverlappedResult(file, overlapped, transferred, wait), "GetOverlappedResult");
}

BOOL watched_GetCommState(HANDLE file, DCB* dcb) {
    if (!enabled) return GetCommState(file, dcb);
    return trace::watch(GetCommState(file, dcb), "GetCommState");
}

BOOL watched_SetCommState(HANDLE file, DCB* dcb) {
    if (!enabled) return SetCommState(file, dcb);
    return trace::watch(SetCommState(file, dcb), "SetCommState");
}

BOOL watched_SetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts) {
    if (!enabled) return SetCommTimeouts(file, timeouts);
    return trace::watch(SetCommTimeouts(file, timeouts), "SetCommTimeouts");
}

}  // namespace tarvo::dev
