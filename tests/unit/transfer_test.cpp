#include <algorithm>
#include <climits>
#include <cstring>

#include "unit/test_support.h"

namespace tarvo::test {
namespace {

class TransferTest : public FakeDeviceTest {
protected:
    void SetUp() override {
        FakeDeviceTest::SetUp();
        open(1);
    }
    void receive(std::initializer_list<std::uint8_t> bytes) { device().input.insert(device().input.end(), bytes); }
    void receive_count(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) device().input.push_back(static_cast<std::uint8_t>('a' + i % 26));
    }
};

// Receiving

TEST_F(TransferTest, IqueueNeverReportsACountAsAnErrorCode) {
    for (std::int64_t reported : {0x7FFFFFFFll, 0x80000000ll, 0xFFFFFFFFll}) {
        device().queueOverride = reported;
        EXPECT_EQ(sio_iqueue(1), INT_MAX) << reported;
    }
}

// A read asks the device for no more than waits: a longer one would sit out
// the read timeout on a port that blocks.
TEST_F(TransferTest, ReadAsksTheDeviceForTheSmallerOfLengthAndWaiting) {
    receive_count(10);
    char buffer[100];
    EXPECT_EQ(sio_read(1, buffer, 4), 4);
    EXPECT_EQ(sio_read(1, buffer, 100), 6);
    EXPECT_EQ(device().callsStartingWith("ReadFile"), (Calls{"ReadFile(h1, 4, e1)", "ReadFile(h1, 6, e1)"}));
}

// Nothing waiting, a status read that failed, or no room: no read is made.
TEST_F(TransferTest, NoReadCallWithoutBytesWaitingOrRoomForThem) {
    char buffer[4];
    EXPECT_EQ(sio_getch(1), ERR_NO_DATA);
    EXPECT_EQ(sio_read(1, buffer, 4), 0);

    receive_count(10);
    EXPECT_EQ(sio_read(1, buffer, 0), 0);
    EXPECT_EQ(sio_read(1, buffer, -1), 0);
    EXPECT_EQ(sio_read(1, buffer, INT_MIN), 0);
    EXPECT_EQ(sio_read(1, nullptr, 4), 0);
    EXPECT_EQ(sio_iqueue(1), 10);

    device().failing = {"ClearCommError"};
    EXPECT_EQ(sio_getch(1), ERR_NO_DATA);
    EXPECT_EQ(sio_read(1, buffer, 4), 0);
    EXPECT_TRUE(device().callsStartingWith("ReadFile").empty());
}

// Counted as waiting, then dropped by the read: still no byte.
TEST_F(TransferTest, GetchOfAStrippedNullIsNoData) {
    device().input = {0x00};
    device().dcb.fNull = 1;
    EXPECT_EQ(sio_getch(1), ERR_NO_DATA);
}

TEST_F(TransferTest, PendingReadIsWaitedForBeforeReturning) {
    // The fake moves the bytes only when the wait is made, so a read that
    // returned early would show an untouched buffer.
    device().readsPend = true;
    receive({'O', 'K', '\r', '\n'});
    char buffer[8] = {};
    EXPECT_EQ(sio_read(1, buffer, 8), 4);
    EXPECT_EQ(std::string(buffer, 4), "OK\r\n");
    receive({0xFF});
    EXPECT_EQ(sio_getch(1), 255);
    EXPECT_EQ(device().callsStartingWith("GetOverlappedResult"),
              (Calls{"GetOverlappedResult(h1, e1, wait)", "GetOverlappedResult(h1, e1, wait)"}));
}

// Sending

// The order is the contract: both queues purged, then the bytes sent.
TEST_F(TransferTest, WritePurgesBothQueuesThenSends) {
    EXPECT_EQ(sio_write(1, "*IDN?\n", 6), 6);
    EXPECT_EQ(calls(), (Calls{"ClearCommError(h1)", "PurgeComm(h1, 0x0f)", "WriteFile(h1, 6, e2)"}));
}

TEST_F(TransferTest, NegativeCountOrNullBufferSendsNothingButStillPurges) {
    EXPECT_EQ(sio_write(1, "abc", -1), 0);
    EXPECT_EQ(sio_write(1, "abc", INT_MIN), 0);
    EXPECT_EQ(sio_write(1, nullptr, 3), 0);
    EXPECT_TRUE(device().callsStartingWith("WriteFile").empty());
    EXPECT_EQ(device().callsStartingWith("PurgeComm"), Calls(3, "PurgeComm(h1, 0x0f)"));
}

TEST_F(TransferTest, WriteReportsWhatTheDeviceSentWhateverTheStatusAndPurgeSay) {
    device().failing = {"ClearCommError", "PurgeComm"};
    device().writeLimit = 2;  // cut short by its timeout
    EXPECT_EQ(sio_write(1, "abcdef", 6), 2);
}

TEST_F(TransferTest, ReadAndWriteRecordsNeverShareAnEvent) {
    device().readsPend = true;
    device().writesPend = true;
    receive_count(2);
    char buffer[2];
    sio_read(1, buffer, 2);
    sio_write(1, "x", 1);
    EXPECT_EQ(device().callsStartingWith("GetOverlappedResult"),
              (Calls{"GetOverlappedResult(h1, e1, wait)", "GetOverlappedResult(h1, e2, wait)"}));
}

// Purging

// The purges sio_flush(1, selector) makes, in any order.
Calls purges_of_flush(int selector) {
    fake::device().calls.clear();
    EXPECT_EQ(sio_flush(1, selector), 0) << selector;
    Calls purges = fake::device().callsStartingWith("PurgeComm");
    std::sort(purges.begin(), purges.end());
    return purges;
}

// Only the named queue is cleared and no transfer aborted, which no far end can show.
TEST_F(TransferTest, FlushSelectorsPurgeTheNamedQueues) {
    EXPECT_EQ(purges_of_flush(0), Calls{"PurgeComm(h1, 0x08)"});
    EXPECT_EQ(purges_of_flush(1), Calls{"PurgeComm(h1, 0x04)"});
    EXPECT_EQ(purges_of_flush(2), (Calls{"PurgeComm(h1, 0x04)", "PurgeComm(h1, 0x08)"}));
}

// A failed status read is reported ahead of an unknown selector.
TEST_F(TransferTest, UnknownSelectorsAndFailedStatusReadsPurgeNothing) {
    for (int selector : {INT_MAX, INT_MIN}) EXPECT_EQ(sio_flush(1, selector), ERR_PURGE_FAILED) << selector;
    device().failing = {"ClearCommError"};
    EXPECT_EQ(sio_flush(1, 3), ERR_STATUS_FAILED);
    EXPECT_TRUE(device().callsStartingWith("PurgeComm").empty());
}

}  // namespace
}  // namespace tarvo::test
