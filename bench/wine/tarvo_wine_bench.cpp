// Tarvo.dll against the KERNEL32 calls that do the same device work, in one
// Windows process, on two COM ports that run_wine_bench.py maps to
// pseudo-terminals under Wine: Tarvo's port on one, a raw handle opened the
// way the library opens its devices on the other.
//
// Each case runs its sides in alternating blocks within one loop (which side
// goes first rotates), so load that comes and goes falls on all sides alike;
// the ratio of the block totals is the figure that counts, the medians of the
// blocks show the cost per call.
//
// The driver on the Linux side takes requests on this program's stdout, one
// line each starting with '@': "@fill COM N" (put N bytes into that port's
// queue), "@stream COM N" (stream N bytes into it) and "@result JSON".
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tarvo.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTarvoPort = 5;  // Tarvo's port n opens COMn
constexpr int kRawCom = 6;
constexpr int kRequest = 32;
constexpr int kRateIndex = 12;  // 9600 bit/s; a pty ignores the rate
constexpr int kLineMode = 0x03;  // 8 data bits, no parity, one stop bit
constexpr DWORD kQueueSize = 1024;  // as sio_open sets up
constexpr DWORD kTimeoutMs = 2000;  // as sio_ioctl installs
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

char request[kRequest] = "0123456789abcdefghijklmnopqrstu";
char bulkBuffer[64 * 1024];

struct Options {
    int reps = 21;
    int iqueueOps = 4000;
    int fill = 4000;  // below the 4 KiB line-discipline queue
    int getchFill = 1000;  // a read under Wine costs some 130 µs: keeps the blocks short
    int roundtrips = 50;
    unsigned long bulk = 4ul << 20;
    int bulkReps = 9;
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "tarvo_wine_bench: %s\n", what.c_str());
    std::exit(1);
}

void tell_driver(const char* verb, int com, unsigned long count) {
    std::printf("@%s %d %lu\n", verb, com, count);
    std::fflush(stdout);
}

// Spins on `done` and gives up after 30 s: a lost stream or echo must end the
// run, not hang it.
template <typename Done>
void spin_until(Done done, const char* what) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    for (unsigned spins = 0; !done(); ++spins)
        if ((spins & 1023u) == 0 && Clock::now() > deadline) fail(std::string("timed out: ") + what);
}

// The same device work as the library, in KERNEL32 calls on a handle of
// this program's own: every read and write overlapped on the handle's own
// event and waited for when it is pending (under Wine a read on a pty always
// is).
struct RawPort {
    HANDLE h = INVALID_HANDLE_VALUE;
    OVERLAPPED rd{};
    OVERLAPPED wr{};

    explicit RawPort(int com) {
        const std::string path = "\\\\.\\COM" + std::to_string(com);
        h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) fail("cannot open " + path);
        rd.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        wr.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (rd.hEvent == nullptr || wr.hEvent == nullptr) fail("CreateEventA");
        if (!SetupComm(h, kQueueSize, kQueueSize)) fail("SetupComm");
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(h, &dcb)) fail("GetCommState");
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        COMMTIMEOUTS timeouts{kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs};
        SetCommTimeouts(h, &timeouts);
        if (!SetCommState(h, &dcb)) fail("SetCommState");
    }

    ~RawPort() {
        CloseHandle(h);
        CloseHandle(rd.hEvent);
        CloseHandle(wr.hEvent);
    }

    DWORD waiting() {
        DWORD errors = 0;
        COMSTAT stat{};
        return ClearCommError(h, &errors, &stat) ? stat.cbInQue : 0;
    }

    DWORD finish(BOOL started, DWORD count, OVERLAPPED& record) {
        if (started) return count;
        if (GetLastError() != ERROR_IO_PENDING) return 0;
        DWORD done = 0;
        GetOverlappedResult(h, &record, &done, TRUE);
        return done;
    }

    DWORD read_now(void* buffer, DWORD amount) {
        DWORD count = 0;
        const BOOL started = ReadFile(h, buffer, amount, &count, &rd);
        return finish(started, count, rd);
    }

    // sio_getch: status read, then one byte if any waits.
    int getch() {
        if (waiting() == 0) return ERR_NO_DATA;
        unsigned char byte = 0;
        return read_now(&byte, 1) == 1 ? byte : ERR_NO_DATA;
    }

    // sio_read: status read, then no more than waits.
    int read(char* buffer, DWORD length) {
        const DWORD amount = std::min(length, waiting());
        return amount == 0 ? 0 : static_cast<int>(read_now(buffer, amount));
    }

    // sio_write: status read, purge of both queues, the write and its wait.
    int write(const char* buffer, DWORD count) {
        waiting();
        PurgeComm(h, kPurgeAll);
        DWORD sent = 0;
        const BOOL started = WriteFile(h, buffer, count, &sent, &wr);
        return static_cast<int>(finish(started, sent, wr));
    }
};

