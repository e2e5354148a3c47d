// Flow control and the RTS and DTR output lines, all through the control block.
#include "line/control_block.h"

using namespace tarvo;
using namespace tarvo::dev;

TARVO_API(int) sio_flowctrl(int port, int mode) {
    // Bit 0 watches CTS for output; bit 1 sets RTS steadily on (not handshake).
    // XON/XOFF goes off in both directions on every call.
    return change_control_block(port, [mode](DCB& dcb, HANDLE) {
        dcb.fOutxCtsFlow = (mode & 0x01) ? 1 : 0;
        dcb.fRtsControl = (mode & 0x02) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        dcb.fOutX = 0;
        dcb.fInX = 0;
    });
}

TARVO_API(int) sio_RTS(int port, int on) {
    return change_control_block(
        port, [on](DCB& dcb, HANDLE) { dcb.fRtsControl = on ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE; });
}

TARVO_API(int) sio_DTR(int port, int on) {
    return change_control_block(
        port, [on](DCB& dcb, HANDLE) { dcb.fDtrControl = on ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE; });
}

TARVO_API(int) sio_enableat(int port) {
    // Null stripping on, RTS on.
    return change_control_block(port, [](DCB& dcb, HANDLE) {
        dcb.fNull = 1;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    });
}

TARVO_API(int) sio_disableat(int port) {
    return change_control_block(port, [](DCB& dcb, HANDLE) {
        dcb.fNull = 0;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
    });
}
