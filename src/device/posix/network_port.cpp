// Nothing here allocates once a port is open: ports live in a fixed array,
// one per pool entry, each with fixed buffers. Only the name lookup at open
// time allocates.
//
// Any thread may call any operation; one mutex keeps the buffers and the
// byte stream whole, and is let go while an operation waits for the network,
// so a write held by a full connection does not stall a reader. Writes, and
// changes of settings, each take their own turn besides: a second write must
// not refill the piece a first is still sending, nor a second change take
// the answers the first awaits.
#include "device/posix/network_port.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>

#include "device/posix/handle_pool.h"
#include "device/posix/last_error.h"
#include "device/posix/network_connect.h"
#include "device/posix/telnet_codec.h"
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

// The line settings of a port before anything has been said about them.
DCB default_control_block() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 9600;
    dcb.fBinary = 1;
    dcb.fTXContinueOnXoff = 1;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// The protocol's values for the block's fields, and back.
std::uint8_t wire_parity(BYTE parity) { return static_cast<std::uint8_t>(parity + 1); }
std::uint8_t wire_stop_size(BYTE stopBits) {
    return stopBits == ONE5STOPBITS ? 3 : (stopBits == TWOSTOPBITS ? 2 : 1);
}
std::uint8_t wire_flow(const DCB& dcb) {
    // The protocol has one outbound setting; a server applies it both ways.
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return tn::FLOW_HARDWARE;
    return dcb.fOutX || dcb.fInX ? tn::FLOW_XON_XOFF : tn::FLOW_NONE;
}

// Answers to the settings we ask for or set, by what they answer.
enum Answer : std::size_t { RATE, DATA_SIZE, PARITY, STOP_SIZE, FLOW, DTR, RTS, ANSWER_COUNT };

class NetworkPort final : public Port {
public:
    bool open(const ComTarget& target);

    BOOL close() override;
    BOOL clear_comm_error(DWORD* errors, COMSTAT* stat) override;
    BOOL purge(DWORD flags) override;
    BOOL read(void* buffer, DWORD toRead, DWORD& got) override;
    BOOL write(const void* buffer, DWORD toWrite, DWORD& sent) override;
    BOOL get_state(DCB& dcb) override;
    BOOL set_state(const DCB& dcb) override;
    void set_timeouts(const COMMTIMEOUTS& timeouts) override;
    BOOL modem_status(DWORD& lines) override;
    BOOL set_break(bool on) override;

private:
    enum class Transfer { Done, TimedOut, Broken };

    void reset(const ComTarget& target);
    bool connect_to(const ComTarget& target, std::uint64_t deadline);
    bool negotiate(std::uint64_t deadline);
    bool learn_settings(std::uint64_t deadline);
    bool pass_every_byte();

    // Takes in what the socket holds now; false once the connection is gone.
    bool pump();
    void decode(std::size_t bytes);
    void handle(const tn::Event& event);
    void note_answer(const std::uint8_t* value, std::size_t size);
    bool discarding();
    void acknowledge_at_once();
    void make_room();
    void drop_connection();

    bool queue_control(const std::uint8_t* bytes, std::size_t size);
    void owe_iac();
    void requeue(const std::uint8_t* bytes, std::size_t size);
    bool send_control(const std::uint8_t* bytes, std::size_t size, std::uint64_t deadline);
    void send_com_port(std::uint8_t code, const std::uint8_t* value, std::size_t size, Answer awaited);
    bool flush_control();
    // Waits (with the mutex let go) until the socket is ready for `events`
    // or `deadline` passes; false when it passed first.
    bool wait_for(short events, std::uint64_t deadline);
    // Pumps until `done` holds; false when the connection is gone or the
    // deadline passes first.
    template <class Done>
    bool await(std::uint64_t deadline, Done done);
    bool answered(std::initializer_list<Answer> answers) const;

    Transfer hand_over(const std::uint8_t* data, DWORD toWrite, std::uint64_t deadline, std::size_t& wire);
    std::size_t unsent_bytes() const;
    bool apply_settings(const DCB& dcb);

