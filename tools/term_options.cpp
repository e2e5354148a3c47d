#include "term_options.h"

#include "arguments.h"

#include <cctype>
#include <cstdlib>
#include <string>

#include "line_format.h"

namespace tarvo::tool {

const char TERM_HELP[] =
    "usage: tarvo term [OPTIONS] PORT\n"
    "\n"
    "An interactive terminal on a serial port: keys go to the port, received\n"
    "bytes to the screen. PORT is a port number 1..16 or COM1..COM16 (COM n,\n"
    "on Linux mapped as for every program: TARVO_COM<n>, else /dev/ttyS<n-1>),\n"
    "or on Linux anything a mapping may name: a device path (/dev/ttyUSB0),\n"
    "usb:VVVV:PPPP[:SERIAL], rfc2217://HOST:PORT or tcp://HOST:PORT\n"
    "(optionally ?timeout=MS; the scheme in any case).\n"
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
    "  --quiet            no opening line (it goes to standard error otherwise)\n"
    "  --exit-after MS    leave once nothing was received or sent for MS ms; at\n"
    "                     the end of standard input, wait that long for the answer\n"
    "\n"
    "keys:\n"
    "  Ctrl-]             leave\n"
    "  Ctrl-T, then       h this list; x hex on/off; e echo on/off;\n"
    "                     n Enter sends CR, LF, CR LF in turn; b change the rate;\n"
    "                     r RTS on/off; d DTR on/off; s send a file;\n"
    "                     ] send a Ctrl-]; t send a Ctrl-T; q leave\n"
    "\n"
    "Sending keeps what the port receives meanwhile (on Linux; tarvo.exe writes\n"
    "as sio_write does, which empties the input queue). It goes out in short\n"
    "pieces, so the exit key and the signals below act while a file is sent.\n"
    "\n"
    "With standard input not a terminal, sends that input as it is and exits at\n"
    "its end (with --exit-after, once the answer has gone quiet). The\n"
    "terminal's settings are restored on every way out: the exit key, end of\n"
    "input, SIGTERM, SIGHUP (Windows: closing the console, Ctrl-Break), or the\n"
    "port hanging up.\n"
    "\n"
    "exit status: 0 left by the exit key, end of input or --exit-after; 1 the\n"
    "port could not be opened (the message says why) or set up, or it hung up;\n"
    "2 a bad command line. On SIGTERM or SIGHUP it ends by that signal; on\n"
    "Windows a console close or Ctrl-Break ends it with status 1.\n";

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

// A device path, or WORD: as a URL or usb: mapping begins: the library
// judges it as it judges every mapping.
bool names_a_target(const std::string& text) {
    if (!text.empty() && text[0] == '/') return true;
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(text[0]))) return false;
    for (std::size_t i = 1; i < colon; ++i)
        if (!std::isalnum(static_cast<unsigned char>(text[i])) && std::string("+-.").find(text[i]) == std::string::npos)
            return false;
    return true;
}

bool parse_port(const std::string& text, TermOptions& options) {
    options.typed = text;
    if (names_a_target(text)) {
        options.device = text;
        return true;
    }
    const bool named = text.size() > 3 && (text.compare(0, 3, "COM") == 0 || text.compare(0, 3, "com") == 0);
    int number = 0;
    if (!parse_rate(named ? text.substr(3) : text, number) || number > 16) return false;
    options.port = number;
    options.typed = "COM" + std::to_string(number);
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
    TermOptions& o = options;
    const auto flag = [](bool& field) { return [&field](const std::string&) { return field = true, true; }; };
    const std::vector<Option> table = {
        {"--baud", nullptr, true, [&o](const std::string& v) { return parse_rate(v, o.rate); }},
        {"--format", nullptr, true,
         [&o](const std::string& v) {
             o.format = v;
             o.mode = line_mode_of(v);
             return o.mode >= 0;
         }},
        {"--flow", nullptr, true,
         [&o](const std::string& v) {
             o.cts = v == "cts";
             return v == "none" || v == "cts";
         }},
        {"--rts", nullptr, true, [&o](const std::string& v) { return on_off(v, o.rts); }},
        {"--dtr", nullptr, true, [&o](const std::string& v) { return on_off(v, o.dtr); }},
        {"--log", nullptr, true, [&o](const std::string& v) { return o.logPath = v, true; }},
        {"--eol", nullptr, true, [&o](const std::string& v) { return parse_eol(v, o.eol); }},
        {"--exit-after", nullptr, true, [&o](const std::string& v) { return parse_rate(v, o.exitAfterMs); }},
        {"--quiet", "-q", false, flag(o.quiet)},
        {"--strip-nul", nullptr, false, flag(o.stripNul)},
        {"--hex", nullptr, false, flag(o.hex)},
        {"--echo", nullptr, false, flag(o.echo)},
    };
    std::vector<std::string> ports;
    if (!parse_arguments(args, table, ports, error)) return false;
    if (ports.empty()) {
        error = "no PORT given";
        return false;
    }
    if (ports.size() > 1) {
        error = "more than one port: " + ports[1];
        return false;
    }
    if (!parse_port(ports[0], options)) {
        error = "PORT is a number 1..16, a device path or a URL, not '" + ports[0] + "'";
        return false;
    }
    return true;
}

}  // namespace tarvo::tool
