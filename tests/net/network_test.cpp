// Network ports through libtarvo.so against a real ser2net serving a pty:
// the pty's master is the instrument, its settings show what reached the far
// port.
#include <cctype>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/servers.h"
#include "tarvo.h"
#include "tarvo_ext.h"

namespace tarvo::net {
namespace {

using pty::Clock;
using pty::elapsed_ms;
using pty::pattern;
using pty::Pty;
using pty::wait_until;

constexpr int PORT = 2;
constexpr int COM = 42;

class OverSer2net : public ::testing::TestWithParam<Ser2net::Accepter> {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running());
        map_url(COM, server.url());
        sio_setComPortNo(PORT, COM);
        ASSERT_EQ(sio_open(PORT), 0);
    }
    void TearDown() override {
        sio_close(PORT);
        sio_setComPortNo(PORT, -1);
    }
    bool telnet() const { return GetParam() == Ser2net::Accepter::Rfc2217; }
    bool wait_for_input(int count) {
        return wait_until([count] { return sio_iqueue(PORT) >= count; });
    }

    Pty pty;
    Ser2net server{pty, GetParam()};
};

// Full duplex over the network too: a send keeps what arrived; the scheme
// is read in any case; a break and the status lines over raw TCP are refused.
TEST_P(OverSer2net, ExtensionSendKeepsWhatArrivedWhateverTheSchemeCase) {
    sio_close(PORT);
    std::string url = server.url();
    for (std::size_t i = 0; i < url.find(':'); ++i) url[i] = static_cast<char>(std::toupper(url[i]));
    map_url(COM, url);
    ASSERT_EQ(sio_open(PORT), 0) << url;
    // Once a byte came through, the server has taken the new connection.
    ASSERT_EQ(tarvo_send(PORT, "!", 1), 1);
    ASSERT_EQ(pty.receive(1).size(), 1u);
    ASSERT_EQ(pty.send("kept", 4), 4u);
    ASSERT_TRUE(wait_for_input(4));
    EXPECT_EQ(tarvo_send(PORT, "out", 3), 3);
    EXPECT_EQ(pty.receive(3).size(), 3u);
    EXPECT_EQ(sio_iqueue(PORT), 4);
    // ser2net's pty has no status lines either way.
    EXPECT_EQ(tarvo_modem_status(PORT), ERR_STATUS_FAILED);
    if (!telnet()) {
        EXPECT_EQ(tarvo_break(PORT, 10), ERR_SET_STATE_FAILED);
    }
}

// A far port left in XON/XOFF is switched out of it at open, so 0x11 and
// 0x13 travel as data from the first byte, as on a terminal.
TEST(OverSer2netInXonXoff, OpenPassesEveryByteFromTheStart) {
    Pty pty;
    Ser2net server{pty, Ser2net::Accepter::Rfc2217, "local,xonxoff"};
    ASSERT_TRUE(server.running());
    ASSERT_NE(pty.settings().c_iflag & (IXON | IXOFF), 0u);
    map_url(COM, server.url());
    sio_setComPortNo(PORT, COM);
    ASSERT_EQ(sio_open(PORT), 0);
    EXPECT_EQ(pty.settings().c_iflag & (IXON | IXOFF), 0u);
    const char stopStart[] = {0x13, 0x11, 0x13};
    EXPECT_EQ(sio_write(PORT, stopStart, 3), 3);
    EXPECT_EQ(pty.receive(3), std::vector<std::uint8_t>({0x13, 0x11, 0x13}));
    ASSERT_EQ(pty.send(stopStart, 3), 3u);
    EXPECT_TRUE(wait_until([] { return sio_iqueue(PORT) == 3; }));
    EXPECT_EQ(sio_close(PORT), 0);
    sio_setComPortNo(PORT, -1);
}