    std::mutex mutex_;
    std::mutex writeTurn_;
    std::mutex settingTurn_;
    int fd_ = -1;
    bool telnet_ = false;
    int timeoutMs_ = DEFAULT_NETWORK_TIMEOUT_MS;
    bool broken_ = false;
    tn::Decoder decoder_;
    tn::Negotiation negotiation_;

    // [head_, tail_) of received_ is data for the caller.
    std::uint8_t received_[RECEIVE_SIZE];
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
    std::uint8_t sending_[SEND_SIZE];
    // A piece of data is partly in the socket: no command may go in between.
    bool midPiece_ = false;
    std::uint8_t control_[CONTROL_SIZE];
    std::size_t controlSize_ = 0;

    // Input purges the server has not confirmed yet; until then, data from
    // it was sent before the purge and is dropped. Bounded by the timeout.
    int purgesPending_ = 0;
    std::uint64_t purgeDeadline_ = 0;
    std::uint64_t confirmations_ = 0;
    bool suspended_ = false;

    bool fresh_[ANSWER_COUNT] = {};
    std::uint32_t answer_[ANSWER_COUNT] = {};
    // The server reports its DTR and RTS lines (a pty has none).
    bool modemLines_ = false;
    // The status lines as the server last reported them (its bits are the
    // MS_*_ON values); unknown until it has.
    bool modemKnown_ = false;
    std::uint8_t modemState_ = 0;
    DCB known_{};
    std::atomic<bool> stripNull_{false};
    std::atomic<DWORD> writeMultiplier_{0};
    std::atomic<DWORD> writeConstant_{0};
};

NetworkPort networks[POOL_SIZE];

void NetworkPort::reset(const ComTarget& target) {
    fd_ = -1;
    telnet_ = target.kind == TargetKind::Rfc2217;
    timeoutMs_ = target.timeoutMs;
    broken_ = false;
    decoder_ = tn::Decoder{};
    negotiation_ = tn::Negotiation(true);
    head_ = tail_ = 0;
    midPiece_ = false;
    controlSize_ = 0;
    purgesPending_ = 0;
    suspended_ = false;
    for (bool& fresh : fresh_) fresh = false;
    modemLines_ = false;
    modemKnown_ = false;
    modemState_ = 0;
    known_ = default_control_block();
    stripNull_.store(false);
    writeMultiplier_.store(0);
    writeConstant_.store(0);
}

bool NetworkPort::open(const ComTarget& target) {
    std::lock_guard<std::mutex> hold(mutex_);
    reset(target);
    const std::uint64_t deadline = now_ms() + static_cast<std::uint64_t>(timeoutMs_);
    bool ok = connect_to(target, deadline);
    if (ok && telnet_) ok = negotiate(deadline) && learn_settings(deadline) && pass_every_byte();
    if (!ok) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        set_last_error(ERROR_GEN_FAILURE);
    }
    return ok;
}

bool NetworkPort::connect_to(const ComTarget& target, std::uint64_t deadline) {
    ConnectFailure why = ConnectFailure::None;
    fd_ = connect_to_server(target, left_ms(deadline), why);
    return fd_ >= 0;
}

bool NetworkPort::negotiate(std::uint64_t deadline) {
    std::uint8_t offers[32];
    const std::size_t size = negotiation_.offer(offers);
    if (!send_control(offers, size, deadline)) return false;
    if (!await(deadline, [this] { return negotiation_.complete() || negotiation_.refused(); })) return false;
    return !negotiation_.refused();
}

