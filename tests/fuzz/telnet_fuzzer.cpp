// The Telnet codec under libFuzzer, two ways per input.
// As a script: the input picks data bytes and commands (negotiations,
// subnegotiations of any length, stray commands); the model's data must
// come out of the decoder exactly, however the wire is cut.
// As a server's stream: any bytes, fed to the decoder and the negotiation;
// nothing may crash, write out of bounds or answer without bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "net/telnet_codec.h"

namespace tn = tarvo::posix::telnet;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Script {
    const std::uint8_t* at;
    std::size_t left;
    std::uint8_t next() {
        if (left == 0) return 0;
        --left;
        return *at++;
    }
};

void append_escaped(Bytes& wire, std::uint8_t byte) {
    wire.push_back(byte);
    if (byte == tn::IAC) wire.push_back(tn::IAC);
}

// The wire form of what the script says, and the data in it.
void build(Script script, Bytes& wire, Bytes& data, std::size_t& events) {
    while (script.left > 0) {
        const std::uint8_t op = script.next();
        if (op < 0xC0) {
            const std::uint8_t byte = script.next();
            append_escaped(wire, byte);
            data.push_back(byte);
        } else if (op < 0xD0) {
            const std::uint8_t verbs[] = {tn::WILL, tn::WONT, tn::DO, tn::DONT};
            wire.insert(wire.end(), {tn::IAC, verbs[op & 3], script.next()});
            ++events;
        } else if (op < 0xE0) {
            wire.insert(wire.end(), {tn::IAC, tn::SB, script.next()});
            const std::size_t length = script.next() * static_cast<std::size_t>(op & 0x0F);
            for (std::size_t i = 0; i < length; ++i) append_escaped(wire, script.next());
            wire.insert(wire.end(), {tn::IAC, tn::SE});
            ++events;
        } else {
            // Commands without an option: NOP, data mark, go ahead, a stray SE ...
            wire.insert(wire.end(), {tn::IAC, static_cast<std::uint8_t>(tn::SE + (op & 0x0F) % 10)});
        }
    }
}

void check_model(const std::uint8_t* input, std::size_t size) {
    Bytes wire;
    Bytes data;
    std::size_t events = 0;
    build(Script{input, size}, wire, data, events);
    tn::Decoder decoder;
    Bytes out;
    std::size_t seen = 0;
    std::size_t at = 0;
    std::size_t cut = 1 + (size > 0 ? input[0] % 37 : 0);
    Bytes piece;
    while (at < wire.size()) {
        const std::size_t length = cut < wire.size() - at ? cut : wire.size() - at;
        piece.assign(wire.begin() + static_cast<long>(at), wire.begin() + static_cast<long>(at + length));
        at += length;
        std::uint8_t* in = piece.data();
        std::size_t left = piece.size();
        while (left > 0) {
            tn::Event event;
            const tn::Decoder::Step step = decoder.decode(in, left, in, event);
            if (step.produced > step.consumed || step.consumed > left) std::abort();
            out.insert(out.end(), in, in + step.produced);
            in += step.consumed;
            left -= step.consumed;
            if (step.event) ++seen;
        }
        cut = cut * 7 % 61 + 1;
    }
    if (out != data || seen != events) std::abort();
}

void check_stream(const std::uint8_t* input, std::size_t size) {
    Bytes stream(input, input + size);
    tn::Decoder decoder;
    tn::Negotiation negotiation(true);
    std::uint8_t offers[32];
    negotiation.offer(offers);
    std::size_t answers = 0;
    std::uint8_t* in = stream.data();
    std::size_t left = stream.size();
    while (left > 0) {
        tn::Event event;
        const tn::Decoder::Step step = decoder.decode(in, left, in, event);
        if (step.produced > step.consumed || step.consumed == 0) std::abort();
        in += step.consumed;
        left -= step.consumed;
        if (!step.event) continue;
        if (event.size > tn::VALUE_MAX) std::abort();
        if (event.kind == tn::Event::Kind::Negotiation) {
            std::uint8_t reply[3];
            const std::size_t length = negotiation.answer(event.verb, event.option, reply);
            if (length != 0 && length != 3) std::abort();
            answers += length != 0;
        }
    }
    // Never more answers than negotiations read (3 bytes each).
    if (answers * 3 > size) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_model(data, size);
    check_stream(data, size);
    return 0;
}
