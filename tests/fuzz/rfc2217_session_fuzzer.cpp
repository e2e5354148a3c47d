// The COM-PORT-OPTION session under libFuzzer. The input scripts the caller
// (changes of settings, purges, looks at held data, the clock) and the
// server, which the fuzzer plays, reading the session's messages off the
// wire (answers agreeing, refusing or malformed, purge confirmations,
// suspends, modem notices), in any order. It checks that:
// - the settings known are what the server answered at open (another
//   session asked to take them sends those answers), or what the caller
//   asked and the server agreed to: all of a change when every setting sent
//   was answered with the value sent, else the line settings so answered;
// - a change sends what differs from the known settings, and again what
//   was never answered;
// - data is held from a purge until the confirmation of the last one
//   pending or the deadline, whose miss is reported once, after which the
//   purges before writes are this side's only;
// - messages are whole commands, lost (counted) only when the outbox has no
//   room left for one, never while it is drained after each call.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "net/rfc2217_session.h"

namespace tn = tarvo::posix::telnet;
using Session = tarvo::posix::Rfc2217Session;
using namespace tarvo::dev;

namespace {

#define check(holds) ((holds) ? void() : (std::fprintf(stderr, "line %d broke the model\n", __LINE__), std::abort()))

// The settings a server answers; a break is asked for, never kept as one.
constexpr std::size_t KEYS = Session::BREAK;
// What a control answer of another setting leaves as the answer asked.
constexpr std::uint32_t MISMATCH = 0xFFFFFFFF;
// The values a server may answer for each setting: LOW .. LOW + SPAN - 1.
constexpr std::uint32_t LOW[KEYS] = {1, 5, 1, 1, tn::FLOW_NONE, tn::DTR_ON, tn::RTS_ON};
constexpr std::uint32_t SPAN[KEYS] = {1000000, 4, 5, 3, 3, 2, 2};

struct Script {
    const std::uint8_t* at;
    std::size_t left;
    std::uint8_t next() { return left == 0 ? 0 : (--left, *at++); }
    std::uint32_t next32() {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) value = value << 8 | next();
        return value;
    }
};

tn::Event sub(std::initializer_list<std::uint8_t> value) {
    tn::Event event;
    event.kind = tn::Event::Kind::Subnegotiation;
    event.option = tn::COM_PORT;
    for (const std::uint8_t byte : value) event.value[event.size++] = byte;
    return event;
}

tn::Event answer(std::size_t key, std::uint32_t value) {
    const auto byte = [](std::uint32_t v) { return static_cast<std::uint8_t>(v); };
    if (key == Session::RATE) return sub({101, byte(value >> 24), byte(value >> 16), byte(value >> 8), byte(value)});
    return sub({byte(tn::SERVER_OFFSET + (key < Session::FLOW ? tn::SET_BAUDRATE + key : tn::SET_CONTROL)), byte(value)});
}

// Message `index` as a server reads it: one whole command.
tn::Event heard(Session& session, std::size_t index) {
    const auto message = session.outbox().message(index);
    tn::Decoder decoder;
    tn::Event event;
    std::uint8_t data[Session::Outbox::ROOM];
    const tn::Decoder::Step step = decoder.decode(message.bytes, message.size, data, event);
    check(step.event && step.consumed == message.size && step.produced == 0);
    return event;
}

// The settings that messages `from` on set (each once), and the values they ask.
void settings_said(Session& session, std::size_t from, bool (&sent)[KEYS], std::uint32_t (&value)[KEYS]) {
    for (bool& one : sent) one = false;
    for (std::size_t i = from; i < session.outbox().count(); ++i) {
        const tn::Event e = heard(session, i);
        const std::uint8_t code = e.value[0], first = e.value[1];
        std::size_t key = code - tn::SET_BAUDRATE;
        if (code == tn::SET_CONTROL) key = first <= tn::FLOW_HARDWARE ? Session::FLOW : first <= tn::DTR_OFF ? Session::DTR : Session::RTS;
        check(e.option == tn::COM_PORT && code >= tn::SET_BAUDRATE && code <= tn::SET_CONTROL && !sent[key]);
        check(e.size == (key == Session::RATE ? 5u : 2u) && (key < Session::FLOW || first >= LOW[key]));
        sent[key] = true;
        value[key] = key == Session::RATE ? std::uint32_t{first} << 24 | e.value[2] << 16 | e.value[3] << 8 | e.value[4] : first;
    }
}