// Asks for every setting. The DTR question goes first: a server answers in
// order, so once the later answers are in, a DTR answer that has not come
// never will, and the far device has no modem lines.
bool NetworkPort::learn_settings(std::uint64_t deadline) {
    const std::uint8_t askDtr = tn::CONTROL_ASK_DTR;
    const std::uint8_t askRate[4] = {0, 0, 0, 0};
    const std::uint8_t ask = 0;
    send_com_port(tn::SET_CONTROL, &askDtr, 1, DTR);
    send_com_port(tn::SET_BAUDRATE, askRate, 4, RATE);
    send_com_port(tn::SET_DATASIZE, &ask, 1, DATA_SIZE);
    send_com_port(tn::SET_PARITY, &ask, 1, PARITY);
    send_com_port(tn::SET_STOPSIZE, &ask, 1, STOP_SIZE);
    const std::uint8_t askFlow = tn::CONTROL_ASK_FLOW;
    send_com_port(tn::SET_CONTROL, &askFlow, 1, FLOW);
    if (!await(deadline, [this] { return answered({RATE, DATA_SIZE, PARITY, STOP_SIZE, FLOW}); })) return false;

    const std::uint32_t parity = answer_[PARITY];
    const std::uint32_t stop = answer_[STOP_SIZE];
    if (answer_[RATE] == 0 || answer_[DATA_SIZE] < 5 || answer_[DATA_SIZE] > 8 || parity < 1 || parity > 5 ||
        stop < 1 || stop > 3) {
        return false;
    }
    modemLines_ = fresh_[DTR] && (answer_[DTR] == tn::DTR_ON || answer_[DTR] == tn::DTR_OFF);
    known_.BaudRate = answer_[RATE];
    known_.ByteSize = static_cast<BYTE>(answer_[DATA_SIZE]);
    known_.Parity = static_cast<BYTE>(parity - 1);
    known_.StopBits = stop == 3 ? ONE5STOPBITS : (stop == 2 ? TWOSTOPBITS : ONESTOPBIT);
    if (modemLines_) known_.fDtrControl = answer_[DTR] == tn::DTR_ON ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (answer_[FLOW] == tn::FLOW_HARDWARE) {
        known_.fOutxCtsFlow = 1;
        known_.fRtsControl = RTS_CONTROL_HANDSHAKE;
    } else if (answer_[FLOW] == tn::FLOW_XON_XOFF) {
        known_.fOutX = known_.fInX = 1;
    }
    return true;
}

// A freshly opened port is a transparent byte pipe, as a terminal is: 0x11
// and 0x13 are data, so a far port left in XON/XOFF is switched out of it.
bool NetworkPort::pass_every_byte() {
    if (!known_.fOutX && !known_.fInX) return true;
    DCB plain = known_;
    plain.fOutX = plain.fInX = 0;
    if (!apply_settings(plain)) return false;
    known_ = plain;
    return true;
}

bool NetworkPort::answered(std::initializer_list<Answer> answers) const {
    for (const Answer answer : answers) {
        if (!fresh_[answer]) return false;
    }
    return true;
}

void NetworkPort::drop_connection() { broken_ = true; }

void NetworkPort::make_room() {
    if (head_ == tail_) {
        head_ = tail_ = 0;
    } else if (head_ > 0 && tail_ > RECEIVE_SIZE / 2) {
        std::memmove(received_, received_ + head_, tail_ - head_);
        tail_ -= head_;
        head_ = 0;
    }
}

bool NetworkPort::pump() {
    if (broken_) return false;
    for (int round = 0; round < READS_PER_PUMP; ++round) {
        make_room();
        const std::size_t room = RECEIVE_SIZE - tail_;
        if (room == 0) break;
        const ssize_t got = ::recv(fd_, received_ + tail_, room, MSG_DONTWAIT);
        if (got == 0) {
            drop_connection();
            return false;
        }
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            drop_connection();
            return false;
        }
        decode(static_cast<std::size_t>(got));
        acknowledge_at_once();
        if (static_cast<std::size_t>(got) < room) break;
    }
    return flush_control();
}

