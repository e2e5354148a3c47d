// `tarvo ports` on Windows: the COM ports Windows knows, from
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM (value: the driver's device name, data:
// the port's name), and whether each would open now. The port is opened
// without any change to its settings and closed at once. Under Wine, also
// the Linux device behind each COM number: mapped in
// HKLM\Software\Wine\Ports, or given by Wine itself (its dosdevices links).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "ports_report.h"

namespace tarvo::tool {

const char PORTS_HELP[] =
    "usage: tarvo ports [--json]\n"
    "\n"
    "Lists the COM ports Windows knows (HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM)\n"
    "and whether each would open now: free, busy: held by another program,\n"
    "permission denied, not found. No port is changed. Under Wine it names the\n"
    "Linux device behind each COM number, and whether a value of\n"
    "HKLM\\Software\\Wine\\Ports maps it or Wine gave it by itself (Wine gives\n"
    "free COM numbers to the serial devices it finds: /dev/ttyS0 may be the\n"
    "system console, so such a number is named but not opened).\n"
    "\n"
    "  --json  the same as a JSON array, one object a port: com, device,\n"
    "          mapping (the driver's device name), status, usb, by_id, driver\n"
    "\n"
    "exit status: 0 listed; 2 a bad command line.\n";

namespace {

struct KnownPort {
    int com = 0;
    std::string name;    // COM7
    std::string driver;  // the registry value's name, e.g. \Device\Serial0
};

// "COM7" -> 7; 0 for a name of another form.
int com_number_of(const std::string& name) {
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) return 0;
    int number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || number > 100000) return 0;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

// The values of a registry key under HKLM whose data are strings: name -> data.
std::vector<std::pair<std::string, std::string>> string_values(const char* path) {
    std::vector<std::pair<std::string, std::string>> values;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return values;
    for (DWORD index = 0;; ++index) {
        char value[256];
        BYTE data[512];
        DWORD valueSize = sizeof value, dataSize = sizeof data - 1, type = 0;
        const LONG result = RegEnumValueA(key, index, value, &valueSize, nullptr, &type, data, &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataSize] = 0;
        values.emplace_back(value, reinterpret_cast<const char*>(data));
    }
    RegCloseKey(key);
    return values;
}

std::vector<KnownPort> known_ports() {
    std::vector<KnownPort> ports;
    for (const auto& [value, name] : string_values("HARDWARE\\DEVICEMAP\\SERIALCOMM"))
        ports.push_back({com_number_of(name), name, value});
    std::sort(ports.begin(), ports.end(), [](const KnownPort& a, const KnownPort& b) { return a.com < b.com; });
    return ports;
}

bool under_wine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Where Wine keeps the link it made for the port (PREFIX/dosdevices/comN);
// its target cannot be read from here. Empty outside Wine.
std::string wine_link_of(const std::string& name) {
    using UnixName = char*(CDECL*)(const WCHAR*);
    const auto unix_name = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (unix_name == nullptr) return "";
    WCHAR wide[32];
    MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, wide, 32);
    char* path = unix_name(wide);
    if (path == nullptr) return "";
    std::string link = path;
    HeapFree(GetProcessHeap(), 0, path);
    return link;
}

// The Linux device behind a COM port under Wine, and who chose it; empty
// when Wine has nothing behind the number.
std::string wine_words(const std::string& name, const std::vector<std::pair<std::string, std::string>>& mapped,
                       bool& wineChose) {
    wineChose = false;
    for (const auto& [value, device] : mapped)
        if (_stricmp(value.c_str(), name.c_str()) == 0)
            return "Wine: " + device + " (mapped in HKLM\\Software\\Wine\\Ports)";
    char target[512] = "";
    if (QueryDosDeviceA(name.c_str(), target, sizeof target) == 0) return "";
    wineChose = true;
    return "Wine gave this number by itself to the device its link names (ls -l " + wine_link_of(name) +
           "), perhaps the system console: not opened; map " + name + " in HKLM\\Software\\Wine\\Ports to choose";
}

// Opening a port and reading its settings change nothing on it; the open's
// error says why not. A port whose settings cannot be read is no serial
// device (Wine opens a COM name whose device is missing).
std::string open_words(const std::string& device) {
    const HANDLE port =
        CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port != INVALID_HANDLE_VALUE) {
        DCB settings{};
        settings.DCBlength = sizeof settings;
        const bool serial = GetCommState(port, &settings) != 0;
        CloseHandle(port);
        return serial ? "free" : "not a serial device";
    }
    switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND: return "not found";
        // A COM port in use by another program refuses every further open so.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return "busy: held by another program";
        default: return "cannot be opened (error " + std::to_string(GetLastError()) + ")";
    }
}

// The fixed word for scripts, as the Linux listing has them.
std::string state_of(const std::string& words) {
    if (words == "free") return "free";
    if (words == "not found") return "not found";
    if (words == "not a serial device") return "not serial";
    if (words.rfind("busy", 0) == 0) return "busy";
    if (words.rfind("not checked", 0) == 0) return "not checked";
    return "no access";
}

}  // namespace

int ports_main(const std::vector<std::string>& args) {
    bool json = false;
    const std::vector<Option> table = {{"--json", nullptr, false, [&json](const std::string&) { return json = true, true; }}};
    std::vector<std::string> operands;
    std::string error;
    if (!parse_arguments(args, table, operands, error) || !operands.empty()) {
        std::fprintf(stderr, "tarvo ports: %s (see tarvo ports --help)\n",
                     error.empty() ? ("unexpected '" + operands[0] + "'").c_str() : error.c_str());
        return EXIT_USAGE;
    }
    std::vector<KnownPort> ports = known_ports();
    const bool wine = under_wine();
    const auto wineMapped = wine ? string_values("Software\\Wine\\Ports") : decltype(string_values("")){};
    // A COM number Wine maps that the device map does not list yet.
    for (const auto& [value, device] : wineMapped) {
        const int com = com_number_of(value);
        if (com > 0 && std::none_of(ports.begin(), ports.end(), [com](const KnownPort& p) { return p.com == com; }))
            ports.push_back({com, "COM" + std::to_string(com), ""});
    }
    std::sort(ports.begin(), ports.end(), [](const KnownPort& a, const KnownPort& b) { return a.com < b.com; });
    std::vector<PortEntry> entries;
    for (const KnownPort& port : ports) {
        PortEntry entry;
        entry.com = port.com;
        entry.device = "\\\\.\\" + port.name;
        entry.mapping = port.driver;
        bool wineChose = false;
        if (wine) entry.hint = wine_words(port.name, wineMapped, wineChose);
        // A number Wine gave by itself may be the console: it is not opened.
        entry.status = wineChose ? "not checked: Wine chose its device" : open_words(entry.device);
        entry.state = state_of(entry.status);
        entries.push_back(std::move(entry));
    }
    std::fputs((json ? ports_json(entries) : ports_text(entries)).c_str(), stdout);
    std::fflush(stdout);
    return EXIT_OK;
}

}  // namespace tarvo::tool
