// `tarvo term`: keys to the port, received bytes to the screen. The library
// never waits, so one loop looks for keys with a short timeout and at the
// port's input queue between looks. The console is the platform's part.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "commands.h"
#include "tarvo.h"
#include "term_console.h"
#include "term_options.h"
#include "text.h"

namespace tarvo::tool {
namespace {

constexpr char EXIT_KEY = 0x1d;  // Ctrl-]
constexpr char MENU_KEY = 0x14;  // Ctrl-T
// Keys are looked at this often while nothing is typed; received bytes wait
// in the port's queue meanwhile.
constexpr int POLL_MS = 10;
constexpr std::size_t CHUNK = 4096;
// A file goes out in blocks of about a second of line time (ten bits a
// byte): what arrives meanwhile is shown between blocks, and each block's
// write empties the input queue once rather than for every few bytes.
std::size_t file_block(int rate) { return std::max<std::size_t>(64, static_cast<std::size_t>(rate) / 10); }

// Appends each block moved, one line each: UTC time, direction, bytes.
class TrafficLog {
public:
    explicit TrafficLog(const std::string& path) {
        if (!path.empty()) file_ = std::fopen(path.c_str(), "ab");
    }
    ~TrafficLog() {
        if (file_ != nullptr) std::fclose(file_);
    }
    TrafficLog(const TrafficLog&) = delete;
    TrafficLog& operator=(const TrafficLog&) = delete;

    bool failed(const std::string& path) const { return !path.empty() && file_ == nullptr; }

    void record(char direction, const std::string& bytes) {
        if (file_ == nullptr || bytes.empty()) return;
        using namespace std::chrono;
        const auto now = system_clock::now();
        const std::time_t seconds = system_clock::to_time_t(now);
        const long millis = static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", std::gmtime(&seconds));  // one thread only
        std::fprintf(file_, "%s.%03ldZ %c \"%s\"\n", stamp, millis, direction, escape_bytes(bytes).c_str());
        std::fflush(file_);
    }

private:
    std::FILE* file_ = nullptr;
};

std::string hex_of(const std::string& bytes, int& column) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += DIGITS[c >> 4];
        out += DIGITS[c & 0x0f];
        out += ++column % 16 == 0 ? '\n' : ' ';
    }
    return out;
}

enum class Outcome { Running, Left, InputEnded, HungUp };

class Session {
public:
    Session(TermOptions options, TrafficLog& log, TermConsole& console)
        : options_(std::move(options)), log_(log), console_(console) {}

    // Moves every waiting byte to the screen; false once the port hung up.
    bool show_received() {
        for (;;) {
            const int waiting = sio_iqueue(options_.port);
            if (waiting < 0) return false;
            if (waiting == 0) return true;
            char buffer[CHUNK];
            const int count = sio_read(options_.port, buffer, static_cast<int>(sizeof buffer));
            if (count <= 0) return true;
            const std::string bytes(buffer, static_cast<std::size_t>(count));
            log_.record('<', bytes);
            console_.write(options_.hex ? hex_of(bytes, hexColumn_) : bytes);
        }
    }

    // What is waiting goes to the screen first: the write empties the queue.
    bool send(const std::string& bytes) {
        if (bytes.empty()) return true;
        if (!show_received()) return false;
        const int sent = sio_write(options_.port, bytes.data(), static_cast<int>(bytes.size()));
        log_.record('>', bytes.substr(0, sent > 0 ? static_cast<std::size_t>(sent) : 0));
        if (sent != static_cast<int>(bytes.size()))
            tell("sent " + std::to_string(sent < 0 ? 0 : sent) + " of " + std::to_string(bytes.size()) + " bytes");
        if (options_.echo) console_.write(echo_form(bytes));
        return true;
    }

    // Handles typed bytes: the menu, a prompt, or bytes for the port.
    Outcome keys(const char* bytes, std::size_t size) {
        std::string out;
        for (std::size_t i = 0; i < size; ++i) {
            const char key = bytes[i];
            if (!prompt_.empty()) {
                if (!send(out)) return Outcome::HungUp;
                out.clear();
                edit_prompt(key);
                continue;
            }
            if (afterMenuKey_) {
                afterMenuKey_ = false;
                if (!send(out)) return Outcome::HungUp;
                out.clear();
                if (const Outcome o = menu(key); o != Outcome::Running) return o;
                continue;
            }
            if (key == EXIT_KEY) return send(out) ? Outcome::Left : Outcome::HungUp;
            if (key == MENU_KEY) {
                afterMenuKey_ = true;
                continue;
            }
            out += key == '\r' ? eol_bytes(options_.eol) : std::string(1, key);
        }
        return send(out) ? Outcome::Running : Outcome::HungUp;
    }

