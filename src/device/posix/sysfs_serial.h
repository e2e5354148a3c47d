// What sysfs tells about the serial devices of a machine, read under a root
// folder (empty: the machine's own /sys and /dev; a container's or a test's
// tree otherwise). Nothing here allocates or writes, so the library can use it
// while opening a port.
#ifndef TARVO_DEVICE_POSIX_SYSFS_SERIAL_H
#define TARVO_DEVICE_POSIX_SYSFS_SERIAL_H

#include <cstddef>

namespace tarvo::posix {

constexpr std::size_t SYSFS_PATH_SIZE = 4096;
// A USB string descriptor's 126 UTF-16 units take up to 378 bytes in UTF-8.
constexpr std::size_t SYSFS_VALUE_SIZE = 512;

// A USB serial device named by its ids: "usb:VVVV:PPPP" or
// "usb:VVVV:PPPP:SERIAL", the ids in hex.
struct UsbSelector {
    unsigned vendor = 0;
    unsigned product = 0;
    bool hasSerial = false;
    char serial[SYSFS_VALUE_SIZE] = {};
};

// True for a mapping in the usb: form, well formed or not.
bool is_usb_mapping(const char* mapping);
// False when the text is not a well-formed usb: mapping.
bool parse_usb_selector(const char* mapping, UsbSelector& selector);

// Calls `visit` with each name in ROOT/sys/class/tty, in no set order.
void for_each_tty(const char* root, void (*visit)(const char* name, void* context), void* context);

// The folder of a tty's USB device (the one holding idVendor) and of its USB
// interface (holding bInterfaceNumber); false for a tty not on USB.
bool usb_folders(const char* root, const char* tty, char* device, char* interface);

// A one-line attribute file without its line end; false if it is missing.
bool read_attribute(const char* folder, const char* name, char* value, std::size_t size);

// False for a tty that sysfs says has no hardware behind it: a serial
// core port whose type is 0 (no UART found at its address).
bool has_hardware(const char* root, const char* tty);

// True when the tty's USB device has the selector's ids (and serial number).
bool usb_tty_matches(const char* root, const char* tty, const UsbSelector& selector);

// Every tty whose USB device matches: how many, and in `node` the device
// node (ROOT/dev/NAME) of the match when there is exactly one.
int find_usb_tty(const char* root, const UsbSelector& selector, char* node, std::size_t size);

}  // namespace tarvo::posix

#endif
