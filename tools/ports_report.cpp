#include "ports_report.h"

#include <cstdio>

namespace tarvo::tool {
namespace {

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string json_or_null(const std::string& text) { return text.empty() ? "null" : json_string(text); }

std::string json_usb(const std::optional<UsbFacts>& usb) {
    if (!usb) return "null";
    return "{\"vid\": " + json_or_null(usb->vid) + ", \"pid\": " + json_or_null(usb->pid) +
           ", \"serial\": " + json_or_null(usb->serial) + ", \"manufacturer\": " + json_or_null(usb->manufacturer) +
           ", \"product\": " + json_or_null(usb->product) +
           ", \"interface\": " + json_or_null(usb->interfaceNumber) + "}";
}

std::string json_list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) out += (i > 0 ? ", " : "") + json_string(items[i]);
    return out + "]";
}

std::string usb_line(const UsbFacts& usb) {
    std::string line = "USB " + usb.vid + ":" + usb.pid;
    if (!usb.serial.empty()) line += " serial " + usb.serial;
    if (!usb.manufacturer.empty()) line += ", " + usb.manufacturer;
    if (!usb.product.empty()) line += ", " + usb.product;
    if (!usb.interfaceNumber.empty()) line += ", interface " + usb.interfaceNumber;
    return line;
}

}  // namespace

std::string printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string shell_word(const std::string& text) {
    static const char SAFE[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-+=/:.,@%";
    if (!text.empty() && text.find_first_not_of(SAFE) == std::string::npos) return text;
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string ports_text(const std::vector<PortEntry>& entries) {
    if (entries.empty()) return "No serial device found and no COM number mapped.\n";
    std::string out;
    const std::string indent(7, ' ');
    for (const PortEntry& e : entries) {
        char head[64];
        std::snprintf(head, sizeof head, "%-6s ", e.com > 0 ? ("COM" + std::to_string(e.com)).c_str() : "-");
        char device[64];
        std::snprintf(device, sizeof device, "%-14s", e.device.empty() ? "(no device)" : printable(e.device).c_str());
        out += head + std::string(device) + "  " + printable(e.status) + "\n";
        if (!e.mapping.empty()) out += indent + "mapped as " + printable(e.mapping) + "\n";
        std::string facts = e.usb ? usb_line(*e.usb) : "";
        if (!e.driver.empty()) facts += (facts.empty() ? "driver " : ", driver ") + e.driver;
        if (!facts.empty()) out += indent + printable(facts) + "\n";
        for (const std::string& name : e.byId) out += indent + printable(name) + "\n";
        if (!e.hint.empty()) out += indent + printable(e.hint) + "\n";
    }
    return out;
}

std::string ports_json(const std::vector<PortEntry>& entries) {
    std::string out = "[";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const PortEntry& e = entries[i];
        out += i > 0 ? ",\n " : "\n ";
        out += "{\"com\": " + (e.com > 0 ? std::to_string(e.com) : std::string("null")) +
               ", \"device\": " + json_or_null(e.device) + ", \"mapping\": " + json_or_null(e.mapping) +
               ", \"status\": " + json_string(e.state) + ", \"usb\": " + json_usb(e.usb) +
               ", \"by_id\": " + json_list(e.byId) + ", \"driver\": " + json_or_null(e.driver) +
               ", \"detail\": " + json_string(e.status) + "}";
    }
    return out + (entries.empty() ? "]\n" : "\n]\n");
}

}  // namespace tarvo::tool
