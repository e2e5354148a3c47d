// The "8N1" notation of a line format (data bits, parity letter, stop bits)
// read into the line-mode byte of sio_ioctl: the one reading of it.
#ifndef TARVO_CONTRACT_LINE_FORMAT_H
#define TARVO_CONTRACT_LINE_FORMAT_H

#include <cstddef>

#include "tarvo_contract.h"

namespace tarvo::contract {

// The bits of `letter` in one field of the byte, or -1 when the field has no
// such letter. Parity letters are taken in either case.
constexpr int data_bits_of(char letter) {
#define TARVO_DATA_BITS_CASE(name, bits) if (letter == (name)) return (bits);
    TARVO_CONTRACT_DATA_BITS(TARVO_DATA_BITS_CASE)
#undef TARVO_DATA_BITS_CASE
    return -1;
}

constexpr int stop_bits_of(char letter) {
#define TARVO_STOP_BITS_CASE(name, bits) if (letter == (name)) return (bits);
    TARVO_CONTRACT_STOP_BITS(TARVO_STOP_BITS_CASE)
#undef TARVO_STOP_BITS_CASE
    return -1;
}

constexpr int parity_bits_of(char letter) {
    const char upper = letter >= 'a' && letter <= 'z' ? static_cast<char>(letter - 'a' + 'A') : letter;
#define TARVO_PARITY_CASE(name, bits, dcb) if (upper == (name)) return (bits);
    TARVO_CONTRACT_PARITIES(TARVO_PARITY_CASE)
#undef TARVO_PARITY_CASE
    return -1;
}

// "8N1", "7e2" ...: the line-mode byte; -1 for anything else.
constexpr int line_mode_of(const char* text, std::size_t length) {
    if (length != 3) return -1;
    const int data = data_bits_of(text[0]), parity = parity_bits_of(text[1]), stop = stop_bits_of(text[2]);
    if (data < 0 || parity < 0 || stop < 0) return -1;
    return data | parity | stop;
}

}  // namespace tarvo::contract

#endif
