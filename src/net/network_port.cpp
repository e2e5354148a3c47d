// Nothing here allocates once a port is open: a pool entry's port, with its
// fixed buffers, is made at the entry's first network open and kept. Only
// that and the name lookup at open time allocate.
//
// Any thread may call any operation; one mutex keeps the buffers and the
// byte stream whole, and is let go while an operation waits for the network,
// so a write held by a full connection does not stall a reader. Writes, and
// changes of settings, each take their own turn besides: a second write must
// not refill the piece a first is still sending, nor a second change take
// the answers the first awaits.
#include "net/network_port.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>
#include <strings.h>

#include "device/posix/handle_pool.h"
#include "device/posix/last_error.h"
#include "net/network_connect.h"
#include "net/rfc2217_session.h"
#include "net/telnet_codec.h"
#include "device/posix/transfer_support.h"
#include "device/posix/termios_map.h"

namespace tarvo::posix {

using namespace tarvo::dev;
namespace tn = telnet;

namespace {

// Data from the server waiting for the caller, after decoding.
constexpr std::size_t RECEIVE_SIZE = 64 * 1024;
// One escaped piece of a write on its way to the socket.
constexpr std::size_t SEND_SIZE = 16 * 1024;
// Our commands and answers waiting for room in the socket.
constexpr std::size_t CONTROL_SIZE = 1024;
// Socket reads per look at the connection: a server that floods commands
// (which fill no buffer) cannot keep a call reading forever.
constexpr int READS_PER_PUMP = 8;
// How often a wait for input looks again at data held behind a pending purge.
constexpr std::uint64_t HELD_DATA_CHECK_MS = 5;
// How often a write held back to the server's pace looks again.
constexpr std::uint64_t PACE_STEP_MS = 5;
// A timed write larger than this measures the server's pace from its start;
// until the pace is known (PACE_KNOWN_MS), this much may wait unacknowledged.
constexpr std::size_t PACE_FREE = 64 * 1024;
constexpr std::uint64_t PACE_KNOWN_MS = 10;

using Lock = std::unique_lock<std::mutex>;

class NetworkPort;

// A piece of a write: `size` bytes at `bytes` for the socket, the first
// `commands` of them ours, carrying `consumed` bytes of the caller's data.
struct Piece {
    const std::uint8_t* bytes;
    std::size_t size;
    std::size_t commands;
    std::size_t consumed;
};

// What a network port does according to the protocol it speaks, chosen at
// open: the connection (socket, buffers, pump, waits, departure) is the
// port's, and nothing outside a protocol asks which one it is.
class Protocol {
public:
    // Readies the protocol for a new connection to `target`.
    virtual void reset(const ComTarget& target) = 0;
    // Whatever comes between the connection and the first data, within
    // `deadline`; false when the open fails, refused() and malformed()
    // saying whether the server refused or answered something malformed.
    virtual bool start(Lock& lock, std::uint64_t deadline) = 0;
    virtual bool refused() const = 0;
    virtual bool malformed() const = 0;
    virtual const DCB& settings() const = 0;
    virtual bool change_settings(Lock& lock, const DCB& dcb) = 0;
    virtual bool modem_lines(DWORD& lines) const = 0;
    // 0, or the Win32 error the break failed with.
    virtual DWORD set_break(Lock& lock, bool on) = 0;
    // A purge whose confirmation never came (its data may have come through).
    virtual bool take_missed_purge() = 0;
    // Whether an input purge empties the server's side too; the purge there.
    virtual bool purges_at_server(bool exchangeStarts) const = 0;
    virtual bool purge_at_server(Lock& lock, bool exchangeStarts) = 0;