// A device that talks while the caller reads nothing: the settings' answers
// come behind far more data than this side keeps, and are read all the same;
// the data that found no room is lost, and said to be.
TEST(OverSer2netWithBacklog, SettingsAreAnsweredBehindUnreadData) {
    Pty pty;
    Ser2net server{pty, Ser2net::Accepter::Rfc2217};
    ASSERT_TRUE(server.running());
    map_url(COM, server.url("?timeout=1000"));
    sio_setComPortNo(PORT, COM);
    ASSERT_EQ(sio_open(PORT), 0);
    const auto talk = pattern(200 * 1024);
    std::thread device([&] { pty.send(talk.data(), talk.size(), 10000); });
    ASSERT_TRUE(wait_until([] { return sio_iqueue(PORT) >= 64 * 1024; }));
    const auto start = Clock::now();
    EXPECT_EQ(sio_baud(PORT, 19200), 0);
    EXPECT_LT(elapsed_ms(start), 500);
    EXPECT_EQ(pty.settings().c_ospeed, 19200u);
    device.join();
    std::vector<char> backlog(256 * 1024);
    while (sio_read(PORT, backlog.data(), static_cast<int>(backlog.size())) > 0) {
    }
    EXPECT_EQ(sio_baud(PORT, 9600), 0);
    EXPECT_EQ(pty.settings().c_ospeed, 9600u);
    sio_close(PORT);
    sio_setComPortNo(PORT, -1);
}

// A device that talks unasked: whatever it said before the request is gone
// when the answer comes, however much of it was still on its way. With
// purge=local the purge before a write empties this side only, and what was
// on its way may come first: counted, not held to a number.
TEST(OverSer2netChattering, AnAnswerNeverBeginsWithWhatCameBeforeTheRequest) {
    Pty pty;
    Ser2net server{pty, Ser2net::Accepter::Rfc2217};
    ASSERT_TRUE(server.running());
    std::atomic<bool> chatter{true};
    std::atomic<bool> quiet{false};
    std::atomic<bool> done{false};
    ::fcntl(pty.master(), F_SETFL, ::fcntl(pty.master(), F_GETFL) | O_NONBLOCK);  // talk, never wait to
    std::thread device([&] {
        const char noise[8] = {'~', '~', '~', '~', '~', '~', '~', '~'};
        while (!done) {
            if (chatter) {
                quiet = false;
                (void)!::write(pty.master(), noise, sizeof noise);
                ::usleep(50);
                continue;
            }
            quiet = true;
            pollfd watch{pty.master(), POLLIN, 0};
            char request[256];
            const ssize_t got = ::poll(&watch, 1, 1) > 0 ? ::read(pty.master(), request, sizeof request) : 0;
            // Until the server sets the line raw the pty echoes the noise back: only "?" asks.
            if (got > 0 && std::memchr(request, '?', static_cast<std::size_t>(got)) != nullptr) {
                (void)!::write(pty.master(), "A", 1);
                chatter = true;
            }
        }
    });
    // wait_until sleeps a millisecond a look: too slow for 4,000 trips.
    const auto spin_until = [](const std::function<bool()>& condition) {
        const auto start = Clock::now();
        while (!condition()) {
            if (elapsed_ms(start) > 2000) return false;
        }
        return true;
    };
    const auto stale_answers = [&](const std::string& suffix) {
        map_url(COM, server.url(suffix));
        sio_setComPortNo(PORT, COM);
        EXPECT_EQ(sio_open(PORT), 0);
        int stale = 0;
        for (int trip = 0; trip < 2000; ++trip) {
            ::usleep(200);  // the device talks meanwhile
            chatter = false;
            EXPECT_TRUE(spin_until([&] { return quiet.load(); }));
            EXPECT_EQ(sio_write(PORT, "?", 1), 1);
            EXPECT_TRUE(spin_until([] { return sio_iqueue(PORT) > 0; }));
            const int first = sio_getch(PORT);
            if (first != 'A') ++stale;
            while (sio_getch(PORT) >= 0 || sio_iqueue(PORT) > 0) {
            }
            EXPECT_TRUE(spin_until([&] { return chatter.load(); }));
        }
        sio_close(PORT);
        ::usleep(100000);  // the server has seen the close before the next client
        return stale;
    };
    EXPECT_EQ(stale_answers(""), 0);
    const int local = stale_answers("?purge=local");
    done = true;
    device.join();
    std::printf("stale answers with purge=local: %d of 2000\n", local);
    sio_setComPortNo(PORT, -1);
}

