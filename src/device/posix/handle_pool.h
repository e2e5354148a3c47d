// The handles the POSIX device layer gives out: addresses of entries in one
// fixed pool, each pointing at the Port of its open device. Fixed, so opening
// and closing never allocate, and a handle that is not ours is recognised.
#ifndef TARVO_DEVICE_POSIX_HANDLE_POOL_H
#define TARVO_DEVICE_POSIX_HANDLE_POOL_H

#include <cstddef>

#include "device/device.h"
#include "device/posix/port.h"

namespace tarvo::posix {

// 16 ports, with room for handles an application leaves behind.
constexpr std::size_t POOL_SIZE = 64;

// An entry being opened: its index names the storage its kind may use for the
// Port; `publish` hands the handle out, `abandon` gives the entry back.
struct Claim {
    std::size_t index;
    dev::HANDLE handle;
};

// False when all entries are taken.
bool claim_entry(Claim& claim);
dev::HANDLE publish(const Claim& claim, Port* port);
void abandon(const Claim& claim);

// The Port behind a handle that is open now, or nullptr.
Port* open_port(dev::HANDLE handle);

// Takes the handle out of use, so no other thread can close it too; the
// caller closes the Port and then calls release. nullptr if not open.
Port* begin_close(dev::HANDLE handle);
void release(dev::HANDLE handle);

}  // namespace tarvo::posix

#endif
