#include <fcntl.h>

#include <algorithm>
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "commands.h"
#include "tarvo.h"
#include "terminal.h"

namespace tarvo::tool {

// demo needs Linux pseudo-terminals.
const bool DEMO_AVAILABLE = false;

// The system's words for the open's last error, and its number.
std::string open_failure_reason(int port) {
    const DWORD error = GetLastError();
    if (error == ERROR_SUCCESS) return "";
    char words[256] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, words, sizeof words,
                   nullptr);
    std::string text = words;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return "COM" + std::to_string(port) + ": " + (text.empty() ? "error" : text) + " (error " + std::to_string(error) + ")";
}

// Tarvo.dll has the 16 functions only: its write empties the input queue
// first, so a byte arriving in that instant is lost there.
int send_piece(int port, const char* bytes, int count) { return sio_write(port, bytes, count); }

// Tarvo.dll has no wait of its own: its input queue is looked at every 2 ms.
int wait_for_input(int port, int count, int millis) {
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(millis);
    for (;;) {
        const int waiting = sio_iqueue(port);
        const ULONGLONG now = GetTickCount64();
        if (waiting < 0 || waiting >= count || now >= deadline) return waiting;
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(2, deadline - now)));
    }
}

// A console is no COM port: no path names one.
bool is_own_terminal(const std::string&) { return false; }

bool stdin_is_terminal() { return _isatty(_fileno(stdin)) != 0; }

void use_binary_stdio() {
    // Text mode would end a script at the first 0x1A byte and turn \n into \r\n.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
}

}  // namespace tarvo::tool
