// The COM-PORT-OPTION session without a server, in named scenarios: what it
// sends, what it takes as known, when it holds data. The session fuzzer
// covers the orders of answers, purges and the clock at large.
#include "net/rfc2217_session.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace tarvo::posix {
namespace {

namespace tn = telnet;
using namespace tarvo::dev;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t TIMEOUT = 300;

tn::Event sub(std::initializer_list<std::uint8_t> value) {
    tn::Event event;
    event.kind = tn::Event::Kind::Subnegotiation;
    event.option = tn::COM_PORT;
    for (const std::uint8_t byte : value) event.value[event.size++] = byte;
    return event;
}

// The subcommand and value of every message said (IAC SB COM-PORT ... IAC SE,
// no IAC in the values used here), emptying the outbox.
std::vector<Bytes> said(Rfc2217Session& session) {
    std::vector<Bytes> messages;
    for (std::size_t i = 0; i < session.outbox().count(); ++i) {
        const auto message = session.outbox().message(i);
        messages.emplace_back(message.bytes + 3, message.bytes + message.size - 2);
    }
    session.outbox().clear();
    return messages;
}

// A session past its questions at open, the server answering 9600 8N1 without
// flow control and `last`; its device with modem lines or without (no DTR answer, as a pty).
Rfc2217Session opened(bool modemLines, bool purgeLocal = false, const tn::Event& last = sub({105, 1})) {
    Rfc2217Session session(purgeLocal, TIMEOUT);
    session.ask_settings();
    said(session);
    if (modemLines) session.take(sub({105, tn::DTR_ON}));
    for (const auto& answer : {sub({101, 0, 0, 0x25, 0x80}), sub({102, 8}), sub({103, 1}), sub({104, 1}), sub({105, 1}), last}) {
        session.take(answer);
    }
    EXPECT_TRUE(session.settings_answered());
    return session;
}

TEST(Rfc2217Session, SettingsAreKnownAsTheServerConfirmedThemWhateverTheOrder) {
    Rfc2217Session session = opened(true);
    ASSERT_TRUE(session.learn_settings());
    DCB wanted = session.known();
    wanted.BaudRate = 19200;
    wanted.ByteSize = 7;
    wanted.Parity = EVENPARITY;
    wanted.StopBits = TWOSTOPBITS;
    session.change_settings(wanted);
    EXPECT_EQ(said(session), (std::vector<Bytes>{{1, 0, 0, 0x4B, 0x00}, {2, 7}, {3, 3}, {4, 2}}));
    // Backwards, parity refused (the server keeps none), the data size never answered.
    for (const auto& answer : {sub({104, 2}), sub({103, 1}), sub({101, 0, 0, 0x4B, 0x00})}) session.take(answer);
    EXPECT_FALSE(session.changes_answered());
    EXPECT_FALSE(session.settle_changes(false));
    EXPECT_EQ(session.known().BaudRate, 19200u);
    EXPECT_EQ(session.known().StopBits, TWOSTOPBITS);
    EXPECT_EQ(session.known().Parity, NOPARITY);

    // The unanswered size goes again though `known` says nothing of it, and
    // so does the refused parity; what was agreed does not.
    wanted.ByteSize = 8;
    session.change_settings(wanted);
    EXPECT_EQ(said(session), (std::vector<Bytes>{{2, 8}, {3, 3}}));
    session.take(sub({103, 3}));
    session.take(sub({102, 8}));
    EXPECT_TRUE(session.settle_changes(true));
    EXPECT_EQ(session.known().Parity, EVENPARITY);
}

// A rate longer than 4 bytes is read by its first 4 (a server seen sends 8);
// an answer that cannot be read ends the wait at once as malformed, and an
// unknown SET-CONTROL value or an empty command is no answer at all.
TEST(Rfc2217Session, LongRatesAreReadMalformedAnswersEndTheWait) {
    Rfc2217Session session(false, TIMEOUT);
    session.ask_settings();
    said(session);
    for (const auto& answer : {sub({101, 0, 0, 0x96, 0x00, 0, 0, 0, 0}), sub({102, 8}), sub({103, 1}), sub({104, 1}),
                               sub({105, 1}), sub({}), sub({105, 20})}) {
        session.take(answer);
    }
    ASSERT_TRUE(session.settings_answered());
    ASSERT_TRUE(session.learn_settings());
    EXPECT_EQ(session.known().BaudRate, 38400u);
    EXPECT_FALSE(session.malformed());

    DCB wanted = session.known();
    for (const tn::Event& bad : {sub({101, 0, 0, 0x12}), sub({102, 7, 7})}) {
        wanted.BaudRate = 4800;
        wanted.ByteSize = 7;
        session.change_settings(wanted);
        said(session);
        EXPECT_FALSE(session.changes_answered());
        session.take(bad);
        EXPECT_TRUE(session.malformed());
        EXPECT_TRUE(session.changes_answered());
        EXPECT_FALSE(session.settle_changes(true));
    }

    // At open, answers no port could have fail it, and so does a malformed one.
    for (const auto& wrong : {sub({101, 0, 0, 0, 0}), sub({102, 9}), sub({103, 6}), sub({104, 0}), sub({101, 1})}) {
        EXPECT_FALSE(opened(false, false, wrong).learn_settings());
    }
}

// A server that answers DTR and RTS changes with its flow control (as one
// seen does) has answered them, wrongly: that change fails at once, and the
// next ones neither wait nor send it again. A break is confirmed by any
// break answer, as servers differ in which they give.
TEST(Rfc2217Session, AnAnswerOfAnotherSettingFailsThatChangeAlone) {
    Rfc2217Session session = opened(true);
    ASSERT_TRUE(session.learn_settings());
    DCB wanted = session.known();
    wanted.fDtrControl = DTR_CONTROL_DISABLE;
    session.change_settings(wanted);
    EXPECT_EQ(said(session), (std::vector<Bytes>{{tn::SET_CONTROL, tn::DTR_OFF}}));
    session.take(sub({105, tn::FLOW_NONE}));
    EXPECT_TRUE(session.changes_answered());
    EXPECT_FALSE(session.settle_changes(true));

    // The next change, whether it asks for the line again or not, waits for
    // no line: they are kept on this side from now on.
    wanted.BaudRate = 19200;
    session.change_settings(wanted);
    EXPECT_EQ(said(session), (std::vector<Bytes>{{1, 0, 0, 0x4B, 0x00}, {tn::SET_CONTROL, tn::DTR_OFF}}));
    session.take(sub({101, 0, 0, 0x4B, 0x00}));
    EXPECT_TRUE(session.changes_answered());
    EXPECT_TRUE(session.settle_changes(true));
    EXPECT_EQ(session.known().fDtrControl, static_cast<DWORD>(DTR_CONTROL_DISABLE));
    DWORD lines = 0;
    EXPECT_FALSE(session.modem_lines(lines));

    for (const std::uint8_t answer : {tn::BREAK_ON, tn::BREAK_OFF}) {
        session.ask_break(false);
        EXPECT_EQ(said(session), (std::vector<Bytes>{{tn::SET_CONTROL, tn::BREAK_OFF}}));
        EXPECT_FALSE(session.break_answered());
        session.take(sub({105, answer}));
        EXPECT_TRUE(session.break_agreed());
    }
    session.ask_break(true);
    said(session);
    session.take(sub({105, tn::FLOW_NONE}));
    EXPECT_TRUE(session.break_answered());
    EXPECT_FALSE(session.break_agreed());
}

TEST(Rfc2217Session, DataIsHeldUntilTheLastPurgeIsConfirmedOrTheDeadlineMissedOnce) {
    Rfc2217Session session = opened(false);
    for (int purge = 0; purge < 2; ++purge) {
        session.ask_purge();
        EXPECT_EQ(said(session), (std::vector<Bytes>{{tn::PURGE_DATA, tn::PURGE_RECEIVED}}));
        session.purge_sent(1000);
    }
    EXPECT_TRUE(session.take(sub({112, 1})));
    EXPECT_TRUE(session.holding(1001));
    EXPECT_TRUE(session.take(sub({112, 1})));
    EXPECT_FALSE(session.holding(1002));

    session.purge_sent(2000);
    EXPECT_TRUE(session.holding(2000 + TIMEOUT - 1));
    EXPECT_FALSE(session.holding(2000 + TIMEOUT));
    EXPECT_TRUE(session.take_missed_purge());
    EXPECT_FALSE(session.take_missed_purge());
    EXPECT_FALSE(session.take(sub({112, 1})));  // too late to drop anything
    EXPECT_FALSE(session.purges_at_server(true));
    EXPECT_TRUE(session.purges_at_server(false));  // a purge that waits still asks
    EXPECT_FALSE(opened(false, true).purges_at_server(true));
}

TEST(Rfc2217Session, SuspendAndModemLinesFollowTheServer) {
    Rfc2217Session session = opened(true);
    ASSERT_TRUE(session.learn_settings());
    session.take(sub({108}));
    EXPECT_TRUE(session.suspended());
    session.take(sub({109}));
    EXPECT_FALSE(session.suspended());
    DWORD lines = 0;
    session.take(sub({107, 0xB3}));
    ASSERT_TRUE(session.modem_lines(lines));
    EXPECT_EQ(lines, MS_RLSD_ON | MS_DSR_ON | MS_CTS_ON);

    // Without modem lines the notice tells nothing, and DTR is asked but not awaited.
    Rfc2217Session pty = opened(false);
    ASSERT_TRUE(pty.learn_settings());
    pty.take(sub({107, 0xB0}));
    EXPECT_FALSE(pty.modem_lines(lines));
    DCB wanted = pty.known();
    wanted.fDtrControl = DTR_CONTROL_DISABLE;
    pty.change_settings(wanted);
    EXPECT_EQ(said(pty), (std::vector<Bytes>{{tn::SET_CONTROL, tn::DTR_OFF}}));
    EXPECT_TRUE(pty.changes_answered());
}

}  // namespace
}  // namespace tarvo::posix
