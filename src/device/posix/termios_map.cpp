#include "device/posix/termios_map.h"

namespace tarvo::posix {

using namespace tarvo::dev;

namespace {

struct RateCode {
    tcflag_t code;
    DWORD rate;
};

// B134 runs at 134.5 bit/s on real hardware; the kernel itself counts it as 134.
constexpr RateCode RATE_CODES[] = {
    {B0, 0},           {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},       {B200, 200},         {B300, 300},         {B600, 600},         {B1200, 1200},
    {B1800, 1800},     {B2400, 2400},       {B4800, 4800},       {B9600, 9600},       {B19200, 19200},
    {B38400, 38400},   {B57600, 57600},     {B115200, 115200},   {B230400, 230400},   {B460800, 460800},
    {B500000, 500000}, {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000}, {B3500000, 3500000},
    {B4000000, 4000000},
};

constexpr tcflag_t SIZE_CODES[] = {CS5, CS6, CS7, CS8};

bool is_plain_line_control(DWORD control) { return control == RTS_CONTROL_DISABLE || control == RTS_CONTROL_ENABLE; }

// The Bxxx constant for `rate`, or BOTHER when there is none. Other programs
// (stty, anything reading cfgetospeed) know a rate only by its constant.
tcflag_t rate_code(DWORD rate) {
    for (const RateCode& entry : RATE_CODES) {
        if (entry.rate == rate) return entry.code;
    }
    return BOTHER;
}

}  // namespace

DWORD output_rate(const termios2& tio) {
    const tcflag_t code = tio.c_cflag & CBAUD;
    if (code != BOTHER) {
        for (const RateCode& entry : RATE_CODES) {
            if (entry.code == code) return entry.rate;
        }
    }
    return tio.c_ospeed;
}

bool valid_control_block(const DCB& dcb, DWORD currentRate) {
    return (dcb.BaudRate != 0 || currentRate == 0) && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 && dcb.Parity <= SPACEPARITY &&
           dcb.StopBits <= TWOSTOPBITS;
}

bool apply_control_block(const DCB& dcb, termios2& tio) {
    if (!valid_control_block(dcb, output_rate(tio))) return false;

    tcflag_t cflag = tio.c_cflag & ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
    cflag |= SIZE_CODES[dcb.ByteSize - 5];
    switch (dcb.Parity) {
        case ODDPARITY: cflag |= PARENB | PARODD; break;
        case EVENPARITY: cflag |= PARENB; break;
        case MARKPARITY: cflag |= PARENB | CMSPAR | PARODD; break;
        case SPACEPARITY: cflag |= PARENB | CMSPAR; break;
        default: break;
    }
    // Two stop bits with five data bits are one and a half on the wire.
    if (dcb.StopBits != ONESTOPBIT) cflag |= CSTOPB;
    // Linux has one switch for both directions of RTS/CTS handshake.
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) cflag |= CRTSCTS;
    // Input runs at the output rate: an input code of B0 says so to everyone.
    cflag |= rate_code(dcb.BaudRate);
    tio.c_cflag = cflag;
    tio.c_ispeed = dcb.BaudRate;
    tio.c_ospeed = dcb.BaudRate;

    tcflag_t iflag = tio.c_iflag & ~(INPCK | IXON | IXOFF);
    if (dcb.fParity) iflag |= INPCK;
    if (dcb.fOutX) iflag |= IXON;
    if (dcb.fInX) iflag |= IXOFF;
    tio.c_iflag = iflag;

    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    return true;
}

