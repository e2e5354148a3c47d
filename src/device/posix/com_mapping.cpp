#include "device/posix/com_mapping.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/posix/sysfs_serial.h"

namespace tarvo::posix {

long com_number(const char* path) {
    static constexpr char PREFIX[] = "\\\\.\\COM";
    if (path == nullptr || std::strncmp(path, PREFIX, sizeof PREFIX - 1) != 0) return -1;
    const char* digits = path + sizeof PREFIX - 1;
    long value = 0;
    const char* cursor = digits;
    for (; *cursor != '\0'; ++cursor) {
        if (*cursor < '0' || *cursor > '9') return -1;
        value = value * 10 + (*cursor - '0');
        if (value > 0x7fffffffL) return -1;
    }
    return cursor != digits ? value : -1;
}

const char* mapping_of(long number) {
    char name[32];
    std::snprintf(name, sizeof name, "TARVO_COM%ld", number);
    const char* mapped = std::getenv(name);
    return mapped != nullptr && *mapped != '\0' ? mapped : nullptr;
}

bool resolve_com(long number, const char* mapping, ComTarget& target, const char* root) {
    target.kind = TargetKind::Terminal;
    if (is_usb_mapping(mapping)) {
        UsbSelector selector;
        return parse_usb_selector(mapping, selector) &&
               find_usb_tty(root, selector, target.device, sizeof target.device) == 1;
    }
    if (mapping != nullptr) {
        const int length = std::snprintf(target.device, sizeof target.device, "%s", mapping);
        return length >= 0 && static_cast<std::size_t>(length) < sizeof target.device;
    }
    if (number < 1) return false;
    std::snprintf(target.device, sizeof target.device, "/dev/ttyS%ld", number - 1);
    return true;
}

}  // namespace tarvo::posix
