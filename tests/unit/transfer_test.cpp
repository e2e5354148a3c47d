#include <climits>
#include <cstring>

#include "unit/test_support.h"

namespace tarvo::test {
namespace {

using Calls = std::vector<std::string>;

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

TEST_F(TransferTest, IqueueReportsWaitingBytesWithOneStatusRead) {
    EXPECT_EQ(sio_iqueue(1), 0);
    receive_count(10);
    EXPECT_EQ(sio_iqueue(1), 10);
    EXPECT_EQ(calls(), (Calls{"ClearCommError(h1)", "ClearCommError(h1)"}));

    device().failing = {"ClearCommError"};
    EXPECT_EQ(sio_iqueue(1), ERR_STATUS_FAILED);
}

TEST_F(TransferTest, IqueueNeverReportsACountAsAnErrorCode) {
    for (std::int64_t reported : {0x7FFFFFFFll, 0x80000000ll, 0xFFFFFFFFll}) {
        device().queueOverride = reported;
        EXPECT_EQ(sio_iqueue(1), INT_MAX) << reported;
    }
}

TEST_F(TransferTest, NothingWaitingMeansNoRead) {
    char buffer[8];
    EXPECT_EQ(sio_getch(1), ERR_NO_DATA);
    EXPECT_EQ(sio_read(1, buffer, sizeof buffer), 0);
    EXPECT_EQ(calls(), (Calls{"ClearCommError(h1)", "ClearCommError(h1)"}));
}

TEST_F(TransferTest, ReadTakesTheSmallerOfLengthAndWaiting) {
    receive_count(10);
    char buffer[100];
    EXPECT_EQ(sio_read(1, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_EQ(sio_iqueue(1), 6);
    EXPECT_EQ(sio_read(1, buffer, 100), 6);
    EXPECT_EQ(std::string(buffer, 6), "efghij");
    EXPECT_EQ(device().callsStartingWith("ReadFile"), (Calls{"ReadFile(h1, 4, e1)", "ReadFile(h1, 6, e1)"}));
}

TEST_F(TransferTest, ReadOfLengthZeroNegativeOrNullBufferMakesNoReadCall) {
    receive_count(10);
    char buffer[4];
    EXPECT_EQ(sio_read(1, buffer, 0), 0);
    EXPECT_EQ(sio_read(1, buffer, -1), 0);
    EXPECT_EQ(sio_read(1, buffer, INT_MIN), 0);
    EXPECT_EQ(sio_read(1, nullptr, 4), 0);
    EXPECT_TRUE(device().callsStartingWith("ReadFile").empty());
    EXPECT_EQ(sio_iqueue(1), 10);
}

TEST_F(TransferTest, GetchReturnsEveryByteValueAsUnsigned) {
    receive({0xFF, 0x00, 0x80, 0x7F});
    EXPECT_EQ(sio_getch(1), 255);
    EXPECT_EQ(sio_getch(1), 0);
    EXPECT_EQ(sio_getch(1), 128);
    EXPECT_EQ(sio_getch(1), 127);
    EXPECT_EQ(sio_getch(1), ERR_NO_DATA);
    EXPECT_EQ(device().callsStartingWith("ReadFile").front(), "ReadFile(h1, 1, e1)");
}

TEST_F(TransferTest, FailedStatusReadCountsAsAnEmptyQueue) {
    receive_count(3);
    device().failing = {"ClearCommError"};
    char buffer[4];
    EXPECT_EQ(sio_getch(1), ERR_NO_DATA);
    EXPECT_EQ(sio_read(1, buffer, 4), 0);
    EXPECT_TRUE(device().callsStartingWith("ReadFile").empty());
}

TEST_F(TransferTest, GetchWithoutAByteFromTheReadIsNoData) {
    receive({0x41});
    device().failing = {"ReadFile"};
    EXPECT_EQ(sio_getch(1), ERR_NO_DATA);

    // A queued 0x00 that null stripping drops delivers nothing either.
    device().failing.clear();
    device().input = {0x00};
    device().dcb.fNull = 1;
    EXPECT_EQ(sio_getch(1), ERR_NO_DATA);
}

TEST_F(TransferTest, FailedReadGivesZero) {
    receive_count(5);
    device().failing = {"ReadFile"};
    char buffer[8];
    EXPECT_EQ(sio_read(1, buffer, 8), 0);
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

TEST_F(TransferTest, FailedWaitForAPendingReadGivesNothing) {
    device().readsPend = true;
    receive_count(4);
    device().failing = {"GetOverlappedResult"};
    char buffer[8];
    EXPECT_EQ(sio_read(1, buffer, 8), 0);
    EXPECT_EQ(sio_getch(1), ERR_NO_DATA);
}

// Sending

TEST_F(TransferTest, WriteClearsPurgesEverythingThenSends) {
    receive_count(5);
    EXPECT_EQ(sio_write(1, "*IDN?\n", 6), 6);
    EXPECT_EQ(calls(), (Calls{"ClearCommError(h1)", "PurgeComm(h1, 0x0f)", "WriteFile(h1, 6, e2)"}));
    EXPECT_EQ(std::string(device().output.begin(), device().output.end()), "*IDN?\n");
    EXPECT_EQ(sio_iqueue(1), 0);  // what waited before the write is gone
}

TEST_F(TransferTest, WriteOfNothingStillPurges) {
    receive_count(5);
    EXPECT_EQ(sio_write(1, "", 0), 0);
    EXPECT_EQ(calls(), (Calls{"ClearCommError(h1)", "PurgeComm(h1, 0x0f)", "WriteFile(h1, 0, e2)"}));
}

TEST_F(TransferTest, NegativeCountOrNullBufferSendsNothing) {
    EXPECT_EQ(sio_write(1, "abc", -1), 0);
    EXPECT_EQ(sio_write(1, "abc", INT_MIN), 0);
    EXPECT_EQ(sio_write(1, nullptr, 3), 0);
    EXPECT_TRUE(device().callsStartingWith("WriteFile").empty());
    EXPECT_EQ(device().callsStartingWith("PurgeComm").size(), 3u);
}

TEST_F(TransferTest, WriteReportsWhatTheDeviceSentWhateverTheStatusAndPurgeSay) {
    device().failing = {"ClearCommError", "PurgeComm"};
    device().writeLimit = 2;  // cut short by its timeout
    EXPECT_EQ(sio_write(1, "abcdef", 6), 2);
}

TEST_F(TransferTest, PendingWriteIsWaitedForOnItsOwnRecord) {
    device().writesPend = true;
    EXPECT_EQ(sio_write(1, "hello", 5), 5);
    EXPECT_EQ(calls(), (Calls{"ClearCommError(h1)", "PurgeComm(h1, 0x0f)", "WriteFile(h1, 5, e2)", "GetLastError()",
                              "GetOverlappedResult(h1, e2, wait)"}));
}

TEST_F(TransferTest, FailedWriteOrFailedWaitReportsZero) {
    device().failing = {"WriteFile"};
    EXPECT_EQ(sio_write(1, "hello", 5), 0);

    device().failing = {"GetOverlappedResult"};
    device().writesPend = true;
    EXPECT_EQ(sio_write(1, "hello", 5), 0);
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

TEST_F(TransferTest, FlushSelectorsPurgeTheNamedQueues) {
    EXPECT_EQ(sio_flush(1, 0), 0);
    EXPECT_EQ(sio_flush(1, 1), 0);
    EXPECT_EQ(sio_flush(1, 2), 0);
    EXPECT_EQ(calls(), (Calls{"ClearCommError(h1)", "PurgeComm(h1, 0x08)", "ClearCommError(h1)", "PurgeComm(h1, 0x04)",
                              "ClearCommError(h1)", "PurgeComm(h1, 0x08)", "PurgeComm(h1, 0x04)"}));
}

TEST_F(TransferTest, FlushMakesBothPurgesEvenWhenTheFirstFails) {
    device().failing = {"PurgeComm"};
    EXPECT_EQ(sio_flush(1, 2), ERR_PURGE_FAILED);
    EXPECT_EQ(device().callsStartingWith("PurgeComm"), (Calls{"PurgeComm(h1, 0x08)", "PurgeComm(h1, 0x04)"}));
    EXPECT_EQ(sio_flush(1, 0), ERR_PURGE_FAILED);
    EXPECT_EQ(sio_flush(1, 1), ERR_PURGE_FAILED);
}

TEST_F(TransferTest, FlushWithAnUnknownSelectorOnlyReadsTheStatus) {
    for (int selector : {3, -1, INT_MAX, INT_MIN}) EXPECT_EQ(sio_flush(1, selector), ERR_PURGE_FAILED) << selector;
    EXPECT_TRUE(device().callsStartingWith("PurgeComm").empty());
    EXPECT_EQ(device().callsStartingWith("ClearCommError").size(), 4u);
}

TEST_F(TransferTest, FlushWithAFailedStatusReadPurgesNothing) {
    device().failing = {"ClearCommError"};
    EXPECT_EQ(sio_flush(1, 2), ERR_STATUS_FAILED);
    EXPECT_EQ(sio_flush(1, 3), ERR_STATUS_FAILED);
    EXPECT_TRUE(device().callsStartingWith("PurgeComm").empty());
}

}  // namespace
}  // namespace tarvo::test