// A server that delays a small segment until the one before is acknowledged
// (Nagle) holds the device's answer while this side delays its
// acknowledgement: over rfc2217 some 40 ms on every exchange (the purge's
// confirmation comes just before the answer), over raw TCP whenever the
// device answers in pieces. Linux drops quick acknowledgement after a
// while, so it is asked for again after every read.
void NetworkPort::acknowledge_at_once() {
    const int on = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

bool NetworkPort::discarding() {
    if (purgesPending_ > 0 && now_ms() >= purgeDeadline_) purgesPending_ = 0;
    return purgesPending_ > 0;
}

// Decodes the `bytes` just read to the end of the data, in place.
void NetworkPort::decode(std::size_t bytes) {
    if (!telnet_) {
        if (discarding()) return;
        tail_ += bytes;
        return;
    }
    const std::uint8_t* in = received_ + tail_;
    std::uint8_t* out = received_ + tail_;
    while (bytes > 0) {
        tn::Event event;
        const tn::Decoder::Step step = decoder_.decode(in, bytes, out, event);
        in += step.consumed;
        bytes -= step.consumed;
        if (!discarding()) out += step.produced;
        if (step.event) handle(event);
    }
    tail_ = static_cast<std::size_t>(out - received_);
}

void NetworkPort::handle(const tn::Event& event) {
    if (event.kind == tn::Event::Kind::Negotiation) {
        std::uint8_t reply[3];
        const std::size_t size = negotiation_.answer(event.verb, event.option, reply);
        // With no room the answer is dropped: a server that floods offers
        // and reads nothing gets no more than the room holds.
        if (size != 0) queue_control(reply, size);
        return;
    }
    if (event.option != tn::COM_PORT || event.size == 0) return;
    switch (event.value[0]) {
        case tn::SERVER_OFFSET + tn::FLOWCONTROL_SUSPEND: suspended_ = true; break;
        case tn::SERVER_OFFSET + tn::FLOWCONTROL_RESUME: suspended_ = false; break;
        case tn::SERVER_OFFSET + tn::NOTIFY_MODEMSTATE:
            if (event.size == 2) {
                modemState_ = event.value[1];
                modemKnown_ = true;
            }
            break;
        case tn::SERVER_OFFSET + tn::PURGE_DATA:
            if (purgesPending_ > 0) --purgesPending_;
            ++confirmations_;
            break;
        default: note_answer(event.value, event.size); break;
    }
    // Line-state notices need nothing from a port.
}

void NetworkPort::note_answer(const std::uint8_t* value, std::size_t size) {
    const std::uint8_t code = value[0];
    if (code == tn::SERVER_OFFSET + tn::SET_BAUDRATE && size == 5) {
        answer_[RATE] = (std::uint32_t{value[1]} << 24) | (std::uint32_t{value[2]} << 16) |
                        (std::uint32_t{value[3]} << 8) | value[4];
        fresh_[RATE] = true;
        return;
    }
    if (size != 2) return;
    Answer answer = ANSWER_COUNT;
    const std::uint8_t setting = value[1];
    switch (code) {
        case tn::SERVER_OFFSET + tn::SET_DATASIZE: answer = DATA_SIZE; break;
        case tn::SERVER_OFFSET + tn::SET_PARITY: answer = PARITY; break;
        case tn::SERVER_OFFSET + tn::SET_STOPSIZE: answer = STOP_SIZE; break;
        case tn::SERVER_OFFSET + tn::SET_CONTROL:
            // One answer code for several settings: the value says which.
            if (setting >= tn::FLOW_NONE && setting <= tn::FLOW_HARDWARE) answer = FLOW;
            if (setting >= tn::CONTROL_ASK_DTR && setting <= tn::DTR_OFF) answer = DTR;
            if (setting >= tn::CONTROL_ASK_RTS && setting <= tn::RTS_OFF) answer = RTS;
            break;
        default: break;
    }
    if (answer == ANSWER_COUNT) return;
    answer_[answer] = setting;
    fresh_[answer] = true;
}

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
            drop_connection();
            return false;
        }
        std::memmove(control_, control_ + put, controlSize_ - static_cast<std::size_t>(put));
        controlSize_ -= static_cast<std::size_t>(put);
    }
    return !broken_;
}

