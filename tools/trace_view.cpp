#include "trace_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "commands.h"
#include "trace_format.h"
#include "text.h"

namespace tarvo::tool {

const char TRACE_HELP[] =
    "usage: tarvo trace FILE [--svg OUT]\n"
    "\n"
    "Reads a trace log (written by a program using the library with\n"
    "TARVO_TRACE=FILE, or by the trace build of Tarvo.dll) and prints per port:\n"
    "each request and the answer that followed it with its latency (from the\n"
    "end of the write to the end of the read that took the answer's last byte),\n"
    "the bytes discarded unread and by which write, the errors and time-outs\n"
    "(writes cut short, requests without an answer), and a summary: the number\n"
    "of exchanges and their minimum, median (the lower middle) and maximum latency.\n"
    "--svg OUT also draws it as a timeline per port into OUT (for a browser).\n";

namespace {

namespace contract = tarvo::contract;

// One line of the log, split.
struct Line {
    std::uint64_t start = 0, duration = 0;
    int port = 0;
    std::string call;  // the call's name
    std::string text;  // the call with its arguments
    int result = 0;
    std::vector<std::string> facts;
    std::string data;  // the bytes of a "wrote"/"read" fact
    std::uint64_t end() const { return start + duration; }
};

bool starts_with(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// "N: 41 42 |AB|": the bytes from the hex (the count beyond the shown ones is lost).
std::string bytes_of(const std::string& fact) {
    std::string bytes;
    const std::size_t colon = fact.find(':');
    if (colon == std::string::npos) return bytes;
    std::istringstream hex(fact.substr(colon + 1));
    std::string word;
    while (hex >> word && word[0] != '|') bytes += static_cast<char>(std::strtoul(word.c_str(), nullptr, 16));
    return bytes;
}

bool parse_line(const std::string& raw, Line& line) {
    unsigned long long start = 0, duration = 0;
    unsigned long thread = 0;
    int port = 0, used = 0;
    if (std::sscanf(raw.c_str(), "%llu +%llu t%lu p%d %n", &start, &duration, &thread, &port, &used) != 4) return false;
    line.start = start;
    line.duration = duration;
    line.port = port;
    const std::string rest = raw.substr(static_cast<std::size_t>(used));
    const std::size_t equals = rest.find(") = ");
    const std::size_t paren = rest.find('(');
    if (equals == std::string::npos || paren == std::string::npos || paren > equals) return false;
    line.call = rest.substr(0, paren);
    line.text = rest.substr(0, equals + 1);
    line.result = std::atoi(rest.c_str() + equals + 4);
    // Facts follow the separators; the data fact runs to the end of the line.
    const std::string separator = contract::TRACE_FACT_SEPARATOR;
    std::size_t at = rest.find(separator, equals);
    while (at != std::string::npos) {
        const std::size_t from = at + separator.size();
        const std::string tail = rest.substr(from);
        if (starts_with(tail, std::string(contract::TRACE_WROTE) + " ") ||
            starts_with(tail, std::string(contract::TRACE_READ) + " ")) {
            line.facts.push_back(tail);
            line.data = bytes_of(tail);
            break;
        }
        const std::size_t next = rest.find(separator, from);
        line.facts.push_back(rest.substr(from, next == std::string::npos ? std::string::npos : next - from));
        at = next;
    }
    return true;
}

unsigned long discarded_by(const Line& line) {
    const std::string word = std::string(contract::TRACE_DISCARDED) + " ";
    for (const std::string& fact : line.facts)
        if (starts_with(fact, word)) return std::strtoul(fact.c_str() + word.size(), nullptr, 10);
    return 0;
}

bool device_failed(const Line& line) {
    for (const std::string& fact : line.facts)
        if (fact.find(std::string(" ") + contract::TRACE_FAILED) != std::string::npos) return true;
    return false;
}

bool is_write(const std::string& call) { return call == "sio_write" || call == "tarvo_send"; }
bool is_read(const std::string& call) { return call == "sio_read" || call == "sio_getch"; }

// The line as the report quotes it: the call, its result and the facts, no data.
std::string quoted(const Line& line) {
    std::string text = line.text + " = " + format_result(line.result);
    for (const std::string& fact : line.facts)
        if (!starts_with(fact, std::string(contract::TRACE_WROTE) + " ") &&
            !starts_with(fact, std::string(contract::TRACE_READ) + " "))
            text += "; " + fact;
    return text;
}

void take(PortView& port, const Line& line) {
    if (port.first == 0 || line.start < port.first) port.first = line.start;
    port.last = std::max(port.last, line.end());
    const unsigned long discarded = discarded_by(line);
    if (is_write(line.call) && line.result >= 0) {
        Exchange exchange;
        exchange.number = static_cast<int>(port.exchanges.size()) + 1;
        exchange.sent = line.end();
        exchange.request = line.data;
        const std::size_t comma = line.text.rfind(", ");
        exchange.asked = comma == std::string::npos ? line.result : std::atoi(line.text.c_str() + comma + 2);
        if (discarded > 0) port.discards.push_back({line.start, discarded, exchange.number, line.call});
        if (line.result < exchange.asked) port.timeouts.push_back({line.start, quoted(line)});
        port.exchanges.push_back(exchange);
    } else if (discarded > 0) {
        port.discards.push_back({line.start, discarded, 0, line.text});
    }
    if (is_read(line.call) && line.result > 0 && !line.data.empty()) {
        if (port.exchanges.empty()) {
            port.unsolicited += line.data;
        } else {
            port.exchanges.back().answer += line.data;
            port.exchanges.back().answered = line.end();
        }
    }
    // A getch finding nothing is how a program polls, not trouble.
    const bool quiet_poll = line.call == "sio_getch" && line.result == -20007 && !device_failed(line);
    if ((line.result < 0 && !quiet_poll) || device_failed(line)) port.errors.push_back({line.start, quoted(line)});
}

std::string milliseconds(std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu ms", static_cast<unsigned long long>(us / 1000),
                  static_cast<unsigned long long>(us % 1000));
    return text;
}

std::vector<std::uint64_t> latencies(const PortView& port) {
    std::vector<std::uint64_t> values;
    for (const Exchange& exchange : port.exchanges)
        if (exchange.has_answer()) values.push_back(exchange.latency());
    std::sort(values.begin(), values.end());
    return values;
}

std::string xml_escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '&') out += "&amp;";
        else if (c == '"') out += "&quot;";
        else out += c;
    }
    return out;
}

}  // namespace

