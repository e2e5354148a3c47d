// The far end of a real serial port: inside the virtual machine of tests/vm
// (vm.py --uart-peer) the host joins the UART's wire to a virtio port of the
// same machine, so bytes written to that port arrive at the UART and bytes
// the UART sends come out of it. The line settings are the driver's, read
// through a descriptor of the UART held for the whole suite.
#ifndef TARVO_CONFORMANCE_UART_PEER_H
#define TARVO_CONFORMANCE_UART_PEER_H

#include <string>

#include "pty_peer.h"

namespace tarvo::conformance {

class UartPeer : public LinePeer {
public:
    // `portName` names the virtio port (/sys/class/virtio-ports/*/name), or
    // is the path of a terminal that is the far end itself (/dev/ttyGS0).
    // Throws std::runtime_error.
    UartPeer(std::string device, const std::string& portName);
    ~UartPeer() override;

    const std::string& device() const override { return device_; }
    bool send(const std::string& bytes) override;
    std::string receive(std::size_t count, std::chrono::milliseconds timeout) override;
    DeviceLine line() const override;
    bool set_xon_xoff(bool on) override;
    void drain() override;

private:
    std::string device_;
    int uart_ = -1;
    int port_ = -1;
};

}  // namespace tarvo::conformance

#endif