    // The data path.
    // Decodes the `bytes` just read at `in`, in place: kept, `in` is the end
    // of the data, which grows by the data decoded; else the data is dropped.
    virtual void decode(std::uint8_t* in, std::size_t bytes, bool keep) = 0;
    virtual bool purge_pending() const = 0;
    virtual bool suspended() const = 0;
    // Data that comes while a purge awaits its confirmation is held back:
    // when the confirmation comes, what came before it is dropped (it left
    // the device before the purge).
    virtual bool holding() = 0;
    virtual Piece next_piece(const std::uint8_t* data, std::size_t left) = 0;
    // How much of the caller's `size` bytes at `data` the first `wire` bytes on the wire carry.
    virtual std::size_t data_within(const std::uint8_t* data, std::size_t size, std::size_t wire) const = 0;
    // Whether the `size` bytes at `bytes` on the wire end inside an escape.
    virtual bool ends_inside_escape(const std::uint8_t* bytes, std::size_t size) const = 0;

protected:
    ~Protocol() = default;
};

// Raw TCP: data is all there is; the settings are this side's alone, and
// there are no status lines and no break.
class RawTcp final : public Protocol {
public:
    explicit RawTcp(NetworkPort& port) : port_(port) {}
    void reset(const ComTarget&) override { settings_ = initial_network_settings(); }
    bool start(Lock&, std::uint64_t) override { return true; }
    bool refused() const override { return false; }
    bool malformed() const override { return false; }
    const DCB& settings() const override { return settings_; }
    bool change_settings(Lock&, const DCB& dcb) override {
        settings_ = dcb;
        return true;
    }
    bool modem_lines(DWORD&) const override { return false; }
    DWORD set_break(Lock&, bool) override { return ERROR_NOT_SUPPORTED; }
    bool take_missed_purge() override { return false; }
    bool purges_at_server(bool) const override { return false; }
    bool purge_at_server(Lock&, bool) override { return true; }
    void decode(std::uint8_t* in, std::size_t bytes, bool keep) override;
    bool purge_pending() const override { return false; }
    bool suspended() const override { return false; }
    bool holding() override { return false; }
    Piece next_piece(const std::uint8_t* data, std::size_t left) override;
    std::size_t data_within(const std::uint8_t*, std::size_t, std::size_t wire) const override { return wire; }
    bool ends_inside_escape(const std::uint8_t*, std::size_t) const override { return false; }

private:
    NetworkPort& port_;
    DCB settings_{};
};

// The Telnet COM-PORT-OPTION session: the decoder, the pure session, and
// what the session has to say put into the port's control queue.
class Rfc2217 final : public Protocol {
public:
    explicit Rfc2217(NetworkPort& port) : port_(port) {}
    void reset(const ComTarget& target) override;
    bool start(Lock& lock, std::uint64_t deadline) override;
    bool refused() const override { return session_.refused(); }
    bool malformed() const override { return session_.malformed(); }
    const DCB& settings() const override { return session_.known(); }
    bool change_settings(Lock& lock, const DCB& dcb) override;
    bool modem_lines(DWORD& lines) const override { return session_.modem_lines(lines); }
    DWORD set_break(Lock& lock, bool on) override;
    bool take_missed_purge() override { return session_.take_missed_purge(); }
    bool purges_at_server(bool exchangeStarts) const override { return session_.purges_at_server(exchangeStarts); }
    bool purge_at_server(Lock& lock, bool exchangeStarts) override;
    void decode(std::uint8_t* in, std::size_t bytes, bool keep) override;
    bool purge_pending() const override { return session_.purge_pending(); }
    bool suspended() const override { return session_.suspended(); }
    // The clock is read only while a purge is pending.
    bool holding() override { return session_.purge_pending() && session_.holding(now_ms()); }
    Piece next_piece(const std::uint8_t* data, std::size_t left) override;
    std::size_t data_within(const std::uint8_t* data, std::size_t size, std::size_t wire) const override {
        return tn::data_within(data, size, wire);
    }
    bool ends_inside_escape(const std::uint8_t* bytes, std::size_t size) const override {
        return tn::ends_inside_escape(bytes, size);
    }

private:
    bool negotiate(Lock& lock, std::uint64_t deadline);
    bool learn_settings(Lock& lock, std::uint64_t deadline);
    bool pass_every_byte(Lock& lock);
    bool handle(const tn::Event& event);
    bool queue_outbox();
    bool send_outbox(Lock& lock, std::uint64_t deadline);

    NetworkPort& port_;
    Rfc2217Session session_;
    tn::Decoder decoder_;
};

class NetworkPort final : public Port {
public:
    bool open(const ComTarget& target);

    BOOL close() override;
    BOOL clear_comm_error(DWORD* errors, COMSTAT* stat) override;
    BOOL purge(DWORD flags) override;
    BOOL read(void* buffer, DWORD toRead, DWORD& got) override;
    BOOL write(const void* buffer, DWORD toWrite, DWORD& sent) override;
    BOOL wait_input(DWORD count, DWORD timeoutMs, DWORD& waiting) override;
    BOOL get_state(DCB& dcb) override;
    BOOL set_state(const DCB& dcb) override;
    BOOL modem_status(DWORD& lines) override;
    BOOL set_break(bool on) override;

private:
    friend class RawTcp;
    friend class Rfc2217;

    void reset(const ComTarget& target);
    bool take_hold(const ComTarget& target);
    void give_up_hold();
    bool names(const ComTarget& target) const;
    bool connect_to(const ComTarget& target, std::uint64_t deadline, ConnectFailure& why);

    // Takes in what the socket holds now; false once the connection is gone.
    bool pump(bool overflowing = false);
    bool holding() { return protocol_->holding(); }
    std::size_t visible();
    void acknowledge_at_once();
    void make_room();
    // The connection failed (with `error`, an errno; 0 for the server's end
    // of the stream): every call fails from now on, with what failed.
    void drop_connection(int error);
    DWORD failure() const { return broken_ ? brokenError_ : ERROR_GEN_FAILURE; }

    bool queue_control(const std::uint8_t* bytes, std::size_t size);
    void owe_iac();
    void requeue(const std::uint8_t* bytes, std::size_t size);
    bool send_control(Lock& lock, const std::uint8_t* bytes, std::size_t size, std::uint64_t deadline);
    bool flush_control();
    // Waits (with the mutex let go) until the socket is ready for `events`
    // or `deadline` passes; false when it passed first.
    bool wait_for(Lock& lock, short events, std::uint64_t deadline);
    // Pumps until `done` holds; false when the connection is gone or the
    // deadline passes first.
    template <class Done>
    bool await(Lock& lock, std::uint64_t deadline, Done done);

