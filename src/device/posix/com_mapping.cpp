#include "device/posix/com_mapping.h"

#include <cctype>
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

// Records why the mapping cannot be understood; false, for `return reject(...)`.
template <typename... Parts>
bool reject(ComTarget& target, const char* format, Parts... parts) {
    std::snprintf(target.problem, sizeof target.problem, format, parts...);
    return false;
}

// The text from `begin` to `end`, shortened to fit a message.
struct Quoted {
    char text[48];
    Quoted(const char* begin, const char* end) {
        const int length = static_cast<int>(end - begin);
        std::snprintf(text, sizeof text, length < 40 ? "%.*s" : "%.*s...", length < 40 ? length : 36, begin);
    }
};

// OPTION[&OPTION...]: timeout=MS, purge=local; none empty, none unknown.
bool parse_network_options(const char* options, ComTarget& target) {
    for (;;) {
        const char* end = std::strchr(options, '&');
        if (end == nullptr) end = options + std::strlen(options);
        const char* value = nullptr;
        static constexpr char LOCAL[] = "purge=local";
        if (starts_with(options, "timeout=", value) && value <= end) {
            const long ms = bounded_number(value, end, MAX_NETWORK_TIMEOUT_MS);
            if (ms < 0)
                return reject(target, "timeout '%s' is not a number of ms from 1 to %ld", Quoted(value, end).text,
                              MAX_NETWORK_TIMEOUT_MS);
            target.timeoutMs = static_cast<int>(ms);
        } else if (static_cast<std::size_t>(end - options) == sizeof LOCAL - 1 &&
                   std::strncmp(options, LOCAL, sizeof LOCAL - 1) == 0) {
            target.purgeLocal = true;
        } else if (end == options) {
            return reject(target, "an empty option (?timeout=MS&purge=local)");
        } else {
            return reject(target, "unknown option '%s' (timeout=MS, purge=local)", Quoted(options, end).text);
        }
        if (*end == '\0') return true;
        options = end + 1;
    }
}

// HOST:PORT[?OPTIONS], HOST a name, an IPv4 address or [IPv6].
bool parse_network_address(const char* address, ComTarget& target) {
    const char* hostEnd = nullptr;
    const char* host = address;
    const char* authorityEnd = address + std::strcspn(address, "?");
    if (*address == '[') {
        host = address + 1;
        hostEnd = std::strchr(host, ']');
        if (hostEnd == nullptr) return reject(target, "no ']' after the IPv6 address");
        if (hostEnd[1] != ':') return reject(target, "no :PORT after the host");
    } else {
        hostEnd = std::strchr(address, ':');
        if (hostEnd == nullptr || hostEnd > authorityEnd) return reject(target, "no :PORT after the host");
        const char* another = std::strchr(hostEnd + 1, ':');
        if (another != nullptr && another < authorityEnd)
            return reject(target, "an IPv6 address goes in brackets: [ADDRESS]:PORT");
    }
    const std::size_t hostLength = static_cast<std::size_t>(hostEnd - host);
    if (hostLength == 0) return reject(target, "no host before the :PORT");
    if (hostLength >= sizeof target.device) return reject(target, "the host name is too long");
    std::memcpy(target.device, host, hostLength);
    target.device[hostLength] = '\0';

    const char* service = std::strchr(hostEnd, ':') + 1;
    const char* serviceEnd = std::strchr(service, '?');
    if (serviceEnd == nullptr) serviceEnd = service + std::strlen(service);
    const char* slash = static_cast<const char*>(std::memchr(service, '/', static_cast<std::size_t>(serviceEnd - service)));
    if (slash != nullptr && slash != service)
        return reject(target, "'%s' after the port: only ?OPTIONS may follow it", Quoted(slash, serviceEnd).text);
    if (service == serviceEnd) return reject(target, "no port after the ':'");
    const long port = bounded_number(service, serviceEnd, 65535);
    if (port < 1 || port > 65535)  // bounded_number says so; the bound stated here sizes the text
        return reject(target, "port '%s' is not a number from 1 to 65535", Quoted(service, serviceEnd).text);
    std::snprintf(target.service, sizeof target.service, "%ld", port);

    target.timeoutMs = DEFAULT_NETWORK_TIMEOUT_MS;
    target.purgeLocal = false;
    if (*serviceEnd == '\0') return true;
    return parse_network_options(serviceEnd + 1, target);
}

