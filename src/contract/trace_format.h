// The words of a trace line that both the library (which writes them) and the
// tool's trace view (which reads them) rely on. A line reads
//
//   <start> +<duration> t<thread> p<port> <call>(<arguments>) = <result>[ <code name>][ ; <fact>]...
//
// times in microseconds since the library loaded; a fact carrying bytes
// ("wrote N: 41 42 |AB|", "read N: ...") is always the line's last.
// Lines starting with TRACE_COMMENT are notes about the log itself.
#ifndef TARVO_CONTRACT_TRACE_FORMAT_H
#define TARVO_CONTRACT_TRACE_FORMAT_H

#include <cstdint>

namespace tarvo::contract {

constexpr char TRACE_COMMENT = '#';
constexpr const char TRACE_FACT_SEPARATOR[] = " ; ";
constexpr const char TRACE_WROTE[] = "wrote";             // "wrote N: hex |printable|"
constexpr const char TRACE_READ[] = "read";               // "read N: hex |printable|"
constexpr const char TRACE_DISCARDED[] = "discarded";     // "discarded N unread": bytes a purge threw away
constexpr const char TRACE_FAILED[] = "failed:";          // "<DeviceCall> failed: error N NAME"
constexpr const char TRACE_TARGET[] = "target";           // "target <path or URL>"
// The log stops growing past this size; its last line says so.
constexpr std::uint64_t TRACE_LIMIT_BYTES = 64ull * 1024 * 1024;
// Bytes of data shown on one line; the count is always the whole.
constexpr int TRACE_DATA_SHOWN = 256;

}  // namespace tarvo::contract

#endif