TraceView read_trace(std::istream& log) {
    TraceView view;
    std::string raw;
    while (std::getline(log, raw)) {
        if (!raw.empty() && raw.back() == '\r') raw.pop_back();
        if (raw.empty()) continue;
        if (raw[0] == contract::TRACE_COMMENT) {
            view.notes.push_back(raw);
            continue;
        }
        Line line;
        if (!parse_line(raw, line)) {
            view.malformed.push_back(raw);
            continue;
        }
        ++view.lines;
        take(view.ports[line.port], line);
    }
    return view;
}

std::string trace_report(const TraceView& view) {
    std::ostringstream out;
    for (const std::string& note : view.notes)
        if (note.find("stopped") != std::string::npos) out << note << "\n";
    if (!view.malformed.empty()) out << view.malformed.size() << " lines are no trace lines (skipped)\n";
    for (const auto& [number, port] : view.ports) {
        out << "port " << number << "\n";
        if (!port.unsolicited.empty())
            out << "  read before any request: " << port.unsolicited.size() << " bytes \""
                << escape_shortened(port.unsolicited, 64) << "\"\n";
        for (const Exchange& exchange : port.exchanges) {
            out << "  exchange " << exchange.number << " at " << milliseconds(exchange.sent) << ": sent "
                << exchange.request.size() << " \"" << escape_shortened(exchange.request, 64) << "\"";
            if (exchange.has_answer())
                out << ", answer " << exchange.answer.size() << " \"" << escape_shortened(exchange.answer, 64)
                    << "\" after " << milliseconds(exchange.latency()) << "\n";
            else
                out << ", no answer\n";
        }
        for (const Discard& discard : port.discards) {
            out << "  discarded " << discard.count << " bytes unread at " << milliseconds(discard.at) << " by ";
            if (discard.byExchange > 0)
                out << "the " << discard.by << " of exchange " << discard.byExchange << "\n";
            else
                out << discard.by << "\n";
        }
        for (const Trouble& error : port.errors) out << "  error at " << milliseconds(error.at) << ": " << error.text << "\n";
        for (const Trouble& cut : port.timeouts)
            out << "  time-out at " << milliseconds(cut.at) << ": write cut short: " << cut.text << "\n";
        const std::vector<std::uint64_t> values = latencies(port);
        unsigned long discarded = 0;
        for (const Discard& discard : port.discards) discarded += discard.count;
        out << "  summary: " << port.exchanges.size() << " exchanges, "
            << port.exchanges.size() - values.size() << " without answer";
        if (!values.empty())
            out << "; latency min " << milliseconds(values.front()) << ", median "
                << milliseconds(values[(values.size() - 1) / 2]) << ", max " << milliseconds(values.back());
        out << "; " << discarded << " bytes discarded unread; " << port.errors.size() << " errors\n";
    }
    if (view.ports.empty()) out << "no calls on any port\n";
    return out.str();
}

