#include "script.h"

#include <cstdint>

#include "text.h"

namespace tarvo::tool {
namespace {

// Argument kinds, one letter each in CommandShape::args: the shapes of the
// library's functions (tarvo_contract.h), where
//   p, i  any 32-bit integer (ports, modes, rates: the library judges them)
//   o n   a buffer filled, and its length: a byte count 0..MAX_TRANSFER
//   d n   data sent, and its length: "quoted text" or x:HEX
// and the script's own commands, which add
//   m     milliseconds 0..MAX_MILLIS
// A shape with `lastOptional` may be written without its last argument.
struct CommandShape {
    const char* name;
    Op op;
    const char* args;
    const char* usage;
    bool lastOptional = false;
};

// The library's functions by their names without "sio_", then wait and sleep.
const CommandShape COMMANDS[] = {
#define TARVO_COMMAND(function, tag, shape, parameters, usage) {#function + 4, Op::tag, shape, usage},
    TARVO_CONTRACT_FUNCTIONS(TARVO_COMMAND)
#undef TARVO_COMMAND
    {"wait", Op::Wait, "inmm", "PORT COUNT MS [GAP]", true},
    {"sleep", Op::Sleep, "m", "MS"},
};

// The words a command line takes for a shape: a buffer is never written,
// and data brings its own length.
std::string script_kinds(const char* shape) {
    std::string kinds;
    for (const char* c = shape; *c != '\0'; ++c) {
        if (*c == 'o' || (*c == 'n' && c != shape && c[-1] == 'd')) continue;
        kinds += *c == 'p' ? 'i' : *c;
    }
    return kinds;
}

struct Token {
    std::string text;     // decoded bytes for a quoted token
    bool quoted = false;
};

bool is_space(char c) { return c == ' ' || c == '\t'; }

bool is_control(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ascii_equal_nocase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return i == a.size() && b[i] == '\0';
}

// Decodes one escape after a backslash at line[pos]; advances pos past it.
bool decode_escape(const std::string& line, std::size_t& pos, std::string& out, std::string& error) {
    if (pos + 1 >= line.size()) {
        error = "unterminated string";
        return false;
    }
    const char e = line[pos + 1];
    pos += 2;
    switch (e) {
        case 'r': out += '\r'; return true;
        case 'n': out += '\n'; return true;
        case 't': out += '\t'; return true;
        case '0': out += '\0'; return true;
        case '\\': out += '\\'; return true;
        case '"': out += '"'; return true;
        case 'x': {
            const int hi = pos < line.size() ? hex_value(line[pos]) : -1;
            const int lo = pos + 1 < line.size() ? hex_value(line[pos + 1]) : -1;
            if (hi < 0 || lo < 0) {
                error = "\\x needs two hex digits";
                return false;
            }
            out += static_cast<char>(hi * 16 + lo);
            pos += 2;
            return true;
        }
        default:
            error = "unknown escape \\" + escape_bytes(std::string(1, e)) + " (use \\r \\n \\t \\0 \\\\ \\\" \\xHH)";
            return false;
    }
}

bool read_quoted(const std::string& line, std::size_t& pos, Token& token, std::string& error) {
    token.quoted = true;
    ++pos;  // opening quote
    while (pos < line.size()) {
        const char c = line[pos];
        if (c == '"') {
            ++pos;
            if (pos < line.size() && !is_space(line[pos]) && line[pos] != '#') {
                error = "text after a closing quote";
                return false;
            }
            return true;
        }
        if (c == '\\') {
            if (!decode_escape(line, pos, token.text, error)) return false;
            continue;
        }
        if (is_control(c)) {
            error = "control byte in a string (write it as an escape)";
            return false;
        }
        token.text += c;
        ++pos;
    }
    error = "unterminated string";
    return false;
}

// Splits a line into tokens; `#` at the start of a token begins a comment.
bool tokenize(const std::string& line, std::vector<Token>& tokens, std::string& error) {
    std::size_t pos = 0;
    while (true) {
        while (pos < line.size() && is_space(line[pos])) ++pos;
        if (pos >= line.size() || line[pos] == '#') return true;
        Token token;
        if (line[pos] == '"') {
            if (!read_quoted(line, pos, token, error)) return false;
        } else {
            while (pos < line.size() && !is_space(line[pos])) token.text += line[pos++];
        }
        tokens.push_back(std::move(token));
    }
}

// Decimal or 0x hex, optionally negative, within [low, high].
bool parse_integer(const std::string& text, std::int64_t low, std::int64_t high, int& value) {
    std::size_t pos = 0;
    const bool negative = !text.empty() && text[0] == '-';
    if (negative) ++pos;
    int base = 10;
    if (text.size() > pos + 1 && text[pos] == '0' && (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
        base = 16;
        pos += 2;
    }
    if (pos >= text.size()) return false;
    std::int64_t magnitude = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = hex_value(text[pos]);
        if (digit < 0 || digit >= base) return false;
        magnitude = magnitude * base + digit;
        if (magnitude > (std::int64_t{1} << 40)) return false;  // far outside any range; stops overflow
    }
    const std::int64_t result = negative ? -magnitude : magnitude;
    if (result < low || result > high) return false;
    value = static_cast<int>(result);
    return true;
}

bool parse_data(const Token& token, std::string& data, std::string& error) {
    if (token.quoted) {
        data = token.text;
    } else if (token.text.size() >= 2 && token.text[0] == 'x' && token.text[1] == ':') {
        const std::string digits = token.text.substr(2);
        if (digits.size() % 2 != 0) {
            error = "x: needs an even number of hex digits";
            return false;
        }
        data.clear();
        data.reserve(digits.size() / 2);
        for (std::size_t i = 0; i < digits.size(); i += 2) {
            const int hi = hex_value(digits[i]), lo = hex_value(digits[i + 1]);
            if (hi < 0 || lo < 0) {
                error = "x: takes only hex digits";
                return false;
            }
            data += static_cast<char>(hi * 16 + lo);
        }
    } else {
        error = "data must be \"quoted text\" or x:HEX";
        return false;
    }
    if (data.size() > static_cast<std::size_t>(MAX_TRANSFER)) {
        error = "data longer than " + std::to_string(MAX_TRANSFER) + " bytes";
        return false;
    }
    return true;
}

bool parse_argument(char kind, const Token& token, Command& command, std::string& error) {
    if (kind == 'd') return parse_data(token, command.data, error);
    std::int64_t low = INT32_MIN, high = INT32_MAX;
    std::string what = "a 32-bit integer";
    if (kind == 'n') {
        low = 0;
        high = MAX_TRANSFER;
        what = "a count from 0 to " + std::to_string(MAX_TRANSFER);
    } else if (kind == 'm') {
        low = 0;
        high = MAX_MILLIS;
        what = "milliseconds from 0 to " + std::to_string(MAX_MILLIS);
    }
    int value = 0;
    if (token.quoted || !parse_integer(token.text, low, high, value)) {
        error = "\"" + escape_shortened(token.text, 40) + "\" is not " + what;
        return false;
    }
    command.args.push_back(value);
    return true;
}

const CommandShape* find_command(const std::string& name) {
    for (const CommandShape& shape : COMMANDS)
        if (ascii_equal_nocase(name, shape.name)) return &shape;
    return nullptr;
}

ParsedLine malformed(std::string error) {
    ParsedLine parsed;
    parsed.kind = ParsedLine::Kind::Malformed;
    parsed.error = std::move(error);
    return parsed;
}

}  // namespace

ParsedLine parse_line(const std::string& line) {
    if (line.size() > MAX_LINE) return malformed("line longer than " + std::to_string(MAX_LINE) + " bytes");
    std::vector<Token> tokens;
    std::string error;
    if (!tokenize(line, tokens, error)) return malformed(error);
    if (tokens.empty()) return ParsedLine{};

    const CommandShape* shape = tokens[0].quoted ? nullptr : find_command(tokens[0].text);
    if (shape == nullptr) return malformed("unknown command \"" + escape_shortened(tokens[0].text, 40) + "\"");

    std::string kinds = script_kinds(shape->args);
    if (shape->lastOptional && tokens.size() == kinds.size()) kinds.pop_back();
    if (tokens.size() - 1 != kinds.size())
        return malformed(std::string("usage: ") + shape->name + " " + shape->usage);

    ParsedLine parsed;
    parsed.kind = ParsedLine::Kind::Command;
    parsed.command.op = shape->op;
    for (std::size_t i = 0; i < kinds.size(); ++i)
        if (!parse_argument(kinds[i], tokens[i + 1], parsed.command, error))
            return malformed(std::string(shape->name) + ": " + error);
    return parsed;
}

std::string command_text(const Command& command) {
    std::string text;
    for (const CommandShape& shape : COMMANDS)
        if (shape.op == command.op) text = shape.name;
    for (std::size_t i = 0; i < command.args.size(); ++i) {
        text += ' ' + std::to_string(command.args[i]);
        if (command.op == Op::Write && i == 0) text += " \"" + escape_bytes(command.data) + "\"";
    }
    return text;
}

std::vector<std::string> command_synopses() {
    std::vector<std::string> lines;
    for (const CommandShape& shape : COMMANDS) lines.push_back(std::string(shape.name) + " " + shape.usage);
    return lines;
}

}  // namespace tarvo::tool
