// The protocol's pure functions: what a server's byte stream decodes to,
// however it is cut, and what the client answers.
#include "net/telnet_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvo::posix::telnet {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Decoded {
    Bytes data;
    std::vector<Event> events;
};

// Feeds `stream` in pieces of `piece` bytes, decoding in place.
Decoded decode_in_pieces(Bytes stream, std::size_t piece) {
    Decoder decoder;
    Decoded out;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
        std::size_t left = std::min(piece, stream.size() - at);
        std::uint8_t* in = stream.data() + at;
        while (left > 0) {
            Event event;
            const Decoder::Step step = decoder.decode(in, left, in, event);
            out.data.insert(out.data.end(), in, in + step.produced);
            in += step.consumed;
            left -= step.consumed;
            if (step.event) out.events.push_back(event);
        }
    }
    return out;
}

TEST(TelnetDecoder, DataAndCommandsSeparateWhereverTheStreamIsCut) {
    // ser2net's greeting, data with a doubled IAC, a modem-state notice, a
    // rate answer whose value holds an escaped 0xFF, NOP, more data.
    const Bytes stream = {IAC, WILL, SGA, 'a', IAC, IAC, 'b', IAC, SB, COM_PORT, 107, 0x30, IAC, SE,
                          IAC, SB,   COM_PORT, 101, 0, 0, IAC, IAC, 0x80, IAC, SE, IAC, 241, 'c', IAC, DO, COM_PORT};
    for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
        const Decoded got = decode_in_pieces(stream, piece);
        EXPECT_EQ(got.data, (Bytes{'a', 0xFF, 'b', 'c'})) << "pieces of " << piece;
        ASSERT_EQ(got.events.size(), 4u) << "pieces of " << piece;
        EXPECT_EQ(got.events[0].kind, Event::Kind::Negotiation);
        EXPECT_EQ(got.events[0].verb, WILL);
        EXPECT_EQ(got.events[1].kind, Event::Kind::Subnegotiation);
        EXPECT_EQ(Bytes(got.events[1].value, got.events[1].value + got.events[1].size), (Bytes{107, 0x30}));
        EXPECT_EQ(Bytes(got.events[2].value, got.events[2].value + got.events[2].size),
                  (Bytes{101, 0, 0, 0xFF, 0x80}));
        EXPECT_EQ(got.events[3].verb, DO);
        EXPECT_EQ(got.events[3].option, COM_PORT);
    }
}

TEST(TelnetDecoder, EndlessOrBrokenSubnegotiationsStayBoundedAndEnd) {
    Bytes stream = {IAC, SB, COM_PORT};
    stream.insert(stream.end(), 100000, 'x');
    stream.insert(stream.end(), {IAC, SE, 'd', IAC, SB, COM_PORT, 105, IAC, WILL, BINARY, 'e'});
    const Decoded got = decode_in_pieces(stream, 4096);
    EXPECT_EQ(got.data, (Bytes{'d', 'e'}));
    ASSERT_EQ(got.events.size(), 2u);
    EXPECT_TRUE(got.events[0].truncated);
    EXPECT_EQ(got.events[0].size, VALUE_MAX);
    // A command inside a subnegotiation ends it and counts as itself.
    EXPECT_EQ(got.events[1].kind, Event::Kind::Negotiation);
    EXPECT_EQ(got.events[1].option, BINARY);
}

TEST(TelnetEncoding, EscapesFitTheRoomAndCountBack) {
    const Bytes data = {1, 0xFF, 2, 0xFF, 0xFF};
    std::uint8_t out[16];
    Escaped escaped = escape(data.data(), data.size(), out, 3);
    EXPECT_EQ(escaped.consumed, 2u);  // never half a doubled IAC
    EXPECT_EQ(escaped.produced, 3u);
    escaped = escape(data.data(), data.size(), out, sizeof out);
    EXPECT_EQ(Bytes(out, out + escaped.produced), (Bytes{1, 0xFF, 0xFF, 2, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(data_within(data.data(), data.size(), 2), 1u);
    EXPECT_EQ(data_within(data.data(), data.size(), 4), 3u);
    EXPECT_TRUE(ends_inside_escape(out, 2));
    EXPECT_FALSE(ends_inside_escape(out, 3));
    EXPECT_TRUE(ends_inside_escape(out, 7));

    const std::uint8_t rate[4] = {0, 0, 0xFF, 0x10};
    EXPECT_EQ(encode_com_port(SET_BAUDRATE, rate, 4, out), 11u);
    EXPECT_EQ(Bytes(out, out + 11), (Bytes{IAC, SB, COM_PORT, 1, 0, 0, 0xFF, 0xFF, 0x10, IAC, SE}));
}

TEST(TelnetNegotiation, AgreesWithSer2netsGreetingAndRefusesTheRest) {
    Negotiation negotiation(true);
    std::uint8_t out[32];
    EXPECT_EQ(negotiation.offer(out), 15u);
    const std::pair<std::uint8_t, std::uint8_t> greeting[] = {{WILL, SGA},    {DO, SGA},       {WILL, 1},
                                                              {DONT, 1},      {DO, BINARY},    {WILL, BINARY},
                                                              {DO, COM_PORT}, {WONT, COM_PORT}};
    Bytes replies;
    for (const auto& [verb, option] : greeting) {
        const std::size_t size = negotiation.answer(verb, option, out);
        replies.insert(replies.end(), out, out + size);
    }
    EXPECT_EQ(replies, (Bytes{IAC, DONT, 1}));  // echo refused; everything offered was agreed
    EXPECT_TRUE(negotiation.complete());
    EXPECT_FALSE(negotiation.refused());

    // A flood of offers gets one refusal per option.
    std::size_t answered = 0;
    for (int i = 0; i < 10000; ++i) answered += negotiation.answer(WILL, static_cast<std::uint8_t>(i % 7 + 20), out);
    EXPECT_EQ(answered, 7u * 3u);

    // A server that withdraws binary mode breaks the agreement.
    EXPECT_EQ(negotiation.answer(DONT, BINARY, out), 3u);
    EXPECT_EQ(Bytes(out, out + 3), (Bytes{IAC, WONT, BINARY}));
    EXPECT_TRUE(negotiation.refused());
}

}  // namespace
}  // namespace tarvo::posix::telnet
