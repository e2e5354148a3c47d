// The far end of a serial line: the master of a pseudo-terminal whose slave
// is the device the library opens.
#ifndef TARVO_CONFORMANCE_PTY_PEER_H
#define TARVO_CONFORMANCE_PTY_PEER_H

#include <chrono>
#include <string>

#include "device_line.h"
#include "pty_pair.h"

namespace tarvo::conformance {

class PtyPeer {
public:
    PtyPeer();  // throws std::runtime_error
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& device() const { return pair_.slave_path(); }

    // Sends bytes to the device; false if they could not all go.
    bool send(const std::string& bytes);
    // Collects what the device sent until `count` bytes came or time ran out.
    std::string receive(std::size_t count, std::chrono::milliseconds timeout);
    // Whatever arrives within `quiet`.
    std::string receive_for(std::chrono::milliseconds quiet);

    DeviceLine line() const;
    bool set_xon_xoff(bool on);

    // Forgets everything in flight in both directions, so the next user of
    // the device starts from nothing.
    void drain();

    // Closes the master: the device's side sees a hang-up.
    void hang_up();

private:
    int master() const { return pair_.master(); }

    PtyPair pair_{PtyOptions{true, false, false}};
};

}  // namespace tarvo::conformance

#endif