bool NetworkPort::send_control(const std::uint8_t* bytes, std::size_t size, std::uint64_t deadline) {
    while (!queue_control(bytes, size)) {
        if (!flush_control()) return false;
        if (controlSize_ + size <= CONTROL_SIZE - 1) continue;
        if (!wait_for(POLLOUT, deadline)) return false;
    }
    return flush_control();
}

void NetworkPort::send_com_port(std::uint8_t code, const std::uint8_t* value, std::size_t size, Answer awaited) {
    std::uint8_t message[tn::MESSAGE_MAX];
    const std::size_t length = tn::encode_com_port(code, value, size, message);
    fresh_[awaited] = false;
    // A message that finds no room is not answered, and the wait for the
    // answer fails in its time.
    send_control(message, length, now_ms() + static_cast<std::uint64_t>(timeoutMs_));
}

bool NetworkPort::wait_for(short events, std::uint64_t deadline) {
    const int wait = left_ms(deadline);
    if (wait == 0) return false;
    pollfd watch{fd_, events, 0};
    mutex_.unlock();
    const int ready = ::poll(&watch, 1, wait);
    mutex_.lock();
    return ready > 0 || (ready < 0 && errno == EINTR);
}

template <class Done>
bool NetworkPort::await(std::uint64_t deadline, Done done) {
    for (;;) {
        if (!pump()) return false;
        if (done()) return true;
        // With the buffer full, nothing more can be read: sleep out the time.
        short events = tail_ - head_ < RECEIVE_SIZE ? POLLIN : 0;
        if (controlSize_ > 0) events |= POLLOUT;
        if (!wait_for(events, deadline)) return false;
    }
}

BOOL NetworkPort::close() {
    std::lock_guard<std::mutex> hold(mutex_);
    // close() gives the descriptor back even when it reports an error.
    ::close(fd_);
    fd_ = -1;
    return TRUE;
}

BOOL NetworkPort::clear_comm_error(DWORD* errors, COMSTAT* stat) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!pump()) return fail(ERROR_GEN_FAILURE);
    // Line errors reach a network port as data, if at all; there is no condition to clear.
    if (errors != nullptr) *errors = 0;
    if (stat != nullptr) {
        *stat = COMSTAT{};
        stat->cbInQue = static_cast<DWORD>(tail_ - head_);
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
    std::lock_guard<std::mutex> hold(mutex_);
    if (!pump()) return fail(ERROR_GEN_FAILURE);
    if ((flags & PURGE_RXCLEAR) == 0) return TRUE;
    head_ = tail_ = 0;
    if (!telnet_) return TRUE;
    std::uint8_t message[tn::MESSAGE_MAX];
    const std::uint8_t which = tn::PURGE_RECEIVED;
    const std::size_t length = tn::encode_com_port(tn::PURGE_DATA, &which, 1, message);
    const std::uint64_t deadline = now_ms() + static_cast<std::uint64_t>(timeoutMs_);
    const bool exchangeStarts = (flags & PURGE_RXABORT) != 0;
    // Before a write the message waits to go in one segment with the
    // write's first bytes: one wake-up of the server instead of two.
    if (!(exchangeStarts && queue_control(message, length)) && !send_control(message, length, deadline)) {
        return fail(ERROR_GEN_FAILURE);
    }
    ++purgesPending_;
    purgeDeadline_ = deadline;
    if (exchangeStarts) return TRUE;
    // Every purge still pending is confirmed in order, this one last.
    const std::uint64_t needed = confirmations_ + static_cast<std::uint64_t>(purgesPending_);
    if (!await(deadline, [this, needed] { return confirmations_ >= needed; })) return fail(ERROR_GEN_FAILURE);
    return TRUE;
}

BOOL NetworkPort::read(void* buffer, DWORD toRead, DWORD& got) {
    std::lock_guard<std::mutex> hold(mutex_);
    // The socket is asked only when what is here does not cover the read.
    if (broken_ || (tail_ - head_ < toRead && !pump())) return fail(ERROR_GEN_FAILURE);
    const std::size_t waiting = tail_ - head_;
    const std::size_t amount = toRead < waiting ? toRead : waiting;
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    std::memcpy(bytes, received_ + head_, amount);
    head_ += amount;
    got = static_cast<DWORD>(amount);
    if (stripNull_.load(std::memory_order_relaxed)) got = strip_nulls(bytes, got);
    return TRUE;
}

