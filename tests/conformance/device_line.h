// The line settings of a terminal device as the kernel holds them, read and
// changed from the host side (through a pty master, whose termios requests
// act on its slave).
#ifndef TARVO_CONFORMANCE_DEVICE_LINE_H
#define TARVO_CONFORMANCE_DEVICE_LINE_H

namespace tarvo::conformance {

struct DeviceLine {
    unsigned outputSpeed = 0;  // bit/s
    unsigned inputSpeed = 0;
    int dataBits = 0;
    bool twoStopBits = false;
    bool parity = false;
    bool rtsCts = false;         // CRTSCTS
    bool xonXoffOutput = false;  // IXON
    bool xonXoffInput = false;   // IXOFF
};

bool read_device_line(int fd, DeviceLine& line);

// Switches XON/XOFF on or off in both directions.
bool set_xon_xoff(int fd, bool on);

}  // namespace tarvo::conformance

#endif