struct Fuzz {
    Session session;
    bool modemLines = false, purgeLocal = false, changed = false, draining = true;
    std::uint64_t timeout = 0, now = 1000, deadline = 0, mark = 0;
    DCB known{}, requested{};
    // As of the last change: the settings sent, the values asked, the answers since.
    bool sent[KEYS] = {}, awaited[KEYS] = {}, unconfirmed[KEYS] = {}, answered[KEYS] = {};
    std::uint32_t wanted[KEYS] = {}, answers[KEYS] = {};
    int pending = 0, waitingFor = 0;  // purges unconfirmed; those a purge that waits needs
    bool confirms = true, missed = false, suspended = false, modemKnown = false, malformed = false;
    // SET-CONTROL questions still open, in the order asked (BREAK for a
    // break's): they share one answer code, and an answer of a setting not
    // open answers the first of them as a mismatch.
    std::vector<std::size_t> controlsOpen;
    std::uint8_t modemState = 0;
    std::size_t lost = 0, said = 0;

    std::size_t told() { return session.outbox().count() + session.outbox().lost(); }
    // The messages of the last call.
    std::size_t after_call() {
        const Session::Outbox& outbox = session.outbox();
        check(outbox.count() <= outbox.MESSAGES && outbox.size() <= outbox.ROOM);
        if (outbox.lost() != lost) check(!draining && (outbox.count() == outbox.MESSAGES || outbox.ROOM - outbox.size() < tn::MESSAGE_MAX));
        lost = outbox.lost();
        const std::size_t count = told() - said;
        said = told();
        if (draining) drain();
        return count;
    }
    void drain() {
        for (std::size_t i = 0; i < session.outbox().count(); ++i) heard(session, i);
        session.outbox().clear();
        said = told();
    }

    void open(Session& opened, const std::uint32_t (&values)[KEYS]) {
        opened.ask_settings();
        opened.outbox().clear();
        for (std::size_t key = 0; key <= (modemLines ? Session::DTR : Session::FLOW); ++key) opened.take(answer(key, values[key]));
        check(opened.settings_answered() && opened.learn_settings());
        controlsOpen.clear();
        if (!modemLines) controlsOpen.push_back(Session::DTR);
    }
    void open(Script& script) {
        const std::uint8_t flags = script.next();
        modemLines = flags & 1;
        purgeLocal = flags & 2;
        timeout = 1 + script.next() % 64;
        std::uint32_t values[KEYS], others[KEYS];
        for (std::size_t key = 0; key < KEYS; ++key) {
            values[key] = LOW[key] + (key == Session::RATE ? script.next32() : script.next()) % SPAN[key];
            others[key] = LOW[key] + (values[key] - LOW[key] + 1) % SPAN[key];
        }
        session = Session(purgeLocal, timeout);
        open(session, values);
        known = session.known();
        Session other(purgeLocal, timeout);
        open(other, others);
        other.change_settings(known);
        settings_said(other, 0, sent, wanted);
        for (std::size_t key = 0; key <= (modemLines ? Session::DTR : Session::FLOW); ++key) check(sent[key] && wanted[key] == values[key]);
    }

