// The far end of a line of the fake device, which the core in this process
// opens as \\.\COM<n>: what it sends waits in the line's input queue, what
// the device wrote is there at once, and the line's settings are its
// control block as the last SetCommState left it.
#ifndef TARVO_CONFORMANCE_FAKE_PEER_H
#define TARVO_CONFORMANCE_FAKE_PEER_H

#include <string>

#include "fake/fake_device.h"
#include "pty_peer.h"

namespace tarvo::conformance {

class FakePeer : public LinePeer {
public:
    explicit FakePeer(int com);

    const std::string& device() const override { return name_; }
    bool send(const std::string& bytes) override;
    // Nothing is in flight: what the device wrote is all there, so this
    // never waits.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout) override;
    DeviceLine line() const override;
    bool set_xon_xoff(bool on) override;
    void drain() override;
    bool hang_up() override;

private:
    fake::Line& own() const { return fake::device().lines.at(name_); }

    std::string name_;
};

}  // namespace tarvo::conformance

#endif
