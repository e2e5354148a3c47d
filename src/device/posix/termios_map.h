// Translation between the Win32 device control block and Linux terminal
// settings. Pure functions on values: no device, no system call, so every
// field can be checked without hardware that has it.
//
// Uses the kernel's termios2: a rate with a Bxxx constant is set with it,
// any other exactly through BOTHER. A translation unit
// that includes this header must not include <termios.h>: both define
// struct termios.
#ifndef TARVO_DEVICE_POSIX_TERMIOS_MAP_H
#define TARVO_DEVICE_POSIX_TERMIOS_MAP_H

#include <asm/termbits.h>

#include <cstdint>

#include "device/device.h"

namespace tarvo::posix {

// The RTS and DTR outputs as the device reports them, if it has them.
struct ModemLines {
    bool known;  // false: the device has no modem lines (a pty)
    bool rts;
    bool dtr;
};

// The rate the terminal runs at: the Bxxx constant's rate, or c_ospeed for
// BOTHER and anything unknown.
dev::DWORD output_rate(const termios2& tio);

// A block SetCommState can apply to a terminal now at `currentRate`: a rate,
// ByteSize 5..8, Parity 0..4, StopBits 0..2. Rate 0 would hang up a live
// line, so it passes only where the line is already at 0 and nothing changes.
bool valid_control_block(const dev::DCB& dcb, dev::DWORD currentRate);

// Writes the fields of `dcb` that the terminal holds into `tio` and leaves
// every other bit of it alone. False (and `tio` untouched) for a block that
// valid_control_block refuses.
bool apply_control_block(const dev::DCB& dcb, termios2& tio);

// Whether the terminal, read back after `asked` was written, runs the line as
// asked: rate (to within the rounding of a driver that can only come close),
// character size, parity, stop bits and RTS/CTS handshake. A driver that
// cannot make a setting keeps another one and still reports success. A pty has
// no line to set: its driver always shows 8 data bits without parity, so
// `sizeAndParityFixed` leaves those out.
bool line_taken(const termios2& asked, const termios2& got, bool sizeAndParityFixed);

// The whole block as GetCommState reports it. Fields the terminal cannot hold
// come from `shadow` (the last block applied). fNull is the caller's.
dev::DCB read_control_block(const termios2& tio, const dev::DCB& shadow, const ModemLines& lines);

// The block a freshly opened device starts its shadow with: what the terminal
// says, RTS and DTR on (RTS handshake if hardware flow control is on).
dev::DCB initial_control_block(const termios2& tio);

// Raw binary mode: no line editing, echo, signals, CR/LF mapping, output
// processing or XON/XOFF; reads return at once. Rate and character format
// stay as they are.
void make_raw(termios2& tio);

// Microseconds `bytes` take on the line at the terminal's rate and frame.
std::uint64_t line_time_us(std::uint64_t bytes, const termios2& tio);

}  // namespace tarvo::posix

#endif
