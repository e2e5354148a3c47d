// The device calls only the extensions make (libtarvo.so), watched as the others.
#include "trace/device_watch.h"

namespace tarvo::dev {

BOOL watched_GetCommModemStatus(HANDLE file, DWORD* modemStat) {
    return trace::watch(GetCommModemStatus(file, modemStat), "GetCommModemStatus");
}

BOOL watched_SetCommBreak(HANDLE file) { return trace::watch(SetCommBreak(file), "SetCommBreak"); }

BOOL watched_ClearCommBreak(HANDLE file) { return trace::watch(ClearCommBreak(file), "ClearCommBreak"); }

}  // namespace tarvo::dev
