// Speed, character format and timeouts.
#include "contract/tarvo_contract.h"
#include "line/control_block.h"

using namespace tarvo;
using namespace tarvo::dev;

namespace {

#define TARVO_RATE_ENTRY(rate) rate,
constexpr DWORD RATE_TABLE[] = {TARVO_CONTRACT_RATES(TARVO_RATE_ENTRY)};
#undef TARVO_RATE_ENTRY
constexpr int RATE_COUNT = sizeof RATE_TABLE / sizeof RATE_TABLE[0];
constexpr int MAX_RATE = static_cast<int>(RATE_TABLE[RATE_COUNT - 1]);

constexpr DWORD PORT_TIMEOUT_MS = 2000;

// The parity field of the line-mode byte. Its values that name no parity
// leave the device's setting alone.
bool parity_from_mode(int mode, BYTE& parity) {
    switch (mode & TARVO_CONTRACT_PARITY_MASK) {
#define TARVO_PARITY_CASE(letter, bits, dcb) \
    case (bits): parity = (dcb); return true;
        TARVO_CONTRACT_PARITIES(TARVO_PARITY_CASE)
#undef TARVO_PARITY_CASE
        default: return false;
    }
}

// The data-bits field holds ByteSize - 5.
BYTE byte_size_from_mode(int mode) { return static_cast<BYTE>((mode & TARVO_CONTRACT_DATA_BITS_MASK) + 5); }

BYTE stop_bits_from_mode(int mode) { return (mode & TARVO_CONTRACT_STOP_BITS_MASK) ? TWOSTOPBITS : ONESTOPBIT; }

}  // namespace

TARVO_API(int) sio_baud(int port, int rate) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    if (rate < 0 || rate > MAX_RATE) return ERR_BAD_PARAMETER;
    return change_control_block(*slot, [rate](DCB& dcb, HANDLE) { dcb.BaudRate = static_cast<DWORD>(rate); });
}

TARVO_API(int) sio_ioctl(int port, int baudIndex, int mode) {
    PortSlot* slot = nullptr;
    if (int rc = find_open_port(port, slot)) return rc;
    if (baudIndex < 0 || baudIndex >= RATE_COUNT) return ERR_BAD_PARAMETER;
    return change_control_block(*slot, [slot, baudIndex, mode](DCB& dcb, HANDLE handle) {
        dcb.BaudRate = RATE_TABLE[baudIndex];
        dcb.ByteSize = byte_size_from_mode(mode);
        dcb.StopBits = stop_bits_from_mode(mode);
        parity_from_mode(mode, dcb.Parity);
        // Installed before the block is written, and not checked: a failed
        // SetCommState leaves these in force.
        COMMTIMEOUTS timeouts{PORT_TIMEOUT_MS, PORT_TIMEOUT_MS, PORT_TIMEOUT_MS, PORT_TIMEOUT_MS, PORT_TIMEOUT_MS};
        if (SetCommTimeouts(handle, &timeouts)) slot->timeouts = timeouts;
    });
}
