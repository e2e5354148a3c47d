// Line settings through libtarvo.so, read back from the device itself: what
// only a terminal shows (the classic rate codes, rates off the table, a line
// left at rate 0). What every port shows is checked on every kind of port by
// the conformance scenarios; termios_map_test covers the translation.
#include <sys/ioctl.h>

#include <cstdio>
#include <string>

#include "pty/port_fixture.h"

namespace tarvo::pty {
namespace {

using LinePty = PtyPort;

constexpr unsigned RATES[] = {50,   75,   110,   134,   150,   300,   600,    1200,   1800,   2400,
                              4800, 7200, 9600,  19200, 38400, 57600, 115200, 230400, 460800, 921600};

// Other programs know a rate by its Bxxx constant only: the classic
// settings (cfgetospeed, stty, Wine) must read it for every rate that has one.
TEST_F(LinePty, TableRatesReadAsTheirConstantsToOtherPrograms) {
    constexpr tcflag_t CODES[] = {B50,   B75,    B110,   B134,   B150,   B300,    B600,    B1200,   B1800,  B2400,
                                  B4800, BOTHER, B9600,  B19200, B38400, B57600, B115200, B230400, B460800, B921600};
    for (int index = 0; index < 20; ++index) {
        ASSERT_EQ(sio_ioctl(PORT, index, 0x03), 0) << index;
        termios classic{};
        ASSERT_EQ(::ioctl(pty.master(), TCGETS, &classic), 0);
        EXPECT_EQ(classic.c_cflag & CBAUD, CODES[index]) << RATES[index];
        EXPECT_EQ(classic.c_cflag & CIBAUD, 0u) << RATES[index];
    }

    ASSERT_EQ(sio_baud(PORT, 9600), 0);
    const std::string command = std::string("stty -F ") + pty.slave_name() + " speed";
    FILE* stty = ::popen(command.c_str(), "r");
    ASSERT_NE(stty, nullptr);
    char printed[32] = {};
    const bool read = std::fgets(printed, sizeof printed, stty) != nullptr;
    EXPECT_EQ(::pclose(stty), 0);
    ASSERT_TRUE(read);
    std::printf("stty -F %s speed after sio_baud(9600): %s", pty.slave_name(), printed);
    EXPECT_EQ(std::string(printed), "9600\n");
}

// A line left at rate 0 keeps it through changes that do not touch the rate;
// asking a live line for rate 0 is still refused (ArbitraryRatesAreExact...).
TEST(LineAtRateZero, ChangesThatKeepTheRateSucceed) {
    Pty pty;
    termios2 tio = pty.settings();
    tio.c_cflag = (tio.c_cflag & ~(CBAUD | CIBAUD)) | B0;
    pty.set(tio);
    pty.map_as(COM);
    sio_setComPortNo(PORT, COM);
    ASSERT_EQ(sio_open(PORT), 0);
    EXPECT_EQ(sio_RTS(PORT, 0), 0);
    EXPECT_EQ(sio_DTR(PORT, 1), 0);
    EXPECT_EQ(sio_flowctrl(PORT, 3), 0);
    EXPECT_NE(pty.settings().c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(sio_enableat(PORT), 0);
    EXPECT_EQ(sio_disableat(PORT), 0);
    EXPECT_EQ(pty.settings().c_cflag & CBAUD, static_cast<tcflag_t>(B0));
    EXPECT_EQ(sio_baud(PORT, 9600), 0);
    EXPECT_EQ(sio_baud(PORT, 0), ERR_SET_STATE_FAILED);
    sio_close(PORT);
    sio_setComPortNo(PORT, -1);
}

TEST_F(LinePty, ArbitraryRatesAreExactAndZeroIsRefused) {
    for (int rate : {7200, 921600, 12345, 1}) {
        ASSERT_EQ(sio_baud(PORT, rate), 0) << rate;
        EXPECT_EQ(pty.settings().c_ospeed, static_cast<unsigned>(rate));
    }
    ASSERT_EQ(sio_baud(PORT, 7200), 0);
    EXPECT_EQ(sio_baud(PORT, 0), ERR_SET_STATE_FAILED);
    EXPECT_EQ(pty.settings().c_ospeed, 7200u);
}

}  // namespace
}  // namespace tarvo::pty
