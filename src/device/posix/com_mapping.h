// The one rule for what a COM number stands for on Linux, shared by the
// library (CreateFileA) and the tarvo tool (ports): TARVO_COM<n> names the
// device if it is set and not empty; otherwise COM n is /dev/ttyS<n-1>.
// A mapping usb:VVVV:PPPP[:SERIAL] names the one USB serial device with those
// ids (and serial number) wherever it was enumerated. A mapping of the form
// rfc2217://HOST:PORT or tcp://HOST:PORT, optionally followed by
// ?timeout=MS and/or purge=local (joined by &), names a port served over the
// network.
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
    Rfc2217,   // a Telnet COM-PORT-OPTION server: `device` is its host
    Tcp,       // a raw TCP server, data only: `device` is its host
};

// How long a network port waits for its server when the mapping names no
// timeout: for the connection, the negotiation and each awaited answer.
constexpr int DEFAULT_NETWORK_TIMEOUT_MS = 3000;
// The longest timeout a mapping may name.
constexpr long MAX_NETWORK_TIMEOUT_MS = 600000;

struct ComTarget {
    TargetKind kind = TargetKind::Terminal;
    char device[DEVICE_NAME_SIZE] = {};
    char service[6] = {};  // network kinds: the TCP port, decimal
    int timeoutMs = DEFAULT_NETWORK_TIMEOUT_MS;
    // rfc2217: the purge before every write empties this side only, and
    // awaits no confirmation from the server.
    bool purgeLocal = false;
    // Why a mapping cannot be understood, naming the part that is wrong;
    // empty when it is well formed.
    char problem[192] = {};
};

// What COM `number` stands for, given its mapping (nullptr: none), with
// sysfs and /dev read under `root` (empty: this machine's). False for a
// number with no default device (0), a usb: mapping that matches no device
// or more than one, and a mapping that cannot be understood, with `problem`
// saying why: one that does not fit, an unknown scheme (WORD://), a URL
// without its //, a usb: mapping whose ids are not hex, a network mapping
// with no host, an IPv6 address out of brackets, a port outside 1..65535 or
// anything after it but ?OPTIONS, an unknown option.
bool resolve_com(long number, const char* mapping, ComTarget& target, const char* root = "");

}  // namespace tarvo::posix

#endif
