// tarvo_list_ports: the COM numbers as the library maps them and the serial
// hardware sysfs knows, with what each device is and whether it would open
// now. Nothing is written to any device and the console is never opened.
// Not a data call: it allocates while it runs and keeps nothing.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "device/device.h"
#include "device/posix/com_mapping.h"
#include "net/network_connect.h"
#include "device/posix/sysfs_serial.h"
#include "device/posix/terminal_probe.h"
#include "tarvo_ext.h"

namespace tarvo::posix {
namespace {

namespace fs = std::filesystem;

constexpr int COM_COUNT = 16;

struct UsbFacts {
    std::string vid, pid, serial, manufacturer, product, interfaceNumber;
};

// What sysfs tells of one tty: facts and the /dev/serial/by-id names.
struct Hardware {
    std::string name;  // ttyUSB0
    std::optional<UsbFacts> usb;
    std::string driver;
    std::vector<std::string> byId;
};

struct Entry {
    int com = 0;
    int status = TARVO_PORT_NOT_FOUND;
    std::string device, mapping, detail;
    const Hardware* hardware = nullptr;
};

// ttyS2 before ttyS10, whatever the length of the number.
bool natural_less(const std::string& a, const std::string& b) {
    const auto split = [](const std::string& s) {
        const std::size_t digits = s.find_last_not_of("0123456789") + 1;
        std::string number = s.substr(digits);
        number.erase(0, std::min(number.find_first_not_of('0'), number.size()));
        return std::make_tuple(s.substr(0, digits), digits == s.size() ? 0 : 1, number.size(), number);
    };
    return split(a) < split(b);
}

std::string attribute(const char* folder, const char* name) {
    char value[SYSFS_VALUE_SIZE];
    return read_attribute(folder, name, value, sizeof value) ? value : "";
}

std::string link_name(const fs::path& link) {
    std::error_code error;
    const fs::path target = fs::read_symlink(link, error);
    return error ? "" : target.filename().string();
}

// The driver of a tty's device. From kernel 6.5 the serial core puts a
// device of its own between a UART and its tty (bus serial-base: a "port"
// below a "ctrl"); the driver that counts is that of the device above them.
std::string driver_of(const fs::path& device) {
    std::error_code error;
    fs::path folder = fs::canonical(device, error);
    if (error) return "";
    for (int level = 0; level < 2 && link_name(folder / "subsystem") == "serial-base"; ++level)
        folder = folder.parent_path();
    return link_name(folder / "driver");
}

class Machine {
public:
    explicit Machine(std::string root) : root_(std::move(root)) {
        read_hardware();
        read_by_id();
    }

    const std::string& root() const { return root_; }
    const std::vector<Hardware>& hardware() const { return hardware_; }
    bool has_sysfs() const { return fs::exists(root_ + "/sys/class/tty"); }

    const Hardware* hardware_named(const std::string& name) const {
        for (const Hardware& h : hardware_)
            if (h.name == name) return &h;
        return nullptr;
    }

private:
    void read_hardware() {
        std::vector<std::string> names;
        const auto collect = [](const char* name, void* list) {
            static_cast<std::vector<std::string>*>(list)->push_back(name);
        };
        for_each_tty(root_.c_str(), collect, &names);
        std::sort(names.begin(), names.end(), natural_less);
        for (const std::string& name : names) {
            const fs::path tty = fs::path(root_ + "/sys/class/tty") / name;
            std::error_code error;
            // Virtual consoles and ptys have no device behind them.
            if (!fs::exists(tty / "device", error) || !has_hardware(root_.c_str(), name.c_str())) continue;
            Hardware h;
            h.name = name;
            h.driver = driver_of(tty / "device");
            h.usb = usb_facts(name);
            hardware_.push_back(std::move(h));
        }
    }

    void read_by_id() {
        std::error_code error;
        const fs::path folder = fs::path(root_ + "/dev/serial/by-id");
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            const std::string target = link_name(it->path());
            for (Hardware& h : hardware_)
                if (h.name == target) h.byId.push_back("/dev/serial/by-id/" + it->path().filename().string());
        }
        for (Hardware& h : hardware_) std::sort(h.byId.begin(), h.byId.end());
    }

    std::optional<UsbFacts> usb_facts(const std::string& name) const {
        char device[SYSFS_PATH_SIZE], interface[SYSFS_PATH_SIZE];
        if (!usb_folders(root_.c_str(), name.c_str(), device, interface)) return std::nullopt;
        UsbFacts usb;
        usb.vid = attribute(device, "idVendor");
        usb.pid = attribute(device, "idProduct");
        usb.serial = attribute(device, "serial");
        usb.manufacturer = attribute(device, "manufacturer");
        usb.product = attribute(device, "product");
        usb.interfaceNumber = attribute(interface, "bInterfaceNumber");
        return usb;
    }

