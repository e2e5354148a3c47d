// Why a network open fails, as GetLastError tells it, through the device
// operations; and host names looked up within the open's bound, against the
// tests' own name server (run by tests/net/isolated.sh, where nothing can
// leave this machine).
#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/device.h"
#include "net/telnet_codec.h"
#include "net/servers.h"

namespace tarvo::net {
namespace {

using namespace tarvo::dev;
namespace tn = posix::telnet;
using pty::Clock;
using pty::elapsed_ms;

constexpr char BOUND[] = "?timeout=300";

struct Outcome {
    DWORD error = ERROR_SUCCESS;  // ERROR_SUCCESS: it opened
    long tookMs = 0;
};

Outcome open_url(const std::string& url) {
    map_url(44, url);
    const auto start = Clock::now();
    const HANDLE handle = CreateFileA("\\\\.\\COM44", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    Outcome outcome{handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS, elapsed_ms(start)};
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return outcome;
}

// A listener whose queue is full: the kernel drops further connection
// requests, so a connect gets no answer.
struct FullListener {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    FullListener() {
        socklen_t length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener, 0) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            ::connect(queued, reinterpret_cast<sockaddr*>(&address), length) != 0) {
            std::abort();
        }
    }
    ~FullListener() {
        ::close(queued);
        ::close(listener);
    }
    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + BOUND; }
};

TEST(NetworkOpen, EachFailureHasItsOwnCodeWithinTheBound) {
    TestServer silent([](int socket, const std::atomic<bool>& stopping) {
        while (!stopping && receive_some(socket, 1, 20).size() < 1000) {
        }
    });
    TestServer rejecting([](int socket, const std::atomic<bool>&) {
        receive_some(socket, 15, 1000);
        send_all(socket, {char(tn::IAC), char(tn::DONT), char(tn::BINARY)});
        receive_some(socket, 100, 1000);
    });
    TestServer hangingUp([](int socket, const std::atomic<bool>&) { receive_some(socket, 15, 1000); });
    TestServer resetting([](int socket, const std::atomic<bool>&) {
        const linger abrupt{1, 0};
        ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
    });
    const FullListener full;
    const struct {
        const char* what;
        std::string url;
        DWORD error;
    } cases[] = {
        {"refused", "rfc2217://127.0.0.1:" + std::to_string(free_port()) + BOUND, ERROR_CONNECTION_REFUSED},
        {"connection not answered", full.url(), ERROR_SEM_TIMEOUT},
        {"negotiation not answered", silent.url("rfc2217", BOUND), ERROR_SEM_TIMEOUT},
        {"negotiation refused", rejecting.url("rfc2217", BOUND), ERROR_NOT_SUPPORTED},
        {"hangs up", hangingUp.url("rfc2217", BOUND), ERROR_GEN_FAILURE},
        {"resets", resetting.url("rfc2217", BOUND), WSAECONNRESET},
        // Only loopback is up: no route leads anywhere else.
        {"unreachable", std::string("tcp://198.51.100.1:7000") + BOUND, ERROR_NETWORK_UNREACHABLE},
    };
    for (const auto& test : cases) {
        const Outcome outcome = open_url(test.url);
        EXPECT_EQ(outcome.error, test.error) << test.what;
        EXPECT_LT(outcome.tookMs, 1000) << test.what;
    }
}

// Every interface but loopback is out of reach, so no packet of the suites
// run this way (the lookups included) can leave this machine.
TEST(NetworkLookup, RunsWhereOnlyLoopbackIsUp) {
    if (const char* why = why_no_lookups()) GTEST_SKIP() << why;
    struct if_nameindex* interfaces = if_nameindex();
    ASSERT_NE(interfaces, nullptr);
    for (const struct if_nameindex* each = interfaces; each->if_index != 0; ++each) EXPECT_STREQ(each->if_name, "lo");
    if_freenameindex(interfaces);
}

TEST(NetworkLookup, NamesResolveFromHostsFileAndNameServerWithSearchDomain) {
    if (const char* why = why_no_lookups()) GTEST_SKIP() << why;
    TestResolver resolver(std::map<std::string, std::string>{{"rig.test", "127.0.0.1"}});
    TestServer server([](int, const std::atomic<bool>&) {});
    const std::string port = std::to_string(server.port());
    EXPECT_EQ(open_url("tcp://localhost:" + port).error, ERROR_SUCCESS);
    EXPECT_EQ(resolver.queries(), 0);  // /etc/hosts answered
    EXPECT_EQ(open_url("tcp://rig.test:" + port).error, ERROR_SUCCESS);
    EXPECT_EQ(open_url("tcp://rig:" + port).error, ERROR_SUCCESS);  // through the search domain
    const int asked = resolver.queries();
    EXPECT_GE(asked, 4);  // A and AAAA for each name
    EXPECT_EQ(open_url("tcp://127.0.0.1:" + port).error, ERROR_SUCCESS);
    EXPECT_EQ(resolver.queries(), asked);  // none for an address
}