// A write ends when the bytes have left for the server, or at the write
// timeout. Without one, it still ends once the server has taken nothing for
// the network timeout: no wait for the network is unbounded. The count is
// the data whose every wire byte has gone.
BOOL NetworkPort::write(const void* buffer, DWORD toWrite, DWORD& sent) {
    std::lock_guard<std::mutex> turn(writeTurn_);
    std::lock_guard<std::mutex> hold(mutex_);
    if (broken_) return fail(ERROR_GEN_FAILURE);
    const auto* data = static_cast<const std::uint8_t*>(buffer);
    const std::uint64_t deadline = write_deadline(writeMultiplier_.load(std::memory_order_relaxed),
                                                  writeConstant_.load(std::memory_order_relaxed), toWrite);
    std::size_t wire = 0;
    const Transfer ended = hand_over(data, toWrite, deadline, wire);
    // What the system still holds is at the end of what this write handed it.
    const std::size_t unsent = ended == Transfer::TimedOut ? unsent_bytes() : 0;
    const std::size_t gone = unsent < wire ? wire - unsent : 0;
    sent = static_cast<DWORD>(telnet_ ? tn::data_within(data, toWrite, gone) : gone);
    if (ended == Transfer::Broken) return fail(ERROR_GEN_FAILURE);
    return TRUE;
}

NetworkPort::Transfer NetworkPort::hand_over(const std::uint8_t* data, DWORD toWrite, std::uint64_t deadline,
                                             std::size_t& wire) {
    const auto bound = [&] { return deadline != 0 ? deadline : now_ms() + static_cast<std::uint64_t>(timeoutMs_); };
    std::uint64_t until = bound();
    std::size_t used = 0;
    while (used < toWrite) {
        std::size_t pieceSize = 0;
        std::size_t commands = 0;
        const std::uint8_t* piece = data + used;
        if (telnet_) {
            // Commands still queued lead the piece, in the same segment.
            commands = controlSize_;
            std::memcpy(sending_, control_, commands);
            controlSize_ = 0;
            const tn::Escaped escaped = tn::escape(data + used, toWrite - used, sending_ + commands, SEND_SIZE - commands);
            used += escaped.consumed;
            piece = sending_;
            pieceSize = commands + escaped.produced;
        } else {
            pieceSize = toWrite - used < SEND_SIZE ? toWrite - used : SEND_SIZE;
            used += pieceSize;
        }
        std::size_t put = 0;
        bool waited = false;
        while (put < pieceSize) {
            // After a wait, whatever came meanwhile (a suspend, a hang-up) is taken in first.
            if (waited && !pump()) return Transfer::Broken;
            waited = true;
            ssize_t count = -1;
            errno = EAGAIN;
            // Commands go between pieces only; a suspended server gets none.
            if (!suspended_ && (controlSize_ == 0 || midPiece_)) {
                count = ::send(fd_, piece + put, pieceSize - put, MSG_NOSIGNAL | MSG_DONTWAIT);
            }
            if (count > 0) {
                const std::size_t commandsNow = put < commands ? std::min(commands - put, std::size_t(count)) : 0;
                put += static_cast<std::size_t>(count);
                wire += static_cast<std::size_t>(count) - commandsNow;
                midPiece_ = put < pieceSize;
                until = bound();
                continue;
            }
            if (count < 0 && errno == EINTR) continue;
            if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                drop_connection();
                return Transfer::Broken;
            }
            const short events = static_cast<short>(POLLIN | (suspended_ ? 0 : POLLOUT));
            if (!wait_for(events, until)) {
                // The rest of the piece is dropped; a doubled IAC cut in two
                // is made whole before anything else goes.
                if (put < commands) {
                    requeue(sending_ + put, commands - put);
                } else if (telnet_ && tn::ends_inside_escape(piece + commands, put - commands)) {
                    owe_iac();
                }
                midPiece_ = false;
                return Transfer::TimedOut;
            }
        }
        midPiece_ = false;
        if (!flush_control()) return Transfer::Broken;
    }
    // Wait until the kernel has put everything on the way.
    while (unsent_bytes() > 0) {
        if (left_ms(until) == 0) return Transfer::TimedOut;
        mutex_.unlock();
        timespec pause{0, 200000};
        nanosleep(&pause, nullptr);
        mutex_.lock();
    }
    return Transfer::Done;
}

