// Text forms shared by the tool's output and its error messages.
#ifndef TARVO_TOOLS_TEXT_H
#define TARVO_TOOLS_TEXT_H

#include <cstddef>
#include <string>

namespace tarvo::tool {

// Bytes as a C-like string body: printable ASCII as is, \r \n \t \\ \" and
// \xHH for everything else. The result is pure printable ASCII.
std::string escape_bytes(const std::string& bytes);

// Like escape_bytes, but cut after `limit` input bytes with "..." appended.
std::string escape_shortened(const std::string& bytes, std::size_t limit);

// Lower-case hex digits, two per byte, no separators.
std::string to_hex(const std::string& bytes);

// "ERR_NOT_OPEN" for -20004 and so on; nullptr for any other value.
const char* result_code_name(int code);

// One result line (without newline): the value, its code name if it is
// one, and for received bytes `"escaped" x:hex`.
std::string format_result(int value);
std::string format_result(int value, const std::string& bytes);

}  // namespace tarvo::tool

#endif
