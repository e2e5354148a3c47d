#include "device/posix/com_mapping.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "device/posix/sysfs_serial.h"

namespace tarvo::posix {

namespace {

// Decimal digits up to `end`, no sign, no more than `most`; -1 otherwise.
long decimal(const char* digits, const char* end, long most) {
    if (digits == end) return -1;
    long value = 0;
    for (const char* cursor = digits; cursor != end; ++cursor) {
        if (*cursor < '0' || *cursor > '9') return -1;
        value = value * 10 + (*cursor - '0');
        if (value > most) return -1;
    }
    return value;
}

// The same from 1 on.
long bounded_number(const char* digits, const char* end, long most) {
    const long value = decimal(digits, end, most);
    return value >= 1 ? value : -1;
}

}  // namespace

long com_number(const char* path) {
    static constexpr char PREFIX[] = "\\\\.\\COM";
    if (path == nullptr || std::strncmp(path, PREFIX, sizeof PREFIX - 1) != 0) return -1;
    const char* digits = path + sizeof PREFIX - 1;
    return decimal(digits, digits + std::strlen(digits), 0x7fffffffL);
}

const char* mapping_of(long number) {
    char name[32];
    std::snprintf(name, sizeof name, "TARVO_COM%ld", number);
    const char* mapped = std::getenv(name);
    return mapped != nullptr && *mapped != '\0' ? mapped : nullptr;
}

namespace {

// Case-insensitive: a URL's scheme is (RFC2217:// as rfc2217://).
bool starts_with(const char* text, const char* prefix, const char*& rest) {
    const std::size_t length = std::strlen(prefix);
    if (strncasecmp(text, prefix, length) != 0) return false;
    rest = text + length;
    return true;
}

// HOST:PORT[?timeout=MS], HOST a name, an IPv4 address or [IPv6].
bool parse_network_address(const char* address, ComTarget& target) {
    const char* hostEnd = nullptr;
    const char* host = address;
    if (*address == '[') {
        host = address + 1;
        hostEnd = std::strchr(host, ']');
        if (hostEnd == nullptr || hostEnd[1] != ':') return false;
    } else {
        hostEnd = std::strchr(address, ':');
        if (hostEnd == nullptr) return false;
    }
    const std::size_t hostLength = static_cast<std::size_t>(hostEnd - host);
    if (hostLength == 0 || hostLength >= sizeof target.device) return false;
    std::memcpy(target.device, host, hostLength);
    target.device[hostLength] = '\0';

    const char* service = std::strchr(hostEnd, ':') + 1;
    const char* serviceEnd = std::strchr(service, '?');
    if (serviceEnd == nullptr) serviceEnd = service + std::strlen(service);
    const long port = bounded_number(service, serviceEnd, 65535);
    if (port < 0) return false;
    std::snprintf(target.service, sizeof target.service, "%ld", port);

    target.timeoutMs = DEFAULT_NETWORK_TIMEOUT_MS;
    if (*serviceEnd == '\0') return true;
    const char* timeout = nullptr;
    if (!starts_with(serviceEnd, "?timeout=", timeout)) return false;
    const long ms = bounded_number(timeout, timeout + std::strlen(timeout), MAX_NETWORK_TIMEOUT_MS);
    if (ms < 0) return false;
    target.timeoutMs = static_cast<int>(ms);
    return true;
}

}  // namespace

bool resolve_com(long number, const char* mapping, ComTarget& target, const char* root) {
    target.kind = TargetKind::Terminal;
    if (is_usb_mapping(mapping)) {
        UsbSelector selector;
        return parse_usb_selector(mapping, selector) &&
               find_usb_tty(root, selector, target.device, sizeof target.device) == 1;
    }
    const char* address = nullptr;
    if (mapping != nullptr && starts_with(mapping, "rfc2217://", address)) {
        target.kind = TargetKind::Rfc2217;
        return parse_network_address(address, target);
    }
    if (mapping != nullptr && starts_with(mapping, "tcp://", address)) {
        target.kind = TargetKind::Tcp;
        return parse_network_address(address, target);
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
