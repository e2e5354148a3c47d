#include <climits>
#include <cstring>
#include <functional>

#include "unit/test_support.h"

namespace tarvo::test {
namespace {

using namespace tarvo::dev;

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

// The order is the contract: a block the device refuses still leaves the
// port with bounded transfers.
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

TEST_F(LineTest, OutOfRangeArgumentsAreRefusedBeforeAnyDeviceCall) {
    for (int index : {20, -1, INT_MAX, INT_MIN}) EXPECT_EQ(sio_ioctl(1, index, 0x03), ERR_BAD_PARAMETER) << index;
    for (int rate : {921601, -1, INT_MAX, INT_MIN}) EXPECT_EQ(sio_baud(1, rate), ERR_BAD_PARAMETER) << rate;
    EXPECT_TRUE(calls().empty());
}

TEST_F(LineTest, BaudPassesAnyRateUpToTheLimitAndTouchesNothingElse) {
    for (int rate : {921600, 0, 1, 7200, 31250}) {
        expect_only([rate] { return sio_baud(1, rate); },
                    [rate](DCB& d) { d.BaudRate = static_cast<DWORD>(rate); });
    }
    EXPECT_TRUE(device().callsStartingWith("SetCommTimeouts").empty());
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
    device().dcb.fOutX = 1;
    device().dcb.fInX = 1;
    expect_only([] { return sio_flowctrl(1, 0x00); },
                [](DCB& d) {
                    d.fOutxCtsFlow = 0;
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

}  // namespace
}  // namespace tarvo::test
