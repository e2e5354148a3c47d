// Servers that misbehave, through libtarvo.so: every case ends in its own
// result codes within a bounded time, and nothing grows, crashes or hangs.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <mutex>
#include <thread>

#include "net/telnet_codec.h"
#include "net/servers.h"
#include "tarvo.h"
#include "tarvo_ext.h"

namespace tarvo::net {
namespace {

namespace tn = posix::telnet;
using pty::Clock;
using pty::elapsed_ms;
using pty::wait_until;

constexpr int PORT = 3;
constexpr int COM = 43;
constexpr char BOUND[] = "?timeout=300";
// Long enough that a failure at once and one waited out are told apart on a busy machine.
constexpr char LONG_BOUND[] = "?timeout=3000";

std::string sb(std::initializer_list<std::uint8_t> value) {
    std::string message = {char(tn::IAC), char(tn::SB), char(tn::COM_PORT)};
    for (const std::uint8_t byte : value) {
        message += char(byte);
        if (byte == tn::IAC) message += char(tn::IAC);
    }
    return message + char(tn::IAC) + char(tn::SE);
}

// A COM-PORT server that agrees to everything and echoes every setting as
// its answer (queries answer 9600 8N1, no flow), with hooks for mischief.
struct Rfc2217Server {
    // What to answer to a client's subnegotiation; nullopt-like "" skips it.
    std::function<std::string(const tn::Event&)> answer = [](const tn::Event& event) { return standard(event); };
    // Runs once negotiation and the first answers are done, on the
    // connection, after which the server stops answering if it returns false.
    std::function<bool(int)> afterOpen = [](int) { return true; };
    // Given the data of every read once open (the requests).
    std::function<void(int, const std::string&)> onData = [](int, const std::string&) {};
    // A pause after every read: a server that drains its socket slowly.
    int pauseMs = 0;
    std::size_t readSize = 4096;

    static bool is_rate_query(const tn::Event& event) {
        static constexpr std::uint8_t query[] = {tn::SET_BAUDRATE, 0, 0, 0, 0};
        return event.size == 5 && std::memcmp(event.value, query, 5) == 0;
    }

    static std::string standard(const tn::Event& event) {
        const std::uint8_t code = event.value[0];
        if (is_rate_query(event)) {
            return sb({101, 0, 0, 0x25, 0x80});
        }
        std::uint8_t value[tn::VALUE_MAX];
        std::memcpy(value, event.value + 1, event.size - 1);
        if (event.size == 2 && value[0] == 0) value[0] = code == tn::SET_DATASIZE ? 8 : 1;
        std::string message = sb({static_cast<std::uint8_t>(code + 100)});
        message.erase(message.size() - 2);
        for (std::size_t i = 0; i + 1 < event.size; ++i) {
            message += char(value[i]);
            if (value[i] == tn::IAC) message += char(tn::IAC);
        }
        return message + char(tn::IAC) + char(tn::SE);
    }

