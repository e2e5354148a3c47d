#include "text.h"

#include "tarvo_contract.h"

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
#define TARVO_RESULT_CASE(value, name, text) case (value): return #name;
        TARVO_CONTRACT_RESULTS(TARVO_RESULT_CASE)
#undef TARVO_RESULT_CASE
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
