// All 16 ports at once, each with a writer thread and a reader thread of its
// own and a peer on its pty master. The writer sends numbered requests, the
// peer checks each and answers it, the reader checks every answer byte. The
// next request goes out only after the whole answer to the previous one was
// read, because every sio_write first discards whatever waits unread.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pty/pty_support.h"
#include "tarvo.h"

namespace tarvo::stress {
namespace {

using pty::Clock;
using pty::Pty;

constexpr int PORTS = 16;
constexpr auto RUN_TIME = std::chrono::seconds(3);
// No answer for this long means it was lost; the whole run gets this long too.
constexpr auto STALL_LIMIT = std::chrono::seconds(30);
constexpr auto WATCHDOG = std::chrono::seconds(100);

// Request or answer `sequence` of a port: 1..300 or 1..700 bytes, no two alike.
std::vector<std::uint8_t> frame(int port, bool answer, std::uint32_t sequence) {
    const std::size_t size = answer ? 1 + (sequence * 37u + static_cast<unsigned>(port) * 11u) % 700u
                                    : 1 + (sequence * 53u + static_cast<unsigned>(port) * 7u) % 300u;
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = sequence * 2654435761u ^ (static_cast<std::uint32_t>(port) << 24) ^ (answer ? 0x5a5a5a5au : 0u);
    for (auto& byte : bytes) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(x >> 24);
    }
    return bytes;
}

struct Lane {
    explicit Lane(int number) : port(number) { pty.map_as(number); }