// Stopping ser2net in the middle of a stream behaves like a terminal hung up
// under the caller: every call returns at once with the hung-up results.
TEST_P(OverSer2net, AServerStoppedMidTransferIsAHungUpLine) {
    const auto data = pattern(64 * 1024);
    ASSERT_EQ(sio_write(PORT, reinterpret_cast<const char*>(data.data()), 1000), 1000);
    ASSERT_EQ(pty.receive(1000).size(), 1000u);
    ASSERT_EQ(pty.send(data.data(), 1000), 1000u);
    ASSERT_TRUE(wait_for_input(1000)) << sio_iqueue(PORT);
    server.stop();
    const auto start = Clock::now();
    ASSERT_TRUE(wait_until([] { return sio_iqueue(PORT) == ERR_STATUS_FAILED; }, 2000));
    char buffer[256];
    EXPECT_EQ(sio_read(PORT, buffer, sizeof buffer), 0);
    EXPECT_EQ(sio_getch(PORT), ERR_NO_DATA);
    EXPECT_EQ(sio_write(PORT, reinterpret_cast<const char*>(data.data()), static_cast<int>(data.size())), 0);
    EXPECT_EQ(sio_flush(PORT, 2), ERR_STATUS_FAILED);
    EXPECT_EQ(sio_ioctl(PORT, 12, 0x03), ERR_GET_STATE_FAILED);
    EXPECT_EQ(sio_term_irq(PORT), 0);
    EXPECT_LT(elapsed_ms(start), 2000);
    EXPECT_EQ(sio_close(PORT), 0);
    EXPECT_EQ(sio_open(PORT), ERR_OPEN_FAILED);
}

// A wait sleeps on the socket until the whole count has come, ends with
// what came at its time, and at once when the server goes.
TEST_P(OverSer2net, WaitSleepsUntilTheCountHasComeOrTheServerGoes) {
    std::thread peer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        pty.send("ab", 2);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        pty.send("cd", 2);
    });
    auto start = Clock::now();
    EXPECT_EQ(tarvo_wait(PORT, 4, 5000), 4);
    EXPECT_GE(elapsed_ms(start), 70);
    peer.join();
    start = Clock::now();
    EXPECT_EQ(tarvo_wait(PORT, 9, 150), 4);
    EXPECT_GE(elapsed_ms(start), 140);
    server.stop();
    start = Clock::now();
    EXPECT_EQ(tarvo_wait(PORT, 9, 5000), ERR_STATUS_FAILED);
    EXPECT_LT(elapsed_ms(start), 2000);
}

// The instrument reads 2 KiB every 20 ms and stalls for 700 ms on the way:
// a caller resending from the counts of tarvo_send and of sio_write gets
// every byte to the device once and in order, and the counts add up to
// exactly what arrived.
TEST_P(OverSer2net, CountsFromASlowStallingDeviceAreExactlyWhatArrives) {
    for (const bool extension : {true, false}) {
        const auto data = pattern(160 * 1024);
        std::vector<std::uint8_t> arrived;
        std::atomic<long> took{0};
        std::atomic<bool> stop{false};
        std::thread device([&] {
            bool stalled = false;
            while (!stop) {
                const auto got = pty.receive(2048, 20);
                arrived.insert(arrived.end(), got.begin(), got.end());
                took = static_cast<long>(arrived.size());
                ::usleep(20000);
                if (!stalled && arrived.size() >= 48 * 1024) {
                    stalled = true;
                    ::usleep(700000);
                }
            }
        });
        long counted = 0;
        const auto start = Clock::now();
        while (counted < static_cast<long>(data.size()) && elapsed_ms(start) < 20000) {
            const char* from = reinterpret_cast<const char*>(data.data()) + counted;
            const int left = static_cast<int>(data.size() - counted);
            const int sent = extension ? tarvo_send(PORT, from, left) : sio_write(PORT, from, left);
            ASSERT_GE(sent, 0);
            counted += sent;
        }
        EXPECT_EQ(counted, static_cast<long>(data.size())) << extension;
        EXPECT_TRUE(wait_until([&] { return took >= counted; }, 10000)) << extension << ": " << took;
        ::usleep(200000);
        stop = true;
        device.join();
        EXPECT_EQ(static_cast<long>(arrived.size()), counted) << extension;
        EXPECT_TRUE(std::equal(arrived.begin(), arrived.end(), data.begin())) << extension << ": not in order";
    }
}

// sredird as the second real server, on the same kind of pty. What it does
// differently from ser2net, declared: it answers the rate in 8 bytes (read
// by the first 4), DTR and RTS changes with its flow control (the first such
// change fails at once, and the lines are this side's from then on, as
// ser2net's on a pty are from the start), and a break on and off each with
// its own value (ser2net answers both with "on").
class OverSredird : public ::testing::Test {
protected:
    void SetUp() override {
        if (!Sredird::installed()) GTEST_SKIP() << "sredird is not installed (./dev.sh installs it)";
        server = std::make_unique<Sredird>(pty);
        map_url(COM, server->url("?timeout=1000"));
        sio_setComPortNo(PORT, COM);
        ASSERT_EQ(sio_open(PORT), 0);
    }
    void TearDown() override {
        sio_close(PORT);
        sio_setComPortNo(PORT, -1);
    }

