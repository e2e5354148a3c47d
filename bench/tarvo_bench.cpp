// Every case runs on pseudo-terminal pairs, side by side with the raw system
// calls that do the same device work on the same kind of descriptor, and with
// the serial libraries applications use instead (Boost.Asio in process,
// pyserial as a child that times itself). bench/report.py turns the JSON into
// medians and ratios.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/serial_port.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "pty_rig.h"
#include "tarvo.h"

extern char** environ;

namespace {

using bench::fail;
using bench::fill;
using benchmark::State;
using Clock = std::chrono::steady_clock;

constexpr int kPorts = 16;
constexpr int kRequest = 32;          // bytes per request and per answer
constexpr int kQueueFill = 4000;      // stays below the 4 KiB line-discipline queue
constexpr std::size_t kBulk = 16u << 20;
constexpr int kLineMode = 0x03;       // 8 data bits, no parity, one stop bit
constexpr int kRateIndex = 12;        // 9600 bit/s; a pty ignores the rate

struct Rig {
    Rig();
    ~Rig();

    std::vector<std::unique_ptr<bench::Pty>> sioPty;  // sio port n uses sioPty[n - 1]
    std::vector<int> sioKeeper;  // hold each slave open while its port is closed: no hangup
    std::vector<std::unique_ptr<bench::Pty>> rawPty;
    std::vector<int> rawFd;  // opened as the termios layer opens its devices
    bench::Pty blockingPty;  // for the plain blocking read loop
    int blockingFd = -1;
    bench::Pty asioPty;
    boost::asio::io_context io;
    std::unique_ptr<boost::asio::serial_port> asio;
    bench::Pty pyPty;
    int pyKeeper = -1;  // keeps the slave open between pyserial runs: no hangup
    std::unique_ptr<bench::EchoPeer> echo;
    bench::Streamer streamer{kBulk};
};

Rig* rig = nullptr;

void open_sio_port(int port);

Rig::Rig() {
    std::vector<int> masters;
    for (int i = 0; i < kPorts; ++i) {
        sioPty.push_back(std::make_unique<bench::Pty>());
        rawPty.push_back(std::make_unique<bench::Pty>());
        masters.push_back(sioPty.back()->master);
        masters.push_back(rawPty.back()->master);

        const int port = i + 1;
        const std::string var = "TARVO_COM" + std::to_string(port);
        setenv(var.c_str(), sioPty.back()->slave.c_str(), 1);
        sioKeeper.push_back(bench::open_slave(sioPty.back()->slave, true, false));
        open_sio_port(port);
        rawFd.push_back(bench::open_slave(rawPty.back()->slave, true));
    }
    blockingFd = bench::open_slave(blockingPty.slave, false);
    asio = std::make_unique<boost::asio::serial_port>(io, asioPty.slave);
    asio->set_option(boost::asio::serial_port_base::baud_rate(9600));
    asio->set_option(boost::asio::serial_port_base::character_size(8));
    masters.push_back(asioPty.master);
    pyKeeper = bench::open_slave(pyPty.slave, true, false);
    masters.push_back(pyPty.master);
    echo = std::make_unique<bench::EchoPeer>(masters);
}

Rig::~Rig() {
    echo.reset();
    for (int port = 1; port <= kPorts; ++port) sio_close(port);
    for (const int fd : rawFd) close(fd);
    for (const int fd : sioKeeper) close(fd);
    close(blockingFd);
    close(pyKeeper);
}

int raw_waiting(int fd) {
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return n;
}

// ---- the raw system-call sequences: the limit each sio_ call is held to ----

// sio_getch: status read, then one byte if any waits.
int raw_getch(int fd) {
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    if (n <= 0) return ERR_NO_DATA;
    unsigned char byte = 0;
    if (read(fd, &byte, 1) != 1) return ERR_NO_DATA;
    return byte;
}

// sio_read: status read, then no more than waits.
int raw_read(int fd, char* buffer, int length) {
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    const int amount = std::min(n, length);
    if (amount <= 0) return 0;
    const ssize_t got = read(fd, buffer, static_cast<std::size_t>(amount));
    return got < 0 ? 0 : static_cast<int>(got);
}

// sio_write: status read, purge of both queues, the write, then the drain
// check: how much is still queued for output (a pty has nothing queued, so
// the wait that would follow never runs, here or in the library).
int raw_write(int fd, const char* buffer, int count) {
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    ioctl(fd, TCFLSH, TCIOFLUSH);
    const ssize_t sent = write(fd, buffer, static_cast<std::size_t>(count));
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) tcdrain(fd);
    return sent < 0 ? 0 : static_cast<int>(sent);
}

