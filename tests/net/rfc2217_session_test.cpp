// The COM-PORT-OPTION session without a server: what it asks, what it takes
// as known, and when it holds data, however the answers come or fail to.
#include "device/posix/rfc2217_session.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace tarvo::posix {
namespace {

namespace tn = telnet;
using namespace tarvo::dev;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t TIMEOUT = 300;

tn::Event sub(std::initializer_list<std::uint8_t> value, std::uint8_t option = tn::COM_PORT) {
    tn::Event event;
    event.kind = tn::Event::Kind::Subnegotiation;
    event.option = option;
    for (const std::uint8_t byte : value) event.value[event.size++] = byte;
    return event;
}

// The subcommand and value of every COM-PORT message said, emptying the outbox.
std::vector<Bytes> said(Rfc2217Session& session) {
    std::vector<Bytes> messages;
    Rfc2217Session::Outbox& outbox = session.outbox();
    for (std::size_t i = 0; i < outbox.count(); ++i) {
        const auto message = outbox.message(i);
        // IAC SB COM-PORT ... IAC SE; the values used here hold no IAC.
        messages.emplace_back(message.bytes + 3, message.bytes + message.size - 2);
    }
    outbox.clear();
    return messages;
}

// A session past its questions at open, the server at 9600 8N1 without flow
// control, its device with modem lines or without (no DTR answer, as a pty).
Rfc2217Session opened(bool modemLines, bool purgeLocal = false) {
    Rfc2217Session session(purgeLocal, TIMEOUT);
    session.ask_settings();
    said(session);
    if (modemLines) session.take(sub({105, tn::DTR_ON}));
    for (const auto& answer : {sub({101, 0, 0, 0x25, 0x80}), sub({102, 8}), sub({103, 1}), sub({104, 1}), sub({105, 1})}) {
        session.take(answer);
    }
    EXPECT_TRUE(session.settings_answered());
    EXPECT_TRUE(session.learn_settings());
    return session;
}

TEST(Rfc2217Session, SettingsAreKnownAsTheServerConfirmedThemWhateverTheOrder) {
    Rfc2217Session session = opened(true);
    DCB wanted = session.known();
    wanted.BaudRate = 19200;
    wanted.ByteSize = 7;
    wanted.Parity = EVENPARITY;
    wanted.StopBits = TWOSTOPBITS;
    session.change_settings(wanted);
    EXPECT_EQ(said(session), (std::vector<Bytes>{{1, 0, 0, 0x4B, 0x00}, {2, 7}, {3, 3}, {4, 2}}));
    // Backwards, parity refused (the server keeps none), the data size never answered.
    session.take(sub({104, 2}));
    session.take(sub({103, 1}));
    session.take(sub({101, 0, 0, 0x4B, 0x00}));
    EXPECT_FALSE(session.changes_answered());
    EXPECT_FALSE(session.settle_changes(false));
    EXPECT_EQ(session.known().BaudRate, 19200u);
    EXPECT_EQ(session.known().StopBits, TWOSTOPBITS);
    EXPECT_EQ(session.known().Parity, NOPARITY);
    EXPECT_EQ(session.known().ByteSize, 8);

    // The unanswered size goes again though `known` says nothing of it, and
    // so does the refused parity; what was agreed does not.
    DCB same = wanted;
    same.ByteSize = 8;
    session.change_settings(same);
    EXPECT_EQ(said(session), (std::vector<Bytes>{{2, 8}, {3, 3}}));
    session.take(sub({103, 3}));
    session.take(sub({102, 8}));
    EXPECT_TRUE(session.changes_answered());
    EXPECT_TRUE(session.settle_changes(true));
    EXPECT_EQ(session.known().Parity, EVENPARITY);
    EXPECT_EQ(session.known().ByteSize, 8);
}

TEST(Rfc2217Session, ImpossibleOrMalformedAnswersAreNoAnswers) {
    Rfc2217Session session = opened(false);
    DCB wanted = session.known();
    wanted.BaudRate = 4800;
    wanted.ByteSize = 7;
    session.change_settings(wanted);
    said(session);
    tn::Event cut = sub({101, 0, 0, 0x12, 0xC0});
    cut.size = 4;
    tn::Event longer = sub({102, 7});
    longer.size = tn::VALUE_MAX;
    longer.truncated = true;
    for (const tn::Event& event : {cut, longer, sub({102}), sub({102, 7, 0}), sub({}), sub({101, 0, 0, 0x12, 0xC0}, 3),
                                   sub({105, 20}), sub({107, 1, 2})}) {
        EXPECT_FALSE(session.take(event));
    }
    EXPECT_FALSE(session.changes_answered());
    EXPECT_TRUE(said(session).empty());
    DWORD lines = 0;
    EXPECT_FALSE(session.modem_lines(lines));

    // At open, answers no port could have fail it.
    for (const auto& wrong : {sub({101, 0, 0, 0, 0}), sub({102, 9}), sub({103, 6}), sub({104, 0})}) {
        Rfc2217Session fresh(false, TIMEOUT);
        fresh.ask_settings();
        for (const auto& answer : {sub({101, 0, 0, 0x25, 0x80}), sub({102, 8}), sub({103, 1}), sub({104, 1}), sub({105, 1}), wrong}) {
            fresh.take(answer);
        }
        EXPECT_TRUE(fresh.settings_answered());
        EXPECT_FALSE(fresh.learn_settings());
    }
}

TEST(Rfc2217Session, DataIsHeldUntilTheLastPendingPurgeIsConfirmed) {
    Rfc2217Session session = opened(false);
    ASSERT_TRUE(session.purges_at_server(true));
    for (int purge = 0; purge < 2; ++purge) {
        session.ask_purge();
        EXPECT_EQ(said(session), (std::vector<Bytes>{{tn::PURGE_DATA, tn::PURGE_RECEIVED}}));
        session.purge_sent(1000);
    }
    const std::uint64_t awaited = session.confirmations_awaited();
    EXPECT_TRUE(session.holding(1001));
    EXPECT_TRUE(session.take(sub({112, 1})));
    EXPECT_TRUE(session.holding(1002));
    EXPECT_FALSE(session.confirmed(awaited));
    EXPECT_TRUE(session.take(sub({112, 1})));
    EXPECT_FALSE(session.holding(1003));
    EXPECT_TRUE(session.confirmed(awaited));
    // A confirmation nothing awaits drops nothing.
    EXPECT_FALSE(session.take(sub({112, 1})));
    EXPECT_FALSE(session.take_missed_purge());
}

TEST(Rfc2217Session, AMissedConfirmationIsReportedOnceAndLaterPurgesStayLocal) {
    Rfc2217Session session = opened(false);
    session.ask_purge();
    said(session);
    session.purge_sent(1000);
    EXPECT_TRUE(session.holding(1000 + TIMEOUT - 1));
    EXPECT_FALSE(session.holding(1000 + TIMEOUT));
    EXPECT_TRUE(session.take_missed_purge());
    EXPECT_FALSE(session.take_missed_purge());
    EXPECT_FALSE(session.take(sub({112, 1})));  // too late to drop anything
    EXPECT_FALSE(session.purges_at_server(true));
    EXPECT_TRUE(session.purges_at_server(false));  // a purge that waits still asks

    EXPECT_FALSE(opened(false, true).purges_at_server(true));
}

TEST(Rfc2217Session, SuspendAndModemLinesFollowTheServer) {
    Rfc2217Session session = opened(true);
    session.take(sub({108}));
    EXPECT_TRUE(session.suspended());
    session.take(sub({109}));
    EXPECT_FALSE(session.suspended());

    DWORD lines = 0;
    EXPECT_FALSE(session.modem_lines(lines));  // not reported yet
    session.take(sub({107, 0xB3}));
    ASSERT_TRUE(session.modem_lines(lines));
    EXPECT_EQ(lines, MS_RLSD_ON | MS_DSR_ON | MS_CTS_ON);

    // Without modem lines the notice tells nothing, and DTR is asked but not awaited.
    Rfc2217Session pty = opened(false);
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
