// The COM-PORT-OPTION session under libFuzzer: the input is a script of
// caller operations (changes of settings, purges, looks at held data, the
// clock moving on) and server commands (answers that agree, refuse or
// arrive malformed, purge confirmations, suspends, modem notices,
// negotiations), in any order. A small model says what must follow:
// - the settings known are only ever what the server answered at open, or
//   what the caller asked and the server agreed to; a change is agreed only
//   when every setting sent was answered with the value asked;
// - a setting whose answer never came is sent again by the next change;
// - data is held from a purge until the confirmation of the last one
//   pending or the deadline, whose miss is reported once, after which the
//   purges before writes are this side's only;
// - every message said lands in the outbox or is counted as lost, and none
//   is lost while the outbox is drained after every call as the port does.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/posix/rfc2217_session.h"

namespace tn = tarvo::posix::telnet;
using tarvo::posix::Rfc2217Session;
using namespace tarvo::dev;

namespace {

using Answer = Rfc2217Session::Answer;
constexpr std::size_t SETTINGS = Rfc2217Session::ANSWER_COUNT;

void check_at(bool holds, int line) {
    if (holds) return;
    std::fprintf(stderr, "rfc2217_session_fuzzer.cpp:%d: the session broke the model\n", line);
    std::abort();
}
#define check(holds) check_at(holds, __LINE__)

struct Script {
    const std::uint8_t* at;
    std::size_t left;
    std::uint8_t next() {
        if (left == 0) return 0;
        --left;
        return *at++;
    }
    std::uint32_t next32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | next();
        return value;
    }
};

tn::Event sub(const std::uint8_t* value, std::size_t size) {
    tn::Event event;
    event.kind = tn::Event::Kind::Subnegotiation;
    event.option = tn::COM_PORT;
    event.size = size < tn::VALUE_MAX ? size : tn::VALUE_MAX;
    event.truncated = size > tn::VALUE_MAX;
    std::memcpy(event.value, value, event.size);
    return event;
}

// The protocol's value of each setting of a block, as a server answers it.
std::uint32_t wire_value(const DCB& dcb, std::size_t setting) {
    switch (setting) {
        case Rfc2217Session::RATE: return dcb.BaudRate;
        case Rfc2217Session::DATA_SIZE: return dcb.ByteSize;
        case Rfc2217Session::PARITY: return dcb.Parity + 1u;
        case Rfc2217Session::STOP_SIZE: return dcb.StopBits == ONE5STOPBITS ? 3 : (dcb.StopBits == TWOSTOPBITS ? 2 : 1);
        case Rfc2217Session::FLOW:
            if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return tn::FLOW_HARDWARE;
            return dcb.fOutX || dcb.fInX ? tn::FLOW_XON_XOFF : tn::FLOW_NONE;
        case Rfc2217Session::DTR: return dcb.fDtrControl == DTR_CONTROL_ENABLE ? tn::DTR_ON : tn::DTR_OFF;
        default: return dcb.fRtsControl == RTS_CONTROL_ENABLE ? tn::RTS_ON : tn::RTS_OFF;
    }
}

// Whether a change to `wanted` from `known` sends the setting.
bool differs(const DCB& wanted, const DCB& known, std::size_t setting) {
    if (setting == Rfc2217Session::DTR) return wanted.fDtrControl != known.fDtrControl;
    if (setting == Rfc2217Session::RTS) return wanted.fRtsControl != known.fRtsControl;
    return wire_value(wanted, setting) != wire_value(known, setting);
}

// Whether the block sets the line steadily (DTR and RTS are sent only then).
bool steady(const DCB& dcb, std::size_t setting) {
    if (setting == Rfc2217Session::DTR) return dcb.fDtrControl <= DTR_CONTROL_ENABLE;
    if (setting == Rfc2217Session::RTS) return dcb.fRtsControl <= RTS_CONTROL_ENABLE;
    return true;
}

