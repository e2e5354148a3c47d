// A result line of `tarvo run`: `VALUE[ NAME][ "escaped" x:HEX]`.
#ifndef TARVO_CONFORMANCE_REPLY_H
#define TARVO_CONFORMANCE_REPLY_H

#include <climits>
#include <string>

namespace tarvo::conformance {

struct Reply {
    int value = INT_MIN;  // INT_MIN: no result or not a number
    bool hasBytes = false;
    std::string bytes;  // decoded from the x: part
    std::string text;   // the whole line
};

inline int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline Reply parse_reply(const std::string& line) {
    Reply reply;
    reply.text = line;
    try {
        std::size_t used = 0;
        const long value = std::stol(line, &used);
        if (used > 0 && value >= INT_MIN && value <= INT_MAX) reply.value = static_cast<int>(value);
    } catch (const std::exception&) {
        return reply;
    }
    const std::size_t hex = line.rfind(" x:");
    if (hex == std::string::npos) return reply;
    reply.hasBytes = true;
    for (std::size_t i = hex + 3; i + 1 < line.size(); i += 2)
        reply.bytes += static_cast<char>(hex_digit(line[i]) * 16 + hex_digit(line[i + 1]));
    return reply;
}

}  // namespace tarvo::conformance

#endif
