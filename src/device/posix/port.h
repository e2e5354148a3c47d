// One open device, whatever carries it: a terminal, or (later) a network
// connection. The Win32 operations in posix_device.cpp find the Port behind a
// handle and call it; each kind gives the operations Win32 semantics of its
// own, so the core never learns which kind it talks to.
//
// Every operation returns TRUE, or FALSE with the last error set (fail()).
// Nothing here pends: a call has finished when it returns.
#ifndef TARVO_DEVICE_POSIX_PORT_H
#define TARVO_DEVICE_POSIX_PORT_H

#include "device/device.h"

namespace tarvo::posix {

class Port {
public:
    // Ends the device's use: gives back the descriptor and the hold. The
    // Port may be reused for the next open afterwards.
    virtual dev::BOOL close() = 0;

    virtual dev::BOOL clear_comm_error(dev::DWORD* errors, dev::COMSTAT* stat) = 0;
    virtual dev::BOOL purge(dev::DWORD flags) = 0;
    // Takes what is there now, at most `toRead` bytes; never waits.
    virtual dev::BOOL read(void* buffer, dev::DWORD toRead, dev::DWORD& got) = 0;
    // Returns once the device has taken the bytes or the write timeout has run
    // out; `sent` is what the device took either way, and also when the write
    // fails part-way (FALSE): those bytes are gone out and count.
    virtual dev::BOOL write(const void* buffer, dev::DWORD toWrite, dev::DWORD& sent) = 0;
    virtual dev::BOOL get_state(dev::DCB& dcb) = 0;
    virtual dev::BOOL set_state(const dev::DCB& dcb) = 0;
    virtual void set_timeouts(const dev::COMMTIMEOUTS& timeouts) = 0;
    // The MS_*_ON bits of the status lines now.
    virtual dev::BOOL modem_status(dev::DWORD& lines) = 0;
    // Puts the line into the break state (true) or lets it go.
    virtual dev::BOOL set_break(bool on) = 0;

protected:
    ~Port() = default;  // ports live in their kind's static storage, never deleted through here
};

}  // namespace tarvo::posix

#endif
