// Network ports against raw sockets through the same ser2net (chardelay
// off), with an echo peer on each pty: a 32-byte request/answer round trip
// and a 16 MiB stream, Tarvo over tcp:// against a raw socket through a raw
// accepter, Tarvo over rfc2217:// against a raw socket through an rfc2217
// accepter, and pyserial's rfc2217 client. Each pair runs in alternating
// blocks in this one process, and the ratio of the totals is the figure.
//   tarvo_net_bench [blocks]
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "net/servers.h"
#include "pty_rig.h"
#include "tarvo.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int TRIPS_PER_BLOCK = 50;
constexpr std::size_t STREAM = 16u << 20;
constexpr int REQUEST = 32;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int connect_raw(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) bench::fail("connect");
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

// What a server says at connection time (an rfc2217 greeting) is not data.
void drain(int fd) {
    char buffer[4096];
    ::usleep(100000);
    while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

void open_port(int port, int com, const std::string& url) {
    tarvo::net::map_url(com, url);
    sio_setComPortNo(port, com);
    if (sio_open(port) != 0) bench::fail("sio_open " + url);
}

const char* request() {
    static char bytes[REQUEST];
    for (int i = 0; i < REQUEST; ++i) bytes[i] = static_cast<char>('A' + i % 26);
    return bytes;
}

void tarvo_trip(int port) {
    char answer[REQUEST];
    if (sio_write(port, request(), REQUEST) != REQUEST) bench::fail("sio_write");
    while (sio_iqueue(port) < REQUEST) {
    }
    if (sio_read(port, answer, REQUEST) != REQUEST) bench::fail("sio_read");
}

// The same exchange on a socket: send, then poll until the answer is in.
void raw_trip(int fd) {
    char answer[REQUEST];
    if (::send(fd, request(), REQUEST, MSG_NOSIGNAL) != REQUEST) bench::fail("send");
    int got = 0;
    while (got < REQUEST) {
        const ssize_t n = ::recv(fd, answer + got, static_cast<std::size_t>(REQUEST - got), MSG_DONTWAIT);
        if (n > 0) got += static_cast<int>(n);
        if (n == 0) bench::fail("raw connection closed");
    }
}

// The raw exchange with the protocol work a Tarvo write does: the input
// purge (PURGE-DATA 1) ahead of the request in one segment, and its 7-byte
// confirmation before the answer, acknowledged at once.
void raw_trip_purging(int fd) {
    static const unsigned char purge[] = {255, 250, 44, 12, 1, 255, 240};
    char message[sizeof purge + REQUEST];
    std::memcpy(message, purge, sizeof purge);
    std::memcpy(message + sizeof purge, request(), REQUEST);
    char answer[64];
    if (::send(fd, message, sizeof message, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof message)) bench::fail("send");
    int got = 0;
    while (got < REQUEST + 7) {
        const ssize_t n = ::recv(fd, answer + got, static_cast<std::size_t>(REQUEST + 7 - got), MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<int>(n);
            // As the port does: else ser2net's answer waits for a delayed acknowledgement.
            const int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        }
        if (n == 0) bench::fail("raw connection closed");
    }
}

std::vector<char> buffer(64 * 1024);

double tarvo_stream(int port, int master, bench::Streamer& streamer) {
    const auto start = Clock::now();
    streamer.start(master);
    std::size_t got = 0;
    while (got < STREAM) {
        const int waiting = sio_iqueue(port);
        if (waiting <= 0) continue;
        const int n = sio_read(port, buffer.data(), std::min(waiting, static_cast<int>(buffer.size())));
        if (n < 0) bench::fail("sio_read");
        got += static_cast<std::size_t>(n);
    }
    return seconds_since(start);
}

// A plain blocking read loop, as an application would write it.
double raw_stream(int fd, int master, bench::Streamer& streamer) {
    const auto start = Clock::now();
    streamer.start(master);
    std::size_t got = 0;
    while (got < STREAM) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) bench::fail("raw stream");
        got += static_cast<std::size_t>(n);
    }
    return seconds_since(start);
}

// A non-blocking loop that polls the socket the way a port polls its input.
double raw_stream_polling(int fd, int master, bench::Streamer& streamer) {
    const auto start = Clock::now();
    streamer.start(master);
    std::size_t got = 0;
    while (got < STREAM) {
        const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n == 0) bench::fail("raw stream");
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    return seconds_since(start);
}

struct Pair {
    double tarvo = 0;
    double raw = 0;
};

