// The client's side of a COM-PORT-OPTION session, in the codec's style: it
// takes the server's commands as the decoder reads them, the caller's
// requests, and the time (passed in, never read here), and puts what is to
// be sent in an outbox the port drains. No socket, no clock, no allocation:
// every exchange, however a server orders, refuses or forgets its answers,
// can be driven and checked without one.
#ifndef TARVO_NET_RFC2217_SESSION_H
#define TARVO_NET_RFC2217_SESSION_H

#include <cstddef>
#include <cstdint>

#include "device/device.h"
#include "net/telnet_codec.h"

namespace tarvo::posix {

// The line settings of a network port before anything has been said about them.
dev::DCB initial_network_settings();

class Rfc2217Session {
public:
    // Messages for the server in the order they were said, until the port
    // takes them. The port drains it after every call that says something,
    // so it holds one call's messages at most; one that finds no room is
    // counted as lost, never dropped unseen.
    class Outbox {
    public:
        static constexpr std::size_t ROOM = 192;
        static constexpr std::size_t MESSAGES = 16;
        struct Message {
            const std::uint8_t* bytes;
            std::size_t size;
        };

        std::size_t count() const { return count_; }
        Message message(std::size_t index) const {
            const std::size_t begin = index == 0 ? 0 : ends_[index - 1];
            return {bytes_ + begin, ends_[index] - begin};
        }
        // Bytes of every message together.
        std::size_t size() const { return count_ == 0 ? 0 : ends_[count_ - 1]; }
        std::size_t lost() const { return lost_; }
        void clear() { count_ = 0; }

        // Appends what `encode` writes into at most `room` bytes (returning
        // its size; nothing for 0).
        template <class Encode>
        void add(std::size_t room, Encode encode) {
            const std::size_t used = size();
            if (count_ == MESSAGES || ROOM - used < room) {
                ++lost_;
                return;
            }
            const std::size_t written = encode(bytes_ + used);
            if (written != 0) ends_[count_++] = used + written;
        }

    private:
        std::uint8_t bytes_[ROOM] = {};
        std::size_t ends_[MESSAGES] = {};
        std::size_t count_ = 0;
        std::size_t lost_ = 0;
    };

    // The settings a server answers for, each under its own answer code.
    enum Answer : std::size_t { RATE, DATA_SIZE, PARITY, STOP_SIZE, FLOW, DTR, RTS, BREAK, ANSWER_COUNT };

    // `purgeLocal`: the purge before a write empties this side only.
    // `timeoutMs` bounds the wait for a purge's confirmation.
    Rfc2217Session(bool purgeLocal, std::uint64_t timeoutMs);
    Rfc2217Session() : Rfc2217Session(false, 0) {}

    Outbox& outbox() { return outbox_; }

    // A command from the server. True for the confirmation of a purge still
    // pending: the data that came before it is to be dropped.
    bool take(const telnet::Event& event);

    // Option negotiation: our offers, then whether the server agreed.
    void offer();
    bool negotiated() const { return negotiation_.complete(); }
    bool refused() const { return negotiation_.refused(); }

    // The settings at open: every one asked for, then, once answered, taken
    // as known (false for answers no port could have).
    void ask_settings();
    bool settings_answered() const;
    bool learn_settings();
    // The server answered something no reading makes sense of (a value of
    // the wrong size, a setting no port has): the wait for it ends at once.
    bool malformed() const { return malformed_; }
    // Whether the far port passes every byte; if not, `plain` is the known
    // settings without the XON/XOFF that keeps it from doing so.
    bool passes_every_byte(dev::DCB& plain) const;

    // A change of settings: the ones that differ from what is known (or were
    // never confirmed) are sent; once their answers are all in, or the wait
    // for them has ended (`arrived` false), settle says whether the server
    // agreed to all. What it confirmed is known from then on either way.
    void change_settings(const dev::DCB& dcb);
    bool changes_answered() const;
    bool settle_changes(bool arrived);
    const dev::DCB& known() const { return known_; }