    Transfer hand_over(Lock& lock, const std::uint8_t* data, DWORD toWrite, std::uint64_t deadline, std::size_t& wire);
    Transfer wait_for_departure(Lock& lock, std::uint64_t deadline, std::uint64_t& until);
    bool server_takes(std::size_t& unacknowledged) const;
    void note_pushback();
    std::size_t allowance(std::uint64_t deadline);
    std::size_t unsent_bytes() const;
    std::size_t unacknowledged_bytes() const;
    bool connection_lost() const;

    // The server and port this port holds, while `held_`: set and read
    // under the holds' mutex only.
    bool held_ = false;
    char host_[DEVICE_NAME_SIZE] = {};
    long service_ = 0;

    // What each guards, and when the port's mutex is let go: network_port.h.
    std::mutex mutex_;
    std::mutex writeTurn_;
    std::mutex settingTurn_;
    int fd_ = -1;
    int timeoutMs_ = DEFAULT_NETWORK_TIMEOUT_MS;
    bool broken_ = false;
    DWORD brokenError_ = ERROR_GEN_FAILURE;
    // The protocol spoken, one of the two, chosen at open.
    RawTcp rawTcp_{*this};
    Rfc2217 rfc2217_{*this};
    Protocol* protocol_ = &rawTcp_;

    // [head_, tail_) of received_ is data for the caller.
    std::uint8_t received_[RECEIVE_SIZE];
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    // Data was dropped for want of room.
    bool overrun_ = false;
    std::uint8_t sending_[SEND_SIZE];
    // A piece of data is partly in the socket: no command may go in between.
    bool midPiece_ = false;
    // Every byte the socket took since the connection began: less what it
    // holds unacknowledged, what the server has taken.
    std::uint64_t handed_ = 0;
    // The socket pushed back (the server takes less than it is given):
    // since `backlogSince_`, when the server had taken `takenSince_`, each
    // timed write hands on only what the server's pace takes by its deadline.
    bool backlog_ = false;
    std::uint64_t backlogSince_ = 0;
    std::uint64_t takenSince_ = 0;
    std::uint8_t control_[CONTROL_SIZE];
    std::size_t controlSize_ = 0;