    void change_settings(Script& script) {
        DCB dcb = known;
        const std::uint8_t changes = script.next(), flow = script.next();
        if (changes & 1) dcb.BaudRate = changes & 64 ? 1 + script.next32() % 1000000 : 9600u << (script.next() % 5);
        if (changes & 2) dcb.ByteSize = static_cast<BYTE>(5 + script.next() % 4);
        if (changes & 4) dcb.Parity = static_cast<BYTE>(script.next() % 5);
        if (changes & 8) dcb.StopBits = static_cast<BYTE>(script.next() % 3);
        if (changes & 16) dcb.fOutX = flow & 1, dcb.fInX = flow >> 1 & 1, dcb.fOutxCtsFlow = flow >> 2 & 1;
        if (changes & 16) dcb.fRtsControl = flow >> 3 & 3, dcb.fDtrControl = (flow >> 5) % 3;
        if (changes & 32) dcb.XonChar = static_cast<char>(flow);
        requested = dcb;
        changed = true;
        std::size_t first = session.outbox().count();
        session.change_settings(dcb);
        if (session.outbox().lost() != lost) {  // again into an empty outbox, to see all it meant to say
            after_call();
            drain();
            first = 0;
            session.change_settings(dcb);
        }
        settings_said(session, first, sent, wanted);
        malformed = false;
        controlsOpen.clear();
        for (std::size_t i = first; i < session.outbox().count(); ++i) {
            const tn::Event e = heard(session, i);
            if (e.value[0] != tn::SET_CONTROL) continue;
            const std::uint8_t v = e.value[1];
            controlsOpen.push_back(v <= tn::FLOW_HARDWARE ? Session::FLOW : v <= tn::DTR_OFF ? Session::DTR : Session::RTS);
        }
        const auto field = [](const DCB& d, std::size_t key) {
            const std::uint32_t fields[KEYS] = {d.BaudRate, d.ByteSize, d.Parity, d.StopBits, 0, d.fDtrControl, d.fRtsControl};
            return fields[key];
        };
        for (std::size_t key = 0; key < KEYS; ++key) {
            // DTR and RTS go only when set steadily; flow control's fields are not compared.
            const bool steady = key == Session::DTR ? dcb.fDtrControl <= DTR_CONTROL_ENABLE
                                                    : key != Session::RTS || dcb.fRtsControl <= RTS_CONTROL_ENABLE;
            const bool differs = field(dcb, key) != field(known, key);
            check(sent[key] == (steady && (differs || unconfirmed[key])) || (key == Session::FLOW && sent[key]));
            awaited[key] = sent[key] && (modemLines || key < Session::DTR);
            answered[key] = answered[key] && !sent[key];
        }
        check(!sent[Session::RATE] || wanted[Session::RATE] == dcb.BaudRate);
        after_call();
    }

    void answer_control(std::size_t key, std::uint32_t value) {
        if (key < Session::FLOW) {
            answered[key] = true;
            answers[key] = value;
            return;
        }
        auto open = std::find(controlsOpen.begin(), controlsOpen.end(), key);
        if (open == controlsOpen.end() && !controlsOpen.empty()) open = controlsOpen.begin(), value = MISMATCH;
        if (open != controlsOpen.end()) key = *open, controlsOpen.erase(open);
        if (key >= KEYS) return;  // a break's question took it
        answered[key] = true;
        answers[key] = value;
    }

    void settle(bool arrived) {
        bool all = arrived, agreed[KEYS] = {};
        for (std::size_t key = 0; key < KEYS; ++key) {
            agreed[key] = awaited[key] && answered[key] && answers[key] == wanted[key];
            if (awaited[key]) all = all && agreed[key], unconfirmed[key] = !answered[key];
        }
        check(session.settle_changes(arrived) == all);
        for (const std::size_t line : {std::size_t{Session::DTR}, std::size_t{Session::RTS}})
            if (awaited[line] && answered[line] && answers[line] == MISMATCH) modemLines = false;
        if (all) known = requested;
        if (agreed[Session::RATE]) known.BaudRate = requested.BaudRate;
        if (agreed[Session::DATA_SIZE]) known.ByteSize = requested.ByteSize;
        if (agreed[Session::PARITY]) known.Parity = requested.Parity;
        if (agreed[Session::STOP_SIZE]) known.StopBits = requested.StopBits;
    }

