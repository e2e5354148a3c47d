// The user's side of `tarvo term` on each platform: keys in, text out, and
// the terminal's own settings kept and given back.
#ifndef TARVO_TOOLS_TERM_CONSOLE_H
#define TARVO_TOOLS_TERM_CONSOLE_H

#include <memory>
#include <string>

namespace tarvo::tool {

class TermConsole {
public:
    virtual ~TermConsole() = default;
    // True when a person types the input: keys are then taken raw and the
    // menu works; otherwise the input is passed on as it is.
    virtual bool interactive() const = 0;
    // Keys raw from now until restore(); restore() may be called again.
    virtual void take_keys_raw() = 0;
    virtual void restore() = 0;
    // Waits at most `millis` for input: the bytes read, 0 if none came, -1
    // at the end of the input.
    virtual int read_input(char* buffer, int size, int millis) = 0;

    // What await found ready.
    static constexpr int KEYS = 1;  // input to read
    static constexpr int PORT = 2;  // bytes at the port, or it hung up
    // Sleeps until input comes, the port has bytes (or hangs up), a signal
    // comes or `millis` pass (-1: no limit); what is ready. A console that
    // cannot sleep on the port says both at once, and read_input's timeout
    // paces the loop instead.
    virtual int await(int /*port*/, int /*millis*/) { return KEYS | PORT; }
    virtual bool sleeps_on_port() const { return false; }
    // False while the console's own wait is on the port: the port is read
    // only once that wait is over, never beside it.
    virtual bool port_free() { return true; }
    virtual void write(const std::string& text) = 0;
    // True once a signal or console event asked the program to end.
    virtual bool asked_to_end() const = 0;
    // Ends the process as that request expects; returns when none came.
    virtual void end_as_asked() = 0;
};

// Watches for the requests to end from the moment it is made.
std::unique_ptr<TermConsole> make_term_console();

// The device COM `port` reaches, for the opening line.
std::string device_of_port(int port);

// Makes COM `port` reach the device at `path`; false where a path cannot
// stand for a COM port.
bool map_port_to_path(int port, const std::string& path);

}  // namespace tarvo::tool

#endif
