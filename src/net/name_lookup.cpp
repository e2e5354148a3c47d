#include "net/name_lookup.h"

#include <ares.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>

namespace tarvo::posix {
namespace {

using Clock = std::chrono::steady_clock;

// Once one family has its addresses, the other has this long to follow:
// an answer that came is used, whatever the other's server does.
constexpr auto RESOLUTION_DELAY = std::chrono::milliseconds(50);
// Each name server is given this share of what is left before the next is
// asked, so a silent first one does not take the whole bound.
constexpr int SERVER_SHARE = 3;

int ms_until(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

// What one family's question came to.
struct Family {
    bool done = false;
    int status = ARES_ETIMEOUT;
    sockaddr_storage address[HostAddresses::MOST];
    int count = 0;
};

void take_answer(void* arg, int status, int, ares_addrinfo* result) {
    auto& family = *static_cast<Family*>(arg);
    family.done = true;
    family.status = status;
    if (result == nullptr) return;
    for (const ares_addrinfo_node* node = result->nodes; node != nullptr; node = node->ai_next) {
        if (family.count == HostAddresses::MOST) break;
        if (node->ai_addrlen > sizeof(sockaddr_storage)) continue;
        family.address[family.count] = sockaddr_storage{};
        std::memcpy(&family.address[family.count++], node->ai_addr, node->ai_addrlen);
    }
    ares_freeaddrinfo(result);
}

// Waits for the channel's sockets or its next timeout, at most until
// `until`, and lets it process what came; false once `until` has passed.
bool drive(ares_channel channel, Clock::time_point until) {
    ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
    const int mask = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
    pollfd watch[ARES_GETSOCK_MAXNUM];
    nfds_t count = 0;
    for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
        const short events = static_cast<short>((ARES_GETSOCK_READABLE(mask, i) ? POLLIN : 0) |
                                                (ARES_GETSOCK_WRITABLE(mask, i) ? POLLOUT : 0));
        if (events != 0) watch[count++] = pollfd{sockets[i], events, 0};
    }
    const int left = ms_until(until);
    if (left == 0) return false;
    timeval most{left / 1000, (left % 1000) * 1000};
    timeval step{};
    const timeval* wait = ares_timeout(channel, &most, &step);
    const int waitMs = static_cast<int>(wait->tv_sec * 1000 + (wait->tv_usec + 999) / 1000);
    const int ready = ::poll(watch, count, waitMs);
    if (ready <= 0) {
        ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);  // the channel's own timeouts
        return true;
    }
    for (nfds_t i = 0; i < count; ++i) {
        const bool in = (watch[i].revents & (POLLIN | POLLERR | POLLHUP)) != 0;
        const bool out = (watch[i].revents & POLLOUT) != 0;
        if (in || out) ares_process_fd(channel, in ? watch[i].fd : ARES_SOCKET_BAD, out ? watch[i].fd : ARES_SOCKET_BAD);
    }
    return true;
}

// Both families' answers, IPv4 and IPv6 taking turns, the IPv4 first.
void interleave(const Family& v4, const Family& v6, HostAddresses& found) {
    found.count = 0;
    for (int i = 0; found.count < HostAddresses::MOST && (i < v4.count || i < v6.count); ++i) {
        if (i < v4.count) found.address[found.count++] = v4.address[i];
        if (i < v6.count && found.count < HostAddresses::MOST) found.address[found.count++] = v6.address[i];
    }
}

Lookup verdict(const Family& v4, const Family& v6, bool timedOut) {
    const auto is = [&](int status) { return v4.status == status || v6.status == status; };
    const auto denied = [](const Family& family) {
        return family.status == ARES_ENOTFOUND || family.status == ARES_ENODATA;
    };
    if (denied(v4) && denied(v6)) return Lookup::NoSuchHost;
    if (is(ARES_ECONNREFUSED) || is(ARES_EREFUSED) || is(ARES_ESERVFAIL)) return Lookup::Failed;
    if (timedOut || is(ARES_ETIMEOUT)) return Lookup::NoAnswer;
    if (denied(v4) || denied(v6)) return Lookup::NoSuchHost;
    return Lookup::Failed;
}

// An address as written is taken as it stands, and never asked for.
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

// A host name is ASCII letters, digits, '-', '.' and '_': anything else
// cannot be in the hosts file or the DNS, and is not asked for.
bool plausible_name(const char* host) {
    if (*host == '\0') return false;
    for (const char* c = host; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        if (byte <= ' ' || byte >= 0x7F) return false;
    }
    return true;
}

// Asks c-ares for `host` in the places `lookups` names ("f" the hosts file,
// "b" the name servers), each family of `families` a question of its own,
// until `deadline`; once one family is found, the other has the resolution
// delay to follow. Nothing is left running after.
Lookup ask(const char* host, const char* service, const char* lookups, std::initializer_list<int> families,
           Clock::time_point deadline, HostAddresses& found) {
    ares_options options{};
    options.timeout = std::max(100, ms_until(deadline) / SERVER_SHARE);
    options.tries = SERVER_SHARE;
    options.lookups = const_cast<char*>(lookups);
    ares_channel channel = nullptr;
    if (ares_init_options(&channel, &options, ARES_OPT_TIMEOUTMS | ARES_OPT_TRIES | ARES_OPT_LOOKUPS) != ARES_SUCCESS) {
        return Lookup::Failed;
    }
    Family answers[2];
    ares_addrinfo_hints hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = ARES_AI_NUMERICSERV;
    std::size_t asked = 0;
    for (const int family : families) {
        hints.ai_family = family;
        ares_getaddrinfo(channel, host, service, &hints, take_answer, &answers[asked++]);
    }
    Family& first = answers[0];
    Family& second = asked > 1 ? answers[1] : answers[0];
    Clock::time_point until = deadline;
    bool timedOut = false;
    while (!(first.done && second.done)) {
        const bool answered = (first.done && first.count > 0) || (second.done && second.count > 0);
        if (answered) until = std::min(until, Clock::now() + RESOLUTION_DELAY);
        if (!drive(channel, until)) {
            timedOut = true;
            break;
        }
    }
    ares_destroy(channel);  // what is unanswered is cancelled here
    interleave(first, asked > 1 ? second : Family{}, found);
    return found.count > 0 ? Lookup::Found : verdict(first, second, timedOut);
}

}  // namespace

// The hosts file first, both families in one question, as the system's
// resolver reads it; only a name not there goes to the name servers.
Lookup look_up_host(const char* host, std::uint16_t port, Clock::time_point deadline, HostAddresses& found) {
    found.count = 0;
    if (take_numeric(host, port, found)) return Lookup::Found;
    if (!plausible_name(host)) return Lookup::NoSuchHost;
    static std::once_flag initialised;
    std::call_once(initialised, [] { ares_library_init(ARES_LIB_INIT_ALL); });
    char service[8];
    std::snprintf(service, sizeof service, "%u", static_cast<unsigned>(port));
    if (ask(host, service, "f", {AF_UNSPEC}, deadline, found) == Lookup::Found) return Lookup::Found;
    return ask(host, service, "b", {AF_INET, AF_INET6}, deadline, found);
}

}  // namespace tarvo::posix