// Seconds per trip on each side, and the median of the ratios of the
// blocks run back to back: a burst of load from elsewhere on the machine
// then spoils a pair or two, not the figure.
struct Trips {
    Pair perTrip;
    double medianRatio;
};

template <typename RawTrip>
Trips round_trips(int port, int fd, int blocks, RawTrip raw_trip) {
    Pair total;
    std::vector<double> ratios;
    for (int block = 0; block < 2 * blocks; ++block) {
        const bool tarvoFirst = block % 2 == 0;
        Pair pair;
        for (int side = 0; side < 2; ++side) {
            const bool tarvo = (side == 0) == tarvoFirst;
            const auto start = Clock::now();
            for (int trip = 0; trip < TRIPS_PER_BLOCK; ++trip) tarvo ? tarvo_trip(port) : raw_trip(fd);
            (tarvo ? pair.tarvo : pair.raw) = seconds_since(start);
        }
        total.tarvo += pair.tarvo;
        total.raw += pair.raw;
        ratios.push_back(pair.tarvo / pair.raw);
    }
    std::sort(ratios.begin(), ratios.end());
    const double trips = 2.0 * blocks * TRIPS_PER_BLOCK;
    return Trips{Pair{total.tarvo / trips, total.raw / trips}, ratios[ratios.size() / 2]};
}

template <typename RawStream>
Pair streams(int port, int tarvoMaster, int fd, int rawMaster, bench::Streamer& streamer, int runs,
             RawStream raw_stream) {
    Pair total;
    for (int run = 0; run < runs; ++run) {
        if (run % 2 == 0) {
            total.tarvo += tarvo_stream(port, tarvoMaster, streamer);
            total.raw += raw_stream(fd, rawMaster, streamer);
        } else {
            total.raw += raw_stream(fd, rawMaster, streamer);
            total.tarvo += tarvo_stream(port, tarvoMaster, streamer);
        }
    }
    const double mb = static_cast<double>(STREAM) * runs / 1e6;
    return Pair{mb / total.tarvo, mb / total.raw};
}

// pyserial's rfc2217 client on the same accepter: seconds per round trip.
double pyserial_trip(int port, int trips) {
    const std::string script =
        "import serial, time\n"
        "s = serial.serial_for_url('rfc2217://127.0.0.1:" + std::to_string(port) +
        "?ign_set_control', baudrate=9600, timeout=2)\n"
        "req = bytes(65 + i % 26 for i in range(32))\n"
        "for i in range(5):\n"
        "    s.write(req)\n"
        "    if len(s.read(32)) != 32: raise SystemExit('no answer to the warm-up')\n"
        "t = time.monotonic()\n"
        "for i in range(" + std::to_string(trips) + "):\n"
        "    s.reset_input_buffer(); s.write(req)\n"
        "    if len(s.read(32)) != 32: raise SystemExit('short answer')\n"
        "print((time.monotonic() - t) / " + std::to_string(trips) + ")\n";
    FILE* python = ::popen(("/usr/bin/python3 - <<'EOF'\n" + script + "EOF\n").c_str(), "r");
    if (python == nullptr) return -1;
    double perTrip = -1;
    if (std::fscanf(python, "%lf", &perTrip) != 1) perTrip = -1;
    ::pclose(python);
    return perTrip;
}

}  // namespace

