#include "text.h"

#include "tarvo.h"

namespace tarvo::tool {
namespace {

const char HEX_DIGITS[] = "0123456789abcdef";

void append_escaped(std::string& out, unsigned char c) {
    switch (c) {
        case '\r': out += "\\r"; return;
        case '\n': out += "\\n"; return;
        case '\t': out += "\\t"; return;
        case '\\': out += "\\\\"; return;
        case '"': out += "\\\""; return;
        default: break;
    }
    if (c >= 0x20 && c < 0x7f) {
        out += static_cast<char>(c);
    } else {
        out += "\\x";
        out += HEX_DIGITS[c >> 4];
        out += HEX_DIGITS[c & 0x0f];
    }
}

}  // namespace

std::string escape_bytes(const std::string& bytes) { return escape_shortened(bytes, bytes.size()); }

std::string escape_shortened(const std::string& bytes, std::size_t limit) {
    std::string out;
    const std::size_t shown = bytes.size() < limit ? bytes.size() : limit;
    out.reserve(shown + 8);
    for (std::size_t i = 0; i < shown; ++i) append_escaped(out, static_cast<unsigned char>(bytes[i]));
    if (shown < bytes.size()) out += "...";
    return out;
}

std::string to_hex(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        out += HEX_DIGITS[c >> 4];
        out += HEX_DIGITS[c & 0x0f];
    }
    return out;
}

const char* result_code_name(int code) {
    switch (code) {
        case ERR_BAD_PORT: return "ERR_BAD_PORT";
        case ERR_OPEN_FAILED: return "ERR_OPEN_FAILED";
        case ERR_SETUP_FAILED: return "ERR_SETUP_FAILED";
        case ERR_NOT_OPEN: return "ERR_NOT_OPEN";
        case ERR_CLOSE_FAILED: return "ERR_CLOSE_FAILED";
        case ERR_STATUS_FAILED: return "ERR_STATUS_FAILED";
        case ERR_NO_DATA: return "ERR_NO_DATA";
        case ERR_GET_STATE_FAILED: return "ERR_GET_STATE_FAILED";
        case ERR_SET_STATE_FAILED: return "ERR_SET_STATE_FAILED";
        case ERR_BAD_PARAMETER: return "ERR_BAD_PARAMETER";
        case ERR_PURGE_FAILED: return "ERR_PURGE_FAILED";
        default: return nullptr;
    }
}

std::string format_result(int value) {
    std::string line = std::to_string(value);
    if (const char* name = result_code_name(value)) {
        line += ' ';
        line += name;
    }
    return line;
}

std::string format_result(int value, const std::string& bytes) {
    return format_result(value) + " \"" + escape_bytes(bytes) + "\" x:" + to_hex(bytes);
}

}  // namespace tarvo::tool
