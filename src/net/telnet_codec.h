// The Telnet framing and COM-PORT-OPTION messages a network port speaks, as
// pure functions and plain state: no socket, no clock, no allocation, so
// every byte sequence can be checked (and fuzzed) without a server.
#ifndef TARVO_NET_TELNET_CODEC_H
#define TARVO_NET_TELNET_CODEC_H

#include <cstddef>
#include <cstdint>

namespace tarvo::posix::telnet {

constexpr std::uint8_t IAC = 255;
constexpr std::uint8_t SE = 240;
constexpr std::uint8_t SB = 250;
constexpr std::uint8_t WILL = 251;
constexpr std::uint8_t WONT = 252;
constexpr std::uint8_t DO = 253;
constexpr std::uint8_t DONT = 254;

constexpr std::uint8_t BINARY = 0;
constexpr std::uint8_t SGA = 3;
constexpr std::uint8_t COM_PORT = 44;

// COM-PORT-OPTION subcommands from the client; the server answers each with
// its code plus SERVER_OFFSET.
enum : std::uint8_t {
    SET_BAUDRATE = 1,
    SET_DATASIZE = 2,
    SET_PARITY = 3,
    SET_STOPSIZE = 4,
    SET_CONTROL = 5,
    NOTIFY_LINESTATE = 6,
    NOTIFY_MODEMSTATE = 7,
    FLOWCONTROL_SUSPEND = 8,
    FLOWCONTROL_RESUME = 9,
    PURGE_DATA = 12,
};
constexpr std::uint8_t SERVER_OFFSET = 100;

// SET-CONTROL values used here.
enum : std::uint8_t {
    CONTROL_ASK_FLOW = 0,
    FLOW_NONE = 1,
    FLOW_XON_XOFF = 2,
    FLOW_HARDWARE = 3,
    CONTROL_ASK_BREAK = 4,
    BREAK_ON = 5,
    BREAK_OFF = 6,
    CONTROL_ASK_DTR = 7,
    DTR_ON = 8,
    DTR_OFF = 9,
    CONTROL_ASK_RTS = 10,
    RTS_ON = 11,
    RTS_OFF = 12,
};

// PURGE-DATA value: the server's buffer of bytes from the device.
constexpr std::uint8_t PURGE_RECEIVED = 1;

// Escapes data for the wire (IAC doubled) into `out`, as much as fits in
// `room` without splitting a doubled IAC. `consumed` data bytes became
// `produced` wire bytes.
struct Escaped {
    std::size_t consumed;
    std::size_t produced;
};
Escaped escape(const std::uint8_t* data, std::size_t size, std::uint8_t* out, std::size_t room);

// How many of the first `size` data bytes fit entirely in their first
// `wireBytes` bytes of escaped form.
std::size_t data_within(const std::uint8_t* data, std::size_t size, std::size_t wireBytes);

// Whether the first `size` bytes of escaped data end between the two bytes
// of a doubled IAC (the escaped form holds IACs in pairs only).
bool ends_inside_escape(const std::uint8_t* wire, std::size_t size);

// The longest COM-PORT-OPTION value sent or kept (a rate is 4 bytes; a
// signature would be text, cut to this).
constexpr std::size_t VALUE_MAX = 32;
// Room a message needs: IAC SB option code, each value byte doubled, IAC SE.
constexpr std::size_t MESSAGE_MAX = 6 + 2 * VALUE_MAX;

// IAC SB COM-PORT-OPTION code value IAC SE into `out` (MESSAGE_MAX bytes);
// returns its size. Values longer than VALUE_MAX are cut.
std::size_t encode_com_port(std::uint8_t code, const std::uint8_t* value, std::size_t size, std::uint8_t* out);
// IAC verb option into `out` (3 bytes); returns 3.
std::size_t encode_negotiation(std::uint8_t verb, std::uint8_t option, std::uint8_t* out);

// A command the decoder has read in full.
struct Event {
    enum class Kind { None, Negotiation, Subnegotiation };
    Kind kind = Kind::None;
    std::uint8_t verb = 0;    // Negotiation: WILL, WONT, DO or DONT
    std::uint8_t option = 0;  // both kinds
    std::uint8_t value[VALUE_MAX] = {};
    std::size_t size = 0;     // value bytes kept
    bool truncated = false;   // the value was longer than VALUE_MAX
};

// Splits the byte stream from a server into data and commands. Keeps its
// place across calls, so a command may arrive cut anywhere.
class Decoder {
public:
    struct Step {
        std::size_t consumed;  // input bytes used
        std::size_t produced;  // data bytes written to `out`
        bool event;            // `event` holds a command read in full
    };

    // Decodes until the input is used up or a command is complete. Never
    // produces more bytes than it consumes, so `out` may be `in` itself.
    Step decode(const std::uint8_t* in, std::size_t size, std::uint8_t* out, Event& event);

private:
    enum class State { Data, Command, Option, Sub, SubIac };
    void begin_sub(std::uint8_t option);
    void keep(std::uint8_t byte);

    State state_ = State::Data;
    std::uint8_t verb_ = 0;
    bool inSub_ = false;  // the Option state reads a subnegotiation's option
    Event pending_;       // the subnegotiation being read
};

// The client's side of option negotiation: BINARY both ways and SGA both
// ways always, COM-PORT-OPTION on our side when asked; every other option
// refused. Answers only changes of state, so two sides never loop, and
// refuses each unwanted option once, so a flood of offers gets a bounded
// number of answers.
class Negotiation {
public:
    explicit Negotiation(bool comPort = false);

    // Our offers at connection time into `out` (at least 15 bytes); their size.
    std::size_t offer(std::uint8_t* out);
    // The answer to a received WILL/WONT/DO/DONT into `out` (3 bytes), or 0.
    std::size_t answer(std::uint8_t verb, std::uint8_t option, std::uint8_t* out);

    // Every option we need has been agreed.
    bool complete() const;
    // The server has refused an option we need.
    bool refused() const;

private:
    enum class Side : std::uint8_t { No, Asked, Yes, Refused };
    struct Wanted {
        std::uint8_t option;
        bool ours;  // our side (WILL/DO DO from them) or theirs (WILL from them)
        Side side;
    };
    Wanted* find(std::uint8_t option, bool ours);
    bool refuse_once(std::uint8_t option, bool ours);

    Wanted wanted_[5];
    std::size_t count_ = 0;
    std::uint8_t refusedOnce_[2][32] = {};  // bit per option, per side
};

}  // namespace tarvo::posix::telnet

#endif
