#include "term_options.h"

#include <cstdlib>

#include "line_format.h"

namespace tarvo::tool {

const char TERM_HELP[] =
    "usage: tarvo term [OPTIONS] PORT\n"
    "\n"
    "An interactive terminal on a serial port: keys go to the port, received\n"
    "bytes to the screen. PORT is a port number 1..16 or COM1..COM16 (COM n,\n"
    "on Linux mapped as for every program: TARVO_COM<n>, else /dev/ttyS<n-1>),\n"
    "or on Linux a device path.\n"
    "\n"
    "options:\n"
    "  --baud RATE        bit/s, 1..921600 (9600)\n"
    "  --format FORMAT    data bits, parity (N O E M S), stop bits: 8N1, 7E1, 8N2 ... (8N1)\n"
    "  --flow none|cts    sending waits for CTS or not (none)\n"
    "  --rts on|off       the RTS line (on)\n"
    "  --dtr on|off       the DTR line (on)\n"
    "  --strip-nul        drop received 0x00 bytes\n"
    "  --hex              show received bytes in hex\n"
    "  --echo             show typed bytes on the screen too\n"
    "  --eol cr|lf|crlf   what Enter sends (cr)\n"
    "  --log FILE         append both directions to FILE, one line per block:\n"
    "                     a UTC timestamp, '>' sent or '<' received, the bytes\n"
    "\n"
    "keys:\n"
    "  Ctrl-]             leave\n"
    "  Ctrl-T, then       h this list; x hex on/off; e echo on/off;\n"
    "                     n Enter sends CR, LF, CR LF in turn; b change the rate;\n"
    "                     r RTS on/off; d DTR on/off; s send a file;\n"
    "                     ] send a Ctrl-]; t send a Ctrl-T; q leave\n"
    "\n"
    "Every write through the library empties the port's input queue, so the\n"
    "terminal shows every byte waiting before it sends; a byte that arrives in\n"
    "the instant between that look and the write is lost.\n"
    "\n"
    "With standard input not a terminal, sends that input as it is and exits at\n"
    "its end. The terminal's settings are restored on every way out: the exit\n"
    "key, end of input, SIGTERM, SIGHUP (Windows: closing the console,\n"
    "Ctrl-Break), or the port hanging up.\n"
    "\n"
    "exit status: 0 left by the exit key or end of input; 1 the port could not\n"
    "be opened or set up, or it hung up; 2 a bad command line. On SIGTERM or\n"
    "SIGHUP it ends by that signal; on Windows a console close or Ctrl-Break\n"
    "ends it with status 1.\n";

namespace {

bool on_off(const std::string& text, bool& value) {
    if (text == "on") return value = true, true;
    if (text == "off") return value = false, true;
    return false;
}

bool parse_rate(const std::string& text, int& rate) {
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    rate = std::atoi(text.c_str());
    return rate >= 1 && rate <= 921600;
}

bool parse_port(const std::string& text, TermOptions& options) {
    if (!text.empty() && text[0] == '/') {
        options.device = text;
        return true;
    }
    const bool named = text.size() > 3 && (text.compare(0, 3, "COM") == 0 || text.compare(0, 3, "com") == 0);
    int number = 0;
    if (!parse_rate(named ? text.substr(3) : text, number) || number > 16) return false;
    options.port = number;
    return true;
}

bool parse_eol(const std::string& text, Eol& eol) {
    if (text == "cr") return eol = Eol::Cr, true;
    if (text == "lf") return eol = Eol::Lf, true;
    if (text == "crlf") return eol = Eol::CrLf, true;
    return false;
}

}  // namespace

int line_mode_of(const std::string& format) { return contract::line_mode_of(format.data(), format.size()); }

const char* eol_bytes(Eol eol) {
    switch (eol) {
        case Eol::Lf: return "\n";
        case Eol::CrLf: return "\r\n";
        case Eol::Cr: break;
    }
    return "\r";
}

const char* eol_name(Eol eol) {
    switch (eol) {
        case Eol::Lf: return "LF";
        case Eol::CrLf: return "CR LF";
        case Eol::Cr: break;
    }
    return "CR";
}

bool parse_term_options(const std::vector<std::string>& args, TermOptions& options, std::string& error) {
    bool portSeen = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool takesValue = arg == "--baud" || arg == "--format" || arg == "--flow" || arg == "--rts" ||
                                arg == "--dtr" || arg == "--log" || arg == "--eol";
        if (takesValue && i + 1 >= args.size()) {
            error = arg + " needs a value";
            return false;
        }
        const std::string value = takesValue ? args[++i] : std::string();
        bool ok = true;
        if (arg == "--baud") {
            ok = parse_rate(value, options.rate);
        } else if (arg == "--format") {
            options.format = value;
            options.mode = line_mode_of(value);
            ok = options.mode >= 0;
        } else if (arg == "--flow") {
            ok = value == "none" || value == "cts";
            options.cts = value == "cts";
        } else if (arg == "--rts") {
            ok = on_off(value, options.rts);
        } else if (arg == "--dtr") {
            ok = on_off(value, options.dtr);
        } else if (arg == "--log") {
            options.logPath = value;
        } else if (arg == "--eol") {
            ok = parse_eol(value, options.eol);
        } else if (arg == "--strip-nul") {
            options.stripNul = true;
        } else if (arg == "--hex") {
            options.hex = true;
        } else if (arg == "--echo") {
            options.echo = true;
        } else if (arg.rfind("-", 0) == 0 || portSeen) {
            error = portSeen && arg[0] != '-' ? "more than one port: " + arg : "unknown option " + arg;
            return false;
        } else {
            portSeen = true;
            if (!parse_port(arg, options)) {
                error = "PORT is a number 1..16 or a device path, not '" + arg + "'";
                return false;
            }
        }
        if (!ok) {
            error = "bad value for " + arg + ": '" + value + "'";
            return false;
        }
    }
    if (!portSeen) error = "no PORT given";
    return portSeen;
}

}  // namespace tarvo::tool