tn::Event answer_event(std::size_t setting, std::uint32_t value) {
    std::uint8_t bytes[5] = {static_cast<std::uint8_t>(tn::SERVER_OFFSET + tn::SET_BAUDRATE + setting)};
    if (setting == Rfc2217Session::RATE) {
        for (int i = 0; i < 4; ++i) bytes[1 + i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
        return sub(bytes, 5);
    }
    if (setting >= Rfc2217Session::FLOW) bytes[0] = tn::SERVER_OFFSET + tn::SET_CONTROL;
    bytes[1] = static_cast<std::uint8_t>(value);
    return sub(bytes, 2);
}

// Whether `message` sets `setting` to its value in `dcb`.
bool says(Rfc2217Session::Outbox::Message message, std::size_t setting, const DCB& dcb) {
    std::uint8_t value[8];
    std::size_t size = 0;
    for (std::size_t at = 4; at + 2 < message.size && size < sizeof value; ++at) {
        value[size++] = message.bytes[at];
        if (message.bytes[at] == tn::IAC) ++at;
    }
    const std::uint32_t wanted = wire_value(dcb, setting);
    if (setting == Rfc2217Session::RATE) {
        return message.bytes[3] == tn::SET_BAUDRATE && size == 4 &&
               (std::uint32_t{value[0]} << 24 | std::uint32_t{value[1]} << 16 | std::uint32_t{value[2]} << 8 | value[3]) == wanted;
    }
    const std::uint8_t code = setting >= Rfc2217Session::FLOW ? tn::SET_CONTROL : tn::SET_BAUDRATE + setting;
    return message.bytes[3] == code && size == 1 && value[0] == wanted;
}

// What the model expects of the session, kept beside it.
struct Model {
    DCB known{};
    bool modemLines = false;
    bool purgeLocal = false;
    std::uint64_t timeout = 0;
    // As of the last change: the block asked and the answers awaited.
    DCB requested{};
    bool awaited[SETTINGS] = {};
    bool unconfirmed[SETTINGS] = {};
    // Answers since each setting was last sent.
    bool answered[SETTINGS] = {};
    std::uint32_t answer[SETTINGS] = {};

    int pending = 0;
    std::uint64_t deadline = 0;
    bool confirms = true;
    bool missed = false;
    bool suspended = false;
    bool modemKnown = false;
    std::uint8_t modemState = 0;
    // A purge that waits: the confirmations it needs, and the mark to pass.
    bool waiting = false;
    int waitingFor = 0;
    std::uint64_t awaited_mark = 0;
};

struct Fuzz {
    Rfc2217Session session;
    Model model;
    std::uint64_t now = 1000;
    // Messages said and lost so far: every one is in one count or the other.
    std::size_t expectedMessages = 0;
    std::size_t drainedMessages = 0;
    // Drained after every call, as the port does: then nothing is lost.
    bool draining = true;
    std::size_t lostBefore = 0;

    void after_call(std::size_t messagesSaid) {
        Rfc2217Session::Outbox& outbox = session.outbox();
        expectedMessages += messagesSaid;
        check(outbox.count() <= Rfc2217Session::Outbox::MESSAGES && outbox.size() <= Rfc2217Session::Outbox::ROOM);
        check(drainedMessages + outbox.count() + outbox.lost() == expectedMessages);
        if (draining) {
            check(outbox.lost() == lostBefore);
            drain();
        }
    }

    void drain() {
        Rfc2217Session::Outbox& outbox = session.outbox();
        for (std::size_t i = 0; i < outbox.count(); ++i) {
            const auto message = outbox.message(i);
            check(message.size >= 3 && message.bytes[0] == tn::IAC);
            if (message.bytes[1] == tn::SB) {
                check(message.size >= 6 && message.bytes[2] == tn::COM_PORT && message.bytes[message.size - 2] == tn::IAC &&
                      message.bytes[message.size - 1] == tn::SE);
            }
        }
        drainedMessages += outbox.count();
        lostBefore = outbox.lost();
        outbox.clear();
    }

    // Negotiation answers are counted as they come: 0 or 1 per command.
    void take_negotiation(std::uint8_t verb, std::uint8_t option) {
        tn::Event event;
        event.kind = tn::Event::Kind::Negotiation;
        event.verb = verb;
        event.option = option;
        const std::size_t before = session.outbox().count() + session.outbox().lost();
        check(!session.take(event));
        const std::size_t said = session.outbox().count() + session.outbox().lost() - before;
        check(said <= 1);
        after_call(said);
    }

    void take_answer(std::size_t setting, std::uint32_t value) {
        check(!session.take(answer_event(setting, value)));
        model.answered[setting] = true;
        model.answer[setting] = value;
        after_call(0);
    }

    void open(Script& script) {
        const std::uint8_t flags = script.next();
        model.modemLines = flags & 1;
        model.purgeLocal = flags & 2;
        model.timeout = 1 + script.next() % 64;
        session = Rfc2217Session(model.purgeLocal, model.timeout);
        session.offer();
        after_call(1);
        session.ask_settings();
        after_call(6);
        if (model.modemLines) take_answer(Rfc2217Session::DTR, flags & 4 ? tn::DTR_ON : tn::DTR_OFF);
        take_answer(Rfc2217Session::RATE, 1 + script.next32() % 1000000);
        take_answer(Rfc2217Session::DATA_SIZE, 5 + script.next() % 4);
        take_answer(Rfc2217Session::PARITY, 1 + script.next() % 5);
        take_answer(Rfc2217Session::STOP_SIZE, 1 + script.next() % 3);
        take_answer(Rfc2217Session::FLOW, 1 + script.next() % 3);
        check(session.settings_answered() && session.learn_settings());
        model.known = session.known();
        // What was learnt is what was answered.
        for (std::size_t setting = 0; setting < Rfc2217Session::DTR; ++setting) {
            check(wire_value(model.known, setting) == model.answer[setting]);
        }
    }

    DCB block(Script& script) const {
        DCB dcb = model.known;
        const std::uint8_t changes = script.next();
        if (changes & 1) dcb.BaudRate = script.next() & 1 ? 1 + script.next32() % 1000000 : 9600u << (script.next() % 5);
        if (changes & 2) dcb.ByteSize = static_cast<BYTE>(5 + script.next() % 4);
        if (changes & 4) dcb.Parity = static_cast<BYTE>(script.next() % 5);
        if (changes & 8) dcb.StopBits = static_cast<BYTE>(script.next() % 3);
        if (changes & 16) {
            const std::uint8_t flow = script.next();
            dcb.fOutX = flow & 1;
            dcb.fInX = (flow >> 1) & 1;
            dcb.fOutxCtsFlow = (flow >> 2) & 1;
            dcb.fRtsControl = (flow >> 3) & 3;
            dcb.fDtrControl = (flow >> 5) % 3;
        }
        if (changes & 32) dcb.XonChar = static_cast<char>(script.next());
        return dcb;
    }

    // The settings that differ from what is known, or were never confirmed,
    // are sent in order, each with the value asked.
    void change_settings(const DCB& dcb) {
        model.requested = dcb;
        const std::size_t first = session.outbox().count();
        session.change_settings(dcb);
        std::size_t said = 0;
        for (std::size_t setting = 0; setting < SETTINGS; ++setting) {
            const bool sent = steady(dcb, setting) && (differs(dcb, model.known, setting) || model.unconfirmed[setting]);
            model.awaited[setting] = sent && (model.modemLines || setting < Rfc2217Session::DTR);
            if (!sent) continue;
            model.answered[setting] = false;
            if (first + said < session.outbox().count()) check(says(session.outbox().message(first + said), setting, dcb));
            ++said;
        }
        after_call(said);
    }

    // Agreed only if every setting awaited was answered with the value
    // sent; otherwise only the line settings answered so change.
    void settle(bool arrived) {
        bool all = arrived;
        bool agreed[SETTINGS] = {};
        for (std::size_t setting = 0; setting < SETTINGS; ++setting) {
            if (!model.awaited[setting]) continue;
            agreed[setting] = model.answered[setting] && model.answer[setting] == wire_value(model.requested, setting);
            all = all && agreed[setting];
            model.unconfirmed[setting] = !model.answered[setting];
        }
        check(session.settle_changes(arrived) == all);
        if (all) model.known = model.requested;
        if (!all && agreed[Rfc2217Session::RATE]) model.known.BaudRate = model.requested.BaudRate;
        if (!all && agreed[Rfc2217Session::DATA_SIZE]) model.known.ByteSize = model.requested.ByteSize;
        if (!all && agreed[Rfc2217Session::PARITY]) model.known.Parity = model.requested.Parity;
        if (!all && agreed[Rfc2217Session::STOP_SIZE]) model.known.StopBits = model.requested.StopBits;
        after_call(0);
    }

    void purge(bool beforeWrite) {
        const bool atServer = !(beforeWrite && (model.purgeLocal || !model.confirms));
        check(session.purges_at_server(beforeWrite) == atServer);
        if (!atServer) return;
        session.ask_purge();
        after_call(1);
        session.purge_sent(now);
        ++model.pending;
        model.deadline = now + model.timeout;
        if (!beforeWrite && !model.waiting) {
            model.waiting = true;
            model.waitingFor = model.pending;
            model.awaited_mark = session.confirmations_awaited();
        }
    }

    void confirmation() {
        const bool pending = model.pending > 0;
        if (pending) --model.pending;
        const std::uint8_t confirmed[2] = {tn::SERVER_OFFSET + tn::PURGE_DATA, tn::PURGE_RECEIVED};
        check(session.take(sub(confirmed, 2)) == pending);
        if (model.waiting) {
            --model.waitingFor;
            check(session.confirmed(model.awaited_mark) == (model.waitingFor <= 0));
            if (model.waitingFor <= 0) model.waiting = false;
        }
        after_call(0);
    }

    // Whether data is held now: until the last confirmation or the deadline.
    void look() {
        if (model.pending > 0 && now >= model.deadline) {
            model.pending = 0;
            model.missed = true;
            model.confirms = false;
        }
        check(session.holding(now) == (model.pending > 0));
        check(session.purge_pending() == (model.pending > 0));
    }

    // The purge that waits for its confirmation gives up (the port's wait
    // ended): reported there, so not missed again.
    void give_up() {
        if (!model.waiting) return;
        model.waiting = false;
        model.pending = 0;
        session.forget_purges();
        check(!session.purge_pending());
    }

    void step(Script& script) {
        const std::uint8_t op = script.next();
        switch (op % 16) {
            case 0: change_settings(block(script)); break;
            case 1: settle(script.next() & 1); break;
            case 2: {
                // The server answers a setting: the value asked, or another.
                // SET-CONTROL answers tell their setting by their value's range.
                const std::size_t setting = script.next() % SETTINGS;
                std::uint32_t value = wire_value(model.requested, setting);
                if (script.next() & 1) {
                    if (setting == Rfc2217Session::RATE) value = script.next32();
                    if (setting > Rfc2217Session::RATE) value = script.next();
                    if (setting == Rfc2217Session::FLOW) value = 1 + value % 3;
                    if (setting == Rfc2217Session::DTR) value = 7 + value % 3;
                    if (setting == Rfc2217Session::RTS) value = 10 + value % 3;
                }
                take_answer(setting, value);
                break;
            }
            case 3: purge(true); break;
            case 4: purge(false); break;
            case 5: confirmation(); break;
            case 6: now += script.next(); break;
            case 7: look(); break;
            case 8: {
                check(session.take_missed_purge() == model.missed);
                model.missed = false;
                break;
            }
            case 9: {
                const bool suspend = script.next() & 1;
                const std::uint8_t code = tn::SERVER_OFFSET + (suspend ? tn::FLOWCONTROL_SUSPEND : tn::FLOWCONTROL_RESUME);
                check(!session.take(sub(&code, 1)));
                model.suspended = suspend;
                after_call(0);
                break;
            }
            case 10: {
                const std::uint8_t notice[2] = {tn::SERVER_OFFSET + tn::NOTIFY_MODEMSTATE, script.next()};
                check(!session.take(sub(notice, 2)));
                model.modemKnown = true;
                model.modemState = notice[1];
                after_call(0);
                break;
            }
            case 11: take_negotiation(static_cast<std::uint8_t>(tn::WILL + script.next() % 4), script.next()); break;
            case 12: {
                // Anything else a server might send under the option: it answers nothing.
                std::uint8_t value[40];
                const std::size_t size = script.next() % sizeof value;
                for (std::size_t i = 0; i < size; ++i) value[i] = script.next();
                const bool answers = size >= 1 && value[0] >= tn::SERVER_OFFSET + tn::SET_BAUDRATE &&
                                     value[0] <= tn::SERVER_OFFSET + tn::PURGE_DATA;
                if (answers) break;  // those are the cases above
                check(!session.take(sub(value, size)));
                after_call(0);
                break;
            }
            case 13: {
                session.ask_break(script.next() & 1);
                after_call(1);
                break;
            }
            case 14:
                draining = !draining;
                if (draining) drain();
                break;
            default: {
                // Just before or at the deadline of the purges pending.
                if (model.pending > 0 && model.deadline > now) now = model.deadline - (script.next() & 1);
                if (script.next() & 1) give_up();
                break;
            }
        }
        check(session.suspended() == model.suspended);
        DWORD lines = 0;
        const bool reported = session.modem_lines(lines);
        check(reported == (model.modemLines && model.modemKnown));
        if (reported) check(lines == (model.modemState & 0xF0u));
        check(std::memcmp(&session.known(), &model.known, sizeof model.known) == 0);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Script script{data, size};
    static Fuzz fuzz;
    fuzz = Fuzz{};
    fuzz.open(script);
    while (script.left > 0) fuzz.step(script);
    return 0;
}
