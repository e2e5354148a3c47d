#include "net/rfc2217_session.h"

#include <initializer_list>

namespace tarvo::posix {

using namespace tarvo::dev;
namespace tn = telnet;

namespace {

// The protocol's values for the block's fields.
std::uint8_t wire_parity(BYTE parity) { return static_cast<std::uint8_t>(parity + 1); }
std::uint8_t wire_stop_size(BYTE stopBits) {
    return stopBits == ONE5STOPBITS ? 3 : (stopBits == TWOSTOPBITS ? 2 : 1);
}
std::uint8_t wire_flow(const DCB& dcb) {
    // The protocol has one outbound setting; a server applies it both ways.
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return tn::FLOW_HARDWARE;
    return dcb.fOutX || dcb.fInX ? tn::FLOW_XON_XOFF : tn::FLOW_NONE;
}

}  // namespace

DCB initial_network_settings() {
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

Rfc2217Session::Rfc2217Session(bool purgeLocal, std::uint64_t timeoutMs)
    : negotiation_(true), known_(initial_network_settings()), purgeLocal_(purgeLocal), timeoutMs_(timeoutMs) {}

void Rfc2217Session::offer() {
    outbox_.add(32, [this](std::uint8_t* out) { return negotiation_.offer(out); });
}

void Rfc2217Session::ask(std::uint8_t code, const std::uint8_t* value, std::size_t size) {
    outbox_.add(tn::MESSAGE_MAX, [&](std::uint8_t* out) { return tn::encode_com_port(code, value, size, out); });
}

void Rfc2217Session::ask_setting(Answer answer, std::uint8_t code, const std::uint8_t* value, std::size_t size) {
    fresh_[answer] = false;
    if (code == tn::SET_CONTROL) {
        bool open = false;
        for (std::size_t i = 0; i < controlsOpenCount_; ++i) open = open || controlsOpen_[i] == answer;
        if (!open) controlsOpen_[controlsOpenCount_++] = answer;
    }
    ask(code, value, size);
}

bool Rfc2217Session::take(const tn::Event& event) {
    if (event.kind == tn::Event::Kind::Negotiation) {
        outbox_.add(3, [&](std::uint8_t* out) { return negotiation_.answer(event.verb, event.option, out); });
        return false;
    }
    if (event.option != tn::COM_PORT || event.size == 0) return false;
    switch (event.value[0]) {
        case tn::SERVER_OFFSET + tn::FLOWCONTROL_SUSPEND: suspended_ = true; break;
        case tn::SERVER_OFFSET + tn::FLOWCONTROL_RESUME: suspended_ = false; break;
        case tn::SERVER_OFFSET + tn::NOTIFY_MODEMSTATE:
            if (event.size == 2) {
                modemState_ = event.value[1];
                modemKnown_ = true;
            }
            break;
        case tn::SERVER_OFFSET + tn::PURGE_DATA: {
            const bool pending = purgesPending_ > 0;
            if (pending) --purgesPending_;
            ++confirmations_;
            return pending;
        }
        default: note_answer(event.value, event.size); break;
    }
    // Line-state notices need nothing from a port.
    return false;
}

// A rate comes as 4 bytes; a server that sends more (some send 8) puts the
// rate first. Anything shorter, or a one-byte setting of another size, is
// malformed.
void Rfc2217Session::note_answer(const std::uint8_t* value, std::size_t size) {
    const std::uint8_t code = value[0];
    if (code == tn::SERVER_OFFSET + tn::SET_BAUDRATE) {
        if (size < 5) {
            malformed_ = true;
            return;
        }
        answer_[RATE] = (std::uint32_t{value[1]} << 24) | (std::uint32_t{value[2]} << 16) |
                        (std::uint32_t{value[3]} << 8) | value[4];
        fresh_[RATE] = true;
        return;
    }
    Answer answer = ANSWER_COUNT;
    switch (code) {
        case tn::SERVER_OFFSET + tn::SET_DATASIZE: answer = DATA_SIZE; break;
        case tn::SERVER_OFFSET + tn::SET_PARITY: answer = PARITY; break;
        case tn::SERVER_OFFSET + tn::SET_STOPSIZE: answer = STOP_SIZE; break;
        case tn::SERVER_OFFSET + tn::SET_CONTROL: answer = FLOW; break;
        default: return;
    }
    if (size != 2) {
        malformed_ = true;
        return;
    }
    if (answer == FLOW) return note_control(value[1]);
    answer_[answer] = value[1];
    fresh_[answer] = true;
}

// One answer code for several settings: the value says which, and the
// questions still open say whether it answers the one asked.
void Rfc2217Session::note_control(std::uint8_t setting) {
    Answer answer = ANSWER_COUNT;
    if (setting >= tn::FLOW_NONE && setting <= tn::FLOW_HARDWARE) answer = FLOW;
    if (setting >= tn::CONTROL_ASK_BREAK && setting <= tn::BREAK_OFF) answer = BREAK;
    if (setting >= tn::CONTROL_ASK_DTR && setting <= tn::DTR_OFF) answer = DTR;
    if (setting >= tn::CONTROL_ASK_RTS && setting <= tn::RTS_OFF) answer = RTS;
    std::size_t which = 0;
    while (which < controlsOpenCount_ && controlsOpen_[which] != answer) ++which;
    std::uint32_t value = setting;
    if (which == controlsOpenCount_) {
        if (controlsOpenCount_ == 0) {
            // Unasked: the server tells a setting of its own accord.
            if (answer != ANSWER_COUNT) {
                answer_[answer] = setting;
                fresh_[answer] = true;
            }
            return;
        }
        which = 0;
        answer = controlsOpen_[0];
        value = MISMATCH;
    }
    for (std::size_t i = which + 1; i < controlsOpenCount_; ++i) controlsOpen_[i - 1] = controlsOpen_[i];
    --controlsOpenCount_;
    answer_[answer] = value;
    fresh_[answer] = true;
}

// The DTR question goes first: a server answers in order, so once the later
// answers are in, a DTR answer that has not come never will, and the far
// device has no modem lines.
void Rfc2217Session::ask_settings() {
    const std::uint8_t askDtr = tn::CONTROL_ASK_DTR;
    const std::uint8_t askRate[4] = {0, 0, 0, 0};
    const std::uint8_t askValue = 0;
    const std::uint8_t askFlow = tn::CONTROL_ASK_FLOW;
    ask_setting(DTR, tn::SET_CONTROL, &askDtr, 1);
    ask_setting(RATE, tn::SET_BAUDRATE, askRate, 4);
    ask_setting(DATA_SIZE, tn::SET_DATASIZE, &askValue, 1);
    ask_setting(PARITY, tn::SET_PARITY, &askValue, 1);
    ask_setting(STOP_SIZE, tn::SET_STOPSIZE, &askValue, 1);
    ask_setting(FLOW, tn::SET_CONTROL, &askFlow, 1);
}

bool Rfc2217Session::settings_answered() const {
    return malformed_ || (fresh_[RATE] && fresh_[DATA_SIZE] && fresh_[PARITY] && fresh_[STOP_SIZE] && fresh_[FLOW]);
}

bool Rfc2217Session::learn_settings() {
    const std::uint32_t size = answer_[DATA_SIZE];
    const std::uint32_t parity = answer_[PARITY];
    const std::uint32_t stop = answer_[STOP_SIZE];
    if (malformed_ || answer_[RATE] == 0 || size < 5 || size > 8 || parity < 1 || parity > 5 || stop < 1 || stop > 3) return false;
    modemLines_ = fresh_[DTR] && (answer_[DTR] == tn::DTR_ON || answer_[DTR] == tn::DTR_OFF);
    known_.BaudRate = answer_[RATE];
    known_.ByteSize = static_cast<BYTE>(size);
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
bool Rfc2217Session::passes_every_byte(DCB& plain) const {
    plain = known_;
    plain.fOutX = plain.fInX = 0;
    return !known_.fOutX && !known_.fInX;
}

void Rfc2217Session::change(Answer answer, bool differs, std::uint8_t code, std::uint32_t value,
                            const std::uint8_t* wire, std::size_t size) {
    if (!differs && !unconfirmed_[answer]) return;
    awaited_[answer] = true;
    wanted_[answer] = value;
    ask_setting(answer, code, wire, size);
}

void Rfc2217Session::change_settings(const DCB& dcb) {
    requested_ = dcb;
    malformed_ = false;
    controlsOpenCount_ = 0;
    for (bool& awaited : awaited_) awaited = false;
    const std::uint32_t rate = dcb.BaudRate;
    const std::uint8_t rateWire[4] = {static_cast<std::uint8_t>(rate >> 24), static_cast<std::uint8_t>(rate >> 16),
                                      static_cast<std::uint8_t>(rate >> 8), static_cast<std::uint8_t>(rate)};
    change(RATE, rate != known_.BaudRate, tn::SET_BAUDRATE, rate, rateWire, 4);
    change(DATA_SIZE, dcb.ByteSize != known_.ByteSize, tn::SET_DATASIZE, dcb.ByteSize, &dcb.ByteSize, 1);
    const std::uint8_t parity = wire_parity(dcb.Parity);
    change(PARITY, dcb.Parity != known_.Parity, tn::SET_PARITY, parity, &parity, 1);
    const std::uint8_t stop = wire_stop_size(dcb.StopBits);
    change(STOP_SIZE, dcb.StopBits != known_.StopBits, tn::SET_STOPSIZE, stop, &stop, 1);
    const std::uint8_t flow = wire_flow(dcb);
    change(FLOW, flow != wire_flow(known_), tn::SET_CONTROL, flow, &flow, 1);
    // Lines the block drives steadily; handshake and toggle are the server's business.
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE || dcb.fDtrControl == DTR_CONTROL_DISABLE) {
        const std::uint8_t dtr = dcb.fDtrControl == DTR_CONTROL_ENABLE ? tn::DTR_ON : tn::DTR_OFF;
        change(DTR, dcb.fDtrControl != known_.fDtrControl, tn::SET_CONTROL, dtr, &dtr, 1);
    }
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_DISABLE) {
        const std::uint8_t rts = dcb.fRtsControl == RTS_CONTROL_ENABLE ? tn::RTS_ON : tn::RTS_OFF;
        change(RTS, dcb.fRtsControl != known_.fRtsControl, tn::SET_CONTROL, rts, &rts, 1);
    }
    // A server whose device has no modem lines never answers for them, as a
    // pty refuses them to a terminal: the setting is kept on this side.
    if (!modemLines_) awaited_[DTR] = awaited_[RTS] = false;
}

bool Rfc2217Session::changes_answered() const {
    if (malformed_) return true;
    for (std::size_t i = 0; i < ANSWER_COUNT; ++i) {
        if (awaited_[i] && !fresh_[i]) return false;
    }
    return true;
}

bool Rfc2217Session::agreed(Answer answer) const {
    return awaited_[answer] && fresh_[answer] && answer_[answer] == wanted_[answer];
}

bool Rfc2217Session::settle_changes(bool arrived) {
    bool agreedAll = arrived;
    for (std::size_t i = 0; i < ANSWER_COUNT; ++i) {
        if (!awaited_[i]) continue;
        if (!agreed(Answer(i))) agreedAll = false;
        // An answer, even a refusal, says what the server has.
        unconfirmed_[i] = !fresh_[i];
    }
    // A server that answers a line with another setting confirms no line:
    // from now on the lines are kept on this side, as for one that answers
    // nothing for them.
    for (const Answer line : {DTR, RTS}) {
        if (awaited_[line] && fresh_[line] && answer_[line] == MISMATCH) modemLines_ = false;
    }
    if (agreedAll) {
        known_ = requested_;
        return true;
    }
    if (agreed(RATE)) known_.BaudRate = requested_.BaudRate;
    if (agreed(DATA_SIZE)) known_.ByteSize = requested_.ByteSize;
    if (agreed(PARITY)) known_.Parity = requested_.Parity;
    if (agreed(STOP_SIZE)) known_.StopBits = requested_.StopBits;
    return false;
}

// Before a write the purge is the server's too unless the mapping keeps it
// local or the server has shown it confirms none.
bool Rfc2217Session::purges_at_server(bool beforeWrite) const {
    return !(beforeWrite && (purgeLocal_ || !confirmsPurges_));
}

void Rfc2217Session::ask_purge() {
    const std::uint8_t which = tn::PURGE_RECEIVED;
    ask(tn::PURGE_DATA, &which, 1);
}

void Rfc2217Session::purge_sent(std::uint64_t now) {
    ++purgesPending_;
    purgeDeadline_ = now + timeoutMs_;
}

// Should no confirmation come within the bound, the data held is the
// caller's after all, and the server is taken to confirm no purge.
bool Rfc2217Session::holding(std::uint64_t now) {
    if (purgesPending_ > 0 && now >= purgeDeadline_) {
        purgesPending_ = 0;
        purgeMissed_ = true;
        confirmsPurges_ = false;
    }
    return purgesPending_ > 0;
}

bool Rfc2217Session::take_missed_purge() {
    const bool missed = purgeMissed_;
    purgeMissed_ = false;
    return missed;
}

void Rfc2217Session::ask_break(bool on) {
    const std::uint8_t value = on ? tn::BREAK_ON : tn::BREAK_OFF;
    controlsOpenCount_ = 0;
    ask_setting(BREAK, tn::SET_CONTROL, &value, 1);
}

// No status lines from a server whose device has none (it answers nothing
// for DTR and RTS, as a pty refuses them).
bool Rfc2217Session::modem_lines(DWORD& lines) const {
    if (!modemLines_ || !modemKnown_) return false;
    lines = modemState_ & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    return true;
}

}  // namespace tarvo::posix
