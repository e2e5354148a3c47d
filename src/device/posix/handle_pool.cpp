#include "device/posix/handle_pool.h"

#include <atomic>
#include <cstdint>

namespace tarvo::posix {
namespace {

// Entry life cycle. Only the thread that moves an entry out of FREE or OPEN
// touches its port until it publishes the next state.
enum : int { FREE, OPENING, OPEN, CLOSING };

struct Entry {
    std::atomic<int> state{FREE};
    Port* port = nullptr;
};

Entry pool[POOL_SIZE];

Entry* entry_of(dev::HANDLE handle) {
    const auto address = reinterpret_cast<std::uintptr_t>(handle);
    const auto first = reinterpret_cast<std::uintptr_t>(&pool[0]);
    if (address < first || address >= first + sizeof pool) return nullptr;
    if ((address - first) % sizeof(Entry) != 0) return nullptr;
    return &pool[(address - first) / sizeof(Entry)];
}

}  // namespace

bool claim_entry(Claim& claim) {
    for (std::size_t index = 0; index < POOL_SIZE; ++index) {
        int expected = FREE;
        if (pool[index].state.compare_exchange_strong(expected, OPENING, std::memory_order_acquire)) {
            claim = Claim{index, &pool[index]};
            return true;
        }
    }
    return false;
}

dev::HANDLE publish(const Claim& claim, Port* port) {
    Entry& entry = pool[claim.index];
    entry.port = port;
    entry.state.store(OPEN, std::memory_order_release);
    return claim.handle;
}

void abandon(const Claim& claim) { pool[claim.index].state.store(FREE, std::memory_order_release); }

Port* open_port(dev::HANDLE handle) {
    Entry* entry = entry_of(handle);
    if (entry == nullptr || entry->state.load(std::memory_order_acquire) != OPEN) return nullptr;
    return entry->port;
}

Port* begin_close(dev::HANDLE handle) {
    Entry* entry = entry_of(handle);
    int expected = OPEN;
    if (entry == nullptr || !entry->state.compare_exchange_strong(expected, CLOSING, std::memory_order_acquire)) {
        return nullptr;
    }
    return entry->port;
}

void release(dev::HANDLE handle) {
    Entry* entry = entry_of(handle);
    entry->port = nullptr;
    entry->state.store(FREE, std::memory_order_release);
}

}  // namespace tarvo::posix
