// Speed, character format and timeouts.
#include "line/control_block.h"

using namespace tarvo;
using namespace tarvo::dev;

namespace {

constexpr int MAX_RATE = 921600;

constexpr DWORD RATE_TABLE[] = {50,   75,   110,   134,   150,   300,   600,    1200,   1800,   2400,
                                4800, 7200, 9600,  19200, 38400, 57600, 115200, 230400, 460800, 921600};
constexpr int RATE_COUNT = sizeof RATE_TABLE / sizeof RATE_TABLE[0];

constexpr DWORD PORT_TIMEOUT_MS = 2000;

// The parity bits (0x38) of the line-mode byte. 0x10, 0x20 and 0x30 name no
// parity and leave the device's setting alone.
bool parity_from_mode(int mode, BYTE& parity) {
    switch (mode & 0x38) {
        case 0x00: parity = NOPARITY; return true;
        case 0x08: parity = ODDPARITY; return true;
        case 0x18: parity = EVENPARITY; return true;
        case 0x28: parity = MARKPARITY; return true;
        case 0x38: parity = SPACEPARITY; return true;
        default: return false;
    }
}

}  // namespace

TARVO_API(int) sio_baud(int port, int rate) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    if (rate < 0 || rate > MAX_RATE) return ERR_BAD_PARAMETER;
    return change_control_block(*slot, [rate](DCB& dcb, HANDLE) { dcb.BaudRate = static_cast<DWORD>(rate); });
}

TARVO_API(int) sio_ioctl(int port, int baudIndex, int mode) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    if (baudIndex < 0 || baudIndex >= RATE_COUNT) return ERR_BAD_PARAMETER;
    return change_control_block(*slot, [slot, baudIndex, mode](DCB& dcb, HANDLE handle) {
        dcb.BaudRate = RATE_TABLE[baudIndex];
        dcb.ByteSize = static_cast<BYTE>((mode & 0x03) + 5);
        dcb.StopBits = (mode & 0x04) ? TWOSTOPBITS : ONESTOPBIT;
        parity_from_mode(mode, dcb.Parity);
        // Installed before the block is written, and not checked: a failed
        // SetCommState leaves these in force.
        COMMTIMEOUTS timeouts{PORT_TIMEOUT_MS, PORT_TIMEOUT_MS, PORT_TIMEOUT_MS, PORT_TIMEOUT_MS, PORT_TIMEOUT_MS};
        if (SetCommTimeouts(handle, &timeouts)) slot->timeouts = timeouts;
    });
}
