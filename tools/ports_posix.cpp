// `tarvo ports` on Linux: a printer over the library's listing, with what to
// do next where a device has no COM number.
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "ports_report.h"
#include "tarvo_ext.h"

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
    "No device is changed; the system console is never opened, nor offered.\n"
    "\n"
    "A mapping TARVO_COM<n>=usb:VVVV:PPPP or usb:VVVV:PPPP:SERIAL (hex ids)\n"
    "reaches the USB serial device with those ids wherever it was plugged in;\n"
    "ports says when none matches or more than one does. A mapping\n"
    "rfc2217://HOST:PORT or tcp://HOST:PORT (optionally ?timeout=MS) reaches a\n"
    "port served over the network (RFC 2217, or raw TCP for data alone); ports\n"
    "says whether its server takes a connection, and only connects.\n"
    "\n"
    "  --json      the same as a JSON array, one object a device: com, device,\n"
    "              mapping, status (one of free, busy, no access, console,\n"
    "              not found, not serial, network, bad mapping, unreachable),\n"
    "              usb {vid, pid, serial, manufacturer, product, interface},\n"
    "              by_id, driver, detail (the status in words); null where\n"
    "              there is none. Valid UTF-8: a byte that is no UTF-8 is\n"
    "              \\udcHH (Python's surrogateescape turns it back)\n"
    "  --root DIR  read DIR/sys, DIR/dev and DIR/proc instead of /sys, /dev, /proc\n"
    "\n"
    "exit status: 0 listed; 2 a bad command line.\n";

namespace {

constexpr int COM_COUNT = 16;

struct PortsOptions {
    bool json = false;
    std::string root;  // empty: this machine
};

std::vector<tarvo_port_info> list_ports(const std::string& root) {
    std::vector<tarvo_port_info> ports(COM_COUNT + 16);
    for (;;) {
        const int count = tarvo_list_ports_at(root.c_str(), ports.data(), static_cast<int>(ports.size()));
        if (count <= static_cast<int>(ports.size())) {
            ports.resize(static_cast<std::size_t>(count > 0 ? count : 0));
            return ports;
        }
        ports.resize(static_cast<std::size_t>(count));  // devices came meanwhile: ask again
    }
}

bool same_usb(const tarvo_port_info& a, const tarvo_port_info& b, bool withSerial) {
    return std::string(a.usb_vid) == b.usb_vid && std::string(a.usb_pid) == b.usb_pid &&
           (!withSerial || std::string(a.usb_serial) == b.usb_serial);
}

// A suggestion is shown escaped; one that needs escaping cannot be copied.
bool copyable(const std::string& text) { return !text.empty() && printable(text) == text; }

// Whether the ids, with the serial number or without, name `port` alone.
bool names_alone(const std::vector<tarvo_port_info>& ports, const tarvo_port_info& port, bool withSerial) {
    int matches = 0;
    for (const tarvo_port_info& other : ports)
        if (other.usb_vid[0] != '\0' && same_usb(other, port, withSerial)) ++matches;
    return matches == 1;
}

// How to give a device a COM number: by its ids (with its serial number
// where it has one that can be typed) where they name it alone, else by its
// by-id name, else by its path.
std::string mapping_target(const std::vector<tarvo_port_info>& ports, const tarvo_port_info& port) {
    if (port.usb_vid[0] != '\0') {
        const std::string ids = std::string("usb:") + port.usb_vid + ":" + port.usb_pid;
        const std::string withSerial = ids + ":" + port.usb_serial;
        if (port.usb_serial[0] != '\0' && copyable(withSerial) && names_alone(ports, port, true)) return withSerial;
        if (copyable(ids) && names_alone(ports, port, false)) return ids;
        if (copyable(port.by_id)) return port.by_id;
    }
    return port.device;
}

PortEntry entry_of(const tarvo_port_info& port) {
    PortEntry entry;
    entry.com = port.com;
    entry.device = port.device;
    entry.mapping = port.mapping;
    entry.state = tarvo_port_status_text(port.status);
    entry.status = port.detail;
    entry.driver = port.driver;
    if (port.by_id[0] != '\0') entry.byId.push_back(port.by_id);
    if (port.usb_vid[0] != '\0')
        entry.usb = UsbFacts{port.usb_vid, port.usb_pid, port.usb_serial, port.usb_manufacturer, port.usb_product,
                             port.usb_interface};
    return entry;
}

std::vector<PortEntry> gather(const std::vector<tarvo_port_info>& ports) {
    std::set<int> used;
    for (const tarvo_port_info& port : ports)
        if (port.com > 0) used.insert(port.com);
    std::vector<PortEntry> entries;
    int nextCom = 1;
    for (const tarvo_port_info& port : ports) {
        PortEntry entry = entry_of(port);
        if (port.com == 0 && port.status != TARVO_PORT_CONSOLE) {
            while (nextCom <= COM_COUNT && used.count(nextCom) != 0) ++nextCom;
            entry.hint = "no COM number reaches it";
            if (nextCom <= COM_COUNT) {
                entry.hint += "; for example TARVO_COM" + std::to_string(nextCom) + "=" +
                              shell_word(mapping_target(ports, port));
                used.insert(nextCom);
            }
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool parse_ports_options(const std::vector<std::string>& args, PortsOptions& options) {
    const std::vector<Option> table = {
        {"--json", nullptr, false, [&options](const std::string&) { return options.json = true, true; }},
        {"--root", nullptr, true, [&options](const std::string& v) { return options.root = v, true; }},
    };
    std::vector<std::string> operands;
    std::string error;
    if (parse_arguments(args, table, operands, error) && operands.empty()) return true;
    std::fprintf(stderr, "tarvo ports: %s (see tarvo ports --help)\n",
                 error.empty() ? ("unexpected '" + operands[0] + "'").c_str() : error.c_str());
    return false;
}

}  // namespace

int ports_main(const std::vector<std::string>& args) {
    PortsOptions options;
    if (!parse_ports_options(args, options)) return EXIT_USAGE;
    const std::vector<PortEntry> entries = gather(list_ports(options.root));
    std::fputs((options.json ? ports_json(entries) : ports_text(entries)).c_str(), stdout);
    std::fflush(stdout);
    return EXIT_OK;
}

}  // namespace tarvo::tool
