// `tarvo ports`: which device each COM number reaches here, and whether the
// library can open it right now.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "device/posix/com_mapping.h"
#include "tarvo.h"
#include "text.h"

namespace tarvo::tool {
namespace {

namespace fs = std::filesystem;

constexpr int COM_COUNT = 16;

struct ComMapping {
    int com;
    std::string device;
    bool fromEnvironment;
};

// The library's own rule; a default device is listed only where it exists.
std::vector<ComMapping> current_mappings() {
    std::vector<ComMapping> mappings;
    auto target = std::make_unique<posix::ComTarget>();
    for (int com = 1; com <= COM_COUNT; ++com) {
        const char* mapping = posix::mapping_of(com);
        if (!posix::resolve_com(com, mapping, *target)) continue;
        std::error_code ignored;
        if (mapping == nullptr && !fs::exists(target->device, ignored)) continue;
        mappings.push_back({com, target->device, mapping != nullptr});
    }
    return mappings;
}

// Opens and closes the port through the library; the text says how it went.
std::string try_open(int com) {
    sio_setComPortNo(com, -1);
    const int opened = sio_open(com);
    if (opened < 0) return "cannot be opened now (" + format_result(opened) + ")";
    const int closed = sio_close(com);
    if (closed < 0) return "opened, but closing failed (" + format_result(closed) + ")";
    return "can be opened";
}

std::vector<std::string> usb_serial_devices() {
    std::vector<std::string> found;
    std::error_code error;
    for (fs::directory_iterator it("/dev", error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind("ttyUSB", 0) == 0 || name.rfind("ttyACM", 0) == 0) found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}

int first_unmapped_com(const std::vector<ComMapping>& mappings, int after) {
    for (int com = after + 1; com <= COM_COUNT; ++com)
        if (std::none_of(mappings.begin(), mappings.end(), [com](const ComMapping& m) { return m.com == com; }))
            return com;
    return 0;
}

}  // namespace

const char PORTS_HELP[] =
    "usage: tarvo ports\n"
    "\n"
    "Lists COM1..COM16 as this machine maps them: TARVO_COM<n> if it is set,\n"
    "otherwise /dev/ttyS<n-1> where that exists, and tries to open each one.\n"
    "Also suggests USB serial adapters (/dev/ttyUSB*, /dev/ttyACM*).\n";

int ports_main(const std::vector<std::string>&) {
    const std::vector<ComMapping> mappings = current_mappings();
    if (mappings.empty()) std::printf("No COM number reaches a device (no TARVO_COM<n>, no /dev/ttyS<n>).\n");
    for (const ComMapping& m : mappings) {
        std::printf("COM%-2d %-20s %-12s %s\n", m.com, m.device.c_str(), m.fromEnvironment ? "(TARVO_COM)" : "(default)",
                    try_open(m.com).c_str());
    }

    const std::vector<std::string> usb = usb_serial_devices();
    int com = 0;
    for (const std::string& device : usb) {
        const bool mapped = std::any_of(mappings.begin(), mappings.end(),
                                        [&device](const ComMapping& m) { return m.device == device; });
        if (mapped) continue;
        com = first_unmapped_com(mappings, com);
        if (com == 0) break;
        std::printf("suggestion: TARVO_COM%d=%s\n", com, device.c_str());
    }
    std::fflush(stdout);
    return EXIT_OK;
}

}  // namespace tarvo::tool
