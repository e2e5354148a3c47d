// The line settings of a terminal device as the kernel holds them, read and
// changed from the host side (through a pty master, whose termios requests
// act on its slave).
#ifndef TARVO_CONFORMANCE_DEVICE_LINE_H
#define TARVO_CONFORMANCE_DEVICE_LINE_H

#include <string>

namespace tarvo::conformance {

struct DeviceLine {
    unsigned outputSpeed = 0;  // bit/s
    unsigned inputSpeed = 0;
    int dataBits = 0;
    bool twoStopBits = false;
    bool parity = false;
    bool oddParity = false;      // PARODD
    bool stickParity = false;    // CMSPAR: mark when odd, space when even
    bool rtsCts = false;         // CRTSCTS
    bool xonXoffOutput = false;  // IXON
    bool xonXoffInput = false;   // IXOFF
    bool hasModemLines = false;  // the driver reports its control lines (a pty does not)
    bool rts = false;
    bool dtr = false;

    // As "8N1": data bits, parity (N, O, E, M or S), stop bits.
    std::string format() const;
};

bool read_device_line(int fd, DeviceLine& line);

// Switches XON/XOFF on or off in both directions.
bool set_xon_xoff(int fd, bool on);

}  // namespace tarvo::conformance

#endif