    const int port;
    Pty pty;
    std::atomic<std::uint32_t> sent{0};      // requests sio_write has sent in full
    std::atomic<std::uint32_t> answered{0};  // answers the reader has taken in full
    std::atomic<bool> writerDone{false};
    std::mutex mutex;
    std::condition_variable progress;
    std::string failure;  // the first fault seen on this port, under mutex
    // Each written by one thread only, read after it has been joined.
    std::uint64_t requestBytes = 0;
    std::uint64_t answerBytes = 0;
};

std::atomic<bool> stopAll{false};

void fail(Lane& lane, const std::string& what) {
    {
        std::lock_guard<std::mutex> lock(lane.mutex);
        if (lane.failure.empty()) lane.failure = "port " + std::to_string(lane.port) + ": " + what;
    }
    stopAll = true;
    lane.progress.notify_all();
}

bool failed(Lane& lane) {
    std::lock_guard<std::mutex> lock(lane.mutex);
    return !lane.failure.empty();
}

void writer(Lane& lane, Clock::time_point end) {
    for (std::uint32_t sequence = 0;; ++sequence) {
        const auto waitEnd = Clock::now() + STALL_LIMIT;
        bool ready = false;
        while (!ready && !stopAll && Clock::now() < waitEnd) {
            // Slices: a fault on another port sets stopAll without a notify here.
            std::unique_lock<std::mutex> lock(lane.mutex);
            ready = lane.progress.wait_for(lock, std::chrono::milliseconds(50),
                                           [&] { return lane.answered.load() == sequence || !lane.failure.empty(); });
        }
        if (!ready && !stopAll) fail(lane, "no answer to request " + std::to_string(sequence - 1));
        if (stopAll || failed(lane) || Clock::now() >= end) break;
        const auto request = frame(lane.port, false, sequence);
        const int size = static_cast<int>(request.size());
        const int rc = sio_write(lane.port, reinterpret_cast<const char*>(request.data()), size);
        if (rc != size) {
            fail(lane, "sio_write of request " + std::to_string(sequence) + " returned " + std::to_string(rc) +
                           " for " + std::to_string(size) + " bytes");
            break;
        }
        lane.requestBytes += request.size();
        lane.sent = sequence + 1;
    }
    lane.writerDone = true;
    lane.progress.notify_all();
}

void reader(Lane& lane) {
    std::vector<std::uint8_t> expected = frame(lane.port, true, 0);
    std::size_t got = 0;
    std::vector<std::uint8_t> buffer(4096);
    auto lastProgress = Clock::now();
    while (!stopAll) {
        const std::uint32_t sequence = lane.answered.load();
        if (lane.writerDone && sequence == lane.sent) return;
        const int waiting = sio_iqueue(lane.port);
        if (waiting < 0) return fail(lane, "sio_iqueue returned " + std::to_string(waiting));
        if (waiting == 0) {
            if (Clock::now() - lastProgress > STALL_LIMIT)
                return fail(lane, "answer " + std::to_string(sequence) + " stopped after " + std::to_string(got) +
                                      " of " + std::to_string(expected.size()) + " bytes");
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            continue;
        }
        const std::size_t left = expected.size() - got;
        if (static_cast<std::size_t>(waiting) > left)
            return fail(lane, std::to_string(waiting) + " bytes wait where answer " + std::to_string(sequence) +
                                  " has " + std::to_string(left) + " left");
        const int n = sio_read(lane.port, reinterpret_cast<char*>(buffer.data()), waiting);
        if (n <= 0 || n > waiting)
            return fail(lane, "sio_read returned " + std::to_string(n) + " with " + std::to_string(waiting) +
                                  " bytes waiting");
        if (!std::equal(buffer.begin(), buffer.begin() + n, expected.begin() + static_cast<std::ptrdiff_t>(got)))
            return fail(lane, "answer " + std::to_string(sequence) + " differs within bytes " + std::to_string(got) +
                                  ".." + std::to_string(got + static_cast<std::size_t>(n)));
        got += static_cast<std::size_t>(n);
        lastProgress = Clock::now();
        if (got == expected.size()) {
            lane.answerBytes += expected.size();
            expected = frame(lane.port, true, sequence + 1);
            got = 0;
            {
                std::lock_guard<std::mutex> lock(lane.mutex);
                lane.answered = sequence + 1;
            }
            lane.progress.notify_all();
        }
    }
}

// The instrument: takes request after request from the master, answers each.
void peer(Lane& lane) {
    std::uint32_t sequence = 0;
    std::vector<std::uint8_t> expected = frame(lane.port, false, 0);
    std::size_t got = 0;
    std::vector<std::uint8_t> buffer(4096);
    while (!stopAll) {
        if (lane.writerDone && sequence == lane.sent) return;
        pollfd watch{lane.pty.master(), POLLIN, 0};
        if (::poll(&watch, 1, 10) <= 0) continue;
        const ssize_t n = ::read(lane.pty.master(), buffer.data(), expected.size() - got);
        if (n <= 0) continue;
        if (!std::equal(buffer.begin(), buffer.begin() + n, expected.begin() + static_cast<std::ptrdiff_t>(got)))
            return fail(lane, "request " + std::to_string(sequence) + " arrived changed within bytes " +
                                  std::to_string(got) + ".." + std::to_string(got + static_cast<std::size_t>(n)));
        got += static_cast<std::size_t>(n);
        if (got < expected.size()) continue;
        const auto answer = frame(lane.port, true, sequence);
        if (lane.pty.send(answer.data(), answer.size()) != answer.size())
            return fail(lane, "the peer could not send answer " + std::to_string(sequence));
        expected = frame(lane.port, false, ++sequence);
        got = 0;
    }
}

TEST(Concurrency, SixteenPortsEachWithAReaderAndAWriterMoveEveryByteInOrder) {
    // A hang anywhere ends the run with a message instead of a ctest timeout.
    std::mutex watchdogMutex;
    std::condition_variable watchdogWake;
    bool finished = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(watchdogMutex);
        if (!watchdogWake.wait_for(lock, WATCHDOG, [&] { return finished; })) {
            std::fprintf(stderr, "concurrency: still running after %lld s, aborting\n",
                         static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(WATCHDOG).count()));
            std::abort();
        }
    });

    std::vector<std::unique_ptr<Lane>> lanes;
    for (int port = 1; port <= PORTS; ++port) {
        lanes.push_back(std::make_unique<Lane>(port));
        ASSERT_EQ(sio_open(port), 0) << port;
        ASSERT_EQ(sio_ioctl(port, 19, 0x03), 0) << port;
    }

    const auto start = Clock::now();
    const auto end = start + RUN_TIME;
    std::vector<std::thread> threads;
    for (auto& lane : lanes) {
        threads.emplace_back(peer, std::ref(*lane));
        threads.emplace_back(reader, std::ref(*lane));
        threads.emplace_back(writer, std::ref(*lane), end);
    }
    for (auto& thread : threads) thread.join();
    const long took = pty::elapsed_ms(start);
    {
        std::lock_guard<std::mutex> lock(watchdogMutex);
        finished = true;
    }
    watchdogWake.notify_all();
    watchdog.join();

    std::uint64_t exchanges = 0, toPeers = 0, fromPeers = 0;
    for (auto& lane : lanes) {
        EXPECT_EQ(lane->failure, "");
        EXPECT_GT(lane->sent.load(), 0u) << "port " << lane->port << " exchanged nothing";
        EXPECT_EQ(lane->answered.load(), lane->sent.load()) << "port " << lane->port;
        EXPECT_EQ(sio_iqueue(lane->port), 0) << "port " << lane->port;
        EXPECT_EQ(sio_close(lane->port), 0) << "port " << lane->port;
        exchanges += lane->answered.load();
        toPeers += lane->requestBytes;
        fromPeers += lane->answerBytes;
    }
    std::printf("concurrency: %d ports, %llu exchanges, %llu bytes moved (%llu to the peers, %llu back) in %ld ms\n",
                PORTS, static_cast<unsigned long long>(exchanges),
                static_cast<unsigned long long>(toPeers + fromPeers), static_cast<unsigned long long>(toPeers),
                static_cast<unsigned long long>(fromPeers), took);
    RecordProperty("bytes_moved", std::to_string(toPeers + fromPeers));
}

}  // namespace
}  // namespace tarvo::stress
