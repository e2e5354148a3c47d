// The control block <-> termios2 translation, without a device: covers what
// a pty cannot show (data bits, parity) and the fields only the shadow holds.
#include <gtest/gtest.h>

#include <cstring>

#include "device/posix/termios_map.h"

namespace tarvo::posix {
namespace {

using namespace tarvo::dev;

constexpr ModemLines NO_LINES{false, false, false};

termios2 base_terminal() {
    termios2 tio{};
    tio.c_cflag = B9600 | CS8 | CREAD | CLOCAL | HUPCL;
    tio.c_iflag = IGNPAR;
    tio.c_cc[VSTART] = 0x11;
    tio.c_cc[VSTOP] = 0x13;
    tio.c_ospeed = tio.c_ispeed = 9600;
    return tio;
}

DCB block_9600_8n1() { return initial_control_block(base_terminal()); }

bool same(const DCB& a, const DCB& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

TEST(TermiosMap, CharacterFormatsTranslateBothWays) {
    const tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    const tcflag_t parities[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD, PARENB | CMSPAR};
    for (BYTE size = 5; size <= 8; ++size) {
        for (BYTE parity = NOPARITY; parity <= SPACEPARITY; ++parity) {
            for (BYTE stop : {ONESTOPBIT, TWOSTOPBITS}) {
                DCB dcb = block_9600_8n1();
                dcb.ByteSize = size;
                dcb.Parity = parity;
                dcb.StopBits = stop;
                termios2 tio = base_terminal();
                ASSERT_TRUE(apply_control_block(dcb, tio));
                EXPECT_EQ(tio.c_cflag & CSIZE, sizes[size - 5]);
                EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), parities[parity]);
                EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, stop == TWOSTOPBITS);
                EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL | HUPCL), CREAD | CLOCAL | HUPCL);

                const DCB back = read_control_block(tio, dcb, NO_LINES);
                EXPECT_EQ(back.ByteSize, size);
                EXPECT_EQ(back.Parity, parity);
                EXPECT_EQ(back.StopBits, stop);
            }
        }
    }
}

TEST(TermiosMap, OneAndAHalfStopBitsLiveInTheShadow) {
    DCB dcb = block_9600_8n1();
    dcb.ByteSize = 5;
    dcb.StopBits = ONE5STOPBITS;
    termios2 tio = base_terminal();
    ASSERT_TRUE(apply_control_block(dcb, tio));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(read_control_block(tio, dcb, NO_LINES).StopBits, ONE5STOPBITS);
}

TEST(TermiosMap, RatesWithAConstantUseItAndOthersAreExact) {
    // What stty and cfgetospeed read: the constant, with the input rate following the output rate.
    const std::pair<DWORD, tcflag_t> rates[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
        {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},   {2400, B2400},
        {4800, B4800},     {7200, BOTHER},    {9600, B9600},     {19200, B19200}, {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
        {1000000, B1000000}, {1000, BOTHER}, {1, BOTHER},       {12345, BOTHER}};
    for (const auto& [rate, code] : rates) {
        DCB dcb = block_9600_8n1();
        dcb.BaudRate = rate;
        termios2 tio = base_terminal();
        ASSERT_TRUE(apply_control_block(dcb, tio)) << rate;
        EXPECT_EQ(tio.c_cflag & CBAUD, code) << rate;
        EXPECT_EQ(tio.c_cflag & CIBAUD, 0u) << rate;
        EXPECT_EQ(tio.c_ospeed, rate);
        EXPECT_EQ(tio.c_ispeed, rate);
        EXPECT_EQ(read_control_block(tio, dcb, NO_LINES).BaudRate, rate);
    }
}

TEST(TermiosMap, ClassicRateCodesReadAsTheirRates) {
    const std::pair<tcflag_t, DWORD> codes[] = {{B50, 50}, {B134, 134}, {B9600, 9600}, {B38400, 38400},
                                                {B57600, 57600}, {B921600, 921600}, {B4000000, 4000000}};
    for (const auto& [code, rate] : codes) {
        termios2 tio = base_terminal();
        tio.c_cflag = (tio.c_cflag & ~CBAUD) | code;
        tio.c_ospeed = 0;  // the code alone decides
        EXPECT_EQ(output_rate(tio), rate);
    }
}

TEST(TermiosMap, InvalidBlocksAreRefusedAndChangeNothing) {
    const auto refuse = [](void (*spoil)(DCB&)) {
        DCB dcb = block_9600_8n1();
        spoil(dcb);
        termios2 tio = base_terminal();
        const termios2 before = tio;
        EXPECT_FALSE(valid_control_block(dcb, output_rate(tio)));
        EXPECT_FALSE(apply_control_block(dcb, tio));
        EXPECT_EQ(std::memcmp(&tio, &before, sizeof tio), 0);
    };
    refuse([](DCB& d) { d.BaudRate = 0; });
    refuse([](DCB& d) { d.ByteSize = 4; });
    refuse([](DCB& d) { d.ByteSize = 9; });
    refuse([](DCB& d) { d.Parity = 5; });
    refuse([](DCB& d) { d.StopBits = 3; });
}

TEST(TermiosMap, BlockWrittenBackUnchangedReadsTheSame) {
    // Hardware handshake three ways, each with every field termios has no room for.
    const std::pair<DWORD, DWORD> flows[] = {{1, RTS_CONTROL_DISABLE},
                                             {0, RTS_CONTROL_HANDSHAKE},
                                             {1, RTS_CONTROL_TOGGLE},
                                             {0, RTS_CONTROL_ENABLE}};
    for (const auto& [cts, rts] : flows) {
        DCB dcb = block_9600_8n1();
        dcb.BaudRate = 7200;
        dcb.ByteSize = 7;
        dcb.Parity = MARKPARITY;
        dcb.fParity = 1;
        dcb.fOutX = 1;
        dcb.fInX = 1;
        dcb.fOutxCtsFlow = cts;
        dcb.fRtsControl = rts;
        dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
        dcb.fOutxDsrFlow = 1;
        dcb.fDsrSensitivity = 1;
        dcb.fTXContinueOnXoff = 0;
        dcb.fErrorChar = 1;
        dcb.fAbortOnError = 1;
        dcb.XonLim = 2048;
        dcb.XoffLim = 512;
        dcb.XonChar = 0x01;
        dcb.XoffChar = 0x02;
        dcb.ErrorChar = '?';
        dcb.EofChar = 0x1A;
        dcb.EvtChar = '\n';

        termios2 tio = base_terminal();
        ASSERT_TRUE(apply_control_block(dcb, tio));
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, cts == 1 || rts == RTS_CONTROL_HANDSHAKE);
        EXPECT_EQ(tio.c_iflag & (INPCK | IXON | IXOFF), static_cast<tcflag_t>(INPCK | IXON | IXOFF));
        EXPECT_EQ(tio.c_cc[VSTART], 0x01);
        EXPECT_EQ(tio.c_cc[VSTOP], 0x02);
        EXPECT_TRUE(same(read_control_block(tio, dcb, NO_LINES), dcb)) << "cts " << cts << " rts " << rts;
    }
}