// The drawing's time axis: true to scale over gaps up to GAP_US; a longer
// quiet gap is drawn shorter (logarithmically) and marked with its length,
// so that the exchanges around it stay readable.
class TimeAxis {
public:
    static constexpr double GAP_US = 20000;

    explicit TimeAxis(const TraceView& view) {
        for (const auto& entry : view.ports) {
            const PortView& port = entry.second;
            times_.push_back(port.first);
            times_.push_back(port.last);
            for (const Exchange& exchange : port.exchanges) {
                times_.push_back(exchange.sent);
                if (exchange.has_answer()) times_.push_back(exchange.answered);
            }
            for (const Discard& discard : port.discards) times_.push_back(discard.at);
            for (const auto* list : {&port.errors, &port.timeouts})
                for (const Trouble& trouble : *list) times_.push_back(trouble.at);
        }
        std::sort(times_.begin(), times_.end());
        times_.erase(std::unique(times_.begin(), times_.end()), times_.end());
        drawn_.assign(times_.size(), 0.0);
        for (std::size_t i = 1; i < times_.size(); ++i)
            drawn_[i] = drawn_[i - 1] + squashed(static_cast<double>(times_[i] - times_[i - 1]));
    }
    // 0..1 along the axis.
    double at(std::uint64_t time) const {
        if (times_.size() < 2 || drawn_.back() <= 0) return 0;
        const auto next = std::lower_bound(times_.begin(), times_.end(), time);
        if (next == times_.begin()) return 0;
        if (next == times_.end()) return 1;
        const std::size_t i = static_cast<std::size_t>(next - times_.begin());
        const double part = static_cast<double>(time - times_[i - 1]) / static_cast<double>(times_[i] - times_[i - 1]);
        return (drawn_[i - 1] + part * (drawn_[i] - drawn_[i - 1])) / drawn_.back();
    }
    // The gaps drawn shorter than they were: their start, end and length.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> shortened() const {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> gaps;
        for (std::size_t i = 1; i < times_.size(); ++i)
            if (static_cast<double>(times_[i] - times_[i - 1]) > GAP_US) gaps.emplace_back(times_[i - 1], times_[i]);
        return gaps;
    }
    std::uint64_t span() const { return times_.empty() ? 0 : times_.back() - times_.front(); }

private:
    static double squashed(double gap) { return gap <= GAP_US ? gap : GAP_US * (1 + std::log(gap / GAP_US)); }
    std::vector<std::uint64_t> times_;
    std::vector<double> drawn_;
};