    bool prompting() const { return !prompt_.empty(); }

    void tell(const std::string& message) { console_.write("\r\n[tarvo: " + message + "]\r\n"); }

private:
    std::string echo_form(const std::string& bytes) const {
        std::string out;
        for (char c : bytes) out += c == '\r' ? std::string("\r\n") : std::string(1, c);
        return out;
    }

    Outcome menu(char key) {
        switch (key) {
            case 'h': case 'H': case '?': help(); break;
            case 'x': case 'X':
                options_.hex = !options_.hex;
                hexColumn_ = 0;
                tell(std::string("hex display ") + (options_.hex ? "on" : "off"));
                break;
            case 'e': case 'E':
                options_.echo = !options_.echo;
                tell(std::string("local echo ") + (options_.echo ? "on" : "off"));
                break;
            case 'n': case 'N':
                options_.eol = options_.eol == Eol::Cr ? Eol::Lf : options_.eol == Eol::Lf ? Eol::CrLf : Eol::Cr;
                tell(std::string("Enter sends ") + eol_name(options_.eol));
                break;
            case 'b': case 'B': begin_prompt("rate"); break;
            case 's': case 'S': begin_prompt("file"); break;
            case 'r': case 'R': toggle_line("RTS", options_.rts, sio_RTS); break;
            case 'd': case 'D': toggle_line("DTR", options_.dtr, sio_DTR); break;
            case ']': case EXIT_KEY: return send(std::string(1, EXIT_KEY)) ? Outcome::Running : Outcome::HungUp;
            case 't': case 'T': case MENU_KEY:
                return send(std::string(1, MENU_KEY)) ? Outcome::Running : Outcome::HungUp;
            case 'q': case 'Q': return Outcome::Left;
            default: tell("unknown menu key; Ctrl-T h lists them"); break;
        }
        return Outcome::Running;
    }

    void help() {
        console_.write("\r\n[tarvo: Ctrl-] leaves. Ctrl-T then: h this list; x hex on/off; e echo on/off;\r\n"
             " n Enter sends CR/LF/CR LF; b rate; r RTS on/off; d DTR on/off; s send a file;\r\n"
             " ] send Ctrl-]; t send Ctrl-T; q leave.\r\n"
             " Bytes arriving in the instant of a write are emptied by it and lost.]\r\n");
    }

    void toggle_line(const char* name, bool& state, int (*set)(int, int)) {
        const int result = set(options_.port, state ? 0 : 1);
        if (result == 0) state = !state;
        tell(std::string(name) + (result == 0 ? (state ? " on" : " off") : " unchanged: " + format_result(result)));
    }

    void begin_prompt(const std::string& what) {
        prompt_ = what;
        answer_.clear();
        console_.write("\r\n[tarvo: " + what + " (Enter to take, Esc to cancel)]: ");
    }

    void edit_prompt(char key) {
        if (key == 0x1b || key == 0x03) {
            prompt_.clear();
            tell("cancelled");
        } else if (key == '\r' || key == '\n') {
            const std::string what = prompt_, answer = answer_;
            prompt_.clear();
            what == "rate" ? change_rate(answer) : send_file(answer);
        } else if ((key == 0x7f || key == 0x08) && !answer_.empty()) {
            answer_.pop_back();
            console_.write("\b \b");
        } else if (static_cast<unsigned char>(key) >= 0x20 && key != 0x7f) {
            answer_ += key;
            console_.write(std::string(1, key));
        }
    }

    void change_rate(const std::string& text) {
        const int rate = text.find_first_not_of("0123456789") == std::string::npos && !text.empty() &&
                                 text.size() <= 7
                             ? std::atoi(text.c_str())
                             : -1;
        const int result = rate > 0 ? sio_baud(options_.port, rate) : ERR_BAD_PARAMETER;
        if (result == 0) options_.rate = rate;
        tell(result == 0 ? "rate " + text + " bit/s" : "rate unchanged (" + format_result(result) + ")");
    }

    void send_file(const std::string& path) {
        std::FILE* file = std::fopen(path.c_str(), "rb");
        if (file == nullptr) {
            tell("cannot open " + path + ": " + std::strerror(errno));
            return;
        }
        std::size_t total = 0;
        std::string block(file_block(options_.rate), '\0');
        for (std::size_t n; (n = std::fread(block.data(), 1, block.size(), file)) > 0; total += n)
            if (!send(block.substr(0, n))) break;
        std::fclose(file);
        tell("sent " + path + " (" + std::to_string(total) + " bytes)");
    }