char request[kRequest] = "0123456789abcdefghijklmnopqrstu";

// ---- single-call cases: a few bytes or a full queue waiting ----

void iqueue_sio(State& st) {
    sio_flush(1, 0);
    fill(rig->sioPty[0]->master, kRequest, [] { return sio_iqueue(1); });
    for (auto _ : st) benchmark::DoNotOptimize(sio_iqueue(1));
}

void iqueue_raw(State& st) {
    const int fd = rig->rawFd[0];
    tcflush(fd, TCIFLUSH);
    fill(rig->rawPty[0]->master, kRequest, [fd] { return raw_waiting(fd); });
    for (auto _ : st) {
        int n = 0;
        ioctl(fd, FIONREAD, &n);
        benchmark::DoNotOptimize(n);
    }
}

// Fills the queue outside the clock, then times `ops` calls of `op` that
// between them take exactly the bytes filled.
template <typename Waiting, typename Op>
void batched(State& st, int master, int ops, Waiting waiting, Op op) {
    long sum = 0;
    for (auto _ : st) {
        fill(master, kQueueFill, waiting);
        const auto t0 = Clock::now();
        for (int i = 0; i < ops; ++i) sum += op();
        const auto t1 = Clock::now();
        st.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
        if (waiting() != 0) {
            st.SkipWithError("bytes left over after the batch");
            break;
        }
    }
    if (sum < 0) st.SkipWithError("a call failed");
    st.counters["ops"] = ops;
}

void getch_sio(State& st) {
    sio_flush(1, 0);
    batched(st, rig->sioPty[0]->master, kQueueFill, [] { return sio_iqueue(1); }, [] { return sio_getch(1); });
}

void getch_raw(State& st) {
    const int fd = rig->rawFd[0];
    tcflush(fd, TCIFLUSH);
    batched(st, rig->rawPty[0]->master, kQueueFill, [fd] { return raw_waiting(fd); }, [fd] { return raw_getch(fd); });
}

void read32_sio(State& st) {
    static char buf[kRequest];
    sio_flush(1, 0);
    batched(st, rig->sioPty[0]->master, kQueueFill / kRequest, [] { return sio_iqueue(1); },
            [] { return sio_read(1, buf, kRequest) - kRequest; });
}

void read32_raw(State& st) {
    static char buf[kRequest];
    const int fd = rig->rawFd[0];
    tcflush(fd, TCIFLUSH);
    batched(st, rig->rawPty[0]->master, kQueueFill / kRequest, [fd] { return raw_waiting(fd); },
            [fd] { return raw_read(fd, buf, kRequest) - kRequest; });
}

// ---- request/answer round trips against the echo peer ----

bool sio_exchange(int port) {
    char answer[kRequest];
    if (sio_write(port, request, kRequest) != kRequest) return false;
    for (int n; (n = sio_iqueue(port)) < kRequest;)
        if (n < 0) return false;
    return sio_read(port, answer, kRequest) == kRequest;
}

bool raw_exchange(int fd) {
    char answer[kRequest];
    if (raw_write(fd, request, kRequest) != kRequest) return false;
    while (raw_waiting(fd) < kRequest) {
    }
    return raw_read(fd, answer, kRequest) == kRequest;
}

void roundtrip_sio(State& st) {
    for (auto _ : st)
        if (!sio_exchange(1)) {
            st.SkipWithError("exchange failed");
            break;
        }
}

void roundtrip_raw(State& st) {
    for (auto _ : st)
        if (!raw_exchange(rig->rawFd[0])) {
            st.SkipWithError("exchange failed");
            break;
        }
}

// Asio as its users write it: write the request, read the answer (it waits
// in poll() rather than spinning, and neither purges nor drains).
void roundtrip_asio(State& st) {
    char answer[kRequest];
    ::tcflush(rig->asio->native_handle(), TCIOFLUSH);
    for (auto _ : st) {
        boost::asio::write(*rig->asio, boost::asio::buffer(request, kRequest));
        boost::asio::read(*rig->asio, boost::asio::buffer(answer, kRequest));
    }
}

