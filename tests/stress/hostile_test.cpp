// Peers that misbehave, through libtarvo.so on pseudo-terminals: each case
// must end in its own result codes and counts within a bounded time.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "pty/port_fixture.h"

namespace tarvo::pty {
namespace {

using Hostile = PtyPort;

constexpr unsigned char XON = 0x11;
constexpr unsigned char XOFF = 0x13;

// A sio_write running on a thread of its own, for the cases that must see
// it block.
class BackgroundWrite {
public:
    BackgroundWrite(const std::vector<std::uint8_t>& data)
        : thread_([this, &data] {
              started_ = true;
              result_ = sio_write(PORT, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size()));
              done_ = true;
          }) {}
    ~BackgroundWrite() {
        if (thread_.joinable()) thread_.join();
    }
    bool started() const { return started_; }
    bool done() const { return done_; }
    // Waits for the end of the write; its result, or INT_MIN if it has not
    // ended within timeoutMs.
    int result(int timeoutMs) {
        if (!wait_until([this] { return done_.load(); }, timeoutMs)) return INT_MIN;
        thread_.join();
        return result_;
    }

private:
    std::atomic<bool> started_{false};
    std::atomic<bool> done_{false};
    int result_ = 0;
    std::thread thread_;
};

// The peer stops the port's output with XOFF, which the port obeys once it
// has IXON set. The byte after it shows when the port has taken the XOFF in.
void stop_output(Pty& pty) {
    termios2 tio = pty.settings();
    tio.c_iflag |= IXON;
    pty.set(tio);
    const unsigned char stop[] = {XOFF, '.'};
    ASSERT_EQ(pty.send(stop, sizeof stop), sizeof stop);
    ASSERT_TRUE(wait_until([] { return sio_iqueue(PORT) == 1; }));
}

TEST_F(Hostile, PeerHangsUpInTheMiddleOfTheCallersReading) {
    ASSERT_EQ(sio_ioctl(PORT, 12, 0x03), 0);
    const auto data = pattern(1000);
    ASSERT_EQ(pty.send(data.data(), data.size()), data.size());
    ASSERT_TRUE(wait_for_input(1000));
    char buffer[2000];
    ASSERT_EQ(sio_read(PORT, buffer, 100), 100);
    EXPECT_EQ(std::memcmp(buffer, data.data(), 100), 0);

    pty.close_master();
    // The hung-up terminal refuses its status and settings: the 900 bytes
    // still waiting are lost, and nothing reaches the peer any more.
    const auto start = Clock::now();
    EXPECT_EQ(sio_iqueue(PORT), ERR_STATUS_FAILED);
    EXPECT_EQ(sio_read(PORT, buffer, sizeof buffer), 0);
    EXPECT_EQ(sio_getch(PORT), ERR_NO_DATA);
    EXPECT_EQ(sio_write(PORT, "more", 4), 0);
    EXPECT_EQ(sio_flush(PORT, 2), ERR_STATUS_FAILED);
    EXPECT_EQ(sio_ioctl(PORT, 12, 0x03), ERR_GET_STATE_FAILED);
    EXPECT_EQ(sio_term_irq(PORT), 0);
    EXPECT_LT(elapsed_ms(start), 2000);
    EXPECT_EQ(sio_close(PORT), 0);
    // The pty went with its master.
    EXPECT_EQ(sio_open(PORT), ERR_OPEN_FAILED);
}

TEST_F(Hostile, PeerHangsUpWhileAWriteWaitsForRoom) {
    ASSERT_EQ(sio_ioctl(PORT, 12, 0x03), 0);
    // The peer never reads: the pty takes some 64 KiB, then the write waits
    // (its limit, 2000 ms a byte, is far off).
    const auto data = pattern(1u << 20);
    BackgroundWrite write(data);
    ASSERT_TRUE(wait_until([&] {
        int queued = 0;
        return ::ioctl(pty.master(), FIONREAD, &queued) == 0 && queued > 0;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_FALSE(write.done());

    int queued = 0;
    ASSERT_EQ(::ioctl(pty.master(), FIONREAD, &queued), 0);
    const auto start = Clock::now();
    pty.close_master();
    // Ends at once and counts what the device took before the hang-up, as
    // Windows counts the bytes a failed write moved; the rest is not sent.
    const int sent = write.result(5000);
    EXPECT_GE(sent, queued);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(data.size()));
    EXPECT_LT(elapsed_ms(start), 2000);
    EXPECT_EQ(sio_close(PORT), 0);
}

TEST_F(Hostile, PeerThatNeverTakesAByteEndsTheWriteAtItsTimeout) {
    ASSERT_EQ(sio_ioctl(PORT, 12, 0x03), 0);
    stop_output(pty);

    // The limit is 2000 ms for each byte plus 2000 ms: 4 s for one byte.
    auto start = Clock::now();
    EXPECT_EQ(sio_write(PORT, "x", 1), 0);
    const long took = elapsed_ms(start);
    EXPECT_GE(took, 3990);
    EXPECT_LT(took, 15000);

    // The byte that timed out is gone; once the peer lets the line go, the
    // next write arrives alone and whole.
    const unsigned char go = XON;
    ASSERT_EQ(pty.send(&go, 1), 1u);
    ASSERT_TRUE(wait_until([] { return sio_iqueue(PORT) == 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    start = Clock::now();
    EXPECT_EQ(sio_write(PORT, "hello", 5), 5);
    EXPECT_LT(elapsed_ms(start), 2000);
    const auto seen = pty.receive(6, 500);
    EXPECT_EQ(std::string(seen.begin(), seen.end()), "hello");
}

TEST_F(Hostile, BeforeSioIoctlAWriteWaitsForTheLineWithoutLimit) {
    // No write timeout is in force until sio_ioctl installs one.
    stop_output(pty);
    const std::vector<std::uint8_t> one{'z'};
    BackgroundWrite write(one);
    ASSERT_TRUE(wait_until([&] { return write.started(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(write.done());

    const unsigned char go = XON;
    ASSERT_EQ(pty.send(&go, 1), 1u);
    EXPECT_EQ(write.result(5000), 1);
    const auto seen = pty.receive(1, 2000);
    EXPECT_EQ(std::string(seen.begin(), seen.end()), "z");
}

TEST_F(Hostile, PeerFloodsTenMebibytesWhileTheCallerPolls) {
    constexpr std::size_t SIZE = 10u << 20;
    const auto data = pattern(SIZE);
    std::atomic<std::size_t> offered{0};
    std::atomic<bool> reading{true};
    // As fast as the pty takes it, in pieces so that it stops with the reader.
    std::thread flood([&] {
        constexpr std::size_t PIECE = 64u << 10;
        for (std::size_t at = 0; at < SIZE && reading;) {
            const std::size_t put = pty.send(data.data() + at, std::min(PIECE, SIZE - at), 1000);
            at += put;
            offered = at;
        }
    });

    std::vector<std::uint8_t> buffer(8192);
    std::size_t got = 0;
    std::size_t mismatch = SIZE;
    const auto start = Clock::now();
    int fault = 0;
    while (got < SIZE && elapsed_ms(start) < 120000) {
        const int waiting = sio_iqueue(PORT);
        if (waiting < 0) {
            fault = waiting;
            break;
        }
        if (waiting == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            continue;
        }
        // More may have arrived since; sio_read takes what waits then.
        const int n = sio_read(PORT, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()));
        if (n < waiting || n > static_cast<int>(buffer.size())) {
            fault = n;
            break;
        }
        for (int i = 0; i < n && mismatch == SIZE; ++i)
            if (buffer[static_cast<std::size_t>(i)] != data[got + static_cast<std::size_t>(i)])
                mismatch = got + static_cast<std::size_t>(i);
        got += static_cast<std::size_t>(n);
    }
    reading = false;
    flood.join();
    EXPECT_EQ(fault, 0);
    EXPECT_EQ(offered.load(), SIZE);
    EXPECT_EQ(got, SIZE);
    EXPECT_EQ(mismatch, SIZE) << "first differing byte";
}

TEST(HostileNode, DeviceNodeThatDisappearsKeepsTheOpenPortAndFailsTheNextOpen) {
    constexpr int port = 2;
    constexpr int com = 45;
    Pty pty;
    char directory[] = "/tmp/tarvo-node-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string link = std::string(directory) + "/ttyPeer";
    ASSERT_EQ(::symlink(pty.slave_name(), link.c_str()), 0);
    ::setenv("TARVO_COM45", link.c_str(), 1);
    sio_setComPortNo(port, com);
    ASSERT_EQ(sio_open(port), 0);
    ASSERT_EQ(sio_ioctl(port, 12, 0x03), 0);

    ASSERT_EQ(::unlink(link.c_str()), 0);
    ::rmdir(directory);
    // The open port is the device itself, not its name.
    EXPECT_EQ(sio_write(port, "ping", 4), 4);
    const auto seen = pty.receive(4, 2000);
    EXPECT_EQ(std::string(seen.begin(), seen.end()), "ping");
    ASSERT_EQ(pty.send("pong", 4), 4u);
    ASSERT_TRUE(wait_until([] { return sio_iqueue(port) == 4; }));
    char buffer[8] = {};
    EXPECT_EQ(sio_read(port, buffer, sizeof buffer), 4);
    EXPECT_EQ(std::string(buffer, 4), "pong");
    EXPECT_EQ(sio_close(port), 0);

    // Gone by name: the next open fails, and the port stays closed.
    EXPECT_EQ(sio_open(port), ERR_OPEN_FAILED);
    EXPECT_EQ(sio_iqueue(port), ERR_NOT_OPEN);
    EXPECT_EQ(sio_write(port, "x", 1), ERR_NOT_OPEN);
    EXPECT_EQ(sio_close(port), ERR_NOT_OPEN);
    sio_setComPortNo(port, -1);
}

}  // namespace
}  // namespace tarvo::pty
