#include "device/posix/name_lookup.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tarvo::posix {
namespace {

using Clock = std::chrono::steady_clock;

// Questions still unanswered go out again after this long, so that one lost
// datagram does not lose the lookup.
constexpr int RESEND_MS = 1000;

int ms_until(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

unsigned get16(const std::uint8_t* at) { return static_cast<unsigned>(at[0] << 8 | at[1]); }

void add_address(HostAddresses& found, int family, const void* bytes, std::uint16_t port) {
    if (found.count == HostAddresses::MOST) return;
    sockaddr_storage address{};
    if (family == AF_INET) {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        std::memcpy(&v4.sin_addr, bytes, sizeof v4.sin_addr);
    } else {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        std::memcpy(&v6.sin6_addr, bytes, sizeof v6.sin6_addr);
    }
    int at = found.count;
    while (family == AF_INET && at > 0 && found.address[at - 1].ss_family == AF_INET6) --at;
    std::memmove(found.address + at + 1, found.address + at, (found.count - at) * sizeof address);
    found.address[at] = address;
    ++found.count;
}

// An address as written (scope included): no lookup at all.
bool take_numeric(const char* host, std::uint16_t port, HostAddresses& found) {
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* numeric = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &numeric) != 0) return false;
    std::memcpy(&found.address[0], numeric->ai_addr, numeric->ai_addrlen);
    freeaddrinfo(numeric);
    auto& any = found.address[0];
    if (any.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(any).sin_port = htons(port);
    if (any.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(any).sin6_port = htons(port);
    found.count = 1;
    return true;
}

bool look_up_in_hosts(const char* name, std::uint16_t port, HostAddresses& found) {
    std::FILE* hosts = std::fopen("/etc/hosts", "re");
    if (hosts == nullptr) return false;
    char line[1024];
    while (std::fgets(line, sizeof line, hosts) != nullptr) {
        // A line longer than the buffer is taken as far as it goes.
        if (std::strchr(line, '\n') == nullptr) {
            for (int c = 0; c != EOF && c != '\n'; c = std::fgetc(hosts)) {
            }
        }
        if (char* comment = std::strchr(line, '#')) *comment = '\0';
        char* rest = nullptr;
        const char* address = strtok_r(line, " \t\r\n", &rest);
        std::uint8_t bytes[16];
        int family = AF_INET;
        if (address == nullptr) continue;
        if (inet_pton(AF_INET, address, bytes) != 1) {
            family = AF_INET6;
            if (inet_pton(AF_INET6, address, bytes) != 1) continue;
        }
        for (const char* alias; (alias = strtok_r(nullptr, " \t\r\n", &rest)) != nullptr;) {
            if (strcasecmp(alias, name) == 0) {
                add_address(found, family, bytes, port);
                break;
            }
        }
    }
    std::fclose(hosts);
    return found.count > 0;
}

// One UDP socket connected to each name server: the kernel passes on only
// its replies, and reports its refusal.
struct NameServers {
    int socket[MAXNS];
    int count = 0;
    explicit NameServers(const struct __res_state& state);
    ~NameServers() {
        for (int i = 0; i < count; ++i) ::close(socket[i]);
    }
    NameServers(const NameServers&) = delete;
    NameServers& operator=(const NameServers&) = delete;
};

NameServers::NameServers(const struct __res_state& state) {
    for (int i = 0; i < state.nscount && i < MAXNS; ++i) {
        const sockaddr* address = reinterpret_cast<const sockaddr*>(&state.nsaddr_list[i]);
        socklen_t size = sizeof(sockaddr_in);
        if (state._u._ext.nsaddrs[i] != nullptr) {
            address = reinterpret_cast<const sockaddr*>(state._u._ext.nsaddrs[i]);
            size = sizeof(sockaddr_in6);
        } else if (state.nsaddr_list[i].sin_family != AF_INET) {
            continue;
        }
        const int fd = ::socket(address->sa_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        if (::connect(fd, address, size) != 0) {
            ::close(fd);
            continue;
        }
        socket[count++] = fd;
    }
}

// A question for the addresses of one family, and what became of it.
struct Question {
    unsigned type = 0;
    std::uint8_t packet[NS_PACKETSZ];
    int size = 0;
    bool answered = false;
    unsigned failedBy = 0;  // bit per server that refused or failed it
};

enum class Verdict { Addresses, NoName, NoData, Failed, NoAnswer };

struct Asking {
    const char* name;
    std::uint16_t port;
    Question questions[2];
    bool noName = false;
    HostAddresses& found;
};

// Takes a reply from server `server` if it answers one of the questions.
void take_reply(Asking& asking, const std::uint8_t* reply, int size, int server) {
    if (size < NS_HFIXEDSZ || (reply[2] & 0x80) == 0 || get16(reply + 4) != 1) return;
    const std::uint8_t* end = reply + size;
    const std::uint8_t* at = reply + NS_HFIXEDSZ;
    char asked[NS_MAXDNAME];
    const int nameSize = dn_expand(reply, end, at, asked, sizeof asked);
    if (nameSize < 0 || end - (at + nameSize) < 4) return;
    at += nameSize;
    if (get16(at + 2) != ns_c_in || strcasecmp(asked, asking.name) != 0) return;
    Question* question = nullptr;
    for (Question& candidate : asking.questions) {
        if (get16(candidate.packet) == get16(reply) && candidate.type == get16(at)) question = &candidate;
    }
    if (question == nullptr || question->answered) return;
    at += 4;
    switch (reply[3] & 0x0F) {
        case ns_r_noerror: break;
        case ns_r_nxdomain: asking.noName = true; return;
        default: question->failedBy |= 1u << server; return;
    }
    question->answered = true;
    const int family = question->type == ns_t_a ? AF_INET : AF_INET6;
    const unsigned addressSize = question->type == ns_t_a ? 4 : 16;
    for (unsigned record = get16(reply + 6); record > 0; --record) {
        const int skip = dn_skipname(at, end);
        if (skip < 0 || end - (at + skip) < 10) return;
        at += skip;
        const unsigned length = get16(at + 8);
        if (static_cast<unsigned>(end - (at + 10)) < length) return;
        if (get16(at) == question->type && get16(at + 2) == ns_c_in && length == addressSize) {
            add_address(asking.found, family, at + 10, asking.port);
        }
        at += 10 + length;
    }
}

// A server that refuses (the kernel reports it on the next call on its
// socket, a send or a receive) or that cannot be reached fails every question.
void note_error(Asking& asking, int server) {
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return;
    for (Question& question : asking.questions) question.failedBy |= 1u << server;
}

void send_unanswered(Asking& asking, const NameServers& servers) {
    for (const Question& question : asking.questions) {
        for (int server = 0; server < servers.count; ++server) {
            if (question.answered || (question.failedBy & (1u << server)) != 0) continue;
            const auto size = static_cast<std::size_t>(question.size);
            if (::send(servers.socket[server], question.packet, size, MSG_NOSIGNAL) < 0) note_error(asking, server);
        }
    }
}

// Reads every reply waiting on `server`.
void take_replies(Asking& asking, const NameServers& servers, int server) {
    std::uint8_t reply[NS_PACKETSZ * 2];
    for (;;) {
        const ssize_t got = ::recv(servers.socket[server], reply, sizeof reply, MSG_DONTWAIT);
        if (got < 0 && errno != EINTR) {
            note_error(asking, server);
            return;
        }
        if (got >= 0) take_reply(asking, reply, static_cast<int>(got), server);
    }
}

// Asks every server for both families of addresses of one name, until both
// are answered, the name is denied, every server has failed, or the deadline.
Verdict ask(struct __res_state& state, const NameServers& servers, Asking& asking, Clock::time_point deadline) {
    const unsigned types[2] = {ns_t_a, ns_t_aaaa};
    for (int i = 0; i < 2; ++i) {
        Question& question = asking.questions[i];
        question.type = types[i];
        question.size = res_nmkquery(&state, ns_o_query, asking.name, ns_c_in, static_cast<int>(types[i]), nullptr,
                                     0, nullptr, question.packet, sizeof question.packet);
        if (question.size < 0) return Verdict::Failed;
    }
    const unsigned everyServer = (1u << servers.count) - 1;
    Clock::time_point resend = Clock::now();
    for (;;) {
        if (asking.noName) return Verdict::NoName;
        bool open = false;
        for (const Question& question : asking.questions) {
            open = open || (!question.answered && question.failedBy != everyServer);
        }
        if (!open) break;
        if (ms_until(deadline) == 0) return asking.found.count > 0 ? Verdict::Addresses : Verdict::NoAnswer;
        if (ms_until(resend) == 0) {
            send_unanswered(asking, servers);
            resend = Clock::now() + std::chrono::milliseconds(RESEND_MS);
            continue;  // a send may have found a server refusing
        }
        pollfd watch[MAXNS];
        for (int server = 0; server < servers.count; ++server) watch[server] = {servers.socket[server], POLLIN, 0};
        if (::poll(watch, static_cast<nfds_t>(servers.count), std::min(ms_until(deadline), ms_until(resend))) < 0 &&
            errno != EINTR) {
            return Verdict::Failed;
        }
        for (int server = 0; server < servers.count; ++server) {
            if (watch[server].revents != 0) take_replies(asking, servers, server);
        }
    }
    if (asking.found.count > 0) return Verdict::Addresses;
    for (const Question& question : asking.questions) {
        if (!question.answered) return Verdict::Failed;
    }
    return Verdict::NoData;
}

// The names to ask for, in the resolver's order: a name with fewer dots
// than ndots is tried with each search domain before it is tried alone.
Lookup ask_name_servers(struct __res_state& state, const char* name, bool absolute, std::uint16_t port,
                        Clock::time_point deadline, HostAddresses& found) {
    const NameServers servers(state);
    if (servers.count == 0) return Lookup::Failed;
    const bool searching = !absolute && (state.options & RES_DNSRCH) != 0;
    const bool aloneFirst = !searching || std::count(name, name + std::strlen(name), '.') >= state.ndots;
    const char* suffixes[MAXDNSRCH + 2];
    int count = 0;
    if (aloneFirst) suffixes[count++] = "";
    for (int i = 0; searching && i < MAXDNSRCH && state.dnsrch[i] != nullptr; ++i) suffixes[count++] = state.dnsrch[i];
    if (!aloneFirst) suffixes[count++] = "";
    bool failed = false;
    for (int i = 0; i < count; ++i) {
        char candidate[NS_MAXDNAME];
        const int length = std::snprintf(candidate, sizeof candidate, "%s%s%s", name, *suffixes[i] ? "." : "",
                                         suffixes[i]);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof candidate) continue;
        Asking asking{candidate, port, {}, false, found};
        switch (ask(state, servers, asking, deadline)) {
            case Verdict::Addresses: return Lookup::Found;
            case Verdict::NoAnswer: return Lookup::NoAnswer;
            case Verdict::Failed: failed = true; break;
            case Verdict::NoName:
            case Verdict::NoData: break;
        }
    }
    return failed ? Lookup::Failed : Lookup::NoSuchHost;
}

}  // namespace

Lookup look_up_host(const char* host, std::uint16_t port, Clock::time_point deadline, HostAddresses& found) {
    found.count = 0;
    if (take_numeric(host, port, found)) return Lookup::Found;
    char name[NS_MAXDNAME];
    const int length = std::snprintf(name, sizeof name, "%s", host);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof name) return Lookup::NoSuchHost;
    const bool absolute = name[length - 1] == '.';
    if (absolute) name[length - 1] = '\0';
    if (look_up_in_hosts(name, port, found)) return Lookup::Found;
    struct __res_state state{};
    if (res_ninit(&state) != 0) {
        res_nclose(&state);
        return Lookup::Failed;
    }
    const Lookup result = ask_name_servers(state, name, absolute, port, deadline, found);
    res_nclose(&state);
    return result;
}

}  // namespace tarvo::posix
