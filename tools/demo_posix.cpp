// `tarvo demo`: the typical exchange with an instrument, against a simulated
// instrument on a pseudo-terminal, so it runs on any machine.
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include "commands.h"
#include "pty_pair.h"
#include "tarvo.h"
#include "tarvo_ext.h"
#include "text.h"

namespace tarvo::tool {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int DEMO_PORT = 1;
constexpr int ANSWER_TIMEOUT_MS = 2000;

const char IDENTITY[] = "TARVO,SIMULATED-METER,0001,1.1.0\r\n";
const char READING[] = "+1.23450E+00\r\n";

// Answers one request line (without its line ending); empty for no answer.
std::string answer_to(const std::string& request) {
    if (request == "*IDN?") return IDENTITY;
    if (request == "MEAS?") return READING;
    return "ERROR\r\n";
}

// Reads request lines from the master side and writes the answers back,
// until stopped.
class SimulatedInstrument {
public:
    explicit SimulatedInstrument(int master) : master_(master), thread_([this] { serve(); }) {}
    ~SimulatedInstrument() {
        stop_ = true;
        thread_.join();
    }
    SimulatedInstrument(const SimulatedInstrument&) = delete;
    SimulatedInstrument& operator=(const SimulatedInstrument&) = delete;

private:
    void serve() {
        std::string pending;
        while (!stop_) {
            pollfd fd{master_, POLLIN, 0};
            if (poll(&fd, 1, 20) <= 0 || !(fd.revents & POLLIN)) continue;
            char chunk[256];
            const ssize_t got = read(master_, chunk, sizeof chunk);
            if (got <= 0) continue;  // the device side is not open right now
            pending.append(chunk, static_cast<std::size_t>(got));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string request = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!request.empty() && request.back() == '\r') request.pop_back();
                const std::string answer = answer_to(request);
                if (write(master_, answer.data(), answer.size()) < 0) return;
            }
        }
    }

    int master_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

double millis_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool check(const char* call, int result) {
    std::printf("  %-26s -> %s\n", call, format_result(result).c_str());
    return result >= 0;
}

// Polls and reads until the answer's line ends or the time is up.
std::string receive_line(int port) {
    std::string answer;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ANSWER_TIMEOUT_MS);
    while (Clock::now() < deadline && (answer.size() < 2 || answer.compare(answer.size() - 2, 2, "\r\n") != 0)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int waiting = tarvo_wait(port, 1, static_cast<int>(std::max<long long>(left, 0)));
        if (waiting < 0) break;
        if (waiting == 0) continue;
        char buffer[256];
        const int got = sio_read(port, buffer, sizeof buffer);
        if (got > 0) answer.append(buffer, static_cast<std::size_t>(got));
    }
    return answer;
}

bool exchange(int port, const std::string& request) {
    const auto start = Clock::now();
    const int sent = sio_write(port, request.data(), static_cast<int>(request.size()));
    const std::string answer = receive_line(port);
    const double elapsed = millis_since(start);

    const std::string expected = answer_to(request.substr(0, request.size() - 2));
    const bool intact = sent == static_cast<int>(request.size()) && answer == expected;
    std::printf("  -> \"%s\" (%d of %zu bytes sent)\n", escape_bytes(request).c_str(), sent, request.size());
    std::printf("  <- \"%s\" in %.1f ms%s\n", escape_bytes(answer).c_str(), elapsed,
                intact ? "" : answer.empty() ? "  NO ANSWER" : "  NOT AS EXPECTED");
    return intact;
}

int run_demo() {
    PtyPair pty(PtyOptions{false, true, false});  // raw, as an instrument line is
    if (tarvo_set_target(DEMO_PORT, pty.slave_path().c_str()) != 0) throw std::runtime_error("no room for the pty's name");
    SimulatedInstrument instrument(pty.master());
    std::printf("Simulated instrument on %s, reached as COM%d (tarvo_set_target)\n\n", pty.slave_path().c_str(),
                DEMO_PORT);

    if (!check("sio_open(1)", sio_open(DEMO_PORT))) return EXIT_FAILED;
    bool ok = check("sio_ioctl(1, 12, 0x03)", sio_ioctl(DEMO_PORT, 12, 0x03));  // 9600 bit/s, 8N1
    std::printf("\n");
    for (const char* request : {"*IDN?\r\n", "MEAS?\r\n", "MEAS?\r\n"}) ok = exchange(DEMO_PORT, request) && ok;
    std::printf("\n");
    ok = check("sio_close(1)", sio_close(DEMO_PORT)) && ok;

    std::printf("\n%s\n", ok ? "Every answer arrived intact." : "The exchange FAILED.");
    return ok ? EXIT_OK : EXIT_FAILED;
}

}  // namespace

int demo_main(const std::vector<std::string>&) {
    try {
        const int status = run_demo();
        std::fflush(stdout);
        return status;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvo demo: %s\n", e.what());
        return EXIT_FAILED;
    }
}

}  // namespace tarvo::tool