    Pty pty;
    std::unique_ptr<Sredird> server;
};

TEST_F(OverSredird, DataAndSettingsTravelAndOddAnswersFailOnlyTheirCall) {
    const auto data = pattern(4096);
    ASSERT_EQ(sio_write(PORT, reinterpret_cast<const char*>(data.data()), 4096), 4096);
    EXPECT_EQ(pty.receive(4096), data);
    ASSERT_EQ(pty.send(data.data(), data.size()), data.size());
    ASSERT_TRUE(wait_until([] { return sio_iqueue(PORT) >= 4096; }));
    std::vector<std::uint8_t> got(4096);
    EXPECT_EQ(sio_read(PORT, reinterpret_cast<char*>(got.data()), 4096), 4096);
    EXPECT_EQ(got, data);

    // The first line change meets the odd answer and fails, at once; from
    // then on the lines are kept on this side.
    auto start = Clock::now();
    EXPECT_EQ(sio_DTR(PORT, 1), ERR_SET_STATE_FAILED);
    EXPECT_LT(elapsed_ms(start), 500);
    start = Clock::now();
    EXPECT_EQ(sio_RTS(PORT, 1), 0);
    ASSERT_EQ(sio_ioctl(PORT, 16, 0x03 | 0x04), 0);  // 115200, 8 data bits, 2 stop bits
    EXPECT_EQ(pty.settings().c_ospeed, 115200u);
    EXPECT_NE(pty.settings().c_cflag & CSTOPB, 0u);
    EXPECT_EQ(sio_baud(PORT, 57600), 0);
    EXPECT_LT(elapsed_ms(start), 500);
    EXPECT_EQ(pty.settings().c_ospeed, 57600u);
    EXPECT_EQ(tarvo_break(PORT, 10), 0);
    EXPECT_EQ(sio_flush(PORT, 2), 0);
}

// The terminal sets RTS and DTR as it opens; a server that keeps the lines
// on its own side refuses them, and the terminal still carries the bytes.
TEST(SredirdTerm, TermOpensAServerThatRefusesTheLines) {
    if (!Sredird::installed()) GTEST_SKIP() << "sredird is not installed (./dev.sh installs it)";
    Pty pty;
    Sredird server(pty);
    // Standard input stays open a moment: sredird drops what it has not yet
    // written to its device when the connection closes.
    const std::string command =
        std::string("(printf hello-term; sleep 1) | ") + TARVO_TOOL + " term --quiet '" + server.url("?timeout=1000") + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    const auto got = pty.receive(10);
    EXPECT_EQ(std::string(got.begin(), got.end()), "hello-term");
}

TEST_F(OverSredird, CountsFromASlowDeviceAreExactlyWhatArrives) {
    const auto data = pattern(64 * 1024);
    std::vector<std::uint8_t> arrived;
    std::atomic<long> took{0};
    std::atomic<bool> stop{false};
    std::thread device([&] {
        while (!stop) {
            const auto got = pty.receive(2048, 20);
            arrived.insert(arrived.end(), got.begin(), got.end());
            took = static_cast<long>(arrived.size());
            ::usleep(20000);
        }
    });
    long counted = 0;
    const auto start = Clock::now();
    while (counted < static_cast<long>(data.size()) && elapsed_ms(start) < 20000) {
        const int sent = tarvo_send(PORT, reinterpret_cast<const char*>(data.data()) + counted,
                                    static_cast<int>(data.size() - counted));
        ASSERT_GE(sent, 0);
        counted += sent;
    }
    EXPECT_TRUE(wait_until([&] { return took >= counted; }, 10000)) << took;
    ::usleep(200000);
    stop = true;
    device.join();
    EXPECT_EQ(counted, static_cast<long>(data.size()));
    EXPECT_EQ(static_cast<long>(arrived.size()), counted);
    EXPECT_TRUE(std::equal(arrived.begin(), arrived.end(), data.begin()));
}

INSTANTIATE_TEST_SUITE_P(Accepters, OverSer2net,
                         ::testing::Values(Ser2net::Accepter::Rfc2217, Ser2net::Accepter::Raw),
                         [](const ::testing::TestParamInfo<Ser2net::Accepter>& accepter) {
                             return std::string(accepter.param == Ser2net::Accepter::Rfc2217 ? "Rfc2217" : "Tcp");
                         });

}  // namespace
}  // namespace tarvo::net
