// What `tarvo ports` found, and its two forms: lines for people, JSON for
// scripts. Each platform gathers the entries its own way.
#ifndef TARVO_TOOLS_PORTS_REPORT_H
#define TARVO_TOOLS_PORTS_REPORT_H

#include <optional>
#include <string>
#include <vector>

namespace tarvo::tool {

struct UsbFacts {
    std::string vid, pid, serial, manufacturer, product, interfaceNumber;  // "interface" is a macro in windows.h
};

struct PortEntry {
    int com = 0;          // 0: no COM number reaches this device
    std::string device;   // what is opened; empty when the mapping reaches nothing
    std::string mapping;  // the mapping as written (TARVO_COM<n>, registry); empty: the default
    std::string state;    // the status as a fixed word for scripts: free, busy, not found, ...
    std::string status;   // the status in words: free, busy: ..., permission denied ..., not found, ...
    std::optional<UsbFacts> usb;
    std::vector<std::string> byId;
    std::string driver;
    std::string hint;  // what to do next, for people only
};

// `text` with control codes (C0, DEL, C1 in UTF-8 or raw) and bytes that
// are no UTF-8 escaped (\x1b), safe on a terminal.
std::string printable(const std::string& text);
// `text` as one word for a POSIX shell: as it is where that is safe, else
// in single quotes.
std::string shell_word(const std::string& text);

std::string ports_text(const std::vector<PortEntry>& entries);
std::string ports_json(const std::vector<PortEntry>& entries);

}  // namespace tarvo::tool

#endif
