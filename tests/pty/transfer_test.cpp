// Sending and receiving through libtarvo.so, with the test as the peer on
// the pty master.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "pty/port_fixture.h"
#include "tarvo_ext.h"

namespace tarvo::pty {
namespace {

using TransferPty = PtyPort;

constexpr std::size_t MIB = 1u << 20;

std::vector<std::uint8_t> read_port(std::size_t size, int timeoutMs) {
    std::vector<std::uint8_t> bytes(size);
    std::size_t got = 0;
    wait_until(
        [&] {
            const int waiting = sio_iqueue(PORT);
            if (waiting > 0) {
                const int want = static_cast<int>(std::min<std::size_t>(size - got, static_cast<std::size_t>(waiting)));
                const int n = sio_read(PORT, reinterpret_cast<char*>(bytes.data() + got), want);
                if (n > 0) got += static_cast<std::size_t>(n);
            }
            return got == size;
        },
        timeoutMs);
    bytes.resize(got);
    return bytes;
}

// The extensions on a real terminal: a send keeps what was received, and a
// pty, having no status lines, says so.
TEST_F(TransferPty, ExtensionSendKeepsWhatWasReceived) {
    ASSERT_EQ(pty.send("kept", 4), 4u);
    ASSERT_TRUE(wait_for_input(4));
    EXPECT_EQ(tarvo_send(PORT, "out", 3), 3);
    EXPECT_EQ(pty.receive(3), (std::vector<std::uint8_t>{'o', 'u', 't'}));
    EXPECT_EQ(sio_iqueue(PORT), 4);
    EXPECT_EQ(tarvo_modem_status(PORT), ERR_STATUS_FAILED);
    char text[TARVO_DEVICE_TEXT_SIZE + 64];
    EXPECT_EQ(tarvo_open_cause(PORT, text, sizeof text), TARVO_CAUSE_NONE);
    EXPECT_EQ(std::string(text), std::string(pty.slave_name()) + ": opened");
}

TEST_F(TransferPty, MebibyteFromThePeerArrivesExactly) {
    const auto data = pattern(MIB);
    std::thread peer([&] { pty.send(data.data(), data.size(), 10000); });
    const auto got = read_port(MIB, 10000);
    peer.join();
    ASSERT_EQ(got.size(), MIB);
    EXPECT_TRUE(got == data);
}

TEST_F(TransferPty, MebibyteToThePeerArrivesExactly) {
    ASSERT_EQ(sio_ioctl(PORT, 19, 0x03), 0);
    const auto data = pattern(MIB);
    std::vector<std::uint8_t> seen;
    std::thread peer([&] { seen = pty.receive(MIB, 10000); });
    EXPECT_EQ(sio_write(PORT, reinterpret_cast<const char*>(data.data()), static_cast<int>(MIB)),
              static_cast<int>(MIB));
    peer.join();
    ASSERT_EQ(seen.size(), MIB);
    EXPECT_TRUE(seen == data);
}

// The peer reads as fast as it can while the port writes back to back: every
// byte counted as sent arrives, in order, though each write purges first.
TEST_F(TransferPty, BackToBackWritesLoseNoByteCountedAsSent) {
    constexpr std::size_t STREAM = 1u << 16;  // a multiple of 256: the pattern wraps seamlessly
    const auto data = pattern(STREAM + 4000);
    std::atomic<bool> writing{true};
    std::size_t received = 0;
    std::size_t misplaced = 0;
    std::thread peer([&] {
        std::uint8_t buffer[8192];
        for (;;) {
            const ssize_t got = ::read(pty.master(), buffer, sizeof buffer);
            if (got > 0) {
                for (ssize_t i = 0; i < got; ++i, ++received) misplaced += buffer[i] != data[received % STREAM];
                continue;
            }
            pollfd watch{pty.master(), POLLIN, 0};
            if (::poll(&watch, 1, 500) <= 0 && !writing) return;
        }
    });
    std::size_t sent = 0;
    const auto start = Clock::now();
    for (int size = 1; elapsed_ms(start) < 10000; size = size % 4000 + 1) {
        const int put = sio_write(PORT, reinterpret_cast<const char*>(data.data() + sent % STREAM), size);
        ASSERT_EQ(put, size);
        sent += static_cast<std::size_t>(put);
    }
    writing = false;
    peer.join();
    std::printf("bytes sent %zu, received %zu\n", sent, received);
    RecordProperty("bytes_sent", std::to_string(sent));
    RecordProperty("bytes_received", std::to_string(received));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(misplaced, 0u);
}

TEST_F(TransferPty, OutputPurgeKeepsWhatWasSent) {
    // The peer polls now and then, so what it has not read yet sits in the pty.
    const auto block = pattern(1000);
    std::size_t received = 0;
    std::thread peer([&] { received = pty.receive(50000, 10000).size(); });
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(sio_write(PORT, reinterpret_cast<const char*>(block.data()), 1000), 1000);
        ASSERT_EQ(sio_flush(PORT, 1), 0);
    }
    ASSERT_EQ(sio_flush(PORT, 2), 0);
    peer.join();
    EXPECT_EQ(received, 50000u);
}

// XON/XOFF are data from the first byte, whatever the device had set.
TEST(TransferOpen, XonAndXoffPassAsDataBothWaysFromTheStart) {
    Pty pty;
    termios2 tio = pty.settings();
    tio.c_iflag |= IXON | IXOFF;
    pty.set(tio);
    pty.map_as(COM);
    sio_setComPortNo(PORT, COM);
    ASSERT_EQ(sio_open(PORT), 0);

    const std::uint8_t stopThenGo[] = {0x13, 'a', 0x11, 'b'};
    std::vector<std::uint8_t> seen;
    std::thread peer([&] { seen = pty.receive(sizeof stopThenGo); });
    EXPECT_EQ(sio_write(PORT, reinterpret_cast<const char*>(stopThenGo), 4), 4);
    peer.join();
    EXPECT_EQ(seen, std::vector<std::uint8_t>(stopThenGo, stopThenGo + 4));

    ASSERT_EQ(pty.send(stopThenGo, sizeof stopThenGo), sizeof stopThenGo);
    char got[4] = {};
    ASSERT_TRUE(wait_until([] { return sio_iqueue(PORT) == 4; }));
    ASSERT_EQ(sio_read(PORT, got, 4), 4);
    EXPECT_EQ(std::memcmp(got, stopThenGo, 4), 0);
    sio_close(PORT);
    sio_setComPortNo(PORT, -1);
}

// With the port's own timeouts installed, a write to a hung-up line still
// ends at once.
TEST_F(TransferPty, WriteToAHungUpPeerEndsPromptly) {
    ASSERT_EQ(sio_ioctl(PORT, 12, 0x03), 0);
    pty.close_master();
    const auto start = Clock::now();
    const int sent = sio_write(PORT, "hello", 5);
    // Within the write's total timeout (2000 ms per byte + 2000 ms), in practice at once.
    EXPECT_LT(elapsed_ms(start), 2000);
    EXPECT_GE(sent, 0);
    EXPECT_LE(sent, 5);
    EXPECT_EQ(sio_close(PORT), 0);
}

TEST_F(TransferPty, WaitSleepsUntilTheWholeCountArrivesOrItsTimeEnds) {
    std::thread peer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        pty.send("ab", 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        pty.send("cd", 2);
    });
    auto start = Clock::now();
    EXPECT_EQ(tarvo_wait(PORT, 4, 5000), 4);  // not at the first two bytes
    EXPECT_GE(elapsed_ms(start), 70);
    EXPECT_LT(elapsed_ms(start), 2000);
    peer.join();
    start = Clock::now();
    EXPECT_EQ(tarvo_wait(PORT, 9, 150), 4);  // fewer on time-out, none taken
    EXPECT_GE(elapsed_ms(start), 140);
    EXPECT_EQ(tarvo_wait(PORT, 1, 0), 4);
    char buffer[8];
    EXPECT_EQ(sio_read(PORT, buffer, sizeof buffer), 4);
    EXPECT_EQ(tarvo_wait(PORT, 1, 0), 0);
}

