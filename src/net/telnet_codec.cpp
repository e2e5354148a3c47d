#include "net/telnet_codec.h"

namespace tarvo::posix::telnet {

Escaped escape(const std::uint8_t* data, std::size_t size, std::uint8_t* out, std::size_t room) {
    std::size_t used = 0;
    std::size_t put = 0;
    while (used < size) {
        const std::uint8_t byte = data[used];
        const std::size_t width = byte == IAC ? 2 : 1;
        if (put + width > room) break;
        out[put++] = byte;
        if (byte == IAC) out[put++] = IAC;
        ++used;
    }
    return Escaped{used, put};
}

std::size_t data_within(const std::uint8_t* data, std::size_t size, std::size_t wireBytes) {
    std::size_t wire = 0;
    std::size_t count = 0;
    while (count < size) {
        const std::size_t width = data[count] == IAC ? 2 : 1;
        if (wire + width > wireBytes) break;
        wire += width;
        ++count;
    }
    return count;
}

bool ends_inside_escape(const std::uint8_t* wire, std::size_t size) {
    std::size_t run = 0;
    while (run < size && wire[size - 1 - run] == IAC) ++run;
    return run % 2 != 0;
}

std::size_t encode_com_port(std::uint8_t code, const std::uint8_t* value, std::size_t size, std::uint8_t* out) {
    std::size_t put = 0;
    out[put++] = IAC;
    out[put++] = SB;
    out[put++] = COM_PORT;
    out[put++] = code;
    if (size > VALUE_MAX) size = VALUE_MAX;
    for (std::size_t i = 0; i < size; ++i) {
        out[put++] = value[i];
        if (value[i] == IAC) out[put++] = IAC;
    }
    out[put++] = IAC;
    out[put++] = SE;
    return put;
}

std::size_t encode_negotiation(std::uint8_t verb, std::uint8_t option, std::uint8_t* out) {
    out[0] = IAC;
    out[1] = verb;
    out[2] = option;
    return 3;
}

void Decoder::begin_sub(std::uint8_t option) {
    pending_ = Event{};
    pending_.kind = Event::Kind::Subnegotiation;
    pending_.option = option;
}

void Decoder::keep(std::uint8_t byte) {
    if (pending_.size < VALUE_MAX) {
        pending_.value[pending_.size++] = byte;
    } else {
        pending_.truncated = true;
    }
}

Decoder::Step Decoder::decode(const std::uint8_t* in, std::size_t size, std::uint8_t* out, Event& event) {
    std::size_t used = 0;
    std::size_t put = 0;
    while (used < size) {
        const std::uint8_t byte = in[used++];
        switch (state_) {
            case State::Data:
                if (byte == IAC) {
                    state_ = State::Command;
                } else {
                    out[put++] = byte;
                }
                break;
            case State::Command:
                state_ = State::Data;
                if (byte == IAC) {
                    out[put++] = IAC;
                } else if (byte >= WILL) {
                    verb_ = byte;
                    inSub_ = false;
                    state_ = State::Option;
                } else if (byte == SB) {
                    inSub_ = true;
                    state_ = State::Option;
                }
                // Every other command (NOP, GA, a stray SE ...) carries nothing for a port.
                break;
            case State::Option:
                if (inSub_) {
                    begin_sub(byte);
                    state_ = State::Sub;
                    break;
                }
                state_ = State::Data;
                event = Event{};
                event.kind = Event::Kind::Negotiation;
                event.verb = verb_;
                event.option = byte;
                return Step{used, put, true};
            case State::Sub:
                if (byte == IAC) {
                    state_ = State::SubIac;
                } else {
                    keep(byte);
                }
                break;
            case State::SubIac:
                if (byte == IAC) {
                    state_ = State::Sub;
                    keep(IAC);
                    break;
                }
                // IAC SE ends it; any other command inside one ends it too,
                // and is then read as the command it is.
                if (byte == SE) {
                    state_ = State::Data;
                    event = pending_;
                    return Step{used, put, true};
                }
                state_ = State::Command;
                --used;
                break;
        }
    }
    return Step{used, put, false};
}

Negotiation::Negotiation(bool comPort) {
    wanted_[count_++] = Wanted{BINARY, true, Side::No};
    wanted_[count_++] = Wanted{BINARY, false, Side::No};
    wanted_[count_++] = Wanted{SGA, true, Side::No};
    wanted_[count_++] = Wanted{SGA, false, Side::No};
    if (comPort) wanted_[count_++] = Wanted{COM_PORT, true, Side::No};
}

Negotiation::Wanted* Negotiation::find(std::uint8_t option, bool ours) {
    for (std::size_t i = 0; i < count_; ++i) {
        if (wanted_[i].option == option && wanted_[i].ours == ours) return &wanted_[i];
    }
    return nullptr;
}

bool Negotiation::refuse_once(std::uint8_t option, bool ours) {
    std::uint8_t& bits = refusedOnce_[ours ? 1 : 0][option / 8];
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << (option % 8));
    if (bits & bit) return false;
    bits |= bit;
    return true;
}

std::size_t Negotiation::offer(std::uint8_t* out) {
    std::size_t put = 0;
    for (std::size_t i = 0; i < count_; ++i) {
        put += encode_negotiation(wanted_[i].ours ? WILL : DO, wanted_[i].option, out + put);
        wanted_[i].side = Side::Asked;
    }
    return put;
}

std::size_t Negotiation::answer(std::uint8_t verb, std::uint8_t option, std::uint8_t* out) {
    // DO/DONT are about our side, WILL/WONT about theirs.
    const bool ours = verb == DO || verb == DONT;
    const bool enable = verb == DO || verb == WILL;
    const std::uint8_t yes = ours ? WILL : DO;
    const std::uint8_t no = ours ? WONT : DONT;
    Wanted* wanted = find(option, ours);
    if (wanted == nullptr) {
        return enable && refuse_once(option, ours) ? encode_negotiation(no, option, out) : 0;
    }
    const Side was = wanted->side;
    if (enable) {
        wanted->side = Side::Yes;
        return was == Side::No || was == Side::Refused ? encode_negotiation(yes, option, out) : 0;
    }
    wanted->side = Side::Refused;
    return was == Side::Yes ? encode_negotiation(no, option, out) : 0;
}

bool Negotiation::complete() const {
    for (std::size_t i = 0; i < count_; ++i) {
        if (wanted_[i].side != Side::Yes) return false;
    }
    return true;
}

bool Negotiation::refused() const {
    for (std::size_t i = 0; i < count_; ++i) {
        if (wanted_[i].side == Side::Refused) return true;
    }
    return false;
}

}  // namespace tarvo::posix::telnet
