// The termios device layer called directly, for what the sio_ functions do
// not reach: short write timeouts, foreign handles, paths, the shadow block.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "device/device.h"
#include "pty/pty_support.h"

namespace tarvo::pty {
namespace {

using namespace tarvo::dev;

constexpr int COM = 43;

class DevicePty : public ::testing::Test {
protected:
    void SetUp() override {
        pty.map_as(COM);
        handle = CreateFileA("\\\\.\\COM43", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    }
    void TearDown() override {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    }

    Pty pty;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

TEST_F(DevicePty, WriteToAPeerThatNeverReadsEndsAtItsTimeout) {
    const std::vector<std::uint8_t> data(1u << 20, 0x55);
    COMMTIMEOUTS timeouts{0, 0, 0, 0, 300};
    ASSERT_TRUE(SetCommTimeouts(handle, &timeouts));
    DWORD sent = 0;
    OVERLAPPED record{};
    auto start = Clock::now();
    EXPECT_TRUE(WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &sent, &record));
    long took = elapsed_ms(start);
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 2000);
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, data.size());
    EXPECT_EQ(record.InternalHigh, sent);

    // The pty is full now; 100 bytes at 2 ms each give up after about 200 ms.
    timeouts = COMMTIMEOUTS{0, 0, 0, 2, 0};
    ASSERT_TRUE(SetCommTimeouts(handle, &timeouts));
    start = Clock::now();
    EXPECT_TRUE(WriteFile(handle, data.data(), 100, &sent, &record));
    took = elapsed_ms(start);
    EXPECT_GE(took, 150);
    EXPECT_LT(took, 2000);
    EXPECT_EQ(sent, 0u);
}

TEST_F(DevicePty, ReadReportsItsCountInTheRecord) {
    ASSERT_EQ(pty.send("hello", 5), 5u);
    COMSTAT stat{};
    DWORD errors = 99;
    ASSERT_TRUE(wait_until([&] { return ClearCommError(handle, &errors, &stat) == 1 && stat.cbInQue == 5; }));
    EXPECT_EQ(errors, 0u);

    char buffer[16];
    DWORD got = 0;
    OVERLAPPED record{};
    ASSERT_TRUE(ReadFile(handle, buffer, sizeof buffer, &got, &record));
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(record.InternalHigh, 5u);
    DWORD finished = 0;
    EXPECT_TRUE(GetOverlappedResult(handle, &record, &finished, TRUE));
    EXPECT_EQ(finished, 5u);

    // Nothing waiting: the read returns at once with nothing.
    EXPECT_TRUE(ReadFile(handle, buffer, sizeof buffer, &got, &record));
    EXPECT_EQ(got, 0u);
}

TEST_F(DevicePty, StateWrittenBackUnchangedReadsTheSame) {
    DCB dcb{};
    ASSERT_TRUE(GetCommState(handle, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);

    // ByteSize stays 8 and Parity none: the pty would force them anyway.
    dcb.BaudRate = 7200;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fNull = 1;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fOutxCtsFlow = 1;
    dcb.fAbortOnError = 1;
    dcb.XonLim = 100;
    dcb.EvtChar = '\r';
    ASSERT_TRUE(SetCommState(handle, &dcb));

    DCB back{};
    ASSERT_TRUE(GetCommState(handle, &back));
    EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
    ASSERT_TRUE(SetCommState(handle, &back));
    DCB again{};
    ASSERT_TRUE(GetCommState(handle, &again));
    EXPECT_EQ(std::memcmp(&again, &dcb, sizeof dcb), 0);
    EXPECT_EQ(pty.settings().c_ospeed, 7200u);

    dcb.StopBits = 3;
    EXPECT_FALSE(SetCommState(handle, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(DevicePty, ForeignAndClosedHandlesAreRefused) {
    int local = 0;
    char buffer[4];
    DWORD count = 0;
    DCB dcb{};
    const HANDLE inside = static_cast<char*>(handle) + 1;
    for (HANDLE bogus : {HANDLE{nullptr}, INVALID_HANDLE_VALUE, HANDLE{&local}, inside}) {
        SetupComm(handle, 1024, 1024);  // a good call in between leaves no stale error
        EXPECT_FALSE(CloseHandle(bogus));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(ReadFile(bogus, buffer, sizeof buffer, &count, nullptr));
        EXPECT_FALSE(GetCommState(bogus, &dcb));
        EXPECT_FALSE(SetupComm(bogus, 1024, 1024));
    }
    ASSERT_TRUE(CloseHandle(handle));
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_FALSE(WriteFile(handle, "x", 1, &count, nullptr));
    EXPECT_FALSE(PurgeComm(handle, PURGE_RXCLEAR));
    handle = INVALID_HANDLE_VALUE;
}

TEST(DevicePaths, OnlyComNumbersOpen) {
    unsetenv("TARVO_COM0");
    for (const char* path : {"COM43", "\\\\.\\COM", "\\\\.\\COM-1", "\\\\.\\COM+43", "\\\\.\\COM43x",
                             "\\\\.\\COM99999999999", "\\\\.\\com43", "\\\\.\\COM0"}) {
        EXPECT_EQ(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
                  INVALID_HANDLE_VALUE)
            << path;
    }
    EXPECT_EQ(CreateFileA(nullptr, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace tarvo::pty