bool system_finds(const char* name) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int result = ::getaddrinfo(name, "7000", &hints, &found);
    if (found != nullptr) ::freeaddrinfo(found);
    return result == 0;
}

// Name servers that answer in ways seen in the field: the system's resolver
// finds the name in each case, and so does an open, well within its bound.
TEST(NetworkLookup, NamesTheSystemFindsAreFoundInTime) {
    if (const char* why = why_no_lookups()) GTEST_SKIP() << why;
    TestServer server([](int, const std::atomic<bool>&) {});
    const std::string url = "tcp://rig.test:" + std::to_string(server.port()) + "?timeout=3000";
    const struct {
        const char* what;
        TestResolver::Ipv6 ipv6;
        bool truncated;
    } cases[] = {
        {"IPv6 question never answered", TestResolver::Ipv6::Silent, false},
        {"IPv6 name said not to exist", TestResolver::Ipv6::NoSuchName, false},
        {"answers cut over UDP", TestResolver::Ipv6::None, true},
    };
    for (const auto& test : cases) {
        TestResolver resolver(std::map<std::string, std::string>{{"rig.test", "127.0.0.1"}});
        resolver.answer_ipv6(test.ipv6);
        if (test.truncated) resolver.truncate_udp();
        if (test.ipv6 != TestResolver::Ipv6::Silent) {
            EXPECT_TRUE(system_finds("rig.test")) << test.what;
        }
        const Outcome outcome = open_url(url);
        EXPECT_EQ(outcome.error, ERROR_SUCCESS) << test.what;
        EXPECT_LT(outcome.tookMs, 1000) << test.what;
    }
    // A name no host file or server can hold fails at once.
    TestResolver silent({}, true);
    const Outcome outcome = open_url("tcp://r\xC3\xA4ig.test:7000?timeout=3000");
    EXPECT_EQ(outcome.error, WSAHOST_NOT_FOUND);
    EXPECT_LT(outcome.tookMs, 100);
    EXPECT_EQ(silent.queries(), 0);
}

std::size_t thread_count() {
    std::size_t count = 0;
    if (DIR* tasks = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(tasks)) count += entry->d_name[0] != '.';
        ::closedir(tasks);
    }
    return count;
}

// A hosts file of the test's own (bound over /etc/hosts in the test's mount
// namespace): a line of more than 1,023 bytes with the name at its end, and
// a name with 60 addresses that refuse and the live one last.
TEST(NetworkLookup, HostsFileLinesOfAnyLengthAndAllTheirAddresses) {
    if (const char* why = why_no_lookups()) GTEST_SKIP() << why;
    TestServer server([](int, const std::atomic<bool>&) {});
    char path[] = "/tmp/tarvo-hosts-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string hosts = "127.0.0.1 localhost\n127.0.0.1";
    for (int i = 0; i < 120; ++i) hosts += " alias" + std::to_string(i) + ".test";
    hosts += " long.test\n";
    for (int i = 2; i < 62; ++i) hosts += "127.0.0." + std::to_string(i) + " many.test\n";
    hosts += "127.0.0.1 many.test\n";
    ASSERT_EQ(::write(fd, hosts.data(), hosts.size()), static_cast<ssize_t>(hosts.size()));
    ::close(fd);
    ASSERT_EQ(::mount(path, "/etc/hosts", nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
    TestResolver denying({});
    for (const char* name : {"long.test", "many.test"}) {
        EXPECT_TRUE(system_finds(name)) << name;
        const Outcome outcome = open_url("tcp://" + std::string(name) + ":" + std::to_string(server.port()) + "?timeout=3000");
        EXPECT_EQ(outcome.error, ERROR_SUCCESS) << name;
        EXPECT_LT(outcome.tookMs, 1000) << name;
    }
    ::umount("/etc/hosts");
    ::unlink(path);
}

TEST(NetworkLookup, FailedLookupsHaveTheirCodesWithinTheBoundAndLeaveNoThread) {
    if (const char* why = why_no_lookups()) GTEST_SKIP() << why;
    {
        // A denial ends the lookup at once, long before its deadline (a
        // loaded machine may take a while to answer even so).
        TestResolver denying({});
        const Outcome outcome = open_url("rfc2217://host.invalid:7000?timeout=3000");
        EXPECT_EQ(outcome.error, WSAHOST_NOT_FOUND);
        EXPECT_LT(outcome.tookMs, 1500);
    }
    const Outcome refused = open_url("tcp://rig.test:7000?timeout=300");  // nothing on port 53
    EXPECT_EQ(refused.error, ERROR_GEN_FAILURE);
    EXPECT_LT(refused.tookMs, 300);

    TestResolver silent({}, true);
    const std::size_t threads = thread_count();
    const Outcome unanswered = open_url("tcp://rig.test:7000?timeout=300");
    EXPECT_EQ(unanswered.error, ERROR_SEM_TIMEOUT);
    EXPECT_GE(unanswered.tookMs, 250);
    EXPECT_LT(unanswered.tookMs, 400);
    EXPECT_EQ(thread_count(), threads);
    EXPECT_GT(silent.queries(), 0);
}

}  // namespace
}  // namespace tarvo::net