    // Input purges. Whether the server is asked to purge too, for a purge
    // before a write (`beforeWrite`) or another.
    bool purges_at_server(bool beforeWrite) const;
    void ask_purge();
    // The purge asked for has gone at `now`: data is held until its
    // confirmation or its deadline.
    void purge_sent(std::uint64_t now);
    bool purge_pending() const { return purgesPending_ > 0; }
    // Whether data from the server is held at `now`. A deadline that passed
    // releases it, reports the miss once and makes later purges this side's.
    bool holding(std::uint64_t now);
    // The count of confirmations at which every purge pending now is confirmed.
    std::uint64_t confirmations_awaited() const { return confirmations_ + static_cast<std::uint64_t>(purgesPending_); }
    bool confirmed(std::uint64_t awaited) const { return confirmations_ >= awaited; }
    // The wait for the purges pending failed and is reported there, not again.
    void forget_purges() { purgesPending_ = 0; }
    // Whether a confirmation was missed since last asked.
    bool take_missed_purge();

    // The break asked for; answered once the server says anything of its
    // break state (servers differ in which), refused when it answers
    // something else to it.
    void ask_break(bool on);
    bool break_answered() const { return fresh_[BREAK]; }
    bool break_agreed() const { return fresh_[BREAK] && answer_[BREAK] != MISMATCH; }
    bool suspended() const { return suspended_; }
    // The MS_*_ON status lines, when the server has a device with modem
    // lines and has reported them.
    bool modem_lines(dev::DWORD& lines) const;

private:
    void ask(std::uint8_t code, const std::uint8_t* value, std::size_t size);
    void ask_setting(Answer answer, std::uint8_t code, const std::uint8_t* value, std::size_t size);
    void change(Answer answer, bool differs, std::uint8_t code, std::uint32_t value, const std::uint8_t* wire,
                std::size_t size);
    void note_answer(const std::uint8_t* value, std::size_t size);
    void note_control(std::uint8_t setting);
    // What an answer of another setting, given in place of the one asked,
    // leaves as that one's answer: it matches no value sent.
    static constexpr std::uint32_t MISMATCH = 0xFFFFFFFF;
    bool agreed(Answer answer) const;

    Outbox outbox_;
    telnet::Negotiation negotiation_;

    // Answers since the setting was last sent, and what they said.
    bool fresh_[ANSWER_COUNT] = {};
    std::uint32_t answer_[ANSWER_COUNT] = {};
    // Settings sent whose answer never came: what the server has is not
    // known, so the next change sends them whatever `known_` says.
    bool unconfirmed_[ANSWER_COUNT] = {};
    // SET-CONTROL questions of this exchange awaiting their answer, in the
    // order asked, each setting once: all share one answer code, and a
    // server that answers one of them with another setting (as some answer
    // DTR and RTS with their flow control) answers the first still open.
    // Questions a server never answers (DTR on a pty) go with their exchange.
    Answer controlsOpen_[ANSWER_COUNT] = {};
    std::size_t controlsOpenCount_ = 0;
    bool malformed_ = false;
    // The change under way: what it awaits, the values it sent, the block.
    bool awaited_[ANSWER_COUNT] = {};
    std::uint32_t wanted_[ANSWER_COUNT] = {};
    dev::DCB requested_{};
    dev::DCB known_{};

    // Input purges the server has not confirmed yet; until then, data from
    // it is held. Bounded by the deadline, after which the miss is reported
    // once and this server's purges are this side's only.
    int purgesPending_ = 0;
    std::uint64_t purgeDeadline_ = 0;
    std::uint64_t confirmations_ = 0;
    bool purgeMissed_ = false;
    bool confirmsPurges_ = true;
    bool purgeLocal_ = false;
    std::uint64_t timeoutMs_ = 0;

    bool suspended_ = false;
    // The server reports its DTR and RTS lines (a pty has none).
    bool modemLines_ = false;
    // The status lines as the server last reported them (its bits are the
    // MS_*_ON values); unknown until it has.
    bool modemKnown_ = false;
    std::uint8_t modemState_ = 0;
};

}  // namespace tarvo::posix

#endif