int main(int argc, char** argv) {
    const int blocks = argc > 1 ? std::atoi(argv[1]) : 20;
    bench::Pty telnetTarvo, telnetRaw, rawTarvo, rawRaw;
    tarvo::net::Ser2net telnet({telnetTarvo.slave, telnetRaw.slave}, tarvo::net::Ser2net::Accepter::Rfc2217);
    tarvo::net::Ser2net raw({rawTarvo.slave, rawRaw.slave}, tarvo::net::Ser2net::Accepter::Raw);
    if (!telnet.running() || !raw.running()) bench::fail("ser2net did not start");
    // ser2net closes a device when its client goes; a slave kept open here
    // spares the echo peer the hang-up, so the next client is answered too.
    std::vector<int> slaves;
    for (const bench::Pty* pty : {&telnetTarvo, &telnetRaw, &rawTarvo, &rawRaw}) {
        slaves.push_back(::open(pty->slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    }
    bench::EchoPeer echo({telnetTarvo.master, telnetRaw.master, rawTarvo.master, rawRaw.master});
    bench::Streamer streamer(STREAM);

    open_port(1, 61, raw.url("", 0));
    open_port(2, 62, telnet.url("", 0));
    const int rawSocket = connect_raw(raw.port(1));
    const int telnetSocket = connect_raw(telnet.port(1));
    drain(telnetSocket);
    for (int warm = 0; warm < 20; ++warm) {
        tarvo_trip(1), tarvo_trip(2), raw_trip(rawSocket), raw_trip(telnetSocket);
    }

    const Trips tcp = round_trips(1, rawSocket, blocks, raw_trip);
    const Trips telnetTrips = round_trips(2, telnetSocket, blocks, raw_trip);
    const Trips purging = round_trips(2, telnetSocket, blocks, raw_trip_purging);
    const Pair& tcpTrip = tcp.perTrip;
    const Pair& telnetTrip = telnetTrips.perTrip;
    const Pair tcpStream = streams(1, rawTarvo.master, rawSocket, rawRaw.master, streamer, 4, raw_stream);
    const Pair tcpPolled = streams(1, rawTarvo.master, rawSocket, rawRaw.master, streamer, 4, raw_stream_polling);
    const Pair telnetStream = streams(2, telnetTarvo.master, telnetSocket, telnetRaw.master, streamer, 4, raw_stream);
    sio_close(2);
    ::usleep(200000);  // ser2net has seen the close before the next client comes
    // The same server and port once more, purging this side only.
    open_port(3, 63, telnet.url("?purge=local", 0));
    for (int warm = 0; warm < 20; ++warm) tarvo_trip(3);
    const Trips local = round_trips(3, telnetSocket, blocks, raw_trip);
    sio_close(3);
    ::usleep(200000);
    const double pyserial = pyserial_trip(telnet.port(0), 200);

    std::printf("| case | Tarvo | baseline | ratio (median of pairs; of totals) | target |\n|---|---|---|---|---|\n");
    std::printf("| round trip, tcp:// vs raw socket (raw accepter) | %.1f us | %.1f us | %.2fx; %.2fx | <= 1.05x |\n",
                tcpTrip.tarvo * 1e6, tcpTrip.raw * 1e6, tcp.medianRatio, tcpTrip.tarvo / tcpTrip.raw);
    std::printf("| round trip, rfc2217:// vs raw socket (rfc2217 accepter) | %.1f us | %.1f us | %.2fx; %.2fx | <= 1.25x |\n",
                telnetTrip.tarvo * 1e6, telnetTrip.raw * 1e6, telnetTrips.medianRatio, telnetTrip.tarvo / telnetTrip.raw);
    std::printf("| round trip, rfc2217:// vs raw socket sending the same purge | %.1f us | %.1f us | %.2fx; %.2fx | <= 1.05x |\n",
                purging.perTrip.tarvo * 1e6, purging.perTrip.raw * 1e6, purging.medianRatio,
                purging.perTrip.tarvo / purging.perTrip.raw);
    std::printf("| round trip, rfc2217://?purge=local vs raw socket (rfc2217 accepter) | %.1f us | %.1f us | %.2fx; %.2fx | <= 1.10x |\n",
                local.perTrip.tarvo * 1e6, local.perTrip.raw * 1e6, local.medianRatio,
                local.perTrip.tarvo / local.perTrip.raw);
    std::printf("| round trip, rfc2217:// vs pyserial rfc2217:// | %.1f us | %.1f us | %.4fx (pyserial %.0fx slower) | report |\n",
                telnetTrip.tarvo * 1e6, pyserial * 1e6, telnetTrip.tarvo / pyserial, pyserial / telnetTrip.tarvo);
    std::printf("| 16 MiB stream, tcp:// vs blocking raw socket | %.0f MB/s | %.0f MB/s | %.2fx | report |\n",
                tcpStream.tarvo, tcpStream.raw, tcpStream.tarvo / tcpStream.raw);
    std::printf("| 16 MiB stream, tcp:// vs non-blocking raw loop | %.0f MB/s | %.0f MB/s | %.2fx | >= 0.90x |\n",
                tcpPolled.tarvo, tcpPolled.raw, tcpPolled.tarvo / tcpPolled.raw);
    std::printf("| 16 MiB stream, rfc2217:// vs raw socket | %.0f MB/s | %.0f MB/s | %.2fx | - |\n",
                telnetStream.tarvo, telnetStream.raw, telnetStream.tarvo / telnetStream.raw);
    sio_close(1);
    ::close(rawSocket);
    ::close(telnetSocket);
    for (const int slave : slaves) ::close(slave);
    return 0;
}
