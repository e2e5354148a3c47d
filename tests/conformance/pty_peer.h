// The far end of a serial line: the master of a pseudo-terminal whose slave
// is the device the library opens.
#ifndef TARVO_CONFORMANCE_PTY_PEER_H
#define TARVO_CONFORMANCE_PTY_PEER_H

#include <chrono>
#include <cstdint>
#include <string>

#include "device_line.h"
#include "pty_pair.h"

namespace tarvo::conformance {

// The far end of the line a device path leads to.
class LinePeer {
public:
    LinePeer() = default;
    LinePeer(const LinePeer&) = delete;
    LinePeer& operator=(const LinePeer&) = delete;
    virtual ~LinePeer() = default;

    virtual const std::string& device() const = 0;

    // Sends bytes to the device; false if they could not all go.
    virtual bool send(const std::string& bytes) = 0;
    // Collects what the device sent until `count` bytes came or time ran out.
    virtual std::string receive(std::size_t count, std::chrono::milliseconds timeout) = 0;
    // Whatever arrives within `quiet`.
    std::string receive_for(std::chrono::milliseconds quiet) { return receive(SIZE_MAX, quiet); }

    // The device's line settings as its driver holds them.
    virtual DeviceLine line() const = 0;
    virtual bool set_xon_xoff(bool on) = 0;

    // Forgets everything in flight in both directions, so the next user of
    // the device starts from nothing.
    virtual void drain() = 0;

    // Closes the far end: the device's side sees a hang-up. False where this
    // far end cannot hang up.
    virtual bool hang_up() { return false; }
};

class PtyPeer : public LinePeer {
public:
    PtyPeer();  // throws std::runtime_error

    const std::string& device() const override { return pair_.slave_path(); }
    bool send(const std::string& bytes) override;
    std::string receive(std::size_t count, std::chrono::milliseconds timeout) override;
    DeviceLine line() const override;
    bool set_xon_xoff(bool on) override;
    void drain() override;

    // Closes the master.
    bool hang_up() override;

private:
    int master() const { return pair_.master(); }

    PtyPair pair_{PtyOptions{true, false, false}};
};

}  // namespace tarvo::conformance

#endif
