// `tarvo term`: keys to the port, received bytes to the screen. One loop
// sleeps until a key or a received byte comes (where the platform's console
// can sleep on the port; elsewhere it looks for keys with a short timeout and
// at the port's input queue between looks). The console is the platform's part.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

#include "commands.h"
#include "tarvo.h"
#include "term_console.h"
#include "term_options.h"
#include "terminal.h"
#include "text.h"

namespace tarvo::tool {
namespace {

constexpr char EXIT_KEY = 0x1d;  // Ctrl-]
constexpr char MENU_KEY = 0x14;  // Ctrl-T
// Where the console cannot sleep on the port, keys are looked at this often
// while nothing is typed; received bytes wait in the port's queue meanwhile.
constexpr int POLL_MS = 10;
constexpr std::size_t CHUNK = 4096;
// A file is read in blocks of about a second of line time (ten bits a byte).
std::size_t file_block(int rate) { return std::max<std::size_t>(64, static_cast<std::size_t>(rate) / 10); }
// Each send hands over about a tenth of a second of line time at most, and
// the library bounds it in time besides: between pieces the received bytes
// are shown and the exit key and signals are looked at.
std::size_t piece_size(int rate) { return std::clamp<std::size_t>(static_cast<std::size_t>(rate) / 100, 16, CHUNK); }

using Clock = std::chrono::steady_clock;

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

enum class Outcome { Running, Left, InputEnded, HungUp, Quiet };

class Session {
public:
    Session(TermOptions options, TrafficLog& log, TermConsole& console)
        : options_(std::move(options)), log_(log), console_(console), interactive_(console.interactive()) {}

    // True once the exit key came while sending, or a signal asked to end.
    bool leaving() const { return leaving_ || console_.asked_to_end(); }
    // Keys typed while sending, other than the exit key, in order.
    std::string take_pending_keys() { return std::move(pendingKeys_); }
    // How long nothing has been received or sent.
    Clock::duration quiet_for() const { return Clock::now() - lastTraffic_; }

    // Moves every waiting byte to the screen; false once the port hung up.
    // Not while the console sleeps on the port: it wakes as bytes come.
    bool show_received() {
        if (!console_.port_free()) return true;
        for (;;) {
            const int waiting = sio_iqueue(options_.port);
            if (waiting < 0) return false;
            if (waiting == 0) return true;
            char buffer[CHUNK];
            const int count = sio_read(options_.port, buffer, static_cast<int>(sizeof buffer));
            if (count <= 0) return true;
            const std::string bytes(buffer, static_cast<std::size_t>(count));
            lastTraffic_ = Clock::now();
            log_.record('<', bytes);
            console_.write(options_.hex ? hex_of(bytes, hexColumn_) : bytes);
        }
    }

    // In pieces, with what arrives shown between them; a peer that takes
    // nothing keeps it going only until the exit key or a signal. False once
    // the port hung up.
    bool send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            if (!show_received()) return false;
            look_for_exit_key();
            if (leaving()) break;
            const std::size_t piece = std::min(bytes.size() - done, piece_size(options_.rate));
            const int sent = send_piece(options_.port, bytes.data() + done, static_cast<int>(piece));
            if (sent < 0) return false;
            const std::string out = bytes.substr(done, static_cast<std::size_t>(sent));
            if (sent > 0) lastTraffic_ = Clock::now();
            log_.record('>', out);
            if (options_.echo) console_.write(echo_form(out));
            done += static_cast<std::size_t>(sent);
        }
        if (done < bytes.size()) tell("sent " + std::to_string(done) + " of " + std::to_string(bytes.size()) + " bytes");
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
    // Typed keys are read between pieces only from a person: piped input is
    // the data being sent.
    void look_for_exit_key() {
        if (!interactive_ || leaving_) return;
        char keys[64];
        const int count = console_.read_input(keys, static_cast<int>(sizeof keys), 0);
        if (count <= 0) return;
        const std::string typed(keys, static_cast<std::size_t>(count));
        if (typed.find(EXIT_KEY) != std::string::npos) leaving_ = true;
        else pendingKeys_ += typed;
    }

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
             " ] send Ctrl-]; t send Ctrl-T; q leave.]\r\n");
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
        for (std::size_t n; !leaving() && (n = std::fread(block.data(), 1, block.size(), file)) > 0; total += n)
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
    const bool interactive_;
    bool leaving_ = false;
    std::string pendingKeys_;
    Clock::time_point lastTraffic_ = Clock::now();
};