std::string trace_svg(const TraceView& view) {
    constexpr int WIDTH = 1200, LEFT = 90, RIGHT = 40, LANE = 120, TOP = 40;
    const TimeAxis axis(view);
    auto x = [&](std::uint64_t at) { return LEFT + axis.at(at) * (WIDTH - LEFT - RIGHT); };
    const int height = TOP + LANE * static_cast<int>(view.ports.size()) + 40;
    std::ostringstream svg;
    char buffer[512];
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << WIDTH << "\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"11\">\n"
        << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n"
        << "<text x=\"10\" y=\"20\" font-size=\"14\">tarvo trace: requests (blue), answers (green) with latency, "
           "discarded (orange), errors and time-outs (red); "
        << milliseconds(axis.span()) << ", gaps over 20 ms shortened (grey)</text>\n";
    for (const auto& [from, to] : axis.shortened()) {
        const double middle = (x(from) + x(to)) / 2;
        std::snprintf(buffer, sizeof buffer,
                      "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" fill=\"#eee\"/>"
                      "<text x=\"%.1f\" y=\"%d\" fill=\"#888\" text-anchor=\"middle\">%s</text>\n",
                      x(from) + 2, TOP, std::max(0.0, x(to) - x(from) - 4), height - TOP - 30, middle, height - 14,
                      milliseconds(to - from).c_str());
        svg << buffer;
    }
    int lane = 0;
    for (const auto& [number, port] : view.ports) {
        const int y = TOP + LANE * lane++ + 50;
        std::snprintf(buffer, sizeof buffer,
                      "<text x=\"10\" y=\"%d\" font-size=\"13\">port %d</text>\n"
                      "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#999\"/>\n",
                      y + 4, number, LEFT, y, WIDTH - RIGHT, y);
        svg << buffer;
        for (const Exchange& exchange : port.exchanges) {
            const double sent = x(exchange.sent);
            std::snprintf(buffer, sizeof buffer,
                          "<rect x=\"%.1f\" y=\"%d\" width=\"3\" height=\"18\" fill=\"#2060d0\"><title>request %d: %s</title></rect>\n"
                          "<text x=\"%.1f\" y=\"%d\" fill=\"#2060d0\">%d</text>\n",
                          sent - 1.5, y - 20, exchange.number,
                          xml_escaped(escape_shortened(exchange.request, 40)).c_str(), sent - 3,
                          y - 24 - 10 * (exchange.number % 2), exchange.number);
            svg << buffer;
            if (exchange.has_answer()) {
                const double answered = x(exchange.answered);
                std::snprintf(buffer, sizeof buffer,
                              "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"6\" fill=\"#30a050\" opacity=\"0.6\"/>\n"
                              "<rect x=\"%.1f\" y=\"%d\" width=\"3\" height=\"18\" fill=\"#30a050\"><title>answer %d: %s</title></rect>\n"
                              "<text x=\"%.1f\" y=\"%d\" fill=\"#30a050\">%s</text>\n",
                              sent, y - 3, std::max(1.0, answered - sent), answered - 1.5, y + 2, exchange.number,
                              xml_escaped(escape_shortened(exchange.answer, 40)).c_str(), sent + 2,
                              y + 32 + 12 * (exchange.number % 2), milliseconds(exchange.latency()).c_str());
                svg << buffer;
            } else {
                std::snprintf(buffer, sizeof buffer, "<text x=\"%.1f\" y=\"%d\" fill=\"#d02020\">no answer</text>\n",
                              sent + 2, y + 32 + 12 * (exchange.number % 2));
                svg << buffer;
            }
        }
        for (const Discard& discard : port.discards) {
            const double at = x(discard.at);
            std::snprintf(buffer, sizeof buffer,
                          "<path d=\"M%.1f %d l6 -10 h-12 z\" fill=\"#f08020\"/>"
                          "<text x=\"%.1f\" y=\"%d\" fill=\"#c06010\">-%lu</text>\n",
                          at, y - 28, at + 4, y - 40, discard.count);
            svg << buffer;
        }
        for (const auto* list : {&port.errors, &port.timeouts})
            for (const Trouble& trouble : *list) {
                const double at = x(trouble.at);
                std::snprintf(buffer, sizeof buffer,
                              "<circle cx=\"%.1f\" cy=\"%d\" r=\"5\" fill=\"#d02020\"><title>%s</title></circle>\n", at,
                              y + 14, xml_escaped(trouble.text).c_str());
                svg << buffer;
            }
    }
    svg << "</svg>\n";
    return svg.str();
}

int trace_main(const std::vector<std::string>& args) {
    std::string file, svgFile;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--svg" && i + 1 < args.size()) {
            svgFile = args[++i];
        } else if (file.empty() && !starts_with(args[i], "--")) {
            file = args[i];
        } else {
            std::fprintf(stderr, "tarvo: trace: unexpected argument '%s' (see tarvo trace --help)\n", args[i].c_str());
            return EXIT_USAGE;
        }
    }
    if (file.empty()) {
        std::fputs("tarvo: trace: no log file given (see tarvo trace --help)\n", stderr);
        return EXIT_USAGE;
    }
    std::ifstream log(file, std::ios::binary);
    if (!log) {
        std::fprintf(stderr, "tarvo: trace: cannot read %s\n", file.c_str());
        return EXIT_FAILED;
    }
    const TraceView view = read_trace(log);
    std::fputs(trace_report(view).c_str(), stdout);
    if (!svgFile.empty()) {
        std::ofstream svg(svgFile, std::ios::binary);
        svg << trace_svg(view);
        if (!svg.flush()) {
            std::fprintf(stderr, "tarvo: trace: cannot write %s\n", svgFile.c_str());
            return EXIT_FAILED;
        }
    }
    return EXIT_OK;
}

}  // namespace tarvo::tool