    void serve(int socket, const std::atomic<bool>& stopping) {
        const std::string greeting = {char(tn::IAC), char(tn::WILL), char(tn::SGA),    char(tn::IAC),
                                      char(tn::DO),  char(tn::SGA),  char(tn::IAC),    char(tn::WILL),
                                      char(tn::BINARY), char(tn::IAC), char(tn::DO), char(tn::BINARY),
                                      char(tn::IAC), char(tn::DO), char(tn::COM_PORT)};
        send_all(socket, greeting);
        tn::Decoder decoder;
        bool opened = false;
        int answers = 0;
        bool answering = true;
        while (!stopping) {
            std::string in = receive_some(socket, readSize, 20);
            if (in.empty()) {
                pollfd watch{socket, POLLIN, 0};
                char next = 0;
                if (::poll(&watch, 1, 0) > 0 && ::recv(socket, &next, 1, MSG_DONTWAIT | MSG_PEEK) <= 0) return;
                continue;
            }
            if (pauseMs > 0) ::usleep(pauseMs * 1000);
            auto* bytes = reinterpret_cast<std::uint8_t*>(in.data());
            std::size_t left = in.size();
            std::string data;
            while (left > 0) {
                tn::Event event;
                std::uint8_t* out = bytes;
                const auto step = decoder.decode(bytes, left, out, event);
                data.append(reinterpret_cast<char*>(out), step.produced);
                bytes += step.consumed;
                left -= step.consumed;
                if (!step.event || event.kind != tn::Event::Kind::Subnegotiation || event.size == 0) continue;
                if (answering) send_all(socket, answer(event));
                if (!opened && ++answers == 6) {
                    opened = true;
                    answering = afterOpen(socket);
                }
            }
            if (opened && !data.empty()) onData(socket, data);
        }
    }
};

class HostileServer : public ::testing::Test {
protected:
    void TearDown() override {
        sio_close(PORT);
        sio_setComPortNo(PORT, -1);
    }
    int open_url(const std::string& url) {
        map_url(COM, url);
        sio_setComPortNo(PORT, COM);
        return sio_open(PORT);
    }
};

TEST_F(HostileServer, OpensThatCannotSucceedFailWithinTheBound) {
    const int nobody = free_port();
    struct Case {
        const char* what;
        std::string url;
        long atLeastMs;
    };
    TestServer silent([](int socket, const std::atomic<bool>& stopping) {
        while (!stopping && receive_some(socket, 1, 20).size() < 1000) {
        }
    });
    TestServer rejecting([](int socket, const std::atomic<bool>&) {
        receive_some(socket, 15, 1000);
        send_all(socket, {char(tn::IAC), char(tn::DONT), char(tn::BINARY)});
        receive_some(socket, 100, 1000);
    });
    Rfc2217Server mute;
    mute.answer = [](const tn::Event&) { return std::string(); };
    TestServer noAnswers([&mute](int socket, const std::atomic<bool>& stopping) { mute.serve(socket, stopping); });
    const Case cases[] = {
        {"refused", "rfc2217://127.0.0.1:" + std::to_string(nobody) + BOUND, 0},
        {"refused, tcp", "tcp://127.0.0.1:" + std::to_string(nobody) + BOUND, 0},
        {"silent", silent.url("rfc2217", BOUND), 250},
        {"rejects binary mode", rejecting.url("rfc2217", BOUND), 0},
        {"never answers a setting", noAnswers.url("rfc2217", BOUND), 250},
        {"malformed", "rfc2217://127.0.0.1:99999", 0},
        {"unknown option", "tcp://127.0.0.1:7000?speed=1", 0},
        {"IPv6 without brackets", "tcp://::1:7000", 0},
    };
    for (const Case& test : cases) {
        const auto start = Clock::now();
        EXPECT_EQ(open_url(test.url), ERR_OPEN_FAILED) << test.what;
        const long took = elapsed_ms(start);
        EXPECT_GE(took, test.atLeastMs) << test.what;
        EXPECT_LT(took, 1000) << test.what;
        EXPECT_EQ(sio_iqueue(PORT), ERR_NOT_OPEN) << test.what;
    }
}

// Garbage commands, endless subnegotiations and floods of offers, with data
// between them: the data comes through, the rest is consumed and bounded.
TEST_F(HostileServer, FloodsOfCommandsAndGarbageLeaveOnlyTheData) {
    Rfc2217Server flooding;
    flooding.afterOpen = [](int socket) {
        std::string flood;
        for (int i = 0; i < 20000; ++i) flood += {char(tn::IAC), char(tn::WILL), char(i % 200 + 50)};
        flood += "<1>";
        flood += {char(tn::IAC), char(tn::SB), char(tn::COM_PORT)};
        flood += std::string(200000, 'x');
        flood += {char(tn::IAC), char(tn::SE)};
        flood += "<2>";
        for (int i = 0; i < 10000; ++i) flood += sb({107, 0xF0}) + sb({106, 0x01}) + char(tn::IAC) + char(241);
        flood += "<3>";
        send_all(socket, flood);
        return true;
    };
    TestServer server([&flooding](int socket, const std::atomic<bool>& stopping) { flooding.serve(socket, stopping); });
    ASSERT_EQ(open_url(server.url("rfc2217", BOUND)), 0);
    ASSERT_TRUE(wait_until([] { return sio_iqueue(PORT) >= 9; }));
    char buffer[64] = {};
    EXPECT_EQ(sio_read(PORT, buffer, sizeof buffer), 9);
    EXPECT_STREQ(buffer, "<1><2><3>");
    EXPECT_EQ(sio_baud(PORT, 19200), 0);  // still answered in order after all that
}

TEST_F(HostileServer, SettingsAnsweredWrongOrNotAtAllFailWithinTheBound) {
    Rfc2217Server liar;
    liar.answer = [](const tn::Event& event) {
        if (event.value[0] == tn::SET_BAUDRATE && !Rfc2217Server::is_rate_query(event)) {
            return sb({101, 0, 0, 0x4B, 0x00});
        }
        if (event.value[0] == tn::SET_PARITY && event.value[1] != 0) return std::string();
        return Rfc2217Server::standard(event);
    };
    TestServer server([&liar](int socket, const std::atomic<bool>& stopping) { liar.serve(socket, stopping); });
    ASSERT_EQ(open_url(server.url("rfc2217", BOUND)), 0);
    auto start = Clock::now();
    EXPECT_EQ(sio_baud(PORT, 115200), ERR_SET_STATE_FAILED);  // answered 19200
    EXPECT_LT(elapsed_ms(start), 250);
    start = Clock::now();
    EXPECT_EQ(sio_ioctl(PORT, 12, 0x03 | 0x18), ERR_SET_STATE_FAILED);  // parity never answered
    EXPECT_GE(elapsed_ms(start), 250);
    EXPECT_LT(elapsed_ms(start), 1000);
    // The parity never confirmed is asked for again, not taken for what the
    // server has; the rate it refused is known, and not sent again.
    EXPECT_EQ(sio_ioctl(PORT, 12, 0x03), ERR_SET_STATE_FAILED);
}

// A server that suspends flow holds the write until it resumes; one that
// never resumes ends it at the bound, nothing counted.
TEST_F(HostileServer, FlowSuspendHoldsTheWriteUntilResumeOrTheBound) {
    std::atomic<bool> resume{true};
    Rfc2217Server suspending;
    suspending.afterOpen = [&](int socket) {
        send_all(socket, sb({108}));
        if (resume) {
            std::thread([socket] {
                ::usleep(300000);
                send_all(socket, sb({109}));
            }).detach();
        }
        return true;
    };
    TestServer server([&](int socket, const std::atomic<bool>& stopping) { suspending.serve(socket, stopping); });
    ASSERT_EQ(open_url(server.url("rfc2217", "?timeout=600")), 0);
    ::usleep(50000);
    auto start = Clock::now();
    EXPECT_EQ(sio_write(PORT, "held", 4), 4);
    EXPECT_GE(elapsed_ms(start), 100);
    EXPECT_LT(elapsed_ms(start), 600);

    resume = false;
    sio_close(PORT);
    ASSERT_EQ(sio_open(PORT), 0);
    ::usleep(50000);
    start = Clock::now();
    EXPECT_EQ(sio_write(PORT, "never", 5), 0);
    EXPECT_GE(elapsed_ms(start), 550);
    EXPECT_LT(elapsed_ms(start), 1500);
}

// A raw server that takes nothing: a write without a write timeout still
// ends once nothing has been taken for the network bound, counting what went.
TEST_F(HostileServer, AServerThatReadsNothingEndsAWriteAtTheBound) {
    TestServer server([](int socket, const std::atomic<bool>& stopping) {
        while (!stopping) ::usleep(10000);
        (void)socket;
    });
    ASSERT_EQ(open_url(server.url("tcp", BOUND)), 0);
    static char block[16 << 20];
    const auto start = Clock::now();
    const int sent = sio_write(PORT, block, sizeof block);
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<int>(sizeof block));
    EXPECT_GE(elapsed_ms(start), 250);
    EXPECT_LT(elapsed_ms(start), 3000);
}


// Closes the connection with a reset instead of an orderly end.
void reset_connection(int socket) {
    const linger abrupt{1, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    ::shutdown(socket, SHUT_RDWR);
}

// A server that ends the connection is a hung-up line from the first call
// that looks, even with data still unread.
TEST_F(HostileServer, TheFirstLookAfterTheServerLeavesFails) {
    for (const char* scheme : {"tcp", "rfc2217"}) {
        // The server leaves only once the open has returned: a loaded machine
        // may take longer than any fixed pause to finish the negotiation.
        std::atomic<bool> opened{false};
        Rfc2217Server leaving;
        leaving.afterOpen = [&opened](int socket) {
            for (int waited = 0; !opened && waited < 5000; ++waited) ::usleep(1000);
            send_all(socket, "last words");
            ::shutdown(socket, SHUT_RDWR);
            return false;
        };
        TestServer server([&](int socket, const std::atomic<bool>& stopping) {
            if (std::string(scheme) == "rfc2217") return leaving.serve(socket, stopping);
            leaving.afterOpen(socket);
        });
        ASSERT_EQ(open_url(server.url(scheme, BOUND)), 0) << scheme;
        opened = true;
        ::usleep(300000);
        EXPECT_EQ(sio_iqueue(PORT), ERR_STATUS_FAILED) << scheme;
        sio_close(PORT);
    }
}

// Two COM numbers naming one server: the second open is refused while the
// first holds it, and succeeds once it is closed.
TEST_F(HostileServer, ANetworkPortIsHeldByItsOpener) {
    std::atomic<int> connections{0};
    TestServer server([&](int socket, const std::atomic<bool>& stopping) {
        ++connections;
        while (!stopping && receive_some(socket, 1, 20).empty()) {
        }
    });
    ASSERT_EQ(open_url(server.url("tcp", BOUND)), 0);
    ASSERT_TRUE(wait_until([&] { return connections == 1; }));
    map_url(COM + 1, server.url("tcp", "?timeout=400"));
    sio_setComPortNo(PORT + 1, COM + 1);
    EXPECT_EQ(sio_open(PORT + 1), ERR_OPEN_FAILED);
    EXPECT_EQ(connections.load(), 1);  // refused before connecting: a server that lets the newest in keeps the first
    sio_close(PORT);
    map_url(COM + 1, server.url("tcp", BOUND));
    EXPECT_EQ(sio_open(PORT + 1), 0);
    sio_close(PORT + 1);
    sio_setComPortNo(PORT + 1, -1);
}

// A reset in the middle of a write ends it at once, counting no more than
// the server's side took in.
TEST_F(HostileServer, AResetEndsAWriteAtOnceCountingOnlyWhatArrived) {
    for (const char* scheme : {"tcp", "rfc2217"}) {
        std::atomic<long> taken{0};
        Rfc2217Server resetting;
        resetting.afterOpen = [&](int socket) {
            std::string got;
            while (got.size() < 100 * 1024) {
                const std::string more = receive_some(socket, 100 * 1024 - got.size(), 1000);
                if (more.empty()) break;
                got += more;
            }
            taken = static_cast<long>(got.size());
            reset_connection(socket);
            return false;
        };
        TestServer server([&](int socket, const std::atomic<bool>& stopping) {
            if (std::string(scheme) == "rfc2217") return resetting.serve(socket, stopping);
            resetting.afterOpen(socket);
        }, 64 * 1024);
        ASSERT_EQ(open_url(server.url(scheme)), 0) << scheme;
        static char block[40 << 20];
        auto start = Clock::now();
        const int sent = sio_write(PORT, block, sizeof block);
        EXPECT_GE(sent, 0) << scheme;
        EXPECT_LE(sent, taken + 512 * 1024) << scheme << ": server took " << taken;
        EXPECT_LT(elapsed_ms(start), 2000) << scheme;
        sio_close(PORT);
    }

    // Everything fits the socket, the write waits for it to leave, and the
    // server resets instead of reading: the wait ends with the reset.
    Rfc2217Server stalled;
    stalled.afterOpen = [](int socket) {
        ::usleep(1000000);
        reset_connection(socket);
        return false;
    };
    TestServer server([&](int socket, const std::atomic<bool>& stopping) { stalled.serve(socket, stopping); }, 4096);
    ASSERT_EQ(open_url(server.url("rfc2217")), 0);
    ASSERT_EQ(sio_ioctl(PORT, 12, 0x03), 0);  // write timeouts of 2000 ms per byte
    static char piece[50000];
    const auto start = Clock::now();
    EXPECT_LT(sio_write(PORT, piece, sizeof piece), 50000);
    EXPECT_LT(elapsed_ms(start), 2500);
}

// A server that drains its socket steadily but slowly is taking the write:
// it goes on as long as the server takes bytes, and counts every one.
TEST_F(HostileServer, AWriteToASlowButSteadyReaderIsCountedWhole) {
    for (const char* scheme : {"tcp", "rfc2217"}) {
        std::atomic<long> taken{0};
        Rfc2217Server slow;
        slow.pauseMs = 20;
        slow.onData = [&](int, const std::string& data) { taken += static_cast<long>(data.size()); };
        TestServer server([&](int socket, const std::atomic<bool>& stopping) {
            if (std::string(scheme) == "rfc2217") return slow.serve(socket, stopping);
            while (!stopping) {
                const std::string got = receive_some(socket, 4096, 20);
                taken += static_cast<long>(got.size());
                ::usleep(20000);
            }
        });
        // The server's acknowledgements come some 300 ms apart (a window
        // opens only once half of it is free), so the bound is longer.
        ASSERT_EQ(open_url(server.url(scheme, "?timeout=1000")), 0) << scheme;
        static char block[400 * 1024];
        const int sent = sio_write(PORT, block, sizeof block);
        EXPECT_EQ(sent, static_cast<int>(sizeof block)) << scheme;
        EXPECT_TRUE(wait_until([&] { return taken == static_cast<long>(sizeof block); })) << scheme << taken;
        sio_close(PORT);
    }
}

// A server that never confirms a purge: the answers it sends are not lost
// behind the purge before every write, and the missing confirmation is
// reported once.
TEST_F(HostileServer, PurgesNeverConfirmedLoseNoAnswer) {
    Rfc2217Server unconfirming;
    unconfirming.answer = [](const tn::Event& event) {
        return event.value[0] == tn::PURGE_DATA ? std::string() : Rfc2217Server::standard(event);
    };
    unconfirming.onData = [](int socket, const std::string& data) { send_all(socket, "re:" + data); };
    TestServer server([&](int socket, const std::atomic<bool>& stopping) { unconfirming.serve(socket, stopping); });
    ASSERT_EQ(open_url(server.url("rfc2217", BOUND)), 0);
    int reported = 0;
    for (const char* request : {"1", "2", "3"}) {
        ASSERT_EQ(sio_write(PORT, request, 1), 1);
        int waiting = 0;
        ASSERT_TRUE(wait_until([&] {
            waiting = sio_iqueue(PORT);
            if (waiting == ERR_STATUS_FAILED) ++reported;
            return waiting >= 4;
        }, 1000)) << request;
        char buffer[8] = {};
        EXPECT_EQ(sio_read(PORT, buffer, sizeof buffer), 4);
        EXPECT_EQ(std::string("re:") + request, buffer);
    }
    EXPECT_EQ(reported, 1);
    EXPECT_EQ(sio_flush(PORT, 0), ERR_PURGE_FAILED);
}

// How the far side reads a stream: at a pace, with a stall, or ending in a
// reset once it has read `atBytes`.
struct Reader {
    const char* what;
    std::size_t readSize;
    int pauseMs;
    long atBytes;     // where the stall or the reset comes; 0 for none
    int stallMs;
    bool resets;
    bool slow() const { return pauseMs > 0; }
};

// What a reader took: `read` by the server, and, for a reset, what its
// side had taken in (and acknowledged) without reading when it reset.
struct Taken {
    std::mutex mutex;
    std::string read;
    long unreadAtReset = 0;
    std::atomic<bool> ended{false};
};

// Applies the reader's pace after a read; false once it has reset.
bool pace(const Reader& reader, int socket, Taken& taken, bool& stalled) {
    const long read = [&] {
        std::lock_guard<std::mutex> guard(taken.mutex);
        return static_cast<long>(taken.read.size());
    }();
    if (reader.pauseMs > 0) ::usleep(reader.pauseMs * 1000);
    if (reader.atBytes == 0 || read < reader.atBytes || stalled) return true;
    stalled = true;
    ::usleep(reader.stallMs * 1000);
    if (!reader.resets) return true;
    int unread = 0;
    ::ioctl(socket, FIONREAD, &unread);
    taken.unreadAtReset = unread;
    reset_connection(socket);
    return false;
}

// The stream a caller sends, every byte value in it; the IAC byte left out
// when a reset must be reckoned in wire bytes.
std::string stream_of(std::size_t size, bool withIac) {
    std::string stream(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        stream[i] = static_cast<char>(withIac ? (i * 7 + i / 251) % 256 : (i * 7 + i / 251) % 255);
    }
    return stream;
}

// Sends `stream` the way the headers tell a caller to: again from the
// count each call returned, until all of it is counted or the line fails.
long send_from_counts(bool extension, const std::string& stream) {
    long total = 0;
    const auto start = Clock::now();
    while (total < static_cast<long>(stream.size()) && elapsed_ms(start) < 20000) {
        const int left = static_cast<int>(stream.size()) - static_cast<int>(total);
        const int sent = extension ? tarvo_send(PORT, stream.data() + total, left)
                                   : sio_write(PORT, stream.data() + total, left);
        if (sent < 0) break;
        total += sent;
        if (sent == 0 && sio_iqueue(PORT) == ERR_STATUS_FAILED) break;
    }
    return total;
}

std::string cause_of_open() {
    char text[256] = {};
    tarvo_open_cause(PORT, text, sizeof text);
    return text;
}

// Each way an open fails keeps its own cause, and an answer that cannot be
// read is said to be one, at once, not waited out as no answer.
TEST_F(HostileServer, FailedOpensKeepTheirCause) {
    Rfc2217Server garbled;
    garbled.answer = [](const tn::Event& event) {
        return Rfc2217Server::is_rate_query(event) ? sb({101, 0x25}) : Rfc2217Server::standard(event);
    };
    TestServer malformed([&](int socket, const std::atomic<bool>& stopping) { garbled.serve(socket, stopping); });
    TestServer resetting([](int socket, const std::atomic<bool>&) {
        const linger abrupt{1, 0};  // the close that follows is a reset
        ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    });
    const struct {
        const char* what;
        std::string url;
        int cause;
    } cases[] = {
        {"refused", "tcp://127.0.0.1:" + std::to_string(free_port()) + LONG_BOUND, TARVO_CAUSE_REFUSED},
        {"malformed", malformed.url("rfc2217", LONG_BOUND), TARVO_CAUSE_MALFORMED},
        {"reset", resetting.url("rfc2217", LONG_BOUND), TARVO_CAUSE_RESET},
    };
    for (const auto& test : cases) {
        const auto start = Clock::now();
        EXPECT_EQ(open_url(test.url), ERR_OPEN_FAILED) << test.what;
        EXPECT_LT(elapsed_ms(start), 1000) << test.what << ": not at once";
        EXPECT_EQ(tarvo_open_cause(PORT, nullptr, 0), test.cause) << test.what << ": " << cause_of_open();
    }
    EXPECT_NE(cause_of_open().find("the server reset the connection"), std::string::npos) << cause_of_open();
}

// A server that reads its answers its own way (as one seen in the field
// does): a rate in 8 bytes, DTR and RTS changes answered with its flow
// control, break answers of either kind. The port opens, a change answered
// wrongly fails at once and alone, and a break is bounded by the timeout.
TEST_F(HostileServer, AServerOfOtherHabitsIsWorkedWith) {
    std::atomic<bool> frozen{false};
    Rfc2217Server other;
    other.answer = [&](const tn::Event& event) {
        if (frozen) return std::string();
        if (Rfc2217Server::is_rate_query(event)) return sb({101, 0, 0, 0x96, 0, 0, 0, 0, 0});
        if (event.size == 2 && event.value[0] == tn::SET_CONTROL) {
            const std::uint8_t asked = event.value[1];
            if (asked == tn::CONTROL_ASK_DTR) return sb({105, tn::DTR_OFF});
            if (asked >= tn::DTR_ON && asked <= tn::RTS_OFF) return sb({105, tn::FLOW_NONE});
            if (asked == tn::BREAK_OFF) return sb({105, tn::BREAK_ON});
        }
        return Rfc2217Server::standard(event);
    };
    TestServer server([&](int socket, const std::atomic<bool>& stopping) { other.serve(socket, stopping); });
    ASSERT_EQ(open_url(server.url("rfc2217", "?timeout=1500")), 0) << cause_of_open();
    auto start = Clock::now();
    EXPECT_EQ(sio_DTR(PORT, 1), ERR_SET_STATE_FAILED);
    EXPECT_LT(elapsed_ms(start), 700);
    start = Clock::now();
    EXPECT_EQ(sio_baud(PORT, 19200), 0);
    EXPECT_EQ(sio_ioctl(PORT, 12, 0x03), 0);
    EXPECT_LT(elapsed_ms(start), 700);
    EXPECT_EQ(tarvo_break(PORT, 10), 0);
    frozen = true;
    start = Clock::now();
    EXPECT_EQ(tarvo_break(PORT, 10), ERR_SET_STATE_FAILED);
    EXPECT_GE(elapsed_ms(start), 1400);
    EXPECT_LT(elapsed_ms(start), 3000);
}

// Every byte arrives once and in order, and the counts add up to exactly
// what arrived: a write that ends by its deadline counts what it handed
// on, since that arrives; one that fails counts what the server took.
TEST_F(HostileServer, CountsAreExactlyWhatArrivesWhateverTheReader) {
    const Reader readers[] = {
        {"steady", 64 * 1024, 0, 0, 0, false},
        {"slow", 2048, 20, 0, 0, false},
        {"stalling", 16 * 1024, 0, 96 * 1024, 700, false},
        {"resetting", 16 * 1024, 0, 96 * 1024, 100, true},  // resets well within the 300 ms bound
    };
    for (const char* scheme : {"tcp", "rfc2217"}) {
        for (const Reader& reader : readers) {
            for (const bool extension : {true, false}) {
                const std::string label = std::string(scheme) + ", " + reader.what + (extension ? ", tarvo_send" : ", sio_write");
                Taken taken;
                Rfc2217Server framed;
                framed.readSize = reader.readSize;
                bool stalled = false;
                bool going = true;
                framed.onData = [&](int socket, const std::string& data) {
                    {
                        std::lock_guard<std::mutex> guard(taken.mutex);
                        taken.read += data;
                    }
                    if (going) going = pace(reader, socket, taken, stalled);
                };
                TestServer server([&](int socket, const std::atomic<bool>& stopping) {
                    if (std::string(scheme) == "rfc2217") {
                        framed.serve(socket, stopping);
                    } else {
                        while (going && !stopping) {
                            char buffer[64 * 1024];
                            const ssize_t got = ::recv(socket, buffer, reader.readSize, 0);
                            if (got <= 0) break;
                            framed.onData(socket, std::string(buffer, static_cast<std::size_t>(got)));
                        }
                    }
                    taken.ended = true;
                });
                ASSERT_EQ(open_url(server.url(scheme, BOUND)), 0) << label;
                const std::string stream = stream_of(reader.slow() ? 160 * 1024 : 512 * 1024, !reader.resets);
                const long counted = send_from_counts(extension, stream);
                sio_close(PORT);
                EXPECT_TRUE(wait_until([&] { return taken.ended.load(); }, 20000)) << label;
                std::lock_guard<std::mutex> guard(taken.mutex);
                const long read = static_cast<long>(taken.read.size());
                if (!reader.resets) {
                    EXPECT_EQ(counted, read) << label;
                    EXPECT_EQ(counted, static_cast<long>(stream.size())) << label;
                } else {
                    // Bytes the server took in but never read die with the
                    // reset; so do those a call handed on before it, which
                    // a write bounded by TARVO_SEND_MS may end before.
                    EXPECT_GE(counted, read) << label;
                    if (!extension) {
                        EXPECT_LE(counted, read + taken.unreadAtReset) << label;
                    }
                }
                EXPECT_TRUE(stream.compare(0, taken.read.size(), taken.read) == 0) << label << ": not the stream in order";
            }
        }
    }
}

// The tool piping a file is one more caller resending from the counts: the
// file arrives whole, once, over either protocol, to a slow reader.
TEST_F(HostileServer, TermPipingAFileDeliversItIntact) {
    const std::string file = stream_of(200000, true);
    char path[] = "/tmp/tarvo-piped-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, file.data(), file.size()), static_cast<ssize_t>(file.size()));
    ::close(fd);
    for (const char* scheme : {"tcp", "rfc2217"}) {
        Taken taken;
        Rfc2217Server framed;
        framed.readSize = 2048;
        framed.pauseMs = 20;
        framed.onData = [&](int, const std::string& data) {
            std::lock_guard<std::mutex> guard(taken.mutex);
            taken.read += data;
        };
        TestServer server([&](int socket, const std::atomic<bool>& stopping) {
            if (std::string(scheme) == "rfc2217") return framed.serve(socket, stopping);
            for (;;) {
                const std::string got = receive_some(socket, 2048, 1000);
                if (got.empty()) break;
                framed.onData(socket, got);
                ::usleep(20000);
            }
        }, 8192);
        const std::string command = std::string(TARVO_TOOL) + " term --quiet " + server.url(scheme, BOUND) + " < " + path;
        EXPECT_EQ(std::system(command.c_str()), 0) << scheme;
        ASSERT_TRUE(wait_until([&] {
            std::lock_guard<std::mutex> guard(taken.mutex);
            return taken.read.size() >= file.size();
        }, 10000)) << scheme << ": " << taken.read.size();
        ::usleep(100000);
        std::lock_guard<std::mutex> guard(taken.mutex);
        EXPECT_EQ(taken.read.size(), file.size()) << scheme;
        EXPECT_TRUE(taken.read == file) << scheme << ": not the file";
    }
    ::unlink(path);
}

}  // namespace
}  // namespace tarvo::net
