#include "device/posix/transfer_support.h"

#include <ctime>

namespace tarvo::posix {

std::uint64_t now_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

std::uint64_t write_deadline(std::uint64_t multiplier, std::uint64_t constant, dev::DWORD bytes) {
    const std::uint64_t limit = multiplier * bytes + constant;
    if (limit == 0) return 0;
    const std::uint64_t start = now_ms();
    return limit > UINT64_MAX - start ? UINT64_MAX : start + limit;
}

int left_ms(std::uint64_t deadline) {
    const std::uint64_t now = now_ms();
    if (now >= deadline) return 0;
    const std::uint64_t left = deadline - now;
    return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}

dev::DWORD strip_nulls(unsigned char* bytes, dev::DWORD count) {
    dev::DWORD kept = 0;
    for (dev::DWORD i = 0; i < count; ++i) {
        if (bytes[i] != 0) bytes[kept++] = bytes[i];
    }
    return kept;
}

}  // namespace tarvo::posix
