// The trace view: a log written under TARVO_TRACE read back into what a
// person debugging an instrument asks of it: per port, each request and the
// answer that followed, the bytes a purge threw away unread, the errors and
// the requests that got no answer.
#ifndef TARVO_TOOLS_TRACE_VIEW_H
#define TARVO_TOOLS_TRACE_VIEW_H

#include <cstdint>
#include <istream>
#include <map>
#include <string>
#include <vector>

namespace tarvo::tool {

struct Exchange {
    int number = 0;              // 1, 2, ... on its port
    std::uint64_t sent = 0;      // when the request's write ended (us)
    std::string request;         // the bytes written
    int asked = 0;               // the count the write asked for
    std::string answer;          // the bytes read until the next request
    std::uint64_t answered = 0;  // when the read that took the answer's last byte ended
    bool has_answer() const { return !answer.empty(); }
    std::uint64_t latency() const { return answered - sent; }
};

// Bytes a purge threw away: by the write of exchange `byExchange`, or by
// the call `by` (a flush).
struct Discard {
    std::uint64_t at = 0;
    unsigned long count = 0;
    int byExchange = 0;  // 0: not a write
    std::string by;
};

// A call that failed or a device call that did, as the log line says it.
struct Trouble {
    std::uint64_t at = 0;
    std::string text;
};

struct PortView {
    std::vector<Exchange> exchanges;
    std::vector<Discard> discards;
    std::vector<Trouble> errors;
    std::vector<Trouble> timeouts;  // writes cut short
    std::string unsolicited;        // bytes read before the first request
    std::uint64_t first = 0, last = 0;
};

struct TraceView {
    std::map<int, PortView> ports;
    int lines = 0;
    std::vector<std::string> notes;      // the log's own notes ("trace stopped: ...")
    std::vector<std::string> malformed;  // lines that are no trace line
};

TraceView read_trace(std::istream& log);
// The report `tarvo trace FILE` prints.
std::string trace_report(const TraceView& view);
// The same as an SVG timeline, a lane per port.
std::string trace_svg(const TraceView& view);

int trace_main(const std::vector<std::string>& args);
extern const char TRACE_HELP[];

}  // namespace tarvo::tool

#endif
