#include "device/posix/open_record.h"

#include <cstdint>
#include <cstring>
#include <mutex>

#include "device/posix/com_mapping.h"

namespace tarvo::posix {
namespace {

// The 16 ports' names, each a COM number or a target, with room to spare.
constexpr std::size_t RECORDS = 32;
constexpr std::size_t NAME_SIZE = 256;

struct Record {
    char name[NAME_SIZE];
    char device[DEVICE_NAME_SIZE];
    std::uint64_t used;  // 0: empty; else the open's turn, newest highest
};

Record records[RECORDS];
std::uint64_t turns = 0;
std::mutex guard;

Record* find(const char* name) {
    for (Record& record : records)
        if (record.used != 0 && std::strcmp(record.name, name) == 0) return &record;
    return nullptr;
}

Record& oldest() {
    Record* found = &records[0];
    for (Record& record : records)
        if (record.used < found->used) found = &record;
    return *found;
}

bool fits(const char* text, std::size_t size) { return std::strlen(text) < size; }

}  // namespace

void record_open(const char* name, const char* device) {
    std::lock_guard<std::mutex> lock(guard);
    Record* record = find(name);
    if (!fits(name, NAME_SIZE) || !fits(device, DEVICE_NAME_SIZE)) {
        if (record != nullptr) record->used = 0;  // what it held is no longer true
        return;
    }
    if (record == nullptr) record = &oldest();
    std::strcpy(record->name, name);
    std::strcpy(record->device, device);
    record->used = ++turns;
}

long recall_open(const char* name, char* device, std::size_t size) {
    std::lock_guard<std::mutex> lock(guard);
    const Record* record = find(name);
    if (record == nullptr) return -1;
    const std::size_t length = std::strlen(record->device);
    if (length >= size) return -1;
    std::memcpy(device, record->device, length + 1);
    return static_cast<long>(length);
}

}  // namespace tarvo::posix