// Opens the port and makes every setting the options ask for; false with a
// message when one is refused.
bool set_up_port(const TermOptions& o) {
    if (!o.device.empty() && !map_port_to_path(o.port, o.device)) {
        std::fprintf(stderr, "tarvo term: a device path cannot name a port here; give its number\n");
        return false;
    }
    sio_setComPortNo(o.port, -1);
    // Its settings would be ours: raw, at the port's rate, after we left.
    // Looked at before the open, which would make it raw.
    const std::string reached = device_of_port(o.port);
    if (is_own_terminal(o.device) || is_own_terminal(reached)) {
        std::fprintf(stderr, "tarvo term: %s%s is the terminal tarvo runs in; name another port\n", o.typed.c_str(),
                     o.device.empty() && !reached.empty() ? (" (" + reached + ")").c_str() : "");
        return false;
    }
    struct Step {
        const char* what;
        int result;
        // The control lines are a courtesy to the far end: a server that
        // keeps them on its own side refuses them, and the session still
        // carries bytes.
        bool needed = true;
    };
    const int opened = sio_open(o.port);
    if (opened != 0) {
        const std::string why = opened == ERR_OPEN_FAILED ? open_failure_reason(o.port) : "";
        // The reason begins with the device; named once where that is what was typed.
        const bool namesIt = why.compare(0, o.typed.size() + 2, o.typed + ": ") == 0;
        std::fprintf(stderr, "tarvo term: cannot open %s%s%s%s\n", namesIt ? "" : (o.typed + ": ").c_str(), why.c_str(),
                     why.empty() ? "" : " ", ("(" + format_result(opened) + ")").c_str());
        return false;
    }
    // sio_ioctl sets the format (and bounded write timeouts) with a table
    // rate; sio_baud then sets the exact rate.
    const Step steps[] = {
        {"format", sio_ioctl(o.port, 12, o.mode)},
        {"rate", sio_baud(o.port, o.rate)},
        {"flow control", sio_flowctrl(o.port, (o.cts ? 0x01 : 0) | (o.rts ? 0x02 : 0))},
        {"NUL stripping", o.stripNul ? sio_enableat(o.port) : 0},
        {"RTS", sio_RTS(o.port, o.rts ? 1 : 0), false},
        {"DTR", sio_DTR(o.port, o.dtr ? 1 : 0), false},
    };
    for (const Step& step : steps) {
        if (step.result == 0) continue;
        std::fprintf(stderr, "tarvo term: %s refused the %s: %s%s\n", o.typed.c_str(), step.what,
                     format_result(step.result).c_str(), step.needed ? "" : "; going on without it");
        if (!step.needed) continue;
        sio_close(o.port);
        return false;
    }
    return true;
}

// Names the port as typed; a COM number also by the device behind it.
std::string opened_line(const TermOptions& o, bool interactive) {
    const std::string device = o.device.empty() ? device_of_port(o.port) : "";
    std::string line = "tarvo term: " + o.typed + (device.empty() || device == o.typed ? "" : " (" + device + ")") +
                       " at " + std::to_string(o.rate) + " " + o.format + ", flow " + (o.cts ? "cts" : "none");
    line += interactive ? "; Ctrl-] leaves, Ctrl-T h lists the menu" : "; sending standard input";
    return line + "\n";
}

bool quiet_long_enough(const Session& session, int exitAfterMs) {
    return exitAfterMs > 0 && session.quiet_for() >= std::chrono::milliseconds(exitAfterMs);
}

// How long to sleep for keys or bytes: until the quiet time is up, else
// without limit.
int sleep_ms(const Session& session, int exitAfterMs) {
    if (exitAfterMs <= 0) return -1;
    const auto left = std::chrono::milliseconds(exitAfterMs) - session.quiet_for();
    return static_cast<int>(std::max<long long>(1, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

Outcome pass_keys(Session& session, TermConsole& console, int port, int exitAfterMs) {
    const bool interactive = console.interactive();
    for (;;) {
        if (session.leaving()) return Outcome::Left;
        if (!session.prompting() && !session.show_received()) return Outcome::HungUp;
        if (quiet_long_enough(session, exitAfterMs)) return Outcome::Quiet;
        std::string typed = session.take_pending_keys();
        if (typed.empty()) {
            // Asleep until a key, a byte at the port, a signal or the quiet time.
            if ((console.await(port, sleep_ms(session, exitAfterMs)) & TermConsole::KEYS) == 0) continue;
            char buffer[CHUNK];
            const int count =
                console.read_input(buffer, static_cast<int>(sizeof buffer), console.sleeps_on_port() ? 0 : POLL_MS);
            if (count == 0) continue;
            if (count < 0) return Outcome::InputEnded;
            typed.assign(buffer, static_cast<std::size_t>(count));
        }
        if (!interactive) {
            if (!session.send(typed)) return Outcome::HungUp;
            continue;
        }
        if (const Outcome o = session.keys(typed.data(), typed.size()); o != Outcome::Running) return o;
    }
}

// After the end of piped input: the answer, until it has been quiet that long.
Outcome await_answer(Session& session, TermConsole& console, int port, int exitAfterMs) {
    for (;;) {
        if (session.leaving()) return Outcome::Left;
        if (!session.show_received()) return Outcome::HungUp;
        if (exitAfterMs <= 0 || quiet_long_enough(session, exitAfterMs)) return Outcome::InputEnded;
        if (console.sleeps_on_port()) {
            console.await(port, sleep_ms(session, exitAfterMs));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
        }
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
    // Once this shows, keys are taken raw. On standard error, so what the
    // port sends is all that standard output carries.
    if (!options.quiet) {
        std::fputs(opened_line(options, interactive).c_str(), stderr);
        std::fflush(stderr);
    }
    Outcome outcome;
    {
        Session session(options, log, *console);
        outcome = pass_keys(session, *console, options.port, options.exitAfterMs);
        if (outcome == Outcome::InputEnded) outcome = await_answer(session, *console, options.port, options.exitAfterMs);
    }
    console->restore();
    // Never under the console's own wait; the end of the process closes it then.
    if (console->port_free()) sio_close(options.port);
    console->end_as_asked();
    if (outcome == Outcome::HungUp) {
        std::fprintf(stderr, "\ntarvo term: %s hung up\n", options.typed.c_str());
        return EXIT_FAILED;
    }
    if (interactive) console->write("\r\n");
    return EXIT_OK;
}

}  // namespace tarvo::tool
