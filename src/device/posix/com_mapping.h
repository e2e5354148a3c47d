// The one rule for what a COM number stands for on Linux, shared by the
// library (CreateFileA) and the tarvo tool (ports): TARVO_COM<n> names the
// device if it is set and not empty; otherwise COM n is /dev/ttyS<n-1>.
// A mapping usb:VVVV:PPPP[:SERIAL] names the one USB serial device with those
// ids (and serial number) wherever it was enumerated.
// Pure functions over their arguments, apart from reading the environment in
// mapping_of; nothing allocates.
#ifndef TARVO_DEVICE_POSIX_COM_MAPPING_H
#define TARVO_DEVICE_POSIX_COM_MAPPING_H

#include <cstddef>

namespace tarvo::posix {

// Room for any path the system takes.
constexpr std::size_t DEVICE_NAME_SIZE = 4096;

// "\\.\COM<n>" with n decimal, no sign, no more than fits an int: n, else -1.
long com_number(const char* path);

// The value of TARVO_COM<number>, or nullptr when it is unset or empty.
const char* mapping_of(long number);

enum class TargetKind {
    Terminal,  // a device file: `device` is its path
};

struct ComTarget {
    TargetKind kind = TargetKind::Terminal;
    char device[DEVICE_NAME_SIZE] = {};
};

// What COM `number` stands for, given its mapping (nullptr: none), with
// sysfs and /dev read under `root` (empty: this machine's). False for a
// number with no default device (0), a mapping that does not fit, and a
// usb: mapping that matches no device or more than one.
bool resolve_com(long number, const char* mapping, ComTarget& target, const char* root = "");

}  // namespace tarvo::posix

#endif