    std::string root_;
    std::vector<Hardware> hardware_;
};

std::string group_name(gid_t gid) {
    const group* entry = getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

std::string permission_words(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return "permission denied";
    if (info.st_gid == 0) return "permission denied: the device belongs to root; run as root or ask for access";
    const std::string group = group_name(info.st_gid);
    return "permission denied: the device belongs to group " + group + "; join it (sudo usermod -aG " + group +
           " $USER) and log in again";
}

// Whether the device would open, as a status and in words a user acts on.
void probe(const Machine& machine, Entry& entry) {
    const std::string path = machine.root() + entry.device;
    switch (probe_terminal(path.c_str(), machine.root().c_str())) {
        case dev::ERROR_SUCCESS: entry.status = TARVO_PORT_FREE; entry.detail = "free"; return;
        case dev::ERROR_FILE_NOT_FOUND: entry.status = TARVO_PORT_NOT_FOUND; entry.detail = "not found"; return;
        case dev::ERROR_ACCESS_DENIED: entry.status = TARVO_PORT_NO_ACCESS; entry.detail = permission_words(path); return;
        case dev::ERROR_SHARING_VIOLATION:
            entry.status = TARVO_PORT_BUSY;
            entry.detail = "busy: held by another program";
            return;
        case dev::ERROR_NOT_SUPPORTED: entry.status = TARVO_PORT_NOT_SERIAL; entry.detail = "not a serial device"; return;
        case dev::ERROR_DEVICE_IN_USE:
            entry.status = TARVO_PORT_CONSOLE;
            entry.detail = "the system console: not opened";
            return;
        default: entry.status = TARVO_PORT_NO_ACCESS; entry.detail = "cannot be opened"; return;
    }
}

// Whether a network port's server takes a connection now. Only a
// connection: nothing is negotiated or set, and it is closed at once.
void probe_network(const ComTarget& target, Entry& entry) {
    ConnectFailure why = ConnectFailure::None;
    const int connection = connect_to_server(target, target.timeoutMs, why);
    if (connection >= 0) close(connection);
    entry.status = why == ConnectFailure::None ? TARVO_PORT_NETWORK : TARVO_PORT_UNREACHABLE;
    switch (why) {
        case ConnectFailure::None: entry.detail = "connects"; return;
        case ConnectFailure::NoSuchHost: entry.detail = "no such host"; return;
        case ConnectFailure::Refused: entry.detail = "refused: nothing listens there"; return;
        case ConnectFailure::NoAnswer: entry.detail = "no answer within " + std::to_string(target.timeoutMs) + " ms"; return;
        case ConnectFailure::Unreachable: entry.detail = "unreachable"; return;
        case ConnectFailure::Reset: entry.detail = "reset by the server"; return;
        case ConnectFailure::Other: break;
    }
    entry.detail = "cannot connect";
}

// The tty name a device path in /dev stands for (by-id and by-path names are
// links to it); empty for a path elsewhere.
std::string tty_name_of(const Machine& machine, const std::string& device) {
    if (device.rfind("/dev/serial/", 0) == 0) return link_name(machine.root() + device);
    const fs::path path(device);
    return path.parent_path() == "/dev" ? path.filename().string() : "";
}

std::string without_root(const Machine& machine, const std::string& path) {
    return !machine.root().empty() && path.rfind(machine.root(), 0) == 0 ? path.substr(machine.root().size()) : path;
}

std::vector<std::string> usb_matches(const Machine& machine, const UsbSelector& selector) {
    std::vector<std::string> found;
    for (const Hardware& h : machine.hardware())
        if (usb_tty_matches(machine.root().c_str(), h.name.c_str(), selector)) found.push_back("/dev/" + h.name);
    return found;
}

// Why a well-formed usb: mapping reaches no device: no match, or several.
void usb_mapping_failure(const Machine& machine, const char* mapping, Entry& entry) {
    UsbSelector selector;
    entry.status = TARVO_PORT_BAD_MAPPING;
    parse_usb_selector(mapping, selector);
    const std::vector<std::string> found = usb_matches(machine, selector);
    if (found.empty()) {
        entry.status = TARVO_PORT_NOT_FOUND;
        entry.detail = "not found: no USB serial device has these ids";
        return;
    }
    std::string list;
    for (const std::string& item : found) list += (list.empty() ? "" : ", ") + item;
    entry.detail = "ambiguous: " + std::to_string(found.size()) + " devices match (" + list + "); " +
                   (selector.hasSerial ? "name one by its path" : "add the serial number, or name one by its path");
}

void describe_device(const Machine& machine, Entry& entry) {
    entry.hardware = machine.hardware_named(tty_name_of(machine, entry.device));
    probe(machine, entry);
}

std::optional<Entry> com_entry(const Machine& machine, int com) {
    Entry entry;
    entry.com = com;
    const char* mapping = mapping_of(com);
    if (mapping != nullptr) entry.mapping = mapping;
    auto target = std::make_unique<ComTarget>();
    if (mapping != nullptr && std::strstr(mapping, "://") != nullptr) {
        entry.device = mapping;  // a network port is named by its URL
        if (resolve_com(com, mapping, *target)) {
            probe_network(*target, entry);
        } else {
            entry.status = TARVO_PORT_BAD_MAPPING;
            entry.detail = target->problem;
        }
        return entry;
    }
    if (!resolve_com(com, mapping, *target, machine.root().c_str())) {
        if (target->problem[0] == '\0') {
            usb_mapping_failure(machine, mapping, entry);
        } else {
            entry.status = TARVO_PORT_BAD_MAPPING;
            entry.detail = target->problem;
        }
        return entry;
    }
    entry.device = without_root(machine, target->device);
    if (mapping == nullptr) {
        // The default device counts only where a UART is really there.
        std::error_code error;
        if (!fs::exists(machine.root() + entry.device, error)) return std::nullopt;
        if (machine.has_sysfs() && machine.hardware_named(tty_name_of(machine, entry.device)) == nullptr)
            return std::nullopt;
    }
    describe_device(machine, entry);
    return entry;
}

std::vector<Entry> gather(const Machine& machine) {
    std::vector<Entry> entries;
    std::set<std::string> reached;
    for (int com = 1; com <= COM_COUNT; ++com) {
        std::optional<Entry> entry = com_entry(machine, com);
        if (!entry) continue;
        if (!entry->device.empty()) reached.insert(tty_name_of(machine, entry->device));
        entries.push_back(std::move(*entry));
    }
    for (const Hardware& h : machine.hardware()) {
        if (reached.count(h.name) != 0) continue;
        Entry entry;
        entry.device = "/dev/" + h.name;
        describe_device(machine, entry);
        entries.push_back(std::move(entry));
    }
    return entries;
}

template <std::size_t N>
void put(char (&field)[N], const std::string& text) {
    std::snprintf(field, N, "%s", text.c_str());
}

// A name that would match nothing once cut goes whole or not at all.
template <std::size_t N>
void put_whole(char (&field)[N], const std::string& text) {
    if (text.size() < N) put(field, text);
}

void fill(const Entry& entry, tarvo_port_info& info) {
    std::memset(&info, 0, sizeof info);
    info.com = entry.com;
    info.status = entry.status;
    put(info.device, entry.device);
    put(info.mapping, entry.mapping);
    put(info.detail, entry.detail);
    const Hardware* h = entry.hardware;
    if (h == nullptr) return;
    put(info.driver, h->driver);
    if (!h->byId.empty()) put(info.by_id, h->byId.front());
    if (!h->usb) return;
    put(info.usb_vid, h->usb->vid);
    put(info.usb_pid, h->usb->pid);
    put_whole(info.usb_serial, h->usb->serial);
    put(info.usb_manufacturer, h->usb->manufacturer);
    put(info.usb_product, h->usb->product);
    put(info.usb_interface, h->usb->interfaceNumber);
}

std::string clean_root(const char* root) {
    std::string clean = root != nullptr ? root : "";
    while (clean.size() > 1 && clean.back() == '/') clean.pop_back();
    return clean == "/" ? "" : clean;
}

}  // namespace
}  // namespace tarvo::posix

TARVO_API(int) tarvo_list_ports_at(const char* root, struct tarvo_port_info* ports, int capacity) {
    try {
        const tarvo::posix::Machine machine(tarvo::posix::clean_root(root));
        const std::vector<tarvo::posix::Entry> entries = tarvo::posix::gather(machine);
        for (int i = 0; ports != nullptr && i < capacity && i < static_cast<int>(entries.size()); ++i)
            tarvo::posix::fill(entries[static_cast<std::size_t>(i)], ports[i]);
        return static_cast<int>(entries.size());
    } catch (...) {
        // Out of memory while listing: nothing to show is the honest answer.
        return 0;
    }
}

TARVO_API(int) tarvo_list_ports(struct tarvo_port_info* ports, int capacity) {
    return tarvo_list_ports_at(nullptr, ports, capacity);
}