// ---- paired: Tarvo and its raw sequence in alternating blocks ----

// Both sides run in turns within one loop (which goes first alternates), so
// load that comes and goes on a shared machine falls on both alike; the
// ratio of their totals is then far steadier than the ratio of two medians
// taken apart. real_time is Tarvo's; counters carry both per-call times.
template <typename PrepA, typename OpA, typename PrepB, typename OpB>
void paired(State& st, int ops, PrepA prepA, OpA opA, PrepB prepB, OpB opB) {
    double tarvo = 0;
    double raw = 0;
    bool ok = true;
    const auto block = [&](auto& prep, auto& op) {
        prep();
        const auto t0 = Clock::now();
        for (int i = 0; i < ops; ++i) ok = op() && ok;
        return std::chrono::duration<double>(Clock::now() - t0).count();
    };
    bool tarvoFirst = true;
    for (auto _ : st) {
        double a = 0;
        double b = 0;
        if (tarvoFirst) {
            a = block(prepA, opA);
            b = block(prepB, opB);
        } else {
            b = block(prepB, opB);
            a = block(prepA, opA);
        }
        tarvoFirst = !tarvoFirst;
        tarvo += a;
        raw += b;
        st.SetIterationTime(a);
    }
    if (!ok) st.SkipWithError("a call failed");
    const double calls = static_cast<double>(st.iterations()) * ops;
    st.counters["ops"] = ops;
    st.counters["tarvo_ns"] = tarvo / calls * 1e9;
    st.counters["raw_ns"] = raw / calls * 1e9;
    st.counters["ratio"] = tarvo / raw;
}

void iqueue_paired(State& st) {
    const int fd = rig->rawFd[0];
    sio_flush(1, 0);
    tcflush(fd, TCIFLUSH);
    fill(rig->sioPty[0]->master, kRequest, [] { return sio_iqueue(1); });
    fill(rig->rawPty[0]->master, kRequest, [fd] { return raw_waiting(fd); });
    const auto none = [] {};
    paired(st, 1000, none, [] { return sio_iqueue(1) == kRequest; }, none,
           [fd] { return raw_waiting(fd) == kRequest; });
}

void getch_paired(State& st) {
    const int fd = rig->rawFd[0];
    sio_flush(1, 0);
    tcflush(fd, TCIFLUSH);
    paired(
        st, kQueueFill, [] { fill(rig->sioPty[0]->master, kQueueFill, [] { return sio_iqueue(1); }); },
        [] { return sio_getch(1) >= 0; },
        [fd] { fill(rig->rawPty[0]->master, kQueueFill, [fd] { return raw_waiting(fd); }); },
        [fd] { return raw_getch(fd) >= 0; });
}

void read32_paired(State& st) {
    static char buf[kRequest];
    const int fd = rig->rawFd[0];
    sio_flush(1, 0);
    tcflush(fd, TCIFLUSH);
    paired(
        st, kQueueFill / kRequest, [] { fill(rig->sioPty[0]->master, kQueueFill, [] { return sio_iqueue(1); }); },
        [] { return sio_read(1, buf, kRequest) == kRequest; },
        [fd] {
            fill(rig->rawPty[0]->master, kQueueFill, [fd] { return raw_waiting(fd); });
        },
        [fd] { return raw_read(fd, buf, kRequest) == kRequest; });
}

void roundtrip_paired(State& st) {
    const int fd = rig->rawFd[0];
    const auto none = [] {};
    paired(st, 20, none, [] { return sio_exchange(1); }, none, [fd] { return raw_exchange(fd); });
}

// Asio doing Tarvo's device work: status read, purge, write, drain check,
// then its own wait for the answer.
void roundtrip_asio_same_work(State& st) {
    char answer[kRequest];
    const int fd = rig->asio->native_handle();
    for (auto _ : st) {
        int n = 0;
        ::ioctl(fd, FIONREAD, &n);
        ::ioctl(fd, TCFLSH, TCIOFLUSH);
        boost::asio::write(*rig->asio, boost::asio::buffer(request, kRequest));
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) ::tcdrain(fd);
        boost::asio::read(*rig->asio, boost::asio::buffer(answer, kRequest));
    }
}