    TermOptions options_;
    TrafficLog& log_;
    TermConsole& console_;
    bool afterMenuKey_ = false;
    int hexColumn_ = 0;
    std::string prompt_;  // "rate" or "file" while a line is typed for it
    std::string answer_;
};

// Opens the port and makes every setting the options ask for; false with a
// message when one is refused.
bool set_up_port(const TermOptions& o) {
    if (!o.device.empty() && !map_port_to_path(o.port, o.device)) {
        std::fprintf(stderr, "tarvo term: a device path cannot name a port here; give its number\n");
        return false;
    }
    sio_setComPortNo(o.port, -1);
    struct Step {
        const char* what;
        int result;
    };
    const int opened = sio_open(o.port);
    if (opened != 0) {
        std::fprintf(stderr, "tarvo term: cannot open COM%d: %s\n", o.port, format_result(opened).c_str());
        return false;
    }
    // sio_ioctl sets the format (and bounded write timeouts) with a table
    // rate; sio_baud then sets the exact rate.
    const Step steps[] = {
        {"format", sio_ioctl(o.port, 12, o.mode)},
        {"rate", sio_baud(o.port, o.rate)},
        {"flow control", sio_flowctrl(o.port, (o.cts ? 0x01 : 0) | (o.rts ? 0x02 : 0))},
        {"NUL stripping", o.stripNul ? sio_enableat(o.port) : 0},
        {"RTS", sio_RTS(o.port, o.rts ? 1 : 0)},
        {"DTR", sio_DTR(o.port, o.dtr ? 1 : 0)},
    };
    for (const Step& step : steps) {
        if (step.result == 0) continue;
        std::fprintf(stderr, "tarvo term: COM%d refused the %s: %s\n", o.port, step.what,
                     format_result(step.result).c_str());
        sio_close(o.port);
        return false;
    }
    return true;
}

std::string opened_line(const TermOptions& o, bool interactive) {
    std::string line = "tarvo term: COM" + std::to_string(o.port) + " (" + device_of_port(o.port) + ") at " +
                       std::to_string(o.rate) + " " + o.format + ", flow " + (o.cts ? "cts" : "none");
    line += interactive ? "; Ctrl-] leaves, Ctrl-T h lists the menu" : "; sending standard input";
    return line + "\n";
}

Outcome pass_keys(Session& session, TermConsole& console) {
    const bool interactive = console.interactive();
    for (;;) {
        if (console.asked_to_end()) return Outcome::Left;
        if (!session.prompting() && !session.show_received()) return Outcome::HungUp;
        char buffer[CHUNK];
        const int count = console.read_input(buffer, static_cast<int>(sizeof buffer), POLL_MS);
        if (count == 0) continue;
        if (count < 0) return Outcome::InputEnded;
        const std::size_t size = static_cast<std::size_t>(count);
        if (!interactive) {
            if (!session.send(std::string(buffer, size))) return Outcome::HungUp;
            continue;
        }
        if (const Outcome o = session.keys(buffer, size); o != Outcome::Running) return o;
    }
}

}  // namespace

int term_main(const std::vector<std::string>& args) {
    TermOptions options;
    std::string error;
    if (!parse_term_options(args, options, error)) {
        std::fprintf(stderr, "tarvo term: %s (see tarvo term --help)\n", error.c_str());
        return EXIT_USAGE;
    }
    TrafficLog log(options.logPath);
    if (log.failed(options.logPath)) {
        std::fprintf(stderr, "tarvo term: cannot open the log %s: %s\n", options.logPath.c_str(), std::strerror(errno));
        return EXIT_FAILED;
    }
    const std::unique_ptr<TermConsole> console = make_term_console();
    if (!set_up_port(options)) return EXIT_FAILED;

    const bool interactive = console->interactive();
    if (interactive) console->take_keys_raw();
    // Once this shows, keys are taken raw.
    console->write(opened_line(options, interactive));
    Outcome outcome;
    {
        Session session(options, log, *console);
        outcome = pass_keys(session, *console);
        if (outcome == Outcome::InputEnded) session.show_received();
    }
    console->restore();
    sio_close(options.port);
    console->end_as_asked();
    if (outcome == Outcome::HungUp) {
        std::fprintf(stderr, "\ntarvo term: COM%d hung up\n", options.port);
        return EXIT_FAILED;
    }
    if (interactive) console->write("\r\n");
    return EXIT_OK;
}

}  // namespace tarvo::tool
