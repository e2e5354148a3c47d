// The device calls only the extensions make (libtarvo.so), watched as the others.
#include "trace/device_watch.h"
#include "trace/log.h"

namespace tarvo::dev {

using trace::enabled;

BOOL watched_GetCommModemStatus(HANDLE file, DWORD* modemStat) {
    if (!enabled) return GetCommModemStatus(file, modemStat);
    return trace::watch(GetCommModemStatus(file, modemStat), "GetCommModemStatus");
}

BOOL watched_SetCommBreak(HANDLE file) {
    if (!enabled) return SetCommBreak(file);
    return trace::watch(SetCommBreak(file), "SetCommBreak");
}

BOOL watched_ClearCommBreak(HANDLE file) {
    if (!enabled) return ClearCommBreak(file);
    return trace::watch(ClearCommBreak(file), "ClearCommBreak");
}

}  // namespace tarvo::dev
