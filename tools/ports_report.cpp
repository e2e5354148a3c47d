#include "ports_report.h"

#include <algorithm>
#include <cstdio>

namespace tarvo::tool {
namespace {

// The length of the well-formed UTF-8 sequence at `text[at]` (no overlong
// form, no surrogate, nothing past U+10FFFF) and its code point; 0 when the
// byte there begins none.
std::size_t utf8_sequence(const std::string& text, std::size_t at, unsigned& code) {
    const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    if (lead < 0x80) return code = lead, 1;
    const std::size_t length = lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3
                             : lead >= 0xf0 && lead <= 0xf4 ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    code = lead & (0x7f >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) return 0;
        code = (code << 6) | (byte(at + i) & 0x3f);
    }
    static const unsigned LEAST[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < LEAST[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return 0;
    return length;
}

// C0, DEL and C1: a terminal acts on them (0x9b and U+009B start a control
// sequence as ESC [ does).
bool is_control_code(unsigned code) { return code < 0x20 || (code >= 0x7f && code <= 0x9f); }

// Bytes that are no UTF-8 go as lone surrogates U+DC80..U+DCFF, which a
// reader can turn back into the bytes (Python: surrogateescape); the output
// is valid UTF-8 whatever the input.
std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        unsigned code = 0;
        const std::size_t length = utf8_sequence(text, at, code);
        char escaped[8];
        if (length == 0) {
            std::snprintf(escaped, sizeof escaped, "\\udc%02x", static_cast<unsigned char>(text[at]));
            out += escaped;
            ++at;
            continue;
        }
        if (code == '"' || code == '\\') {
            out += '\\';
            out += static_cast<char>(code);
        } else if (is_control_code(code)) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", code);
            out += escaped;
        } else {
            out.append(text, at, length);
        }
        at += length;
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
    for (std::size_t at = 0; at < text.size();) {
        unsigned code = 0;
        std::size_t length = utf8_sequence(text, at, code);
        if (length > 0 && !is_control_code(code)) {
            out.append(text, at, length);
        } else {
            // Each byte of a control code, and a byte that is no UTF-8.
            for (std::size_t i = 0; i < std::max<std::size_t>(length, 1); ++i) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(text[at + i]));
                out += escaped;
            }
        }
        at += std::max<std::size_t>(length, 1);
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
