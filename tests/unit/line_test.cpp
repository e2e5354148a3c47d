#include <climits>
#include <cstring>
#include <functional>

#include "unit/test_support.h"

namespace tarvo::test {
namespace {

using namespace tarvo::dev;
using Calls = std::vector<std::string>;

bool same_bytes(const DCB& a, const DCB& b) { return std::memcmp(&a, &b, sizeof(DCB)) == 0; }

class LineTest : public FakeDeviceTest {
protected:
    void SetUp() override {
        FakeDeviceTest::SetUp();
        // Every byte of the block set, so a stray write to any field shows.
        std::memset(&device().dcb, 0xA5, sizeof(DCB));
        open(1);
    }

    // Runs `operation` and checks that the block written back is the one read
    // with exactly `change` applied.
    void expect_only(const std::function<int()>& operation, const std::function<void(DCB&)>& change) {
        DCB expected = device().dcb;
        change(expected);
        ASSERT_EQ(operation(), 0);
        EXPECT_TRUE(same_bytes(device().dcb, expected));
    }

};

// Speed and format

TEST_F(LineTest, IoctlSetsRateDataBitsStopBitsAndParityOnly) {
    expect_only([] { return sio_ioctl(1, 12, 0x03); },
                [](DCB& d) {
                    d.BaudRate = 9600;
                    d.ByteSize = 8;
                    d.StopBits = ONESTOPBIT;
                    d.Parity = NOPARITY;
                });
    expect_only([] { return sio_ioctl(1, 16, 0x1F); },
                [](DCB& d) {
                    d.BaudRate = 115200;
                    d.ByteSize = 8;
                    d.StopBits = TWOSTOPBITS;
                    d.Parity = EVENPARITY;
                });
    expect_only([] { return sio_ioctl(1, 3, 0x28 | 0x02); },
                [](DCB& d) {
                    d.BaudRate = 134;
                    d.ByteSize = 7;
                    d.StopBits = ONESTOPBIT;
                    d.Parity = MARKPARITY;
                });
    expect_only([] { return sio_ioctl(1, 0, 0x38 | 0x01); },
                [](DCB& d) {
                    d.BaudRate = 50;
                    d.ByteSize = 6;
                    d.StopBits = ONESTOPBIT;
                    d.Parity = SPACEPARITY;
                });
    expect_only([] { return sio_ioctl(1, 19, 0x08); },
                [](DCB& d) {
                    d.BaudRate = 921600;
                    d.ByteSize = 5;
                    d.StopBits = ONESTOPBIT;
                    d.Parity = ODDPARITY;
                });
}

TEST_F(LineTest, ParityBitsThatNameNoParityLeaveTheDevicesParity) {
    for (int mode : {0x10, 0x20, 0x30}) {
        device().dcb.Parity = MARKPARITY;
        ASSERT_EQ(sio_ioctl(1, 12, mode), 0);
        EXPECT_EQ(device().dcb.Parity, MARKPARITY) << mode;
        EXPECT_EQ(device().dcb.ByteSize, 5) << mode;
    }
}

TEST_F(LineTest, IoctlReadsOnlyTheLowSixBitsOfTheMode) {
    ASSERT_EQ(sio_ioctl(1, 12, 0x03), 0);
    const DCB low = device().dcb;
    for (int mode : {0x43, 0x7FFFFFC3, static_cast<int>(0xFFFFFFC3u)}) {
        std::memset(&device().dcb, 0xA5, sizeof(DCB));
        ASSERT_EQ(sio_ioctl(1, 12, mode), 0);
        EXPECT_TRUE(same_bytes(device().dcb, low)) << mode;
    }
}

TEST_F(LineTest, EveryRateOfTheTable) {
    const DWORD rates[] = {50,   75,   110,   134,   150,   300,   600,    1200,   1800,   2400,
                           4800, 7200, 9600,  19200, 38400, 57600, 115200, 230400, 460800, 921600};
    for (int index = 0; index < 20; ++index) {
        ASSERT_EQ(sio_ioctl(1, index, 0x03), 0);
        EXPECT_EQ(device().dcb.BaudRate, rates[index]) << index;
    }
}

TEST_F(LineTest, IoctlInstallsTheTimeoutsBeforeWritingTheBlock) {
    ASSERT_EQ(sio_ioctl(1, 12, 0x03), 0);
    EXPECT_EQ(calls(), (Calls{"GetCommState(h1)", "SetCommTimeouts(h1, 2000, 2000, 2000, 2000, 2000)",
                              "SetCommState(h1)"}));
}

TEST_F(LineTest, FailedWriteOfTheBlockLeavesTheTimeoutsInstalled) {
    device().failing = {"SetCommState"};
    EXPECT_EQ(sio_ioctl(1, 12, 0x03), ERR_SET_STATE_FAILED);
    EXPECT_EQ(device().timeouts.WriteTotalTimeoutConstant, 2000u);
    EXPECT_EQ(device().timeouts.ReadIntervalTimeout, 2000u);
}

TEST_F(LineTest, FailedTimeoutsDoNotStopTheSettings) {
    device().failing = {"SetCommTimeouts"};
    EXPECT_EQ(sio_ioctl(1, 12, 0x03), 0);
    EXPECT_EQ(device().dcb.BaudRate, 9600u);
}

TEST_F(LineTest, OutOfRangeArgumentsAreRefusedBeforeAnyDeviceCall) {
    for (int index : {20, -1, INT_MAX, INT_MIN}) EXPECT_EQ(sio_ioctl(1, index, 0x03), ERR_BAD_PARAMETER) << index;
    for (int rate : {921601, -1, INT_MAX, INT_MIN}) EXPECT_EQ(sio_baud(1, rate), ERR_BAD_PARAMETER) << rate;
    EXPECT_TRUE(calls().empty());
    // The open test comes first.
    EXPECT_EQ(sio_ioctl(2, 20, 0x03), ERR_NOT_OPEN);
    EXPECT_EQ(sio_baud(2, -1), ERR_NOT_OPEN);
}

TEST_F(LineTest, BaudPassesAnyRateUpToTheLimitAndTouchesNothingElse) {
    for (int rate : {921600, 0, 1, 7200, 31250}) {
        expect_only([rate] { return sio_baud(1, rate); },
                    [rate](DCB& d) { d.BaudRate = static_cast<DWORD>(rate); });
    }
    EXPECT_TRUE(device().callsStartingWith("SetCommTimeouts").empty());
}

TEST_F(LineTest, TheDeviceDecidesWhetherARateIsTaken) {
    device().failing = {"SetCommState"};
    EXPECT_EQ(sio_baud(1, 0), ERR_SET_STATE_FAILED);
}

// Flow control and lines

TEST_F(LineTest, FlowctrlWritesCtsRtsAndSwitchesXonXoffOff) {
    expect_only([] { return sio_flowctrl(1, 0x03); },
                [](DCB& d) {
                    d.fOutxCtsFlow = 1;
                    d.fRtsControl = RTS_CONTROL_ENABLE;
                    d.fOutX = 0;
                    d.fInX = 0;
                });
    expect_only([] { return sio_flowctrl(1, 0x01); },
                [](DCB& d) {
                    d.fOutxCtsFlow = 1;
                    d.fRtsControl = RTS_CONTROL_DISABLE;
                    d.fOutX = 0;
                    d.fInX = 0;
                });
}

TEST_F(LineTest, FlowctrlReadsOnlyTheLowTwoBits) {
    ASSERT_EQ(sio_flowctrl(1, 0), 0);
    const DCB zero = device().dcb;
    std::memset(&device().dcb, 0xA5, sizeof(DCB));
    ASSERT_EQ(sio_flowctrl(1, 0x0C), 0);
    EXPECT_TRUE(same_bytes(device().dcb, zero));
    EXPECT_EQ(zero.fOutxCtsFlow, 0u);
    EXPECT_EQ(zero.fRtsControl, RTS_CONTROL_DISABLE);
}

TEST_F(LineTest, RtsAndDtrTakeAnyNonZeroAsOn) {
    expect_only([] { return sio_RTS(1, 5); }, [](DCB& d) { d.fRtsControl = RTS_CONTROL_ENABLE; });
    expect_only([] { return sio_RTS(1, 0); }, [](DCB& d) { d.fRtsControl = RTS_CONTROL_DISABLE; });
    expect_only([] { return sio_DTR(1, -1); }, [](DCB& d) { d.fDtrControl = DTR_CONTROL_ENABLE; });
    expect_only([] { return sio_DTR(1, 0); }, [](DCB& d) { d.fDtrControl = DTR_CONTROL_DISABLE; });
}

TEST_F(LineTest, NullStrippingComesWithRtsAndStaysAfterRtsGoesOff) {
    expect_only([] { return sio_enableat(1); },
                [](DCB& d) {
                    d.fNull = 1;
                    d.fRtsControl = RTS_CONTROL_ENABLE;
                });
    ASSERT_EQ(sio_RTS(1, 0), 0);
    EXPECT_EQ(device().dcb.fNull, 1u);
    EXPECT_EQ(device().dcb.fRtsControl, RTS_CONTROL_DISABLE);
    expect_only([] { return sio_disableat(1); },
                [](DCB& d) {
                    d.fNull = 0;
                    d.fRtsControl = RTS_CONTROL_DISABLE;
                });
}

TEST_F(LineTest, EverySettingReadsAndWritesTheBlockOnce) {
    const std::vector<std::function<int()>> operations = {
        [] { return sio_baud(1, 9600); },   [] { return sio_flowctrl(1, 1); }, [] { return sio_RTS(1, 1); },
        [] { return sio_DTR(1, 1); },       [] { return sio_enableat(1); },    [] { return sio_disableat(1); }};
    for (const auto& operation : operations) {
        calls().clear();
        ASSERT_EQ(operation(), 0);
        EXPECT_EQ(calls(), (Calls{"GetCommState(h1)", "SetCommState(h1)"}));
    }
}

TEST_F(LineTest, FailedReadOfTheBlockChangesNothing) {
    device().failing = {"GetCommState"};
    const DCB before = device().dcb;
    EXPECT_EQ(sio_baud(1, 9600), ERR_GET_STATE_FAILED);
    EXPECT_EQ(sio_ioctl(1, 12, 3), ERR_GET_STATE_FAILED);
    EXPECT_EQ(sio_flowctrl(1, 3), ERR_GET_STATE_FAILED);
    EXPECT_EQ(sio_RTS(1, 1), ERR_GET_STATE_FAILED);
    EXPECT_EQ(sio_DTR(1, 1), ERR_GET_STATE_FAILED);
    EXPECT_EQ(sio_enableat(1), ERR_GET_STATE_FAILED);
    EXPECT_EQ(sio_disableat(1), ERR_GET_STATE_FAILED);
    EXPECT_TRUE(same_bytes(device().dcb, before));
    for (const std::string& call : calls()) EXPECT_EQ(call, "GetCommState(h1)");
}

TEST_F(LineTest, FailedWriteOfTheBlockIsReported) {
    device().failing = {"SetCommState"};
    EXPECT_EQ(sio_baud(1, 9600), ERR_SET_STATE_FAILED);
    EXPECT_EQ(sio_flowctrl(1, 3), ERR_SET_STATE_FAILED);
    EXPECT_EQ(sio_RTS(1, 1), ERR_SET_STATE_FAILED);
    EXPECT_EQ(sio_DTR(1, 1), ERR_SET_STATE_FAILED);
    EXPECT_EQ(sio_enableat(1), ERR_SET_STATE_FAILED);
    EXPECT_EQ(sio_disableat(1), ERR_SET_STATE_FAILED);
}

}  // namespace
}  // namespace tarvo::test
