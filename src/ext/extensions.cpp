// The extension functions of tarvo_ext.h that need only the device
// operations: a port's target and the device it reached, why an open failed,
// full-duplex sending, waiting for input, the status lines and a break.
// Built into libtarvo.so and the unit tests, never into Tarvo.dll.
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "registry/port_table.h"
#include "tarvo_ext.h"
#include "transfer/send.h"

using namespace tarvo;
using namespace tarvo::dev;

namespace {

constexpr int LONGEST_BREAK_MS = 5000;

const char* const CAUSE_TEXTS[] = {
    "opened",
    "no such device",
    "not a serial device",
    "busy: held by another program or port",
    "permission denied",
    "the system console: never opened as a port",
    "the mapping cannot be understood",
    "refused: nothing listens there",
    "no answer in time",
    "no such host",
    "the server refused the serial-port protocol",
    "cannot be opened",
    "unreachable: no route to the server",
    "the server reset the connection",
    "the server answered something malformed",
};

const char* const STATUS_TEXTS[] = {
    "free", "busy", "no access", "console", "not found", "not serial", "network", "bad mapping", "unreachable",
};

static_assert(TARGET_TEXT_SIZE == TARVO_DEVICE_TEXT_SIZE, "a target is device text");

// What the port's open reached or tried, as the device layer recorded it
// when it opened the name: its target, else "COM<n>". Where nothing is known,
// the name itself.
// The name the port's open gives the device layer: its target, else "COM<n>".
struct AskedName {
    char dosName[16];
    const char* text;
    AskedName(const PortSlot& slot, int number) {
        std::snprintf(dosName, sizeof dosName, "COM%d", number);
        text = slot.target[0] != '\0' ? slot.target : dosName;
    }
};

void device_name(const PortSlot& slot, int number, char* name, DWORD size) {
    const AskedName asked(slot, number);
    if (QueryDosDeviceA(asked.text, name, size) == 0 || name[0] == '\0') std::snprintf(name, size, "%s", asked.text);
}

// Printable text, no control character: a target is shown to users as it is.
bool is_text(const char* text) {
    for (const unsigned char* cursor = reinterpret_cast<const unsigned char*>(text); *cursor != '\0'; ++cursor)
        if (*cursor < 0x20 || *cursor == 0x7f) return false;
    return true;
}

bool is_url(const char* name) { return std::strstr(name, "://") != nullptr; }

// ERROR_NOT_SUPPORTED is a terminal that is no serial device, and a server
// that declines the serial-port protocol: the name tells which.
int cause_of(DWORD error, const char* device) {
    switch (error) {
        case ERROR_SUCCESS: return TARVO_CAUSE_NONE;
        case ERROR_FILE_NOT_FOUND: return TARVO_CAUSE_NOT_FOUND;
        case ERROR_ACCESS_DENIED: return TARVO_CAUSE_PERMISSION;
        case ERROR_SHARING_VIOLATION: return TARVO_CAUSE_BUSY;
        case ERROR_NOT_SUPPORTED: return is_url(device) ? TARVO_CAUSE_NEGOTIATION : TARVO_CAUSE_NOT_SERIAL;
        case ERROR_INVALID_PARAMETER: return TARVO_CAUSE_BAD_MAPPING;
        case ERROR_DEVICE_IN_USE: return TARVO_CAUSE_CONSOLE;
        case ERROR_CONNECTION_REFUSED: return TARVO_CAUSE_REFUSED;
        case ERROR_SEM_TIMEOUT: return TARVO_CAUSE_NO_ANSWER;
        case WSAHOST_NOT_FOUND: return TARVO_CAUSE_NO_SUCH_HOST;
        case ERROR_NETWORK_UNREACHABLE: return TARVO_CAUSE_UNREACHABLE;
        case WSAECONNRESET: return TARVO_CAUSE_RESET;
        case ERROR_INVALID_DATA: return TARVO_CAUSE_MALFORMED;
        default: return TARVO_CAUSE_OTHER;
    }
}

int com_of(const PortSlot& slot, int port) { return slot.comOverride >= 0 ? slot.comOverride : port; }

}  // namespace

TARVO_API(const char*) tarvo_cause_text(int cause) {
    const int count = static_cast<int>(sizeof CAUSE_TEXTS / sizeof CAUSE_TEXTS[0]);
    return CAUSE_TEXTS[cause >= 0 && cause < count ? cause : TARVO_CAUSE_OTHER];
}