    void purge(bool beforeWrite) {
        const bool atServer = !(beforeWrite && (purgeLocal || !confirms));
        check(session.purges_at_server(beforeWrite) == atServer);
        if (!atServer) return;
        session.ask_purge();
        check(after_call() == 1);
        session.purge_sent(now);
        deadline = now + timeout;
        if (++pending && !beforeWrite && waitingFor == 0) waitingFor = pending, mark = session.confirmations_awaited();
    }

    // A server's command other than a well-formed answer to a setting.
    void command(Script& script) {
        tn::Event event = sub({});
        event.size = script.next() % 8;
        for (std::size_t i = 0; i < event.size; ++i) event.value[i] = script.next();
        const std::uint8_t code = event.size == 0 ? 0 : event.value[0] % 16;
        event.value[0] = tn::SERVER_OFFSET + code;
        if (code >= tn::SET_BAUDRATE && code <= tn::SET_CONTROL && event.size == (code == tn::SET_BAUDRATE ? 5u : 2u)) return;
        check(session.take(event) == (code == tn::PURGE_DATA && pending > 0));
        if (code == tn::SET_BAUDRATE && event.size > 5) {  // a longer rate: its first 4 bytes
            answered[Session::RATE] = true;
            answers[Session::RATE] = std::uint32_t{event.value[1]} << 24 | event.value[2] << 16 | event.value[3] << 8 | event.value[4];
        } else if (code >= tn::SET_BAUDRATE && code <= tn::SET_CONTROL) {
            malformed = true;
        }
        if (code == tn::FLOWCONTROL_SUSPEND || code == tn::FLOWCONTROL_RESUME) suspended = code == tn::FLOWCONTROL_SUSPEND;
        if (code == tn::NOTIFY_MODEMSTATE && event.size == 2) modemKnown = true, modemState = event.value[1];
        if (code != tn::PURGE_DATA) return;
        pending -= pending > 0;
        if (waitingFor > 0) check(session.confirmed(mark) == (--waitingFor == 0));
    }

    void step(Script& script) {
        switch (script.next() % 12) {
            case 0: change_settings(script); break;
            case 1:
                if (changed) settle(script.next() & 1);
                break;
            case 2: {  // an answer: the value asked, or another of its kind
                const std::size_t key = script.next() % KEYS;
                std::uint32_t value = wanted[key];
                if (script.next() & 1) value = key == Session::RATE ? script.next32() : key < Session::FLOW ? script.next() : LOW[key] + script.next() % SPAN[key];
                check(!session.take(answer(key, value)));
                answer_control(key, value);
                break;
            }
            case 3: purge(script.next() & 1); break;
            case 4: now += script.next(); break;
            case 5:
                if (pending > 0 && now >= deadline) pending = 0, missed = true, confirms = false;
                check(session.holding(now) == (pending > 0));
                break;
            case 6:
                check(session.take_missed_purge() == missed);
                missed = false;
                break;
            case 7:
                session.ask_break(script.next() & 1);
                controlsOpen.assign(1, Session::BREAK);
                check(after_call() == 1);
                break;
            case 8:
                if ((draining = !draining)) drain();
                break;
            case 9:  // just before or at the deadline; or the port's wait for a purge ends, reported there
                if (pending > 0 && deadline > now) now = deadline - (script.next() & 1);
                if (waitingFor > 0 && script.next() & 1) waitingFor = pending = 0, session.forget_purges();
                break;
            default: command(script); break;
        }
        check(after_call() == 0);  // what speaks has spoken above
        bool answeredAll = true;
        for (std::size_t key = 0; key < KEYS; ++key) answeredAll = answeredAll && (!awaited[key] || answered[key]);
        check(session.changes_answered() == (answeredAll || malformed));
        check(session.suspended() == suspended && session.purge_pending() == (pending > 0));
        DWORD lines = 0;
        const bool reported = session.modem_lines(lines);
        check(reported == (modemLines && modemKnown) && (!reported || lines == (modemState & 0xF0u)));
        check(std::memcmp(&session.known(), &known, sizeof known) == 0);
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