// The length of a URL scheme at the start of `text` (a letter, then letters,
// digits, + - .), followed by ':'; 0 when there is none.
std::size_t scheme_length(const char* text) {
    if (!std::isalpha(static_cast<unsigned char>(*text))) return 0;
    std::size_t length = 1;
    while (std::isalnum(static_cast<unsigned char>(text[length])) || std::strchr("+-.", text[length]) != nullptr)
        if (text[length++] == '\0') return 0;
    return text[length] == ':' ? length : 0;
}

// A mapping with a scheme other than usb:: rfc2217:// and tcp://, and the
// ways of writing them wrong. False, with `problem` set, when malformed.
bool parse_network_mapping(const char* mapping, ComTarget& target, bool& isNetwork) {
    isNetwork = false;
    const std::size_t length = scheme_length(mapping);
    if (length == 0) return true;
    const bool rfc2217 = length == 7 && strncasecmp(mapping, "rfc2217", 7) == 0;
    const bool tcp = length == 3 && strncasecmp(mapping, "tcp", 3) == 0;
    const bool slashes = std::strncmp(mapping + length, "://", 3) == 0;
    if (!rfc2217 && !tcp) {
        if (!slashes) return true;  // a path with a colon in it
        return reject(target, "unknown scheme '%s' (rfc2217://HOST:PORT, tcp://HOST:PORT or usb:VVVV:PPPP)",
                      Quoted(mapping, mapping + length).text);
    }
    isNetwork = true;
    target.kind = rfc2217 ? TargetKind::Rfc2217 : TargetKind::Tcp;
    if (!slashes) return reject(target, "'%.*s:' needs // before the host: %.*s://HOST:PORT", static_cast<int>(length),
                                mapping, static_cast<int>(length), mapping);
    return parse_network_address(mapping + length + 3, target);
}

// usb:VVVV:PPPP[:SERIAL], each id one to four hex digits.
bool parse_usb_mapping(const char* mapping, const char* root, ComTarget& target) {
    UsbSelector selector;
    if (!parse_usb_selector(mapping, selector)) {
        const char* vendor = mapping + 4;
        const char* vendorEnd = vendor + std::strcspn(vendor, ":");
        if (*vendorEnd == '\0') return reject(target, "no :PPPP product id after the vendor id (usb:VVVV:PPPP)");
        const char* product = vendorEnd + 1;
        const char* productEnd = product + std::strcspn(product, ":");
        const auto hexId = [](const char* begin, const char* end) {
            return end > begin && end - begin <= 4 &&
                   std::strspn(begin, "0123456789abcdefABCDEF") >= static_cast<std::size_t>(end - begin);
        };
        if (!hexId(vendor, vendorEnd))
            return reject(target, "vendor id '%s' is not one to four hex digits", Quoted(vendor, vendorEnd).text);
        if (!hexId(product, productEnd))
            return reject(target, "product id '%s' is not one to four hex digits", Quoted(product, productEnd).text);
        return reject(target, productEnd[1] == '\0' ? "an empty serial number after the product id"
                                                     : "the serial number is too long");
    }
    return find_usb_tty(root, selector, target.device, sizeof target.device) == 1;
}

}  // namespace

bool resolve_com(long number, const char* mapping, ComTarget& target, const char* root) {
    target.kind = TargetKind::Terminal;
    target.problem[0] = '\0';
    if (is_usb_mapping(mapping)) return parse_usb_mapping(mapping, root, target);
    if (mapping != nullptr) {
        bool isNetwork = false;
        if (!parse_network_mapping(mapping, target, isNetwork)) return false;
        if (isNetwork) return true;
        const int length = std::snprintf(target.device, sizeof target.device, "%s", mapping);
        if (length >= 0 && static_cast<std::size_t>(length) < sizeof target.device) return true;
        return reject(target, "the path is longer than %zu bytes", sizeof target.device - 1);
    }
    if (number < 1) return reject(target, "COM%ld has no device of its own", number);
    std::snprintf(target.device, sizeof target.device, "/dev/ttyS%ld", number - 1);
    return true;
}

}  // namespace tarvo::posix