    // Reads acknowledge at once until the answer to the exchange begins.
    bool acknowledging_ = false;
};

// A pool entry's network port, made at its first network open and kept for
// the next (another thread may still be returning from a call on it after
// a close): only what has been opened takes room.
NetworkPort* networks[POOL_SIZE] = {};
// Guards every port's hold: taking one is a look at all of them.
std::mutex holds;

void NetworkPort::reset(const ComTarget& target) {
    fd_ = -1;
    timeoutMs_ = target.timeoutMs;
    broken_ = false;
    brokenError_ = ERROR_GEN_FAILURE;
    if (target.kind == TargetKind::Rfc2217) {
        protocol_ = &rfc2217_;
    } else {
        protocol_ = &rawTcp_;
    }
    protocol_->reset(target);
    head_ = tail_ = 0;
    overrun_ = false;
    midPiece_ = false;
    controlSize_ = 0;
    handed_ = 0;
    backlog_ = false;
    acknowledging_ = false;
    reset_shared();
}

bool NetworkPort::names(const ComTarget& target) const {
    return held_ && service_ == std::strtol(target.service, nullptr, 10) && strcasecmp(host_, target.device) == 0;
}

// A server takes one client per port (and some let the newest in, ending the
// first): within this process, a server and port named by one open port are
// refused to any other before a connection is tried. The names are compared,
// not the addresses they stand for: nothing is looked up for the check.
bool NetworkPort::take_hold(const ComTarget& target) {
    std::lock_guard<std::mutex> guard(holds);
    for (const NetworkPort* other : networks) {
        if (other != nullptr && other->names(target)) return false;
    }
    std::memcpy(host_, target.device, sizeof host_);
    service_ = std::strtol(target.service, nullptr, 10);
    held_ = true;
    return true;
}

void NetworkPort::give_up_hold() {
    std::lock_guard<std::mutex> guard(holds);
    held_ = false;
}

bool NetworkPort::open(const ComTarget& target) {
    Lock lock(mutex_);
    reset(target);
    if (!take_hold(target)) {
        set_last_error(ERROR_SHARING_VIOLATION);
        return false;
    }
    const std::uint64_t deadline = now_ms() + static_cast<std::uint64_t>(timeoutMs_);
    ConnectFailure why = ConnectFailure::None;
    bool ok = connect_to(target, deadline, why);
    ok = ok && protocol_->start(lock, deadline);
    if (!ok) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        give_up_hold();
        set_last_error(open_error(why, protocol_->refused(), protocol_->malformed(), broken_ ? brokenError_ : 0,
                                  left_ms(deadline) == 0));
    }
    return ok;
}

bool NetworkPort::connect_to(const ComTarget& target, std::uint64_t deadline, ConnectFailure& why) {
    fd_ = connect_to_server(target, left_ms(deadline), why);
    return fd_ >= 0;
}

void NetworkPort::drop_connection(int error) {
    broken_ = true;
    brokenError_ = error == 0 ? ERROR_GEN_FAILURE : error_from_errno(error);
}

void NetworkPort::make_room() {
    if (head_ == tail_) {
        head_ = tail_ = 0;
    } else if (head_ > 0 && tail_ > RECEIVE_SIZE / 2) {
        std::memmove(received_, received_ + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
}

// With the buffer full, the server's data waits in the connection, and the
// server in turn stops reading its device: nothing is lost. A call that
// awaits answers (`overflowing`) reads on all the same, since the answers
// come behind that data: the data that finds no room is dropped and
// reported as an overrun, as a local port's full input queue loses bytes.
bool NetworkPort::pump(bool overflowing) {
    if (broken_) return false;
    std::uint8_t spill[2048];
    for (int round = 0; round < READS_PER_PUMP; ++round) {
        make_room();
        // Held data that fills the buffer came before a purge: it goes.
        if (tail_ == RECEIVE_SIZE && holding()) head_ = tail_ = 0;
        std::size_t room = RECEIVE_SIZE - tail_;
        std::uint8_t* into = received_ + tail_;
        if (room == 0 && !overflowing) break;
        if (room == 0) {
            into = spill;
            room = sizeof spill;
        }
        const ssize_t got = ::recv(fd_, into, room, MSG_DONTWAIT);
        if (got == 0) {
            drop_connection(0);
            return false;
        }
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            drop_connection(errno);
            return false;
        }
        protocol_->decode(into, static_cast<std::size_t>(got), into != spill);
        if (acknowledging_) acknowledge_at_once();
        // A short read may have ended at the server's end of the stream: the
        // next read says so, and this call already reports the hung-up line.
    }
    return flush_control();
}

// A server that delays a small segment until the one before is acknowledged
// (Nagle) holds the device's answer while this side delays its
// acknowledgement: over rfc2217 some 40 ms on every exchange (the purge's
// confirmation comes just before the answer), over raw TCP whenever the
// device answers in pieces. So from the start of an exchange (the purge
// before a write) every read acknowledges at once, until the confirmation
// is in and the answer has begun; after that the acknowledgement owed rides
// on the next request, and a stream costs no call per read.
void NetworkPort::acknowledge_at_once() {
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
    if (!protocol_->purge_pending() && tail_ > head_) acknowledging_ = false;
}

std::size_t NetworkPort::visible() { return holding() ? 0 : tail_ - head_; }

bool NetworkPort::queue_control(const std::uint8_t* bytes, std::size_t size) {
    // One byte stays free for an IAC a timed-out write owes the stream.
    if (controlSize_ + size > CONTROL_SIZE - 1) return false;
    std::memcpy(control_ + controlSize_, bytes, size);
    controlSize_ += size;
    return true;
}

void NetworkPort::owe_iac() {
    const std::uint8_t iac = tn::IAC;
    requeue(&iac, 1);
}

// Puts commands that did not go back at the front of the queue. They came
// from it, and anything queued since keeps the room free, so they fit; an
// answer queued meanwhile that would not is the one dropped.
void NetworkPort::requeue(const std::uint8_t* bytes, std::size_t size) {
    if (controlSize_ + size > CONTROL_SIZE) controlSize_ = CONTROL_SIZE - size;
    std::memmove(control_ + size, control_, controlSize_);
    std::memcpy(control_, bytes, size);
    controlSize_ += size;
}

bool NetworkPort::flush_control() {
    while (controlSize_ > 0 && !midPiece_) {
        const ssize_t put = ::send(fd_, control_, controlSize_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            drop_connection(errno);
            return false;
        }
        handed_ += static_cast<std::uint64_t>(put);
        std::memmove(control_, control_ + put, controlSize_ - static_cast<std::size_t>(put));
        controlSize_ -= static_cast<std::size_t>(put);
    }
    return !broken_;
}

bool NetworkPort::send_control(Lock& lock, const std::uint8_t* bytes, std::size_t size, std::uint64_t deadline) {
    while (!queue_control(bytes, size)) {
        if (!flush_control()) return false;
        if (controlSize_ + size <= CONTROL_SIZE - 1) continue;
        if (!wait_for(lock, POLLOUT, deadline)) return false;
    }
    return flush_control();
}

bool NetworkPort::wait_for(Lock& lock, short events, std::uint64_t deadline) {
    const int wait = left_ms(deadline);
    if (wait == 0) return false;
    pollfd watch{fd_, events, 0};
    lock.unlock();
    const int ready = ::poll(&watch, 1, wait);
    lock.lock();
    return ready > 0 || (ready < 0 && errno == EINTR);
}

template <class Done>
bool NetworkPort::await(Lock& lock, std::uint64_t deadline, Done done) {
    for (;;) {
        if (!pump(true)) return false;
        if (done()) return true;
        short events = POLLIN;
        if (controlSize_ > 0) events |= POLLOUT;
        if (!wait_for(lock, events, deadline)) return false;
    }
}

BOOL NetworkPort::close() {
    Lock lock(mutex_);
    // A socket closed with input unread is reset, and the bytes writes
    // counted that are still on their way die with it: the input goes first.
    for (int round = 0; round < 16; ++round) {
        if (::recv(fd_, received_, sizeof received_, MSG_DONTWAIT) <= 0) break;
    }
    head_ = tail_ = 0;
    // close() gives the descriptor back even when it reports an error.
    ::close(fd_);
    fd_ = -1;
    give_up_hold();
    return TRUE;
}

BOOL NetworkPort::clear_comm_error(DWORD* errors, COMSTAT* stat) {
    Lock lock(mutex_);
    if (!pump()) return fail(failure());
    // Line errors reach a network port as data, if at all; the one condition
    // is data dropped while answers were read from behind it.
    const std::size_t waiting = visible();
    if (protocol_->take_missed_purge()) return fail(failure());
    if (errors != nullptr) *errors = overrun_ ? CE_RXOVER : 0;
    overrun_ = false;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = static_cast<DWORD>(waiting);
    }
    return TRUE;
}

// The output purge has nothing to discard: every byte a write counted as
// sent has left this side. The input purge empties this side and, over the
// Telnet protocol, has the server empty its side, dropping the data already
// on its way until the server confirms. A purge that only clears waits for
// that confirmation, so what the device sends after it returns is kept. One
// that also aborts the read side starts a new exchange (the purge before
// every write): the server purges before it takes the write's bytes, so the
// confirmation need not be waited for, and the purge costs no round trip.
BOOL NetworkPort::purge(DWORD flags) {
    Lock lock(mutex_);
    const bool exchangeStarts = (flags & PURGE_RXABORT) != 0;
    if (exchangeStarts) acknowledging_ = true;
    const bool clears = (flags & PURGE_RXCLEAR) != 0;
    const bool serverPurges = clears && protocol_->purges_at_server(exchangeStarts);
    // Data already in the socket came before the server's confirmation and
    // goes with it: only a purge of this side alone must read it to drop it.
    if (broken_ || (!(serverPurges && exchangeStarts) && !pump())) return fail(failure());
    if (!clears) return TRUE;
    head_ = tail_ = 0;
    if (serverPurges && !protocol_->purge_at_server(lock, exchangeStarts)) return fail(failure());
    return TRUE;
}

BOOL NetworkPort::read(void* buffer, DWORD toRead, DWORD& got) {
    Lock lock(mutex_);
    // The socket is asked only when what is here does not cover the read.
    if (broken_ || (visible() < toRead && !pump())) return fail(failure());
    const std::size_t waiting = visible();
    const std::size_t amount = toRead < waiting ? toRead : waiting;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::memcpy(bytes, received_ + head_, amount);
    head_ += amount;
    got = delivered(bytes, static_cast<DWORD>(amount));
    return TRUE;
}

// Sleeps in poll() on the socket between pumps. At most a full buffer can
// wait; data held back behind a pending purge shows by the clock, so then
// the sleeps are short.
BOOL NetworkPort::wait_input(DWORD count, DWORD timeoutMs, DWORD& waiting) {
    Lock lock(mutex_);
    const std::uint64_t deadline = now_ms() + timeoutMs;
    const std::size_t wanted = count < RECEIVE_SIZE ? count : RECEIVE_SIZE;
    for (;;) {
        const bool connected = pump();
        waiting = static_cast<DWORD>(visible());
        if (waiting >= wanted) return TRUE;
        if (!connected) return fail(ERROR_GEN_FAILURE);
        std::uint64_t until = deadline;
        if (protocol_->purge_pending()) until = std::min(deadline, now_ms() + HELD_DATA_CHECK_MS);
        if (!wait_for(lock, POLLIN, until) && until == deadline) return TRUE;
    }
}

// A write ends when the bytes have left for the server, or at the write
// timeout. Without one, it still ends once the server has taken nothing for
// the network timeout: no wait for the network is unbounded. A byte the
// system took arrives unless the connection fails, so the count is the data
// whose every wire byte the system took; of a write the connection failed,
// only what the server acknowledged.
BOOL NetworkPort::write(const void* buffer, DWORD toWrite, DWORD& sent) {
    std::lock_guard<std::mutex> turn(writeTurn_);
    Lock lock(mutex_);
    if (broken_) return fail(failure());
    const auto* data = static_cast<const std::uint8_t*>(buffer);
    const std::uint64_t deadline = write_deadline_for(toWrite);
    std::size_t wire = 0;
    if (deadline != 0 && toWrite > PACE_FREE) note_pushback();
    const Transfer ended = hand_over(lock, data, toWrite, deadline, wire);
    // What the system still holds unacknowledged is at the end of what this
    // write handed it; after a failure it died with the connection.
    const std::size_t lost = ended == Transfer::Broken ? unacknowledged_bytes() : 0;
    const std::size_t gone = lost < wire ? wire - lost : 0;
    sent = static_cast<DWORD>(protocol_->data_within(data, toWrite, gone));
    if (ended == Transfer::Broken) return fail(failure());
    return TRUE;
}

NetworkPort::Transfer NetworkPort::hand_over(Lock& lock, const std::uint8_t* data, DWORD toWrite, std::uint64_t deadline,
                                             std::size_t& wire) {
    const auto bound = [&] { return deadline != 0 ? deadline : now_ms() + static_cast<std::uint64_t>(timeoutMs_); };
    std::uint64_t until = bound();
    std::size_t used = 0;
    while (used < toWrite) {
        const Piece next = protocol_->next_piece(data + used, toWrite - used);
        used += next.consumed;
        const std::uint8_t* piece = next.bytes;
        const std::size_t pieceSize = next.size;
        const std::size_t commands = next.commands;
        std::size_t put = 0;
        bool waited = false;
        while (put < pieceSize) {
            // After a wait, whatever came meanwhile (a suspend, a hang-up) is taken in first.
            if (waited && !pump()) return Transfer::Broken;
            waited = true;
            const bool paused = protocol_->suspended();
            const std::size_t offered = pieceSize - put;
            // A timed write behind a backlog hands on no more than goes by its deadline.
            const std::size_t allowed = backlog_ && deadline != 0 ? std::min(offered, allowance(deadline)) : offered;
            ssize_t count = -1;
            errno = EAGAIN;
            // Commands go between pieces only; a suspended server gets none.
            if (!paused && allowed > 0 && (controlSize_ == 0 || midPiece_)) {
                count = ::send(fd_, piece + put, allowed, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            if (count > 0) {
                const std::size_t commandsNow = put < commands ? std::min(commands - put, std::size_t(count)) : 0;
                put += static_cast<std::size_t>(count);
                handed_ += static_cast<std::uint64_t>(count);
                wire += static_cast<std::size_t>(count) - commandsNow;
                midPiece_ = put < pieceSize;
                if (static_cast<std::size_t>(count) < allowed) note_pushback();
                until = bound();
                continue;
            }
            if (count < 0 && errno == EINTR) continue;
            if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                drop_connection(errno);
                return Transfer::Broken;
            }
            if (!paused && allowed > 0) note_pushback();
            // Held back by the pace, the write looks again a moment later.
            const bool paced = !paused && allowed == 0;
            const short events = static_cast<short>(POLLIN | (paused || paced ? 0 : POLLOUT));
            const std::uint64_t step = paced ? std::min(until, now_ms() + PACE_STEP_MS) : until;
            std::size_t unacknowledged = deadline == 0 ? unacknowledged_bytes() : 0;
            if (!wait_for(lock, events, step) && deadline == 0 && server_takes(unacknowledged)) {
                until = bound();
                continue;
            }
            if (left_ms(until) == 0) {
                // The rest of the piece is dropped; a doubled IAC cut in two
                // is made whole before anything else goes.
                if (put < commands) {
                    requeue(sending_ + put, commands - put);
                } else if (protocol_->ends_inside_escape(piece + commands, put - commands)) {
                    owe_iac();
                    ++wire;  // the escaped byte goes whole, before anything else
                }
                midPiece_ = false;
                return Transfer::TimedOut;
            }
        }
        midPiece_ = false;
        if (!flush_control()) return Transfer::Broken;
    }
    return wait_for_departure(lock, deadline, until);
}

// Waits until the system has put every byte on the way. Only a timed wait
// sees that; a connection that breaks meanwhile ends it at once, and without
// a write timeout a server that still takes bytes keeps it going.
NetworkPort::Transfer NetworkPort::wait_for_departure(Lock& lock, std::uint64_t deadline, std::uint64_t& until) {
    if (unsent_bytes() == 0) return Transfer::Done;
    std::size_t unacknowledged = unacknowledged_bytes();
    do {
        if (connection_lost()) {
            drop_connection(ECONNRESET);
            return Transfer::Broken;
        }
        if (deadline == 0 && server_takes(unacknowledged)) until = now_ms() + static_cast<std::uint64_t>(timeoutMs_);
        if (left_ms(until) == 0) return Transfer::TimedOut;
        lock.unlock();
        timespec pause{0, 200000};
        nanosleep(&pause, nullptr);
        lock.lock();
    } while (unsent_bytes() > 0);
    return Transfer::Done;
}

// The socket took less than offered (the server is not keeping up), or a
// large timed write begins. From here on the server's pace is measured,
// until a write finds it caught up.
void NetworkPort::note_pushback() {
    if (backlog_) return;
    backlog_ = true;
    backlogSince_ = now_ms();
    takenSince_ = handed_ - unacknowledged_bytes();
}

// How much more the socket may take so that, at the pace the server has
// taken bytes since the backlog began, it has taken all by `deadline`.
// Once the server has everything, the backlog is over.
std::size_t NetworkPort::allowance(std::uint64_t deadline) {
    const std::size_t waiting = unacknowledged_bytes();
    if (waiting == 0) {
        backlog_ = false;
        return SEND_SIZE;
    }
    const std::uint64_t now = now_ms();
    if (now < backlogSince_ + PACE_KNOWN_MS) return waiting < PACE_FREE ? PACE_FREE - waiting : 0;
    const double taken = static_cast<double>(handed_ - waiting - takenSince_);
    const double goes = taken / static_cast<double>(now - backlogSince_) * static_cast<double>(left_ms(deadline));
    return goes > static_cast<double>(waiting) ? static_cast<std::size_t>(std::min(goes - waiting, 1e9)) : 0;
}

// Whether the server has acknowledged bytes since `unacknowledged` was
// measured (which is brought up to date): it is taking the write, however
// slowly.
bool NetworkPort::server_takes(std::size_t& unacknowledged) const {
    const std::size_t now = unacknowledged_bytes();
    const bool took = now < unacknowledged;
    unacknowledged = now;
    return took;
}

std::size_t NetworkPort::unsent_bytes() const {
    int unsent = 0;
    if (::ioctl(fd_, SIOCOUTQNSD, &unsent) != 0 || unsent < 0) return 0;
    return static_cast<std::size_t>(unsent);
}

// Sent or not, what the server has not acknowledged; after a reset, all that
// never reached it.
std::size_t NetworkPort::unacknowledged_bytes() const {
    int queued = 0;
    if (::ioctl(fd_, SIOCOUTQ, &queued) != 0 || queued < 0) return 0;
    return static_cast<std::size_t>(queued);
}

// A reset leaves the queues' counts as they were; only the state tells.
bool NetworkPort::connection_lost() const {
    tcp_info info{};
    socklen_t size = sizeof info;
    if (::getsockopt(fd_, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return true;
    return info.tcpi_state == TCP_CLOSE;
}

BOOL NetworkPort::get_state(DCB& dcb) {
    Lock lock(mutex_);
    if (!pump()) return fail(failure());
    dcb = protocol_->settings();
    dcb.fNull = null_setting();
    return TRUE;
}

BOOL NetworkPort::set_state(const DCB& dcb) {
    std::lock_guard<std::mutex> turn(settingTurn_);
    Lock lock(mutex_);
    // The known rate is never 0 (a server asked for rate 0 reports its rate),
    // so a block with rate 0 is refused here as on a live terminal.
    if (!valid_control_block(dcb, protocol_->settings().BaudRate)) return fail(ERROR_INVALID_PARAMETER);
    if (!pump()) return fail(failure());
    if (!protocol_->change_settings(lock, dcb)) return fail(failure());
    keep_null_setting(dcb);
    return TRUE;
}

BOOL NetworkPort::modem_status(DWORD& lines) {
    Lock lock(mutex_);
    if (!pump()) return fail(failure());
    // Raw TCP carries no status lines.
    if (!protocol_->modem_lines(lines)) return fail(ERROR_NOT_SUPPORTED);
    return TRUE;
}

BOOL NetworkPort::set_break(bool on) {
    std::lock_guard<std::mutex> turn(settingTurn_);
    Lock lock(mutex_);
    const DWORD error = protocol_->set_break(lock, on);
    return error == 0 ? TRUE : fail(error);
}

// Raw TCP.

void RawTcp::decode(std::uint8_t*, std::size_t bytes, bool keep) {
    if (!keep) port_.overrun_ = true;
    if (keep) port_.tail_ += bytes;
}

// The piece is the caller's data itself.
Piece RawTcp::next_piece(const std::uint8_t* data, std::size_t left) {
    const std::size_t size = left < SEND_SIZE ? left : SEND_SIZE;
    return {data, size, 0, size};
}

// The COM-PORT-OPTION session.

void Rfc2217::reset(const ComTarget& target) {
    session_ = Rfc2217Session(target.purgeLocal, static_cast<std::uint64_t>(target.timeoutMs));
    decoder_ = tn::Decoder{};
}

bool Rfc2217::start(Lock& lock, std::uint64_t deadline) {
    return negotiate(lock, deadline) && learn_settings(lock, deadline) && pass_every_byte(lock);
}

bool Rfc2217::negotiate(Lock& lock, std::uint64_t deadline) {
    session_.offer();
    if (!send_outbox(lock, deadline)) return false;
    if (!port_.await(lock, deadline, [this] { return session_.negotiated() || session_.refused(); })) return false;
    return !session_.refused();
}

bool Rfc2217::learn_settings(Lock& lock, std::uint64_t deadline) {
    session_.ask_settings();
    // A question that finds no room is not answered, and the wait for the
    // answers fails in its time.
    send_outbox(lock, now_ms() + static_cast<std::uint64_t>(port_.timeoutMs_));
    return port_.await(lock, deadline, [this] { return session_.settings_answered(); }) && session_.learn_settings();
}

bool Rfc2217::pass_every_byte(Lock& lock) {
    DCB plain{};
    return session_.passes_every_byte(plain) || change_settings(lock, plain);
}

// What the server confirmed is known from then on, whatever else failed.
bool Rfc2217::change_settings(Lock& lock, const DCB& dcb) {
    session_.change_settings(dcb);
    const std::uint64_t deadline = now_ms() + static_cast<std::uint64_t>(port_.timeoutMs_);
    // A message that finds no room is not answered, and the wait for the
    // answers fails in its time.
    send_outbox(lock, deadline);
    const bool arrived = port_.await(lock, deadline, [this] { return session_.changes_answered(); });
    return session_.settle_changes(arrived);
}

DWORD Rfc2217::set_break(Lock& lock, bool on) {
    if (!port_.pump()) return port_.failure();
    session_.ask_break(on);
    // Bounded by the timeout: a frozen server fails the call, not the line.
    const std::uint64_t deadline = now_ms() + static_cast<std::uint64_t>(port_.timeoutMs_);
    if (!send_outbox(lock, deadline)) return port_.failure();
    if (!port_.await(lock, deadline, [this] { return session_.break_answered(); }) || !session_.break_agreed()) {
        return port_.failure();
    }
    return 0;
}

// Before a write the purge message waits to go in one segment with the
// write's first bytes: one wake-up of the server instead of two. Else every
// purge still pending is confirmed in order, this one last.
bool Rfc2217::purge_at_server(Lock& lock, bool exchangeStarts) {
    session_.ask_purge();
    const std::uint64_t now = now_ms();
    const std::uint64_t deadline = now + static_cast<std::uint64_t>(port_.timeoutMs_);
    if (!(exchangeStarts && queue_outbox()) && !send_outbox(lock, deadline)) return false;
    session_.purge_sent(now);
    if (exchangeStarts) return true;
    const std::uint64_t awaited = session_.confirmations_awaited();
    if (!port_.await(lock, deadline, [this, awaited] { return session_.confirmed(awaited); })) {
        session_.forget_purges();
        return false;
    }
    return true;
}

// Decodes the `bytes` just read at `in`, in place: kept, `in` is the end of
// the data, which grows by the data decoded; else the data is dropped.
void Rfc2217::decode(std::uint8_t* in, std::size_t bytes, bool keep) {
    std::uint8_t* out = in;
    while (bytes > 0) {
        tn::Event event;
        const tn::Decoder::Step step = decoder_.decode(in, bytes, out, event);
        in += step.consumed;
        bytes -= step.consumed;
        if (keep) out += step.produced;
        if (!keep && step.produced > 0) port_.overrun_ = true;
        if (step.event && handle(event) && keep) port_.head_ = static_cast<std::size_t>(out - port_.received_);
    }
    if (keep) port_.tail_ = static_cast<std::size_t>(out - port_.received_);
}

// True for the confirmation of a purge still pending. An answer that finds
// no room is dropped: a server that floods offers and reads nothing gets no
// more than the room holds.
bool Rfc2217::handle(const tn::Event& event) {
    const bool confirmation = session_.take(event);
    if (!queue_outbox()) session_.outbox().clear();
    return confirmation;
}

// Queues what the session has to say behind the commands waiting, all of
// it or, for want of room, none.
bool Rfc2217::queue_outbox() {
    Rfc2217Session::Outbox& outbox = session_.outbox();
    if (port_.controlSize_ + outbox.size() > CONTROL_SIZE - 1) return false;
    for (std::size_t i = 0; i < outbox.count(); ++i) {
        port_.queue_control(outbox.message(i).bytes, outbox.message(i).size);
    }
    outbox.clear();
    return true;
}

// Sends what the session has to say, each message as it comes, waiting for
// room until `deadline`; false if one could not go. The messages are taken
// out first: while a wait lets the mutex go, another call may say more.
bool Rfc2217::send_outbox(Lock& lock, std::uint64_t deadline) {
    const Rfc2217Session::Outbox said = session_.outbox();
    session_.outbox().clear();
    bool sent = true;
    for (std::size_t i = 0; i < said.count(); ++i) {
        sent = port_.send_control(lock, said.message(i).bytes, said.message(i).size, deadline) && sent;
    }
    return sent;
}

// The commands still queued lead the piece, in the same segment, and the
// data follows escaped, as much as fits.
Piece Rfc2217::next_piece(const std::uint8_t* data, std::size_t left) {
    const std::size_t commands = port_.controlSize_;
    std::memcpy(port_.sending_, port_.control_, commands);
    port_.controlSize_ = 0;
    const tn::Escaped escaped = tn::escape(data, left, port_.sending_ + commands, SEND_SIZE - commands);
    return {port_.sending_, commands + escaped.produced, commands, escaped.consumed};
}

}  // namespace

Port* open_network(std::size_t index, const ComTarget& target) {
    NetworkPort* port = nullptr;
    {
        std::lock_guard<std::mutex> guard(holds);  // holds are looked up in every port
        if (networks[index] == nullptr) networks[index] = new (std::nothrow) NetworkPort;
        port = networks[index];
    }
    if (port == nullptr) {
        set_last_error(ERROR_GEN_FAILURE);
        return nullptr;
    }
    return port->open(target) ? port : nullptr;
}

}  // namespace tarvo::posix