// Tarvo's device work in raw calls, but waiting for the answer in poll() as
// Asio does instead of spinning on FIONREAD: tells the cost of the waiting
// strategy apart from the cost of the calls.
void roundtrip_raw_wait(State& st) {
    const int fd = rig->rawFd[0];
    char answer[kRequest];
    for (auto _ : st) {
        raw_write(fd, request, kRequest);
        while (raw_waiting(fd) < kRequest) {
            pollfd in{fd, POLLIN, 0};
            ::poll(&in, 1, -1);
        }
        if (raw_read(fd, answer, kRequest) != kRequest) return st.SkipWithError("short answer");
    }
}

// ---- bulk receive: 16 MiB pushed by the streamer ----

char bulkBuffer[64 * 1024];

// Receives that brought bytes, and those that found none, over a stream.
struct StreamCounts {
    double takes = 0;
    double empty = 0;
};

// One whole stream into `master`, taken by `receive` (bytes, or < 0 on failure).
template <typename Receive>
bool take_stream(int master, Receive& receive, StreamCounts* counts = nullptr) {
    rig->streamer.start(master);
    for (std::size_t got = 0; got < kBulk;) {
        const int n = receive();
        if (n < 0) return false;
        got += static_cast<std::size_t>(n);
        if (counts != nullptr) (n > 0 ? counts->takes : counts->empty) += 1;
    }
    return true;
}

// Counters: bytes per receive that brought any, and receives that found
// nothing per stream; they show how the loop and the streamer interleave.
template <typename Receive>
void bulk(State& st, int master, Receive receive) {
    StreamCounts counts;
    for (auto _ : st)
        if (!take_stream(master, receive, &counts)) return st.SkipWithError("receive failed");
    st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * kBulk));
    const double streams = static_cast<double>(st.iterations());
    st.counters["bytes_per_take"] = static_cast<double>(kBulk) * streams / counts.takes;
    st.counters["empty_per_stream"] = counts.empty / streams;
}

int sio_take_waiting() {
    const int n = sio_iqueue(1);
    return n > 0 ? sio_read(1, bulkBuffer, std::min<int>(n, sizeof bulkBuffer)) : n;
}

int raw_blocking_read() {
    const ssize_t n = read(rig->blockingFd, bulkBuffer, sizeof bulkBuffer);
    return n < 0 ? -1 : static_cast<int>(n);
}

void bulk_sio(State& st) {
    sio_flush(1, 0);
    bulk(st, rig->sioPty[0]->master, sio_take_waiting);
}

// Whole streams in turns: Tarvo's sio_iqueue + sio_read, then the blocking
// read loop (or the other way round); ratio = Tarvo's time / the loop's.
void bulk_paired(State& st) {
    sio_flush(1, 0);
    tcflush(rig->blockingFd, TCIFLUSH);
    const auto none = [] {};
    paired(st, 1, none, [] { return take_stream(rig->sioPty[0]->master, sio_take_waiting); }, none,
           [] { return take_stream(rig->blockingPty.master, raw_blocking_read); });
    st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * kBulk));
}

// sio_read alone already takes no more than waits: one status read less.
void bulk_sio_read_only(State& st) {
    sio_flush(1, 0);
    bulk(st, rig->sioPty[0]->master, [] { return sio_read(1, bulkBuffer, sizeof bulkBuffer); });
}

void bulk_raw_read_loop(State& st) {
    tcflush(rig->blockingFd, TCIFLUSH);
    bulk(st, rig->blockingPty.master, raw_blocking_read);
}

// The same device work as bulk_sio: status read, then status read and read.
void bulk_raw_poll(State& st) {
    const int fd = rig->rawFd[0];
    tcflush(fd, TCIFLUSH);
    bulk(st, rig->rawPty[0]->master, [fd] {
        const int n = raw_waiting(fd);
        return n > 0 ? raw_read(fd, bulkBuffer, std::min<int>(n, sizeof bulkBuffer)) : n;
    });
}

void bulk_asio(State& st) {
    ::tcflush(rig->asio->native_handle(), TCIFLUSH);
    bulk(st, rig->asioPty.master,
         [] { return static_cast<int>(rig->asio->read_some(boost::asio::buffer(bulkBuffer))); });
}

// ---- open: sio_open and sio_close against the raw sequence ----

// What an open cannot do without: open, the hold (flock), raw settings
// (TCSETS, prepared beforehand), close.
bool raw_open_close(const std::string& path, const termios& raw) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0 && ioctl(fd, TCSETS, &raw) == 0;
    close(fd);
    return ok;
}

