// `tarvo ports` on Linux: the COM numbers as the library maps them and the
// serial hardware sysfs knows, with what each device is and whether it would
// open now. Nothing is written to any device and the console is never opened.
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "device/device.h"
#include "device/posix/com_mapping.h"
#include "device/posix/sysfs_serial.h"
#include "device/posix/network_connect.h"
#include "device/posix/terminal_probe.h"
#include "ports_report.h"

namespace tarvo::tool {

const char PORTS_HELP[] =
    "usage: tarvo ports [--json] [--root DIR]\n"
    "\n"
    "Lists COM1..COM16 as the library maps them (TARVO_COM<n> if it is set,\n"
    "otherwise /dev/ttyS<n-1> where sysfs says a UART is there), then the serial\n"
    "devices no COM number reaches (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* ...).\n"
    "For each: the driver, for USB the vendor and product ids, serial number,\n"
    "manufacturer, product and interface, its /dev/serial/by-id names, and\n"
    "whether it would open now: free, busy: held by another program,\n"
    "permission denied (with the group to join), not found, not a serial device.\n"
    "No device is changed; the system console is never opened.\n"
    "\n"
    "A mapping TARVO_COM<n>=usb:VVVV:PPPP or usb:VVVV:PPPP:SERIAL (hex ids)\n"
    "reaches the USB serial device with those ids wherever it was plugged in;\n"
    "ports says when none matches or more than one does.\n"
    "\n"
    "  --json      the same as a JSON array, one object a device: com, device,\n"
    "              mapping, status, usb {vid, pid, serial, manufacturer, product,\n"
    "              interface}, by_id, driver (null where there is none)\n"
    "  --root DIR  read DIR/sys and DIR/dev instead of /sys and /dev\n"
    "\n"
    "exit status: 0 listed; 2 a bad command line.\n";

namespace {

namespace fs = std::filesystem;

constexpr int COM_COUNT = 16;
// /dev/tty, /dev/console, /dev/ptmx; the virtual consoles tty0..tty63.
constexpr unsigned TTYAUX_MAJOR = 5;
constexpr unsigned VT_MAJOR = 4;
constexpr unsigned VT_COUNT = 64;

struct PortsOptions {
    bool json = false;
    std::string root;  // empty: this machine
};

// What sysfs tells of one tty: facts and the /dev/serial/by-id names.
struct Hardware {
    std::string name;  // ttyUSB0
    std::optional<UsbFacts> usb;
    std::string driver;
    std::vector<std::string> byId;
};

class Machine {
public:
    explicit Machine(std::string root) : root_(std::move(root)) {
        read_consoles();
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

    // By name for the nodes sysfs names, and by device number for any path
    // (a link of its own to the console is still the console).
    bool is_console(const std::string& name, const std::string& path) const {
        if (consoles_.count(name) != 0) return true;
        struct stat info {};
        if (stat((root_ + path).c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
        const unsigned majorNumber = major(info.st_rdev), minorNumber = minor(info.st_rdev);
        if (majorNumber == TTYAUX_MAJOR || (majorNumber == VT_MAJOR && minorNumber < VT_COUNT)) return true;
        return consoleNumbers_.count(info.st_rdev) != 0;
    }

private:
    void read_consoles() {
        char active[posix::SYSFS_VALUE_SIZE];
        const std::string folder = root_ + "/sys/class/tty/console";
        consoles_ = {"console", "tty", "tty0"};
        if (!posix::read_attribute(folder.c_str(), "active", active, sizeof active)) return;
        std::string word;
        for (const char* c = active;; ++c) {
            if (*c == ' ' || *c == '\0') {
                if (!word.empty()) note_console(word);
                word.clear();
                if (*c == '\0') break;
            } else {
                word += *c;
            }
        }
    }

    void note_console(const std::string& name) {
        consoles_.insert(name);
        char number[32];
        const std::string folder = root_ + "/sys/class/tty/" + name;
        unsigned majorNumber = 0, minorNumber = 0;
        if (posix::read_attribute(folder.c_str(), "dev", number, sizeof number) &&
            std::sscanf(number, "%u:%u", &majorNumber, &minorNumber) == 2)
            consoleNumbers_.insert(makedev(majorNumber, minorNumber));
    }

    void read_hardware() {
        std::vector<std::string> names;
        const auto collect = [](const char* name, void* list) {
            static_cast<std::vector<std::string>*>(list)->push_back(name);
        };
        posix::for_each_tty(root_.c_str(), collect, &names);
        std::sort(names.begin(), names.end(), natural_less);
        for (const std::string& name : names) {
            const fs::path tty = fs::path(root_ + "/sys/class/tty") / name;
            std::error_code error;
            // Virtual consoles and ptys have no device behind them.
            if (!fs::exists(tty / "device", error) || !posix::has_hardware(root_.c_str(), name.c_str())) continue;
            Hardware h;
            h.name = name;
            h.driver = link_name(tty / "device" / "driver");
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
        char device[posix::SYSFS_PATH_SIZE], interface[posix::SYSFS_PATH_SIZE];
        if (!posix::usb_folders(root_.c_str(), name.c_str(), device, interface)) return std::nullopt;
        UsbFacts usb;
        usb.vid = attribute(device, "idVendor");
        usb.pid = attribute(device, "idProduct");
        usb.serial = attribute(device, "serial");
        usb.manufacturer = attribute(device, "manufacturer");
        usb.product = attribute(device, "product");
        usb.interfaceNumber = attribute(interface, "bInterfaceNumber");
        return usb;
    }

    static std::string attribute(const char* folder, const char* name) {
        char value[posix::SYSFS_VALUE_SIZE];
        return posix::read_attribute(folder, name, value, sizeof value) ? value : "";
    }

    static std::string link_name(const fs::path& link) {
        std::error_code error;
        const fs::path target = fs::read_symlink(link, error);
        return error ? "" : target.filename().string();
    }

    // ttyS2 before ttyS10.
    static bool natural_less(const std::string& a, const std::string& b) {
        const auto split = [](const std::string& s) {
            const std::size_t digits = s.find_last_not_of("0123456789") + 1;
            return std::make_pair(s.substr(0, digits), digits < s.size() ? std::stol(s.substr(digits)) : -1L);
        };
        return split(a) < split(b);
    }

    std::string root_;
    std::set<std::string> consoles_;
    std::set<dev_t> consoleNumbers_;
    std::vector<Hardware> hardware_;
};

std::string group_name(gid_t gid) {
    const group* entry = getgrgid(gid);
    return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

std::string permission_words(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return "permission denied";
    const std::string group = group_name(info.st_gid);
    if (info.st_gid == 0) return "permission denied: the device belongs to root; run as root or ask for access";
    return "permission denied: the device belongs to group " + group + "; join it (sudo usermod -aG " + group +
           " $USER) and log in again";
}

// Why the device would not open, in words a user acts on.
std::string probe_words(const std::string& path) {
    switch (posix::probe_terminal(path.c_str())) {
        case dev::ERROR_SUCCESS: return "free";
        case dev::ERROR_FILE_NOT_FOUND: return "not found";
        case dev::ERROR_ACCESS_DENIED: return permission_words(path);
        case dev::ERROR_SHARING_VIOLATION: return "busy: held by another program";
        case dev::ERROR_NOT_SUPPORTED: return "not a serial device";
        default: return "cannot be opened";
    }
}

// Whether a network port's server takes a connection now. Only a
// connection: nothing is negotiated or set, and it is closed at once.
std::string network_words(const posix::ComTarget& target) {
    posix::ConnectFailure why = posix::ConnectFailure::None;
    const int connection = posix::connect_to_server(target, target.timeoutMs, why);
    if (connection >= 0) close(connection);
    switch (why) {
        case posix::ConnectFailure::None: return "connects";
        case posix::ConnectFailure::NoSuchHost: return "no such host";
        case posix::ConnectFailure::Refused: return "refused: nothing listens there";
        case posix::ConnectFailure::NoAnswer:
            return "no answer within " + std::to_string(target.timeoutMs) + " ms";
        case posix::ConnectFailure::Unreachable: return "unreachable";
    }
    return "cannot connect";
}

// The tty name a device path in /dev stands for (by-id and by-path names are
// links to it); empty for a path elsewhere.
std::string tty_name_of(const Machine& machine, const std::string& device) {
    if (device.rfind("/dev/serial/", 0) == 0) {
        std::error_code error;
        const fs::path target = fs::read_symlink(machine.root() + device, error);
        return error ? "" : target.filename().string();
    }
    const fs::path path(device);
    return path.parent_path() == "/dev" ? path.filename().string() : "";
}

void describe_device(const Machine& machine, PortEntry& entry) {
    const std::string name = tty_name_of(machine, entry.device);
    if (const Hardware* h = machine.hardware_named(name)) {
        entry.usb = h->usb;
        entry.driver = h->driver;
        entry.byId = h->byId;
    }
    entry.status = machine.is_console(name, entry.device) ? "the system console: not opened"
                                                           : probe_words(machine.root() + entry.device);
}

std::string without_root(const Machine& machine, const std::string& path) {
    return !machine.root().empty() && path.rfind(machine.root(), 0) == 0 ? path.substr(machine.root().size()) : path;
}

// Which devices a usb: mapping matches, for saying why it reaches none or
// too many.
std::vector<std::string> usb_matches(const Machine& machine, const posix::UsbSelector& selector) {
    std::vector<std::string> found;
    for (const Hardware& h : machine.hardware())
        if (posix::usb_tty_matches(machine.root().c_str(), h.name.c_str(), selector)) found.push_back("/dev/" + h.name);
    return found;
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) out += (out.empty() ? "" : ", ") + item;
    return out;
}

// Why a usb: mapping reaches no device: malformed, no match, or several.
std::string usb_mapping_failure(const Machine& machine, const char* mapping) {
    posix::UsbSelector selector;
    if (!posix::parse_usb_selector(mapping, selector))
        return "not a usb: mapping (usb:VVVV:PPPP or usb:VVVV:PPPP:SERIAL, hex ids)";
    const std::vector<std::string> found = usb_matches(machine, selector);
    if (found.empty()) return "not found: no USB serial device has these ids";
    return "ambiguous: " + std::to_string(found.size()) + " devices match (" + joined(found) + "); " +
           (selector.hasSerial ? "name one by its path" : "add the serial number, or name one by its path");
}

std::optional<PortEntry> com_entry(const Machine& machine, int com) {
    PortEntry entry;
    entry.com = com;
    const char* mapping = posix::mapping_of(com);
    if (mapping != nullptr) entry.mapping = mapping;
    auto target = std::make_unique<posix::ComTarget>();
    if (mapping != nullptr && std::string(mapping).find("://") != std::string::npos) {
        entry.device = mapping;  // a network port is named by its URL
        entry.status = posix::resolve_com(com, mapping, *target) ? network_words(*target)
                                                                  : "not a network mapping (rfc2217:// or tcp://HOST:PORT[?timeout=MS])";
        return entry;
    }
    if (!posix::resolve_com(com, mapping, *target, machine.root().c_str())) {
        entry.status = posix::is_usb_mapping(mapping) ? usb_mapping_failure(machine, mapping) : "cannot be mapped";
        return entry;
    }
    entry.device = without_root(machine, target->device);
    if (mapping == nullptr) {
        // The default device counts only where a UART is really there.
        const std::string name = tty_name_of(machine, entry.device);
        std::error_code error;
        if (!fs::exists(machine.root() + entry.device, error)) return std::nullopt;
        if (machine.has_sysfs() && machine.hardware_named(name) == nullptr) return std::nullopt;
    }
    describe_device(machine, entry);
    return entry;
}

// How to give a device a COM number: by its ids where they name it alone.
std::string mapping_hint(const Machine& machine, const Hardware& h, int freeCom) {
    std::string target = "/dev/" + h.name;
    if (h.usb && !h.usb->vid.empty()) {
        posix::UsbSelector selector;
        const std::string ids = "usb:" + h.usb->vid + ":" + h.usb->pid;
        const std::string withSerial = h.usb->serial.empty() ? ids : ids + ":" + h.usb->serial;
        if (posix::parse_usb_selector(withSerial.c_str(), selector) && usb_matches(machine, selector).size() == 1)
            target = withSerial;
        else if (!h.byId.empty())
            target = h.byId.front();
    }
    return freeCom > 0 ? "no COM number reaches it; for example TARVO_COM" + std::to_string(freeCom) + "=" + target
                       : "no COM number reaches it";
}

std::vector<PortEntry> gather(const Machine& machine) {
    std::vector<PortEntry> entries;
    std::set<std::string> reached;
    std::set<int> used;
    for (int com = 1; com <= COM_COUNT; ++com) {
        std::optional<PortEntry> entry = com_entry(machine, com);
        if (!entry) continue;
        if (!entry->device.empty()) reached.insert(tty_name_of(machine, entry->device));
        used.insert(com);
        entries.push_back(std::move(*entry));
    }
    int nextCom = 1;
    for (const Hardware& h : machine.hardware()) {
        if (reached.count(h.name) != 0) continue;
        while (nextCom <= COM_COUNT && used.count(nextCom) != 0) ++nextCom;
        PortEntry entry;
        entry.device = "/dev/" + h.name;
        describe_device(machine, entry);
        entry.hint = mapping_hint(machine, h, nextCom <= COM_COUNT ? nextCom : 0);
        if (nextCom <= COM_COUNT) used.insert(nextCom);
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool parse_ports_options(const std::vector<std::string>& args, PortsOptions& options) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            options.json = true;
        } else if (args[i] == "--root" && i + 1 < args.size()) {
            options.root = args[++i];
            while (options.root.size() > 1 && options.root.back() == '/') options.root.pop_back();
            if (options.root == "/") options.root.clear();
        } else {
            std::fprintf(stderr, "tarvo ports: unexpected '%s' (see tarvo ports --help)\n", args[i].c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int ports_main(const std::vector<std::string>& args) {
    PortsOptions options;
    if (!parse_ports_options(args, options)) return EXIT_USAGE;
    const Machine machine(options.root);
    const std::vector<PortEntry> entries = gather(machine);
    std::fputs((options.json ? ports_json(entries) : ports_text(entries)).c_str(), stdout);
    std::fflush(stdout);
    return EXIT_OK;
}

}  // namespace tarvo::tool
