// The extension calls on a port, traced as the 16 functions are (libtarvo.so).
#include <cstdio>

#include "tarvo_ext.h"
#include "trace/call.h"
#include "trace/log.h"

extern "C" {
int core_tarvo_open_cause(int port, char* text, int size);
int core_tarvo_send(int port, const char* buffer, int count);
int core_tarvo_modem_status(int port);
int core_tarvo_break(int port, int ms);
int core_tarvo_set_target(int port, const char* target);
int core_tarvo_port_device(int port, char* text, int size);
int core_tarvo_wait(int port, int count, int timeout_ms);
}

using tarvo::trace::Call;
using tarvo::trace::enabled;

TARVO_API(int) tarvo_open_cause(int port, char* text, int size) {
    if (!enabled) return core_tarvo_open_cause(port, text, size);
    const Call call(port);
    const int result = core_tarvo_open_cause(port, text, size);
    char line[400];
    std::snprintf(line, sizeof line, "tarvo_open_cause(%d, %s, %d) \"%s\"", port, text != nullptr ? "text" : "NULL",
                  size, result >= 0 && text != nullptr && size > 0 ? text : "");
    call.finish(line, result);
    return result;
}

TARVO_API(int) tarvo_send(int port, const char* buffer, int count) {
    if (!enabled) return core_tarvo_send(port, buffer, count);
    const Call call(port);
    const int result = core_tarvo_send(port, buffer, count);
    char text[80];
    std::snprintf(text, sizeof text, "tarvo_send(%d, %s, %d)", port, buffer != nullptr ? "buffer" : "NULL", count);
    call.finish(text, result, "wrote", buffer, result);
    return result;
}

TARVO_API(int) tarvo_modem_status(int port) {
    if (!enabled) return core_tarvo_modem_status(port);
    const Call call(port);
    const int result = core_tarvo_modem_status(port);
    char text[64];
    std::snprintf(text, sizeof text, "tarvo_modem_status(%d)", port);
    call.finish(text, result);
    return result;
}

TARVO_API(int) tarvo_break(int port, int ms) {
    if (!enabled) return core_tarvo_break(port, ms);
    const Call call(port);
    const int result = core_tarvo_break(port, ms);
    char text[64];
    std::snprintf(text, sizeof text, "tarvo_break(%d, %d)", port, ms);
    call.finish(text, result);
    return result;
}

TARVO_API(int) tarvo_set_target(int port, const char* target) {
    if (!enabled) return core_tarvo_set_target(port, target);
    const Call call(port);
    const int result = core_tarvo_set_target(port, target);
    char text[400];
    std::snprintf(text, sizeof text, "tarvo_set_target(%d, \"%.300s\")", port, target != nullptr ? target : "NULL");
    call.finish(text, result);
    return result;
}

TARVO_API(int) tarvo_port_device(int port, char* text, int size) {
    if (!enabled) return core_tarvo_port_device(port, text, size);
    const Call call(port);
    const int result = core_tarvo_port_device(port, text, size);
    char line[400];
    std::snprintf(line, sizeof line, "tarvo_port_device(%d, %s, %d) \"%.300s\"", port,
                  text != nullptr ? "text" : "NULL", size, result >= 0 && text != nullptr ? text : "");
    call.finish(line, result);
    return result;
}

TARVO_API(int) tarvo_wait(int port, int count, int timeout_ms) {
    if (!enabled) return core_tarvo_wait(port, count, timeout_ms);
    const Call call(port);
    const int result = core_tarvo_wait(port, count, timeout_ms);
    char text[80];
    std::snprintf(text, sizeof text, "tarvo_wait(%d, %d, %d)", port, count, timeout_ms);
    call.finish(text, result);
    return result;
}