TEST(TermiosMap, ModemLinesOverrideSteadySettingsOnly) {
    DCB dcb = block_9600_8n1();
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    const termios2 tio = base_terminal();

    const DCB low = read_control_block(tio, dcb, ModemLines{true, false, false});
    EXPECT_EQ(low.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_EQ(low.fDtrControl, DTR_CONTROL_DISABLE);

    dcb.fRtsControl = RTS_CONTROL_TOGGLE;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    const DCB kept = read_control_block(tio, dcb, ModemLines{true, true, false});
    EXPECT_EQ(kept.fRtsControl, RTS_CONTROL_TOGGLE);
    EXPECT_EQ(kept.fDtrControl, DTR_CONTROL_HANDSHAKE);
}

TEST(TermiosMap, HandshakeFoundAtOpenReadsAsCtsAndRtsHandshake) {
    termios2 tio = base_terminal();
    tio.c_cflag |= CRTSCTS;
    const DCB dcb = initial_control_block(tio);
    EXPECT_EQ(dcb.fOutxCtsFlow, 1u);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.XonChar, 0x11);
    EXPECT_EQ(dcb.XoffChar, 0x13);

    // Switched off behind the layer's back: the terminal wins.
    tio.c_cflag &= ~CRTSCTS;
    const DCB now = read_control_block(tio, dcb, NO_LINES);
    EXPECT_EQ(now.fOutxCtsFlow, 0u);
    EXPECT_EQ(now.fRtsControl, RTS_CONTROL_ENABLE);
}

TEST(TermiosMap, RawModeKeepsRateAndFormat) {
    termios2 tio = base_terminal();
    tio.c_cflag = (tio.c_cflag & ~CLOCAL) | CS7 | PARENB | CSTOPB | CRTSCTS | CMSPAR;
    tio.c_iflag |= ICRNL | IXON | IXOFF | IXANY | ISTRIP | INPCK;
    tio.c_oflag |= OPOST | ONLCR;
    tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    tio.c_cc[VMIN] = 1;
    const tcflag_t format = tio.c_cflag & (CBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);

    make_raw(tio);
    EXPECT_EQ(tio.c_cflag & (CBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), format);
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | IXOFF | IXANY | ISTRIP), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST(TermiosMap, LineTimeCountsTheWholeFrame) {
    termios2 tio = base_terminal();  // 9600 8N1: 10 bits a byte
    EXPECT_EQ(line_time_us(960, tio), 1000000u);
    tio.c_cflag |= PARENB | CSTOPB;  // 8E2: 12 bits
    EXPECT_EQ(line_time_us(800, tio), 1000000u);
    EXPECT_EQ(line_time_us(0, tio), 0u);
}

// What a driver kept instead of the settings asked for: a rate it could only
// come close to passes, a clamped one or another format does not; a pty's
// forced 8N1 is no refusal.
TEST(TermiosMap, LineTakenComparesWhatTheDriverKept) {
    termios2 asked = base_terminal();
    asked.c_cflag = (asked.c_cflag & ~(CBAUD | CSIZE)) | BOTHER | CS7 | PARENB | PARODD | CSTOPB;
    asked.c_ospeed = asked.c_ispeed = 12345;
    termios2 got = asked;
    EXPECT_TRUE(line_taken(asked, got, false));
    got.c_ospeed = 12500;  // 1.3 % off: a divisor's rounding
    EXPECT_TRUE(line_taken(asked, got, false));
    got.c_ospeed = 13000;  // 5 % off
    EXPECT_FALSE(line_taken(asked, got, false));

    got = asked;
    got.c_cflag = (got.c_cflag & ~(CSIZE | PARENB)) | CS8;
    EXPECT_FALSE(line_taken(asked, got, false));
    EXPECT_TRUE(line_taken(asked, got, true));
    got.c_cflag &= ~CSTOPB;
    EXPECT_FALSE(line_taken(asked, got, true));

    asked.c_cflag &= ~PARENB;  // parity off: its kind is nobody's business
    got = asked;
    got.c_cflag ^= PARODD | CMSPAR;
    EXPECT_TRUE(line_taken(asked, got, false));
}

}  // namespace
}  // namespace tarvo::posix
