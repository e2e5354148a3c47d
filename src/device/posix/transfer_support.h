// What the transfers of every device kind share: monotonic time, the
// deadline of a write's total timeout, and null stripping.
#ifndef TARVO_DEVICE_POSIX_TRANSFER_SUPPORT_H
#define TARVO_DEVICE_POSIX_TRANSFER_SUPPORT_H

#include <cstdint>

#include "device/device.h"

namespace tarvo::posix {

std::uint64_t now_ms();

// The end of a write's total timeout (multiplier per byte plus constant), or
// 0 for none when both are 0.
std::uint64_t write_deadline(std::uint64_t multiplier, std::uint64_t constant, dev::DWORD bytes);

// Milliseconds left until `deadline` for poll(), 0 once passed.
int left_ms(std::uint64_t deadline);

// Drops the 0x00 bytes of `bytes[0..count)` in place; returns how many are left.
dev::DWORD strip_nulls(unsigned char* bytes, dev::DWORD count);

}  // namespace tarvo::posix

#endif
