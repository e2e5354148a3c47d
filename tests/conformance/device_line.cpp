// termios2 carries any speed as a number; it lives in the kernel headers,
// which clash with <termios.h>, so this file includes nothing else of the kind.
#include "device_line.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <asm/termios.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace tarvo::conformance {

bool read_device_line(int fd, DeviceLine& line) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    line.outputSpeed = tio.c_ospeed;
    line.inputSpeed = tio.c_ispeed;
    switch (tio.c_cflag & CSIZE) {
        case CS5: line.dataBits = 5; break;
        case CS6: line.dataBits = 6; break;
        case CS7: line.dataBits = 7; break;
        default: line.dataBits = 8; break;
    }
    line.twoStopBits = (tio.c_cflag & CSTOPB) != 0;
    line.parity = (tio.c_cflag & PARENB) != 0;
    line.oddParity = (tio.c_cflag & PARODD) != 0;
    line.stickParity = (tio.c_cflag & CMSPAR) != 0;
    line.rtsCts = (tio.c_cflag & CRTSCTS) != 0;
    line.xonXoffOutput = (tio.c_iflag & IXON) != 0;
    line.xonXoffInput = (tio.c_iflag & IXOFF) != 0;
    int bits = 0;
    line.hasModemLines = ioctl(fd, TIOCMGET, &bits) == 0;
    line.rts = (bits & TIOCM_RTS) != 0;
    line.dtr = (bits & TIOCM_DTR) != 0;
    return true;
}

std::string DeviceLine::format() const {
    char parityLetter = 'N';
    if (parity) parityLetter = stickParity ? (oddParity ? 'M' : 'S') : (oddParity ? 'O' : 'E');
    return std::to_string(dataBits) + parityLetter + (twoStopBits ? '2' : '1');
}

bool set_xon_xoff(int fd, bool on) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    if (on) {
        tio.c_iflag |= IXON | IXOFF;
    } else {
        tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
    }
    return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace tarvo::conformance
