#include "net/servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tarvo::net {
namespace {

int bound_listener(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return fd;
}

// Whether something listens on 127.0.0.1:port, from the kernel's table.
bool listening(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
    }
    return false;
}

}  // namespace

int free_port() {
    int port = 0;
    ::close(bound_listener(port));
    return port;
}

void map_url(int comNumber, const std::string& url) {
    ::setenv(("TARVO_COM" + std::to_string(comNumber)).c_str(), url.c_str(), 1);
}

Ser2net::Ser2net(const pty::Pty& pty, Accepter accepter, const std::string& connector)
    : Ser2net(std::vector<std::string>{pty.slave_name()}, accepter, connector) {}

Ser2net::Ser2net(const std::vector<std::string>& devices, Accepter accepter, const std::string& connector)
    : accepter_(accepter) {
    char directory[] = "/tmp/tarvo-ser2net-XXXXXX";
    if (::mkdtemp(directory) == nullptr) std::abort();
    directory_ = directory;
    const std::string config = directory_ + "/ser2net.yaml";
    std::ofstream file(config);
    file << "%YAML 1.1\n---\n";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        ports_.push_back(free_port());
        file << "connection: &port" << i << "\n    accepter: "
             << (accepter == Accepter::Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1," << ports_[i]
             << "\n    enable: on\n    options:\n      kickolduser: true\n      chardelay: false\n"
             << "    connector: serialdev," << devices[i] << ",9600n81," << connector << "\n\n";
    }
    file.close();
    const std::string pidfile = directory_ + "/ser2net.pid";
    pid_ = ::fork();
    if (pid_ == 0) {
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 1);
        ::dup2(quiet, 2);
        ::execlp("ser2net", "ser2net", "-n", "-u", "-c", config.c_str(), "-P", pidfile.c_str(),
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    const auto all_listening = [this] {
        for (const int port : ports_) {
            if (!listening(port)) return false;
        }
        return true;
    };
    if (!pty::wait_until(all_listening, 10000)) stop();
}

Ser2net::~Ser2net() {
    stop();
    std::system(("rm -rf " + directory_).c_str());
}

std::string Ser2net::url(const std::string& suffix, std::size_t device) const {
    return std::string(accepter_ == Accepter::Rfc2217 ? "rfc2217" : "tcp") + "://127.0.0.1:" +
           std::to_string(port(device)) + suffix;
}

void Ser2net::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    if (!pty::wait_until([this, &status] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 5000)) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
}

TestServer::TestServer(Behaviour behaviour, int receiveBuffer) : behaviour_(std::move(behaviour)) {
    listener_ = bound_listener(port_);
    if (receiveBuffer > 0) ::setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    ::listen(listener_, 4);
    thread_ = std::thread([this] {
        while (!stopping_) {
            pollfd watch{listener_, POLLIN, 0};
            if (::poll(&watch, 1, 20) <= 0) continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            behaviour_(client, stopping_);
            ::close(client);
        }
    });
}

TestServer::~TestServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

namespace {

constexpr const char* SREDIRD = "/usr/sbin/sredird";

}  // namespace

bool Sredird::installed() { return ::access(SREDIRD, X_OK) == 0; }

Sredird::Sredird(const pty::Pty& pty)
    : device_(pty.slave_name()),
      lockFile_("/tmp/tarvo-sredird-" + std::to_string(::getpid()) + "-" + std::to_string(free_port())),
      server_([this](int socket, const std::atomic<bool>& stopping) {
          const pid_t child = ::fork();
          if (child == 0) {
              ::dup2(socket, 0);
              ::dup2(socket, 1);
              const int quiet = ::open("/dev/null", O_WRONLY);
              ::dup2(quiet, 2);
              // Log level 0; no polling of modem lines a pty does not have.
              ::execl(SREDIRD, "sredird", "0", device_.c_str(), lockFile_.c_str(), "0", static_cast<char*>(nullptr));
              ::_exit(127);
          }
          int status = 0;
          while (::waitpid(child, &status, WNOHANG) == 0) {
              if (stopping) {
                  ::kill(child, SIGKILL);
                  ::waitpid(child, &status, 0);
                  break;
              }
              ::usleep(10000);
          }
      }) {}

Sredird::~Sredird() { ::unlink(lockFile_.c_str()); }

std::string TestServer::url(const std::string& scheme, const std::string& suffix) const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + suffix;
}

