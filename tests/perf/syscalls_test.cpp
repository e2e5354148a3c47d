// Runs tarvo_syscall_driver under strace and holds every sio_ call to the
// system calls its device operations stand for, one to one: a status read is
// one FIONREAD, an input purge one TCFLSH, an output purge one look at the
// driver's queue (TCFLSH only when bytes still wait there; on a pty, which
// queues nothing, not even the look), a read one read(), and nothing else.
// The budget is a count of each call; their order is held only where it is
// the contract (the purge before a write).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Calls = std::vector<std::string>;

struct Trace {
    std::string skipReason;  // non-empty: strace cannot run here
    std::string error;
    std::vector<std::string> order;
    std::map<std::string, Calls> calls;  // marker name -> system calls between its markers
};

// "ioctl(4, TCFLSH, TCIOFLUSH) = 0" -> "ioctl TCFLSH TCIOFLUSH";
// "read(4, "a", 1) = 1" -> "read". The purge argument is kept: it says
// which queues go.
std::string call_of(const std::string& line) {
    const std::size_t paren = line.find('(');
    if (paren == std::string::npos) return line;
    const std::string name = line.substr(0, paren);
    if (name != "ioctl") return name;
    const std::size_t first = line.find(", ", paren);
    if (first == std::string::npos) return name;
    const std::size_t start = first + 2;
    const std::size_t end = line.find_first_of(",)", start);
    std::string call = name + " " + line.substr(start, end - start);
    if (call == "ioctl TCFLSH" && line[end] == ',') {
        const std::size_t argEnd = line.find(')', end);
        call += " " + line.substr(end + 2, argEnd - end - 2);
    }
    return call;
}

int run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Trace trace_driver() {
    Trace t;
    const std::string strace = TARVO_STRACE;
    if (strace.empty() || strace.find("NOTFOUND") != std::string::npos) {
        t.skipReason = "strace is not installed";
        return t;
    }
    if (run(strace + " -qq -o /dev/null /bin/true > /dev/null 2>&1") != 0) {
        t.skipReason = "strace cannot trace in this environment (ptrace not permitted?)";
        return t;
    }
    const std::string out = testing::TempDir() + "tarvo_syscalls.trace";
    if (run(strace + " -qq -o " + out + " " TARVO_SYSCALL_DRIVER " > /dev/null") != 0) {
        t.error = "the driver failed under strace";
        return t;
    }
    std::ifstream in(out);
    std::string current;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("write(-1, \"</>\"", 0) == 0) {
            inside = false;
        } else if (line.rfind("write(-1, \"<", 0) == 0) {
            const std::size_t end = line.find(">\"");
            current = line.substr(12, end - 12);
            t.order.push_back(current);
            t.calls[current];
            inside = true;
        } else if (inside) {
            t.calls[current].push_back(call_of(line));
        }
    }
    std::remove(out.c_str());
    return t;
}

const Trace& trace() {
    static const Trace t = [] {
        Trace traced = trace_driver();
        if (traced.skipReason.empty() && traced.error.empty()) {
            std::cout << "\n| call | system calls |\n|---|---|\n";
            for (const std::string& name : traced.order) {
                std::string joined;
                for (const std::string& c : traced.calls[name]) joined += (joined.empty() ? "" : ", ") + c;
                std::cout << "| " << name << " | " << (joined.empty() ? "none" : joined) << " |\n";
            }
            std::cout << std::endl;
        }
        return traced;
    }();
    return t;
}

#define NEED_TRACE()                                            \
    do {                                                        \
        if (!trace().skipReason.empty()) GTEST_SKIP() << trace().skipReason; \
        ASSERT_TRUE(trace().error.empty()) << trace().error;    \
    } while (0)

const Calls& calls_of(const std::string& op) {
    static const Calls none;
    const auto found = trace().calls.find(op);
    EXPECT_NE(found, trace().calls.end()) << op << " was not traced";
    return found == trace().calls.end() ? none : found->second;
}

Calls sorted(Calls calls) {
    std::sort(calls.begin(), calls.end());
    return calls;
}

// Each call as many times as `expected` names it, in any order.
void expect_calls(const std::string& op, const Calls& expected) {
    EXPECT_EQ(sorted(calls_of(op)), sorted(expected)) << "system calls of " << op;
}