std::size_t NetworkPort::unsent_bytes() const {
    int unsent = 0;
    if (::ioctl(fd_, SIOCOUTQNSD, &unsent) != 0 || unsent < 0) return 0;
    return static_cast<std::size_t>(unsent);
}

BOOL NetworkPort::get_state(DCB& dcb) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!pump()) return fail(ERROR_GEN_FAILURE);
    dcb = known_;
    dcb.fNull = stripNull_.load(std::memory_order_relaxed) ? 1 : 0;
    return TRUE;
}

BOOL NetworkPort::set_state(const DCB& dcb) {
    std::lock_guard<std::mutex> turn(settingTurn_);
    std::lock_guard<std::mutex> hold(mutex_);
    // The known rate is never 0 (a server asked for rate 0 reports its rate),
    // so a block with rate 0 is refused here as on a live terminal.
    if (!valid_control_block(dcb, known_.BaudRate)) return fail(ERROR_INVALID_PARAMETER);
    if (!pump()) return fail(ERROR_GEN_FAILURE);
    // Over raw TCP the settings are this side's alone.
    if (telnet_ && !apply_settings(dcb)) return fail(ERROR_GEN_FAILURE);
    known_ = dcb;
    stripNull_.store(dcb.fNull != 0, std::memory_order_relaxed);
    return TRUE;
}

