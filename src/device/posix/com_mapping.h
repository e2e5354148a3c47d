// The one rule for what a COM number stands for on Linux, shared by the
// library (CreateFileA) and the tarvo tool (ports): TARVO_COM<n> names the
// device if it is set and not empty; otherwise COM n is /dev/ttyS<n-1>.
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

// What COM `number` stands for, given its mapping (nullptr: none). False for
// a number with no default device (0) or a mapping that does not fit.
bool resolve_com(long number, const char* mapping, ComTarget& target);

}  // namespace tarvo::posix

#endif