bool line_taken(const termios2& asked, const termios2& got, bool sizeAndParityFixed) {
    tcflag_t compared = CSTOPB | CRTSCTS;
    if (!sizeAndParityFixed) {
        compared |= CSIZE | PARENB;
        if (asked.c_cflag & PARENB) compared |= PARODD | CMSPAR;
    }
    if ((asked.c_cflag & compared) != (got.c_cflag & compared)) return false;
    // A UART makes its rate by dividing a clock: a driver that reports the
    // rate it made may be off by a little, which the far end tolerates.
    const std::uint64_t wanted = output_rate(asked);
    const std::uint64_t made = output_rate(got);
    const std::uint64_t off = wanted > made ? wanted - made : made - wanted;
    return off * 100 <= wanted * 3;
}

DCB read_control_block(const termios2& tio, const DCB& shadow, const ModemLines& lines) {
    DCB dcb = shadow;
    dcb.DCBlength = sizeof(DCB);
    dcb.fBinary = 1;
    dcb.BaudRate = output_rate(tio);

    const tcflag_t cflag = tio.c_cflag;
    switch (cflag & CSIZE) {
        case CS5: dcb.ByteSize = 5; break;
        case CS6: dcb.ByteSize = 6; break;
        case CS7: dcb.ByteSize = 7; break;
        default: dcb.ByteSize = 8; break;
    }
    if (!(cflag & PARENB)) {
        dcb.Parity = NOPARITY;
    } else if (cflag & CMSPAR) {
        dcb.Parity = (cflag & PARODD) ? MARKPARITY : SPACEPARITY;
    } else {
        dcb.Parity = (cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    if (!(cflag & CSTOPB)) {
        dcb.StopBits = ONESTOPBIT;
    } else {
        dcb.StopBits = shadow.StopBits == ONE5STOPBITS ? ONE5STOPBITS : TWOSTOPBITS;
    }

    // CRTSCTS cannot tell CTS watching from RTS handshake: the last block
    // applied can, as long as it still agrees with the terminal.
    if (cflag & CRTSCTS) {
        if (!shadow.fOutxCtsFlow && shadow.fRtsControl != RTS_CONTROL_HANDSHAKE) {
            dcb.fOutxCtsFlow = 1;
            dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        }
    } else {
        dcb.fOutxCtsFlow = 0;
        if (shadow.fRtsControl == RTS_CONTROL_HANDSHAKE) dcb.fRtsControl = RTS_CONTROL_ENABLE;
    }
    if (lines.known && is_plain_line_control(dcb.fRtsControl)) {
        dcb.fRtsControl = lines.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    }
    if (lines.known && is_plain_line_control(dcb.fDtrControl)) {
        dcb.fDtrControl = lines.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    }

    dcb.fParity = (tio.c_iflag & INPCK) ? 1 : 0;
    dcb.fOutX = (tio.c_iflag & IXON) ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) ? 1 : 0;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    return dcb;
}

DCB initial_control_block(const termios2& tio) {
    DCB shadow{};
    shadow.fRtsControl = RTS_CONTROL_ENABLE;
    shadow.fDtrControl = DTR_CONTROL_ENABLE;
    shadow.fTXContinueOnXoff = 1;
    shadow.StopBits = ONESTOPBIT;
    return read_control_block(tio, shadow, ModemLines{false, false, false});
}

void make_raw(termios2& tio) {
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY |
                     IMAXBEL | IUTF8);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ISIG | ICANON | XCASE | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE | FLUSHO |
                     PENDIN | TOSTOP | IEXTEN);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
}

std::uint64_t line_time_us(std::uint64_t bytes, const termios2& tio) {
    static constexpr std::uint64_t DATA_BITS[] = {5, 6, 7, 8};
    const tcflag_t cflag = tio.c_cflag;
    const std::uint64_t frame = 1 + DATA_BITS[(cflag & CSIZE) >> 4] + ((cflag & PARENB) ? 1 : 0) +
                                ((cflag & CSTOPB) ? 2 : 1);
    std::uint64_t rate = output_rate(tio);
    if (rate == 0) rate = 9600;  // a hung-up line drains at no known rate; any guess will do
    return bytes * frame * 1000000u / rate;
}

}  // namespace tarvo::posix
