// The exchange of the endurance run: an 8-byte request carrying the cycle
// number, a 16-byte answer made from it. Shared by the program (both
// platforms) and by the peers that answer it.
#ifndef TARVO_TESTS_STRESS_ENDURANCE_EXCHANGE_H
#define TARVO_TESTS_STRESS_ENDURANCE_EXCHANGE_H

#include <cstddef>
#include <cstdint>

namespace tarvo::stress {

constexpr std::size_t REQUEST_SIZE = 8;
constexpr std::size_t ANSWER_SIZE = 16;

inline void make_request(std::uint32_t cycle, unsigned char* request) {
    request[0] = 'Q';
    for (int i = 0; i < 4; ++i) request[1 + i] = static_cast<unsigned char>(cycle >> (8 * i));
    request[5] = static_cast<unsigned char>(cycle * 7u);
    request[6] = 0x00;
    request[7] = 0xFF;
}

// The answer depends on every request byte, so a changed byte shows.
inline void make_answer(const unsigned char* request, unsigned char* answer) {
    for (std::size_t i = 0; i < ANSWER_SIZE; ++i) {
        const unsigned char byte = request[i % REQUEST_SIZE];
        answer[i] = static_cast<unsigned char>(i < REQUEST_SIZE ? byte ^ 0xA5 : byte + i);
    }
}

}  // namespace tarvo::stress

#endif
