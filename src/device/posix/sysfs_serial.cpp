#include "device/posix/sysfs_serial.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace tarvo::posix {
namespace {

constexpr char USB_PREFIX[] = "usb:";

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One to four hex digits up to `end` (':' or the text's end).
const char* parse_id(const char* text, unsigned& id) {
    id = 0;
    int digits = 0;
    for (; *text != '\0' && *text != ':'; ++text, ++digits) {
        const int value = hex_digit(*text);
        if (value < 0 || digits == 4) return nullptr;
        id = id * 16 + static_cast<unsigned>(value);
    }
    return digits > 0 ? text : nullptr;
}

bool join(char* out, std::size_t size, const char* a, const char* b) {
    const int length = std::snprintf(out, size, "%s/%s", a, b);
    return length >= 0 && static_cast<std::size_t>(length) < size;
}

bool tty_path(const char* root, const char* tty, const char* rest, char* out) {
    const int length = std::snprintf(out, SYSFS_PATH_SIZE, "%s/sys/class/tty/%s%s", root, tty, rest);
    return length >= 0 && static_cast<std::size_t>(length) < SYSFS_PATH_SIZE;
}

bool read_id(const char* folder, const char* name, unsigned& id) {
    char text[16];
    if (!read_attribute(folder, name, text, sizeof text)) return false;
    const char* end = parse_id(text, id);
    return end != nullptr && *end == '\0';
}

struct UsbSearch {
    const char* root;
    const UsbSelector* selector;
    char* node;
    std::size_t size;
    int matches;
};

void count_match(const char* tty, void* context) {
    auto& search = *static_cast<UsbSearch*>(context);
    if (!usb_tty_matches(search.root, tty, *search.selector)) return;
    if (++search.matches == 1) std::snprintf(search.node, search.size, "%s/dev/%s", search.root, tty);
}

}  // namespace

bool is_usb_mapping(const char* mapping) {
    return mapping != nullptr && std::strncmp(mapping, USB_PREFIX, sizeof USB_PREFIX - 1) == 0;
}

bool parse_usb_selector(const char* mapping, UsbSelector& selector) {
    selector = UsbSelector{};
    if (!is_usb_mapping(mapping)) return false;
    const char* cursor = parse_id(mapping + sizeof USB_PREFIX - 1, selector.vendor);
    if (cursor == nullptr || *cursor != ':') return false;
    cursor = parse_id(cursor + 1, selector.product);
    if (cursor == nullptr) return false;
    if (*cursor == '\0') return true;
    ++cursor;  // the ':' before the serial number
    const std::size_t length = std::strlen(cursor);
    if (length == 0 || length >= sizeof selector.serial) return false;
    std::memcpy(selector.serial, cursor, length + 1);
    selector.hasSerial = true;
    return true;
}

void for_each_tty(const char* root, void (*visit)(const char* name, void* context), void* context) {
    char folder[SYSFS_PATH_SIZE];
    if (!tty_path(root, "", "", folder)) return;
    // getdents64 rather than opendir: no allocation.
    const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    alignas(dirent64) char buffer[8192];
    for (ssize_t filled; (filled = ::getdents64(fd, buffer, sizeof buffer)) > 0;) {
        for (ssize_t offset = 0; offset < filled;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + offset);
            offset += entry->d_reclen;
            if (entry->d_name[0] != '.') visit(entry->d_name, context);
        }
    }
    ::close(fd);
}

bool usb_folders(const char* root, const char* tty, char* device, char* interface) {
    // A CDC-ACM tty's device is the USB interface; a USB-to-serial adapter's
    // is a port one level further down, below its interface.
    static const char* const INTERFACES[] = {"/device", "/device/.."};
    for (const char* below : INTERFACES) {
        char probe[SYSFS_PATH_SIZE];
        if (!tty_path(root, tty, below, interface) || !join(device, SYSFS_PATH_SIZE, interface, "..")) return false;
        if (join(probe, sizeof probe, device, "idVendor") && ::access(probe, R_OK) == 0) return true;
    }
    return false;
}

bool read_attribute(const char* folder, const char* name, char* value, std::size_t size) {
    char path[SYSFS_PATH_SIZE];
    if (size == 0 || !join(path, sizeof path, folder, name)) return false;
    // Nonblocking, and only a regular file: a FIFO or a device planted where
    // an attribute belongs must not hold the reader.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    const ssize_t length = ::read(fd, value, size - 1);
    ::close(fd);
    if (length < 0) return false;
    std::size_t end = static_cast<std::size_t>(length);
    while (end > 0 && (value[end - 1] == '\n' || value[end - 1] == ' ')) --end;
    value[end] = '\0';
    return true;
}

bool has_hardware(const char* root, const char* tty) {
    char folder[SYSFS_PATH_SIZE], type[16];
    if (!tty_path(root, tty, "", folder)) return false;
    return !read_attribute(folder, "type", type, sizeof type) || std::strcmp(type, "0") != 0;
}

bool usb_tty_matches(const char* root, const char* tty, const UsbSelector& selector) {
    char device[SYSFS_PATH_SIZE], interface[SYSFS_PATH_SIZE];
    if (!usb_folders(root, tty, device, interface)) return false;
    unsigned vendor = 0, product = 0;
    if (!read_id(device, "idVendor", vendor) || !read_id(device, "idProduct", product)) return false;
    if (vendor != selector.vendor || product != selector.product) return false;
    if (!selector.hasSerial) return true;
    char serial[SYSFS_VALUE_SIZE];
    return read_attribute(device, "serial", serial, sizeof serial) && std::strcmp(serial, selector.serial) == 0;
}

int find_usb_tty(const char* root, const UsbSelector& selector, char* node, std::size_t size) {
    UsbSearch search{root, &selector, node, size, 0};
    for_each_tty(root, count_match, &search);
    return search.matches;
}

}  // namespace tarvo::posix