TEST_F(TransferPty, WaitEndsAtOnceWhenThePeerHangsUp) {
    std::thread peer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        pty.send("z", 1);
        pty.close_master();
    });
    const auto start = Clock::now();
    const int result = tarvo_wait(PORT, 2, 5000);
    peer.join();
    EXPECT_EQ(result, ERR_STATUS_FAILED);
    EXPECT_LT(elapsed_ms(start), 2000);
}

// A target named in the call wins over the port's COM number and whatever
// TARVO_COM<n> says, and the port names the device it opened.
TEST(TransferTarget, TargetOpensThatDeviceAndNamesIt) {
    Pty named;
    Pty other;
    other.map_as(COM);
    sio_setComPortNo(PORT, COM);
    ASSERT_EQ(tarvo_set_target(PORT, named.slave_name()), 0);
    ASSERT_EQ(sio_open(PORT), 0);
    char device[TARVO_DEVICE_TEXT_SIZE];
    EXPECT_EQ(tarvo_port_device(PORT, device, sizeof device), static_cast<int>(std::strlen(named.slave_name())));
    EXPECT_STREQ(device, named.slave_name());
    ASSERT_EQ(sio_write(PORT, "to", 2), 2);
    EXPECT_EQ(named.receive(2), (std::vector<std::uint8_t>{'t', 'o'}));
    EXPECT_TRUE(other.receive(1, 50).empty());
    EXPECT_EQ(sio_close(PORT), 0);

    ASSERT_EQ(tarvo_set_target(PORT, "/dev/tarvo-none"), 0);
    EXPECT_EQ(sio_open(PORT), ERR_OPEN_FAILED);
    EXPECT_EQ(tarvo_port_device(PORT, device, sizeof device), 15);
    EXPECT_STREQ(device, "/dev/tarvo-none");
    EXPECT_EQ(tarvo_open_cause(PORT, nullptr, 0), TARVO_CAUSE_NOT_FOUND);

    ASSERT_EQ(tarvo_set_target(PORT, nullptr), 0);  // back to COM41: the other pty
    ASSERT_EQ(sio_open(PORT), 0);
    EXPECT_EQ(tarvo_port_device(PORT, device, sizeof device), static_cast<int>(std::strlen(other.slave_name())));
    EXPECT_STREQ(device, other.slave_name());
    EXPECT_EQ(sio_close(PORT), 0);
    sio_setComPortNo(PORT, -1);
}

}  // namespace
}  // namespace tarvo::pty
