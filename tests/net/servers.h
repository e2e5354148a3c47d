// The servers the network tests talk to: a real ser2net serving a pty, and
// small misbehaving servers of our own.
#ifndef TARVO_TESTS_NET_SERVERS_H
#define TARVO_TESTS_NET_SERVERS_H

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "pty/pty_support.h"

namespace tarvo::net {

// A TCP port on 127.0.0.1 that nothing listens on right now.
int free_port();

// TARVO_COM<comNumber> set to `url`.
void map_url(int comNumber, const std::string& url);

// ser2net on 127.0.0.1 serving devices (`pty`'s slave, or each of
// `devices` on a port of its own), with a config this test writes; stopped
// (and its files removed) by stop() or the destructor.
class Ser2net {
public:
    enum class Accepter { Rfc2217, Raw };
    // `connector`: ser2net's options for the device after its line settings.
    Ser2net(const pty::Pty& pty, Accepter accepter, const std::string& connector = "local");
    Ser2net(const std::vector<std::string>& devices, Accepter accepter, const std::string& connector = "local");
    ~Ser2net();
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    int port(std::size_t device = 0) const { return ports_.at(device); }
    // rfc2217://127.0.0.1:PORT or tcp://..., with `suffix` appended.
    std::string url(const std::string& suffix = "", std::size_t device = 0) const;
    // Listening now.
    bool running() const { return pid_ > 0; }
    void stop();

private:
    pid_t pid_ = -1;
    std::vector<int> ports_;
    Accepter accepter_;
    std::string directory_;
};

// A server on 127.0.0.1 that accepts connections one at a time and hands
// each to `behaviour` on a thread of its own, until destroyed. A
// `receiveBuffer` other than 0 sizes the connections' receive buffers.
class TestServer {
public:
    using Behaviour = std::function<void(int socket, const std::atomic<bool>& stopping)>;
    explicit TestServer(Behaviour behaviour, int receiveBuffer = 0);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& scheme, const std::string& suffix = "") const;

private:
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    Behaviour behaviour_;
    std::thread thread_;
};

// sredird, a second real COM-PORT server, serving `pty`'s slave: each
// connection is handed to a sredird of its own (it runs from inetd), which
// ends with it.
class Sredird {
public:
    explicit Sredird(const pty::Pty& pty);
    ~Sredird();
    Sredird(const Sredird&) = delete;
    Sredird& operator=(const Sredird&) = delete;

    static bool installed();
    std::string url(const std::string& suffix = "") const { return server_.url("rfc2217", suffix); }

private:
    std::string device_;
    std::string lockFile_;
    TestServer server_;
};

// A name server on 127.0.0.1 port 53, which tests/net/isolated.sh names in
// resolv.conf: it gives each name of `names` its IPv4 address (and no IPv6
// one) and says every other name does not exist; a silent one takes the
// queries and never answers. With none running, lookups are refused.
class TestResolver {
public:
    explicit TestResolver(std::map<std::string, std::string> names, bool silent = false);
    ~TestResolver();
    TestResolver(const TestResolver&) = delete;
    TestResolver& operator=(const TestResolver&) = delete;

    int queries() const { return queries_; }
    // How questions for IPv6 addresses are met: answered with none (the
    // default), never answered, or told the name does not exist (as some
    // forwarders do for a name with IPv4 addresses only).
    enum class Ipv6 { None, Silent, NoSuchName };
    void answer_ipv6(Ipv6 how) { ipv6_ = how; }
    // Every answer over UDP comes cut (the TC bit, no records): the full one
    // is had over TCP, from the same server.
    void truncate_udp() { truncate_ = true; }

private:
    void answer(const std::uint8_t* query, std::size_t size, const sockaddr_storage& from, socklen_t length);

    int socket_ = -1;
    std::map<std::string, std::string> names_;
    bool silent_;
    std::atomic<int> queries_{0};
    std::atomic<Ipv6> ipv6_{Ipv6::None};
    std::atomic<bool> truncate_{false};
    int tcp_ = -1;
    std::string reply_to(const std::uint8_t* query, std::size_t size, bool cut);
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// Why lookups cannot be tested here (nullptr: they can): outside the
// namespaces of tests/net/isolated.sh they would reach this machine's name
// server.
const char* why_no_lookups();

// Bytes read from `socket` within `timeoutMs`, at most `most`.
std::string receive_some(int socket, std::size_t most, int timeoutMs);
// Sends all of `bytes` unless the peer goes away; false then.
bool send_all(int socket, const std::string& bytes);

}  // namespace tarvo::net

#endif
