// The 16 functions of tarvo.h in the trace build: each calls the core's
// function of the same name (compiled as core_<name>) and, while tracing,
// writes one line about the call. Not tracing costs one test of a flag:
// the traced paths are functions of their own, kept out of line, so the
// untraced path is the test and a jump to the core.
#include <cstdio>

#include "tarvo.h"
#include "trace/call.h"
#include "trace/log.h"

extern "C" {
int core_sio_setComPortNo(int port, int comNumber);
int core_sio_open(int port);
int core_sio_close(int port);
int core_sio_term_irq(int port);
int core_sio_iqueue(int port);
int core_sio_getch(int port);
int core_sio_read(int port, char* buffer, int length);
int core_sio_write(int port, const char* buffer, int count);
int core_sio_flush(int port, int selector);
int core_sio_baud(int port, int rate);
int core_sio_ioctl(int port, int baudIndex, int mode);
int core_sio_flowctrl(int port, int mode);
int core_sio_RTS(int port, int on);
int core_sio_DTR(int port, int on);
int core_sio_enableat(int port);
int core_sio_disableat(int port);
}

using tarvo::trace::Call;
using tarvo::trace::enabled;

namespace {

// The calls whose only argument is the port.
[[gnu::noinline]] int traced(int (*core)(int), const char* name, int port) {
    const Call call(port);
    const int result = core(port);
    char text[64];
    std::snprintf(text, sizeof text, "%s(%d)", name, port);
    call.finish(text, result);
    return result;
}

// The calls with the port and one number.
[[gnu::noinline]] int traced(int (*core)(int, int), const char* name, int port, int value) {
    const Call call(port);
    const int result = core(port, value);
    char text[80];
    std::snprintf(text, sizeof text, "%s(%d, %d)", name, port, value);
    call.finish(text, result);
    return result;
}

[[gnu::noinline]] int traced_getch(int port) {
    const Call call(port);
    const int result = core_sio_getch(port);
    char text[64];
    std::snprintf(text, sizeof text, "sio_getch(%d)", port);
    const unsigned char byte = static_cast<unsigned char>(result);
    call.finish(text, result, "read", &byte, result >= 0 ? 1 : 0);
    return result;
}

[[gnu::noinline]] int traced_read(int port, char* buffer, int length) {
    const Call call(port);
    const int result = core_sio_read(port, buffer, length);
    char text[80];
    std::snprintf(text, sizeof text, "sio_read(%d, %s, %d)", port, buffer != nullptr ? "buffer" : "NULL", length);
    call.finish(text, result, "read", buffer, result);
    return result;
}

[[gnu::noinline]] int traced_write(int port, const char* buffer, int count) {
    const Call call(port);
    const int result = core_sio_write(port, buffer, count);
    char text[80];
    std::snprintf(text, sizeof text, "sio_write(%d, %s, %d)", port, buffer != nullptr ? "buffer" : "NULL", count);
    call.finish(text, result, "wrote", buffer, result);
    return result;
}

[[gnu::noinline]] int traced_ioctl(int port, int baudIndex, int mode) {
    const Call call(port);
    const int result = core_sio_ioctl(port, baudIndex, mode);
    char text[96];
    std::snprintf(text, sizeof text, "sio_ioctl(%d, %d, 0x%02x)", port, baudIndex, static_cast<unsigned>(mode));
    call.finish(text, result);
    return result;
}

}  // namespace

TARVO_API(int) sio_setComPortNo(int port, int comNumber) {
    if (!enabled) return core_sio_setComPortNo(port, comNumber);
    return traced(core_sio_setComPortNo, "sio_setComPortNo", port, comNumber);
}

TARVO_API(int) sio_open(int port) {
    if (!enabled) return core_sio_open(port);
    return traced(core_sio_open, "sio_open", port);
}

TARVO_API(int) sio_close(int port) {
    if (!enabled) return core_sio_close(port);
    return traced(core_sio_close, "sio_close", port);
}

TARVO_API(int) sio_term_irq(int port) {
    if (!enabled) return core_sio_term_irq(port);
    return traced(core_sio_term_irq, "sio_term_irq", port);
}

TARVO_API(int) sio_iqueue(int port) {
    if (!enabled) return core_sio_iqueue(port);
    return traced(core_sio_iqueue, "sio_iqueue", port);
}

TARVO_API(int) sio_getch(int port) {
    if (!enabled) return core_sio_getch(port);
    return traced_getch(port);
}

TARVO_API(int) sio_read(int port, char* buffer, int length) {
    if (!enabled) return core_sio_read(port, buffer, length);
    return traced_read(port, buffer, length);
}

TARVO_API(int) sio_write(int port, const char* buffer, int count) {
    if (!enabled) return core_sio_write(port, buffer, count);
    return traced_write(port, buffer, count);
}

TARVO_API(int) sio_flush(int port, int selector) {
    if (!enabled) return core_sio_flush(port, selector);
    return traced(core_sio_flush, "sio_flush", port, selector);
}

TARVO_API(int) sio_baud(int port, int rate) {
    if (!enabled) return core_sio_baud(port, rate);
    return traced(core_sio_baud, "sio_baud", port, rate);
}

TARVO_API(int) sio_ioctl(int port, int baudIndex, int mode) {
    if (!enabled) return core_sio_ioctl(port, baudIndex, mode);
    return traced_ioctl(port, baudIndex, mode);
}

TARVO_API(int) sio_flowctrl(int port, int mode) {
    if (!enabled) return core_sio_flowctrl(port, mode);
    return traced(core_sio_flowctrl, "sio_flowctrl", port, mode);
}

TARVO_API(int) sio_RTS(int port, int on) {
    if (!enabled) return core_sio_RTS(port, on);
    return traced(core_sio_RTS, "sio_RTS", port, on);
}

TARVO_API(int) sio_DTR(int port, int on) {
    if (!enabled) return core_sio_DTR(port, on);
    return traced(core_sio_DTR, "sio_DTR", port, on);
}

TARVO_API(int) sio_enableat(int port) {
    if (!enabled) return core_sio_enableat(port);
    return traced(core_sio_enableat, "sio_enableat", port);
}

TARVO_API(int) sio_disableat(int port) {
    if (!enabled) return core_sio_disableat(port);
    return traced(core_sio_disableat, "sio_disableat", port);
}