// Sends the settings that change and checks every answer; what the server
// confirmed is known from then on, whatever else failed.
bool NetworkPort::apply_settings(const DCB& dcb) {
    bool awaited[ANSWER_COUNT] = {};
    std::uint32_t wanted[ANSWER_COUNT] = {};
    const auto change = [&](Answer answer, std::uint8_t code, std::uint32_t value, const std::uint8_t* wire,
                            std::size_t size) {
        awaited[answer] = true;
        wanted[answer] = value;
        send_com_port(code, wire, size, answer);
    };
    if (dcb.BaudRate != known_.BaudRate) {
        const std::uint32_t rate = dcb.BaudRate;
        const std::uint8_t wire[4] = {static_cast<std::uint8_t>(rate >> 24), static_cast<std::uint8_t>(rate >> 16),
                                      static_cast<std::uint8_t>(rate >> 8), static_cast<std::uint8_t>(rate)};
        change(RATE, tn::SET_BAUDRATE, rate, wire, 4);
    }
    if (dcb.ByteSize != known_.ByteSize) change(DATA_SIZE, tn::SET_DATASIZE, dcb.ByteSize, &dcb.ByteSize, 1);
    const std::uint8_t parity = wire_parity(dcb.Parity);
    if (dcb.Parity != known_.Parity) change(PARITY, tn::SET_PARITY, parity, &parity, 1);
    const std::uint8_t stop = wire_stop_size(dcb.StopBits);
    if (dcb.StopBits != known_.StopBits) change(STOP_SIZE, tn::SET_STOPSIZE, stop, &stop, 1);
    const std::uint8_t flow = wire_flow(dcb);
    if (flow != wire_flow(known_)) change(FLOW, tn::SET_CONTROL, flow, &flow, 1);
    // Lines the block drives steadily; handshake and toggle are the server's business.
    const bool steadyDtr = dcb.fDtrControl == DTR_CONTROL_ENABLE || dcb.fDtrControl == DTR_CONTROL_DISABLE;
    const std::uint8_t dtr = dcb.fDtrControl == DTR_CONTROL_ENABLE ? tn::DTR_ON : tn::DTR_OFF;
    if (steadyDtr && dcb.fDtrControl != known_.fDtrControl) change(DTR, tn::SET_CONTROL, dtr, &dtr, 1);
    const bool steadyRts = dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE;
    const std::uint8_t rts = dcb.fRtsControl == RTS_CONTROL_ENABLE ? tn::RTS_ON : tn::RTS_OFF;
    if (steadyRts && dcb.fRtsControl != known_.fRtsControl) change(RTS, tn::SET_CONTROL, rts, &rts, 1);
    // A server whose device has no modem lines never answers for them, as a
    // pty refuses them to a terminal: the setting is kept on this side.
    if (!modemLines_) awaited[DTR] = awaited[RTS] = false;

    const std::uint64_t deadline = now_ms() + static_cast<std::uint64_t>(timeoutMs_);
    const auto allIn = [&] {
        for (std::size_t i = 0; i < ANSWER_COUNT; ++i) {
            if (awaited[i] && !fresh_[i]) return false;
        }
        return true;
    };
    const bool arrived = await(deadline, allIn);
    bool agreed = arrived;
    for (std::size_t i = 0; i < ANSWER_COUNT; ++i) {
        if (awaited[i] && (!fresh_[i] || answer_[i] != wanted[i])) agreed = false;
    }
    if (!agreed) {
        if (awaited[RATE] && fresh_[RATE] && answer_[RATE] == wanted[RATE]) known_.BaudRate = dcb.BaudRate;
        if (awaited[DATA_SIZE] && fresh_[DATA_SIZE] && answer_[DATA_SIZE] == wanted[DATA_SIZE]) {
            known_.ByteSize = dcb.ByteSize;
        }
        if (awaited[PARITY] && fresh_[PARITY] && answer_[PARITY] == wanted[PARITY]) known_.Parity = dcb.Parity;
        if (awaited[STOP_SIZE] && fresh_[STOP_SIZE] && answer_[STOP_SIZE] == wanted[STOP_SIZE]) {
            known_.StopBits = dcb.StopBits;
        }
    }
    return agreed;
}

void NetworkPort::set_timeouts(const COMMTIMEOUTS& timeouts) {
    // Reads take only what is already there, so only the write limits act.
    writeMultiplier_.store(timeouts.WriteTotalTimeoutMultiplier, std::memory_order_relaxed);
    writeConstant_.store(timeouts.WriteTotalTimeoutConstant, std::memory_order_relaxed);
}

// Raw TCP carries no status lines, nor does a server whose device has none
// (it answers nothing for DTR and RTS, as a pty refuses them).
BOOL NetworkPort::modem_status(DWORD& lines) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!pump()) return fail(ERROR_GEN_FAILURE);
    if (!telnet_ || !modemLines_ || !modemKnown_) return fail(ERROR_NOT_SUPPORTED);
    lines = modemState_ & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    return TRUE;
}

// The server is told; its answer carries nothing to check, so none is awaited.
BOOL NetworkPort::set_break(bool on) {
    std::lock_guard<std::mutex> turn(settingTurn_);
    std::lock_guard<std::mutex> hold(mutex_);
    if (!telnet_) return fail(ERROR_NOT_SUPPORTED);
    if (!pump()) return fail(ERROR_GEN_FAILURE);
    const std::uint8_t value = on ? tn::BREAK_ON : tn::BREAK_OFF;
    std::uint8_t message[tn::MESSAGE_MAX];
    const std::size_t length = tn::encode_com_port(tn::SET_CONTROL, &value, 1, message);
    if (!send_control(message, length, now_ms() + static_cast<std::uint64_t>(timeoutMs_))) return fail(ERROR_GEN_FAILURE);
    return TRUE;
}

}  // namespace

Port* open_network(std::size_t index, const ComTarget& target) {
    NetworkPort& port = networks[index];
    return port.open(target) ? &port : nullptr;
}

}  // namespace tarvo::posix