TARVO_API(const char*) tarvo_port_status_text(int status) {
    const int count = static_cast<int>(sizeof STATUS_TEXTS / sizeof STATUS_TEXTS[0]);
    return status >= 0 && status < count ? STATUS_TEXTS[status] : "unknown";
}

TARVO_API(int) tarvo_open_cause(int port, char* text, int size) {
    PortSlot* slot = port_slot(port);
    if (slot == nullptr) return ERR_BAD_PORT;
    char device[TARVO_DEVICE_TEXT_SIZE];
    device_name(*slot, com_of(*slot, port), device, sizeof device);
    const int cause = cause_of(slot->openError, device);
    char problem[TARVO_DEVICE_TEXT_SIZE];
    if (text != nullptr && size > 0) {
        if (cause == TARVO_CAUSE_BAD_MAPPING &&
            QueryMappingProblem(AskedName(*slot, com_of(*slot, port)).text, problem, sizeof problem) > 0)
            std::snprintf(text, static_cast<std::size_t>(size), "%s: %s", device, problem);
        else if (cause == TARVO_CAUSE_OTHER)
            std::snprintf(text, static_cast<std::size_t>(size), "%s: %s (error %lu)", device, tarvo_cause_text(cause),
                          static_cast<unsigned long>(slot->openError));
        else
            std::snprintf(text, static_cast<std::size_t>(size), "%s: %s", device, tarvo_cause_text(cause));
    }
    return cause;
}

TARVO_API(int) tarvo_set_target(int port, const char* target) {
    PortSlot* slot = port_slot(port);
    if (slot == nullptr) return ERR_BAD_PORT;
    if (target == nullptr) target = "";
    const std::size_t length = std::strlen(target);
    if (length >= sizeof slot->target || !is_text(target)) return ERR_BAD_PARAMETER;
    std::memcpy(slot->target, target, length + 1);
    return 0;
}

TARVO_API(int) tarvo_port_device(int port, char* text, int size) {
    PortSlot* slot = port_slot(port);
    if (slot == nullptr) return ERR_BAD_PORT;
    if (text == nullptr || size < 1) return ERR_BAD_PARAMETER;
    char device[TARVO_DEVICE_TEXT_SIZE];
    device_name(*slot, com_of(*slot, port), device, sizeof device);
    const std::size_t length = std::strlen(device);
    if (length >= static_cast<std::size_t>(size)) return ERR_BAD_PARAMETER;
    std::memcpy(text, device, length + 1);
    return static_cast<int>(length);
}

TARVO_API(int) tarvo_wait(int port, int count, int timeout_ms) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    if (count < 1 || timeout_ms < 0) return ERR_BAD_PARAMETER;
    DWORD waiting = 0;
    if (!WaitCommInput(slot->handle, static_cast<DWORD>(count), static_cast<DWORD>(timeout_ms), &waiting))
        return ERR_STATUS_FAILED;
    return waiting > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(waiting);
}

TARVO_API(int) tarvo_send(int port, const char* buffer, int count) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    // The error condition is cleared as sio_write clears it; the queues stay.
    DWORD errors = 0;
    COMSTAT stat{};
    ClearCommError(slot->handle, &errors, &stat);
    // A short bound of its own, so a caller sending in pieces stays
    // responsive whatever the peer does; the port's timeouts come back after.
    COMMTIMEOUTS piece = slot->timeouts;
    piece.WriteTotalTimeoutMultiplier = 0;
    piece.WriteTotalTimeoutConstant = TARVO_SEND_MS;
    if (!SetCommTimeouts(slot->handle, &piece)) return 0;
    const int sent = write_block(*slot, buffer, count);
    SetCommTimeouts(slot->handle, &slot->timeouts);
    return sent;
}

TARVO_API(int) tarvo_modem_status(int port) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    DWORD lines = 0;
    if (!GetCommModemStatus(slot->handle, &lines)) return ERR_STATUS_FAILED;
    return static_cast<int>(lines & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON));
}

TARVO_API(int) tarvo_break(int port, int ms) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    if (ms < 1 || ms > LONGEST_BREAK_MS) return ERR_BAD_PARAMETER;
    if (!SetCommBreak(slot->handle)) return ERR_SET_STATE_FAILED;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    // A line left in break stops all traffic: the release is the result.
    return ClearCommBreak(slot->handle) ? 0 : ERR_SET_STATE_FAILED;
}
