// What `tarvo term` is asked to open and how, from its command line.
#ifndef TARVO_TOOLS_TERM_OPTIONS_H
#define TARVO_TOOLS_TERM_OPTIONS_H

#include <string>
#include <vector>

namespace tarvo::tool {

enum class Eol { Cr, Lf, CrLf };

struct TermOptions {
    int port = 1;        // the library's port number 1..16
    std::string device;  // a path, URL or usb: mapping given instead of a number; empty: COM <port>
    std::string typed;   // PORT as it was typed, for the opening line and messages
    int rate = 9600;
    std::string format = "8N1";
    int mode = 0x03;  // the line-mode byte of `format`
    bool cts = false;
    bool rts = true;
    bool dtr = true;
    bool stripNul = false;
    bool hex = false;
    bool echo = false;
    Eol eol = Eol::Cr;
    std::string logPath;
    bool quiet = false;   // no opening line
    int exitAfterMs = 0;  // > 0: leave after this long with nothing received or sent
};

// Parses the arguments after `term`; false with `error` set on a bad one.
bool parse_term_options(const std::vector<std::string>& args, TermOptions& options, std::string& error);

// "8N1", "7E1", "8N2" ...: data bits 5-8, parity N O E M S, stop bits 1 or 2,
// as the library's line-mode byte; -1 if the text is no such format.
int line_mode_of(const std::string& format);

// The bytes Enter sends, and the option word for them.
const char* eol_bytes(Eol eol);
const char* eol_name(Eol eol);

extern const char TERM_HELP[];

}  // namespace tarvo::tool

#endif