RawPort* raw = nullptr;

void open_tarvo() {
    if (int rc = sio_open(kTarvoPort); rc != 0) fail("sio_open = " + std::to_string(rc));
    if (int rc = sio_ioctl(kTarvoPort, kRateIndex, kLineMode); rc != 0) fail("sio_ioctl = " + std::to_string(rc));
}

void fill_tarvo(int count) {
    sio_flush(kTarvoPort, 0);
    tell_driver("fill", kTarvoPort, static_cast<unsigned long>(count));
    spin_until([count] { return sio_iqueue(kTarvoPort) >= count; }, "filling Tarvo's port");
}

void fill_raw(int count) {
    PurgeComm(raw->h, PURGE_RXCLEAR);
    tell_driver("fill", kRawCom, static_cast<unsigned long>(count));
    spin_until([count] { return raw->waiting() >= static_cast<DWORD>(count); }, "filling the raw port");
}

// ---- the alternating blocks ----

struct Side {
    std::string name;
    std::function<double()> block;  // runs one block, returns the seconds it took
    std::vector<double> seconds;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double sum(const std::vector<double>& v) {
    double s = 0;
    for (const double x : v) s += x;
    return s;
}

// One untimed round first (the first pending read, the first event wait and
// the first stream are slower), then `reps` rounds with the starting side
// rotating.
void alternate(std::vector<Side>& sides, int reps) {
    for (Side& side : sides) side.block();
    const std::size_t n = sides.size();
    for (int r = 0; r < reps; ++r)
        for (std::size_t k = 0; k < n; ++k) {
            Side& side = sides[(static_cast<std::size_t>(r) + k) % n];
            side.seconds.push_back(side.block());
        }
}

// Times `ops` calls of `op` after `prep`, which runs outside the clock; a
// call that fails ends the run.
template <typename Prep, typename Op>
std::function<double()> timed(int ops, Prep prep, Op op, const char* what) {
    return [=] {
        prep();
        bool ok = true;
        const auto t0 = Clock::now();
        for (int i = 0; i < ops; ++i) ok = op() && ok;
        const double s = std::chrono::duration<double>(Clock::now() - t0).count();
        if (!ok) fail(std::string("a call failed: ") + what);
        return s;
    };
}

std::string json_number(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", x);
    return text;
}

// ns: per call (blocks of `ops` calls); for streams, bytes per stream instead.
void report(const char* kase, const std::vector<Side>& sides, int ops, unsigned long bytes = 0,
            const std::string& extra = "") {
    std::string line = std::string("{\"case\":\"") + kase + "\",\"ops\":" + std::to_string(ops) +
                       ",\"reps\":" + std::to_string(sides[0].seconds.size()) +
                       (bytes ? ",\"bytes\":" + std::to_string(bytes) : std::string()) + ",\"sides\":[";
    for (std::size_t i = 0; i < sides.size(); ++i) {
        const Side& s = sides[i];
        line += (i ? "," : "") + std::string("{\"name\":\"") + s.name + "\",\"median_ns\":" +
                json_number(median(s.seconds) / ops * 1e9) + ",\"total_s\":" + json_number(sum(s.seconds));
        line += ",\"blocks_s\":[";
        for (std::size_t r = 0; r < s.seconds.size(); ++r) line += (r ? "," : "") + json_number(s.seconds[r]);
        line += "]";
        if (bytes) line += ",\"median_mbps\":" + json_number(static_cast<double>(bytes) / median(s.seconds) / 1e6);
        // Tarvo's time over this side's: of the totals, and the median of the rounds.
        if (i > 0) {
            std::vector<double> rounds;
            for (std::size_t r = 0; r < s.seconds.size(); ++r) rounds.push_back(sides[0].seconds[r] / s.seconds[r]);
            line += ",\"ratio_total\":" + json_number(sum(sides[0].seconds) / sum(s.seconds)) +
                    ",\"ratio_rounds\":" + json_number(median(rounds));
        }
        line += "}";
    }
    line += "]" + extra + "}";
    std::printf("@result %s\n", line.c_str());
    std::fflush(stdout);
}

// ---- the cases ----

void iqueue_case(const Options& o) {
    fill_tarvo(kRequest);
    fill_raw(kRequest);
    const auto none = [] {};
    std::vector<Side> sides{
        {"sio_iqueue", timed(o.iqueueOps, none, [] { return sio_iqueue(kTarvoPort) == kRequest; }, "sio_iqueue"), {}},
        {"ClearCommError", timed(o.iqueueOps, none, [] { return raw->waiting() == kRequest; }, "ClearCommError"), {}}};
    alternate(sides, o.reps);
    report("iqueue", sides, o.iqueueOps);
}

void getch_case(const Options& o) {
    const int n = o.getchFill;
    std::vector<Side> sides{
        {"sio_getch", timed(n, [n] { fill_tarvo(n); }, [] { return sio_getch(kTarvoPort) >= 0; }, "sio_getch"), {}},
        {"ClearCommError + ReadFile 1", timed(n, [n] { fill_raw(n); }, [] { return raw->getch() >= 0; }, "raw getch"),
         {}}};
    alternate(sides, o.reps);
    report("getch", sides, n);
}

void read32_case(const Options& o) {
    const int n = o.fill / kRequest;
    static char buf[kRequest];
    std::vector<Side> sides{
        {"sio_read", timed(n, [&o] { fill_tarvo(o.fill); },
                           [] { return sio_read(kTarvoPort, buf, kRequest) == kRequest; }, "sio_read"),
         {}},
        {"ClearCommError + ReadFile 32",
         timed(n, [&o] { fill_raw(o.fill); }, [] { return raw->read(buf, kRequest) == kRequest; }, "raw read"), {}}};
    alternate(sides, o.reps);
    report("read32", sides, n);
}

bool sio_exchange() {
    char answer[kRequest];
    if (sio_write(kTarvoPort, request, kRequest) != kRequest) return false;
    spin_until([] { return sio_iqueue(kTarvoPort) >= kRequest; }, "Tarvo's answer");
    return sio_read(kTarvoPort, answer, kRequest) == kRequest;
}

bool raw_exchange() {
    char answer[kRequest];
    if (raw->write(request, kRequest) != kRequest) return false;
    spin_until([] { return raw->waiting() >= kRequest; }, "the raw answer");
    return raw->read(answer, kRequest) == kRequest;
}

void roundtrip_case(const Options& o) {
    const auto none = [] {};
    std::vector<Side> sides{{"sio_write, poll sio_iqueue, sio_read", timed(o.roundtrips, none, sio_exchange, "Tarvo"), {}},
                            {"raw calls", timed(o.roundtrips, none, raw_exchange, "raw"), {}}};
    alternate(sides, o.reps);
    report("roundtrip", sides, o.roundtrips);
}

// Receives that brought bytes and those that found none, over all streams.
struct Takes {
    double brought = 0;
    double empty = 0;
};

template <typename Receive>
std::function<double()> stream(int com, unsigned long total, Receive receive, Takes& takes) {
    return [com, total, receive, &takes] {
        tell_driver("stream", com, total);
        const auto t0 = Clock::now();
        const auto deadline = t0 + std::chrono::seconds(60);
        for (unsigned long got = 0; got < total;) {
            const int n = receive();
            if (n < 0) fail("a receive failed");
            if (n > 0) {
                got += static_cast<unsigned long>(n);
                takes.brought += 1;
            } else {
                takes.empty += 1;
                if ((static_cast<unsigned long>(takes.empty) & 1023u) == 0 && Clock::now() > deadline)
                    fail("timed out: stream");
            }
        }
        return std::chrono::duration<double>(Clock::now() - t0).count();
    };
}

void bulk_case(const Options& o) {
    sio_flush(kTarvoPort, 0);
    PurgeComm(raw->h, PURGE_RXCLEAR);
    Takes takes[4];
    const auto sio_take = [] {
        const int n = sio_iqueue(kTarvoPort);
        return n > 0 ? sio_read(kTarvoPort, bulkBuffer, std::min<int>(n, sizeof bulkBuffer)) : n;
    };
    // Tarvo's device work: a status read, then sio_read's status read and the read.
    const auto raw_same = [] {
        const DWORD n = raw->waiting();
        return n > 0 ? raw->read(bulkBuffer, std::min<DWORD>(n, sizeof bulkBuffer)) : 0;
    };
    // The shortest loop: one status read, then the read.
    const auto raw_short = [] {
        const DWORD n = std::min<DWORD>(raw->waiting(), sizeof bulkBuffer);
        return n > 0 ? static_cast<int>(raw->read_now(bulkBuffer, n)) : 0;
    };
    // The loop an application that may wait would write: 64 KiB reads that
    // complete when the buffer is full (the port's timeouts are 2 s).
    const auto raw_wait = [] { return static_cast<int>(raw->read_now(bulkBuffer, sizeof bulkBuffer)); };
    std::vector<Side> sides{
        {"sio_iqueue + sio_read", stream(kTarvoPort, o.bulk, sio_take, takes[0]), {}},
        {"ClearCommError + ClearCommError + ReadFile", stream(kRawCom, o.bulk, raw_same, takes[1]), {}},
        {"ClearCommError + ReadFile", stream(kRawCom, o.bulk, raw_short, takes[2]), {}},
        {"ReadFile 64 KiB, waiting", stream(kRawCom, o.bulk, raw_wait, takes[3]), {}}};
    alternate(sides, o.bulkReps);
    const double streams = o.bulkReps + 1;  // the untimed round counts too
    std::string extra = ",\"bytes_per_take\":[";
    std::string empty = ",\"empty_per_stream\":[";
    for (int i = 0; i < 4; ++i) {
        extra += (i ? "," : "") + json_number(static_cast<double>(o.bulk) * streams / takes[i].brought);
        empty += (i ? "," : "") + json_number(takes[i].empty / streams);
    }
    report("bulk", sides, 1, o.bulk, extra + "]" + empty + "]");
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const long value = std::strtol(argv[i + 1], nullptr, 10);
        if (value <= 0) fail("bad value for " + key);
        if (key == "--reps") o.reps = static_cast<int>(value);
        else if (key == "--bulk-bytes")  // whole 64 KiB reads, so the waiting loop never times out
            o.bulk = (static_cast<unsigned long>(value) + sizeof bulkBuffer - 1) / sizeof bulkBuffer * sizeof bulkBuffer;
        else if (key == "--bulk-reps") o.bulkReps = static_cast<int>(value);
        else if (key == "--roundtrips") o.roundtrips = static_cast<int>(value);
        else if (key == "--fill") o.fill = std::min<int>(static_cast<int>(value), 4000);
        else if (key == "--getch-fill") o.getchFill = std::min<int>(static_cast<int>(value), 4000);
        else fail("unknown option " + key);
    }
    open_tarvo();
    RawPort port(kRawCom);
    raw = &port;

    iqueue_case(o);
    getch_case(o);
    read32_case(o);
    roundtrip_case(o);
    bulk_case(o);

    sio_close(kTarvoPort);
    return 0;
}