// Port 16, its slave kept open meanwhile, against a pty of its own.
void open_paired(State& st) {
    const auto none = [] {};
    sio_close(kPorts);
    bench::Pty rawPty;
    const int keeper = bench::open_slave(rawPty.slave, true, false);
    termios raw{};
    tcgetattr(keeper, &raw);
    cfmakeraw(&raw);
    paired(st, 100, none, [] { return sio_open(kPorts) == 0 && sio_close(kPorts) == 0; }, none,
           [&] { return raw_open_close(rawPty.slave, raw); });
    close(keeper);
    open_sio_port(kPorts);
}

// ---- scale: N ports open and busy ----

void open_sio_port(int port) {
    if (int rc = sio_open(port); rc != 0) fail("sio_open(" + std::to_string(port) + ") = " + std::to_string(rc));
    if (int rc = sio_ioctl(port, kRateIndex, kLineMode); rc != 0) fail("sio_ioctl = " + std::to_string(rc));
}

// Exactly ports 1..n open for the life of the object; all 16 again after.
struct OnlyOpen {
    explicit OnlyOpen(int n) : n_(n) {
        for (int p = n_ + 1; p <= kPorts; ++p) sio_close(p);
    }
    ~OnlyOpen() {
        for (int p = n_ + 1; p <= kPorts; ++p) open_sio_port(p);
    }
    int n_;
};

// All N requests go out, then all N answers are collected: N exchanges in
// flight at once. Time per port is real_time / ops.
void scale_sio(State& st) {
    const int ports = static_cast<int>(st.range(0));
    const OnlyOpen open(ports);
    char answer[kRequest];
    for (auto _ : st) {
        for (int p = 1; p <= ports; ++p) sio_write(p, request, kRequest);
        for (int p = 1; p <= ports; ++p) {
            for (int n; (n = sio_iqueue(p)) < kRequest;)
                if (n < 0) return st.SkipWithError("sio_iqueue failed");
            if (sio_read(p, answer, kRequest) != kRequest) return st.SkipWithError("short answer");
        }
    }
    st.counters["ops"] = ports;
}

void scale_raw(State& st) {
    const int ports = static_cast<int>(st.range(0));
    char answer[kRequest];
    for (auto _ : st) {
        for (int p = 0; p < ports; ++p) raw_write(rig->rawFd[p], request, kRequest);
        for (int p = 0; p < ports; ++p) {
            while (raw_waiting(rig->rawFd[p]) < kRequest) {
            }
            if (raw_read(rig->rawFd[p], answer, kRequest) != kRequest) return st.SkipWithError("short answer");
        }
    }
    st.counters["ops"] = ports;
}

// One exchange at a time, each on the next of N open ports in turn.
void rotate_sio(State& st) {
    const int ports = static_cast<int>(st.range(0));
    const OnlyOpen open(ports);
    int p = 0;
    for (auto _ : st) {
        if (!sio_exchange(p + 1)) return st.SkipWithError("exchange failed");
        p = (p + 1) % ports;
    }
}

void rotate_raw(State& st) {
    const int ports = static_cast<int>(st.range(0));
    int p = 0;
    for (auto _ : st) {
        if (!raw_exchange(rig->rawFd[p])) return st.SkipWithError("exchange failed");
        p = (p + 1) % ports;
    }
}

// ---- pyserial, in a child: it times its own loop and prints the total ----

struct PyResult {
    double seconds = 0;
    double ops = 0;
};

std::string readLine(FILE* in) {
    std::string line;
    for (int c; (c = std::fgetc(in)) != EOF && c != '\n';) line += static_cast<char>(c);
    return line;
}

