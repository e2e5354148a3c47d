// Pseudo-terminal pairs and the peers on their master side: an echo peer that
// answers every request, and a streamer that pushes a fixed amount on demand.
#ifndef TARVO_BENCH_PTY_RIG_H
#define TARVO_BENCH_PTY_RIG_H

#include <cstddef>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"

namespace bench {

[[noreturn]] void fail(const std::string& what);

// One pair; the master stays open for the life of the object.
struct Pty {
    Pty();

    tarvo::PtyPair pair;
    const int master;
    const std::string slave;
};

// The descriptor a serial layer would hold: the slave opened read-write,
// no controlling terminal, raw 8-bit line, held exclusively unless asked
// not to. `nonblocking` as the library's.
int open_slave(const std::string& path, bool nonblocking, bool exclusive = true);

// Writes `count` bytes (never 0x00) to the master, then spins on `waiting()`
// until the slave reports them all queued: the pty hands bytes on through a
// kernel work item, so a write does not mean the bytes are there yet.
template <typename Waiting>
void fill(int master, int count, Waiting waiting);
void write_all(int fd, const void* data, std::size_t size);

// Answers every byte a slave sends with the same bytes, from one thread over
// all the masters it is given (epoll), as one device server would.
class EchoPeer {
public:
    explicit EchoPeer(std::vector<int> masters);
    ~EchoPeer();

private:
    void run();
    std::vector<int> masters_;
    int stop_ = -1;
    std::thread thread_;
};

// Streams `total` bytes into one master each time start() is called.
class Streamer {
public:
    explicit Streamer(std::size_t total);
    ~Streamer();
    void start(int master);  // returns at once; the stream runs on the peer thread
    std::size_t total() const { return total_; }

private:
    void run();
    std::size_t total_;
    int requests_[2] = {-1, -1};  // pipe carrying the master to stream into; -1 stops
    std::thread thread_;
};

}  // namespace bench

template <typename Waiting>
void bench::fill(int master, int count, Waiting waiting) {
    static char pattern[4096];
    if (pattern[0] == 0)
        for (std::size_t i = 0; i < sizeof pattern; ++i) pattern[i] = static_cast<char>('A' + i % 26);
    if (count > static_cast<int>(sizeof pattern)) fail("fill: too many bytes for one queue");
    write_all(master, pattern, static_cast<std::size_t>(count));
    while (waiting() < count) {
    }
}

#endif
