// The console side of `tarvo term` on Windows: the console's input mode with
// line editing, echo and Ctrl-C handling off, key events turned into bytes,
// and a console close or Ctrl-Break noted so the session restores the mode
// first. Input that is no console (a pipe, a file) is passed on as it is.
#include <windows.h>

#include <atomic>

#include "commands.h"
#include "term_console.h"

namespace tarvo::tool {
namespace {

std::atomic<bool> endAsked{false};
// Set once the console is given back; a close event waits for it, since the
// process ends when the handler returns.
HANDLE restoredEvent = nullptr;

BOOL WINAPI note_event(DWORD event) {
    if (event == CTRL_C_EVENT) return TRUE;  // with processed input off a key, not an event
    endAsked = true;
    if (restoredEvent != nullptr) WaitForSingleObject(restoredEvent, 2000);
    return TRUE;
}

class WindowsConsole : public TermConsole {
public:
    WindowsConsole()
        : in_(GetStdHandle(STD_INPUT_HANDLE)), out_(GetStdHandle(STD_OUTPUT_HANDLE)) {
        console_ = GetConsoleMode(in_, &saved_) != 0;
        restoredEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        SetConsoleCtrlHandler(note_event, TRUE);
    }
    ~WindowsConsole() override { restore(); }

    bool interactive() const override { return console_; }

    void take_keys_raw() override {
        if (console_ && !raw_) raw_ = SetConsoleMode(in_, ENABLE_WINDOW_INPUT) != 0;
    }

    void restore() override {
        if (raw_) SetConsoleMode(in_, saved_);
        raw_ = false;
        if (restoredEvent != nullptr) SetEvent(restoredEvent);
    }

    int read_input(char* buffer, int size, int millis) override {
        return console_ ? read_keys(buffer, size, millis) : read_stream(buffer, size, millis);
    }

    void write(const std::string& text) override {
        const char* bytes = text.data();
        DWORD left = static_cast<DWORD>(text.size());
        while (left > 0) {
            DWORD written = 0;
            if (!WriteFile(out_, bytes, left, &written, nullptr) || written == 0) return;
            bytes += written;
            left -= written;
        }
    }

    bool asked_to_end() const override { return endAsked; }

    void end_as_asked() override {
        if (!endAsked) return;
        restore();
        ExitProcess(EXIT_FAILED);
    }

private:
    // Key presses that make a character; Enter comes as CR, Ctrl-] as 0x1d.
    int read_keys(char* buffer, int size, int millis) {
        if (WaitForSingleObject(in_, static_cast<DWORD>(millis)) != WAIT_OBJECT_0) return 0;
        INPUT_RECORD records[64];
        DWORD count = 0;
        if (!ReadConsoleInputA(in_, records, 64, &count)) return -1;
        int filled = 0;
        for (DWORD i = 0; i < count; ++i) {
            const KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
            if (records[i].EventType != KEY_EVENT || !key.bKeyDown || key.uChar.AsciiChar == 0) continue;
            for (WORD repeat = 0; repeat < key.wRepeatCount && filled < size; ++repeat)
                buffer[filled++] = key.uChar.AsciiChar;
        }
        return filled;
    }

    // A pipe says how much waits; a file is read until its end.
    int read_stream(char* buffer, int size, int millis) {
        if (GetFileType(in_) == FILE_TYPE_PIPE) {
            DWORD waiting = 0;
            if (!PeekNamedPipe(in_, nullptr, 0, nullptr, &waiting, nullptr)) return -1;
            if (waiting == 0) {
                Sleep(static_cast<DWORD>(millis));
                return 0;
            }
            if (waiting < static_cast<DWORD>(size)) size = static_cast<int>(waiting);
        }
        DWORD got = 0;
        if (!ReadFile(in_, buffer, static_cast<DWORD>(size), &got, nullptr) || got == 0) return -1;
        return static_cast<int>(got);
    }

    HANDLE in_;
    HANDLE out_;
    DWORD saved_ = 0;
    bool console_ = false;
    bool raw_ = false;
};

}  // namespace

std::unique_ptr<TermConsole> make_term_console() { return std::make_unique<WindowsConsole>(); }

std::string device_of_port(int port) { return "\\\\.\\COM" + std::to_string(port); }

// Windows names COM ports by number only.
bool map_port_to_path(int, const std::string&) { return false; }

}  // namespace tarvo::tool