bool run_pyserial(const char* kase, long count, PyResult& out, std::string& error) {
    int pipeFd[2];
    if (pipe2(pipeFd, O_CLOEXEC) != 0) fail("pipe2");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFd[1], 1);
    const std::string script = TARVO_BENCH_DIR "/pyserial_cases.py";
    const std::string countText = std::to_string(count);
    const std::string total = std::to_string(kBulk);
    const char* argv[] = {"/usr/bin/python3", script.c_str(), rig->pyPty.slave.c_str(), kase,
                          countText.c_str(),  total.c_str(),  nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFd[1]);
    if (rc != 0) {
        close(pipeFd[0]);
        error = "cannot start /usr/bin/python3";
        return false;
    }
    FILE* in = fdopen(pipeFd[0], "r");
    bool ok = false;
    for (std::string line; !(line = readLine(in)).empty();) {
        if (line == "ready fill") {
            bench::write_all(rig->pyPty.master, request, kRequest);
        } else if (line == "ready stream") {
            rig->streamer.start(rig->pyPty.master);
        } else if (std::sscanf(line.c_str(), "result %lf %lf", &out.seconds, &out.ops) == 2) {
            ok = true;
        } else {
            error = line;
        }
    }
    std::fclose(in);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!ok && error.empty()) error = "pyserial run failed";
    return ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void pyserial(State& st, const char* kase, long count) {
    PyResult r;
    for (auto _ : st) {
        std::string error;
        if (!run_pyserial(kase, count, r, error)) return st.SkipWithError(error.c_str());
        st.SetIterationTime(r.seconds);
    }
    st.counters["ops"] = r.ops;
    if (std::string(kase) == "bulk") st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * kBulk));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Rig theRig;
    rig = &theRig;

    using benchmark::RegisterBenchmark;
    auto real = [](benchmark::internal::Benchmark* b) { return b->UseRealTime()->Unit(benchmark::kNanosecond); };
    auto manual = [](benchmark::internal::Benchmark* b) { return b->UseManualTime()->Unit(benchmark::kNanosecond); };

    // Each pyserial run starts an interpreter; a few runs give a steady median.
    const int pyRuns = 5;
    real(RegisterBenchmark("iqueue/sio", iqueue_sio));
    real(RegisterBenchmark("iqueue/raw", iqueue_raw));
    manual(RegisterBenchmark("iqueue/pyserial", pyserial, "in_waiting", 100000L))->Iterations(1)->Repetitions(pyRuns);
    manual(RegisterBenchmark("getch/sio", getch_sio));
    manual(RegisterBenchmark("getch/raw", getch_raw));
    manual(RegisterBenchmark("read32/sio", read32_sio));
    manual(RegisterBenchmark("read32/raw", read32_raw));
    manual(RegisterBenchmark("iqueue/paired", iqueue_paired));
    manual(RegisterBenchmark("getch/paired", getch_paired));
    manual(RegisterBenchmark("read32/paired", read32_paired));
    manual(RegisterBenchmark("roundtrip/paired", roundtrip_paired));
    manual(RegisterBenchmark("open/paired", open_paired));
    real(RegisterBenchmark("roundtrip/sio", roundtrip_sio));
    real(RegisterBenchmark("roundtrip/raw", roundtrip_raw));
    real(RegisterBenchmark("roundtrip/raw_wait", roundtrip_raw_wait));
    real(RegisterBenchmark("roundtrip/asio", roundtrip_asio));
    real(RegisterBenchmark("roundtrip/asio_same_work", roundtrip_asio_same_work));
    manual(RegisterBenchmark("roundtrip/pyserial", pyserial, "roundtrip", 3000L))->Iterations(1)->Repetitions(pyRuns);
    const int bulkIterations = 2;
    real(RegisterBenchmark("bulk/sio", bulk_sio))->Iterations(bulkIterations);
    manual(RegisterBenchmark("bulk/paired", bulk_paired))->Iterations(bulkIterations);
    real(RegisterBenchmark("bulk/sio_read_only", bulk_sio_read_only))->Iterations(bulkIterations);
    real(RegisterBenchmark("bulk/raw_read_loop", bulk_raw_read_loop))->Iterations(bulkIterations);
    real(RegisterBenchmark("bulk/raw_poll", bulk_raw_poll))->Iterations(bulkIterations);
    real(RegisterBenchmark("bulk/asio", bulk_asio))->Iterations(bulkIterations);
    manual(RegisterBenchmark("bulk/pyserial", pyserial, "bulk", 1L))->Iterations(1)->Repetitions(pyRuns);
    for (const int n : {1, 4, 16}) {
        real(RegisterBenchmark("scale/sio", scale_sio))->Arg(n);
        real(RegisterBenchmark("scale/raw", scale_raw))->Arg(n);
        real(RegisterBenchmark("rotate/sio", rotate_sio))->Arg(n);
        real(RegisterBenchmark("rotate/raw", rotate_raw))->Arg(n);
    }

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