// `first` made before `then`.
void expect_before(const std::string& op, const std::string& first, const std::string& then) {
    const Calls& calls = calls_of(op);
    const auto a = std::find(calls.begin(), calls.end(), first);
    const auto b = std::find(calls.begin(), calls.end(), then);
    EXPECT_TRUE(a != calls.end() && b != calls.end() && a < b) << op << ": " << first << " before " << then;
}

const std::string STATUS = "ioctl FIONREAD";

TEST(Syscalls, ReceivingIsOneStatusReadAndAtMostOneRead) {
    NEED_TRACE();
    expect_calls("sio_iqueue", {STATUS});
    expect_calls("sio_getch waiting", {STATUS, "read"});
    expect_calls("sio_read waiting", {STATUS, "read"});
    // Nothing waiting, or no room: the status read only.
    expect_calls("sio_getch empty", {STATUS});
    expect_calls("sio_read empty", {STATUS});
    expect_calls("sio_read length 0", {STATUS});
}

TEST(Syscalls, SendingIsStatusPurgeWriteAndDrainCheck) {
    NEED_TRACE();
    const std::string INPUT_PURGE = "ioctl TCFLSH TCIFLUSH";
    // A pty slave queues no output once a write returns: neither the output
    // purge nor the drain needs to look.
    expect_calls("sio_write", {STATUS, INPUT_PURGE, "write"});
    expect_before("sio_write", INPUT_PURGE, "write");
    expect_calls("sio_write 0 bytes", {STATUS, INPUT_PURGE});
    expect_calls("sio_flush 0", {STATUS, INPUT_PURGE});
    expect_calls("sio_flush 1", {STATUS});
    expect_calls("sio_flush 2", {STATUS, INPUT_PURGE});
    expect_calls("sio_flush 3", {STATUS});
}

// Every change is one read of the terminal settings (and of the modem lines),
// one write of them, one read back (a driver may keep something else), and
// the RTS and DTR lines. The pty has no modem
// lines and refuses those ioctls, which the layer tolerates.
TEST(Syscalls, LineSettingsReadAndWriteTheTerminalOnce) {
    NEED_TRACE();
    const Calls rtsOnDtrOn = {"ioctl TCGETS2", "ioctl TIOCMGET", "ioctl TCSETS2", "ioctl TCGETS2", "ioctl TIOCMBIS", "ioctl TIOCMBIS"};
    const Calls rtsOffDtrOn = {"ioctl TCGETS2", "ioctl TIOCMGET", "ioctl TCSETS2", "ioctl TCGETS2", "ioctl TIOCMBIC", "ioctl TIOCMBIS"};
    expect_calls("sio_ioctl", rtsOnDtrOn);
    expect_calls("sio_baud", rtsOnDtrOn);
    expect_calls("sio_flowctrl", rtsOffDtrOn);
    expect_calls("sio_RTS", rtsOnDtrOn);
    expect_calls("sio_DTR", rtsOnDtrOn);
    expect_calls("sio_enableat", rtsOnDtrOn);
    expect_calls("sio_disableat", rtsOffDtrOn);
}

TEST(Syscalls, OpenAndCloseTakeAndReleaseTheDeviceOnly) {
    NEED_TRACE();
    expect_calls("sio_setComPortNo", {});
    expect_calls("sio_term_irq", {});
    // Whether it is the console, before it is opened (its number against
    // /proc/consoles, read once); a look at what the device is (a pty slave
    // by its number: no TIOCGPTN), the hold with its holder (the process id
    // once), raw mode. No TIOCEXCL on a pty slave: there it would outlive its
    // holder.
    expect_calls("sio_open", {"newfstatat", "openat", "newfstatat", "read", "close", "openat", "newfstatat",
                              "ioctl TCGETS2", "flock", "getpid", "ioctl TCSETS2"});
    // The hold goes with the descriptor: no fork shares it.
    expect_calls("sio_close", {"close"});
    // Again: the console list and the process id are known, and the device
    // is raw already.
    expect_calls("sio_open again", {"newfstatat", "openat", "newfstatat", "ioctl TCGETS2", "flock"});
    expect_calls("sio_close again", {"close"});
}

TEST(Syscalls, ClosedPortsMakeNoSystemCall) {
    NEED_TRACE();
    int closed = 0;
    for (const auto& [name, calls] : trace().calls) {
        if (name.rfind("closed ", 0) != 0) continue;
        ++closed;
        EXPECT_TRUE(calls.empty()) << name << " made system calls";
    }
    EXPECT_EQ(closed, 14);
}

}  // namespace