std::string receive_some(int socket, std::size_t most, int timeoutMs) {
    std::string got;
    const auto start = pty::Clock::now();
    while (got.size() < most && pty::elapsed_ms(start) < timeoutMs) {
        pollfd watch{socket, POLLIN, 0};
        if (::poll(&watch, 1, 10) <= 0) continue;
        char buffer[4096];
        const ssize_t count = ::recv(socket, buffer, std::min(sizeof buffer, most - got.size()), 0);
        if (count <= 0) break;
        got.append(buffer, static_cast<std::size_t>(count));
    }
    return got;
}

TestResolver::TestResolver(std::map<std::string, std::string> names, bool silent)
    : names_(std::move(names)), silent_(silent) {
    socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    tcp_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(53);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(tcp_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (socket_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::abort();
    if (tcp_ < 0 || ::bind(tcp_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(tcp_, 4) != 0) {
        std::abort();
    }
    thread_ = std::thread([this] {
        while (!stopping_) {
            pollfd watch[2] = {{socket_, POLLIN, 0}, {tcp_, POLLIN, 0}};
            if (::poll(watch, 2, 20) <= 0) continue;
            std::uint8_t query[512];
            if (watch[1].revents != 0) {
                // Questions, each a length and the message, until the client is done.
                const int client = ::accept4(tcp_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client < 0) continue;
                for (;;) {
                    const std::string prefix = receive_some(client, 2, 1000);
                    if (prefix.size() != 2) break;
                    const std::size_t length = std::size_t(std::uint8_t(prefix[0])) << 8 | std::uint8_t(prefix[1]);
                    const std::string in = receive_some(client, std::min(length, sizeof query), 1000);
                    if (in.size() <= 12 || silent_) break;
                    ++queries_;
                    const std::string reply = reply_to(reinterpret_cast<const std::uint8_t*>(in.data()), in.size(), false);
                    if (!reply.empty()) send_all(client, std::string{char(reply.size() >> 8), char(reply.size())} + reply);
                }
                ::close(client);
                continue;
            }
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            const ssize_t got = ::recvfrom(socket_, query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (got <= 12) continue;
            ++queries_;
            if (!silent_) answer(query, static_cast<std::size_t>(got), from, length);
        }
    });
}

TestResolver::~TestResolver() {
    stopping_ = true;
    thread_.join();
    ::close(socket_);
    ::close(tcp_);
}

void TestResolver::answer(const std::uint8_t* query, std::size_t size, const sockaddr_storage& from,
                          socklen_t length) {
    const std::string reply = reply_to(query, size, truncate_);
    if (reply.empty()) return;
    ::sendto(socket_, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&from), length);
}

// The reply repeats the header and the one question, then the answer; empty
// for a question not to be answered.
std::string TestResolver::reply_to(const std::uint8_t* query, std::size_t size, bool cut) {
    std::string name;
    std::size_t at = 12;
    while (at < size && query[at] != 0) {
        if (!name.empty()) name += '.';
        name.append(reinterpret_cast<const char*>(query) + at + 1, query[at]);
        at += query[at] + 1u;
    }
    if (at + 5 > size) return "";
    const bool wantsIpv4 = query[at + 2] == 1;
    const auto known = names_.find(name);
    if (!wantsIpv4 && known != names_.end() && ipv6_ == Ipv6::Silent) return "";
    const bool denied = known == names_.end() || (!wantsIpv4 && ipv6_ == Ipv6::NoSuchName);
    std::string reply(reinterpret_cast<const char*>(query), at + 5);
    reply[2] = char(cut ? 0x83 : 0x81);  // an answer (cut: TC), recursion as asked
    reply[3] = char(denied ? 0x83 : 0x80);  // the name does not exist, or it does
    reply[6] = 0;
    reply[7] = char(!denied && !cut && wantsIpv4 ? 1 : 0);
    reply.replace(8, 4, 4, '\0');
    if (reply[7] != 0) {
        in_addr address{};
        ::inet_pton(AF_INET, known->second.c_str(), &address);
        reply += std::string("\xC0\x0C\0\x01\0\x01\0\0\0\x3C\0\x04", 12);
        reply.append(reinterpret_cast<const char*>(&address), 4);
    }
    return reply;
}

const char* why_no_lookups() {
    const char* isolated = std::getenv("TARVO_TEST_ISOLATED");
    if (isolated != nullptr && std::string(isolated) == "1") return nullptr;
    return "needs the network and mount namespaces of tests/net/isolated.sh (root): names would be looked up "
           "by this machine's name server";
}

bool send_all(int socket, const std::string& bytes) {
    std::size_t put = 0;
    while (put < bytes.size()) {
        const ssize_t count = ::send(socket, bytes.data() + put, bytes.size() - put, MSG_NOSIGNAL);
        if (count <= 0) return false;
        put += static_cast<std::size_t>(count);
    }
    return true;
}

}  // namespace tarvo::net
