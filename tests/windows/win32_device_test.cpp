// The KERNEL32 device layer: the core's blocks mean the same to Windows as
// to the core, bit for bit, and calls through the layer reach the system.
#include "device/device.h"  // before <windows.h>, which turns some of its names into macros

namespace {
namespace dev = tarvo::dev;
const dev::HANDLE coreInvalidHandle = dev::INVALID_HANDLE_VALUE;
constexpr dev::DWORD coreIoPending = dev::ERROR_IO_PENDING;
}  // namespace

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

template <typename To, typename From>
To same_bytes(const From& from) {
    static_assert(sizeof(To) == sizeof(From));
    To to;
    std::memcpy(&to, &from, sizeof to);
    return to;
}

TEST(Win32Layout, ControlBlockFlagsLandInTheWin32Bits) {
    dev::DCB core{};
    core.fBinary = 1;
    core.fOutxCtsFlow = 1;
    core.fDtrControl = 2;
    core.fTXContinueOnXoff = 1;
    core.fInX = 1;
    core.fNull = 1;
    core.fRtsControl = 3;
    core.ByteSize = 7;
    core.Parity = 2;
    core.StopBits = 2;
    core.XonChar = 0x11;

    const auto win = same_bytes<::DCB>(core);
    EXPECT_EQ(win.fBinary, 1u);
    EXPECT_EQ(win.fParity, 0u);
    EXPECT_EQ(win.fOutxCtsFlow, 1u);
    EXPECT_EQ(win.fOutxDsrFlow, 0u);
    EXPECT_EQ(win.fDtrControl, 2u);
    EXPECT_EQ(win.fDsrSensitivity, 0u);
    EXPECT_EQ(win.fTXContinueOnXoff, 1u);
    EXPECT_EQ(win.fOutX, 0u);
    EXPECT_EQ(win.fInX, 1u);
    EXPECT_EQ(win.fErrorChar, 0u);
    EXPECT_EQ(win.fNull, 1u);
    EXPECT_EQ(win.fRtsControl, 3u);
    EXPECT_EQ(win.fAbortOnError, 0u);
    EXPECT_EQ(win.ByteSize, 7);
    EXPECT_EQ(win.Parity, 2);
    EXPECT_EQ(win.StopBits, 2);
    EXPECT_EQ(win.XonChar, 0x11);

    // And back: what GetCommState fills in reads the same in the core.
    ::DCB fromWindows{};
    fromWindows.fParity = 1;
    fromWindows.fOutxDsrFlow = 1;
    fromWindows.fDsrSensitivity = 1;
    fromWindows.fOutX = 1;
    fromWindows.fErrorChar = 1;
    fromWindows.fAbortOnError = 1;
    const auto back = same_bytes<dev::DCB>(fromWindows);
    EXPECT_EQ(back.fParity, 1u);
    EXPECT_EQ(back.fOutxDsrFlow, 1u);
    EXPECT_EQ(back.fDsrSensitivity, 1u);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fErrorChar, 1u);
    EXPECT_EQ(back.fAbortOnError, 1u);
    EXPECT_EQ(back.fBinary, 0u);
    EXPECT_EQ(back.fNull, 0u);
    EXPECT_EQ(back.fDtrControl, 0u);
    EXPECT_EQ(back.fRtsControl, 0u);
}

TEST(Win32Layout, StatusFlagsAndQueueCountsLandInTheWin32Fields) {
    ::COMSTAT win{};
    win.fCtsHold = 1;
    win.fXoffSent = 1;
    win.fTxim = 1;
    win.cbInQue = 1234;
    win.cbOutQue = 56;
    const auto core = same_bytes<dev::COMSTAT>(win);
    EXPECT_EQ(core.fCtsHold, 1u);
    EXPECT_EQ(core.fDsrHold, 0u);
    EXPECT_EQ(core.fXoffSent, 1u);
    EXPECT_EQ(core.fTxim, 1u);
    EXPECT_EQ(core.cbInQue, 1234u);
    EXPECT_EQ(core.cbOutQue, 56u);
}

// A file stands in for the device: overlapped writes and reads through the
// layer, with a record of the core's type, carrying offset and event.
class Win32Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        char directory[MAX_PATH];
        ASSERT_NE(GetTempPathA(MAX_PATH, directory), 0u);
        char file[MAX_PATH];
        ASSERT_NE(GetTempFileNameA(directory, "tvo", 0, file), 0u);
        path = file;
        handle = dev::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(handle, coreInvalidHandle);
        record.hEvent = dev::CreateEventA(nullptr, 1, 0, nullptr);
        ASSERT_NE(record.hEvent, nullptr);
    }
    void TearDown() override {
        if (record.hEvent != nullptr) dev::CloseHandle(record.hEvent);
        if (handle != coreInvalidHandle) {
            EXPECT_NE(dev::CloseHandle(handle), 0);
        }
        DeleteFileA(path.c_str());
    }

    // Started or pending, as the core sees a transfer; the count once done.
    dev::DWORD finish(dev::BOOL started, dev::DWORD count) {
        if (started) return count;
        EXPECT_EQ(dev::GetLastError(), coreIoPending);
        dev::DWORD done = 0;
        EXPECT_NE(dev::GetOverlappedResult(handle, &record, &done, 1), 0);
        return done;
    }

    std::string path;
    dev::HANDLE handle = coreInvalidHandle;
    dev::OVERLAPPED record{};
};

TEST_F(Win32Transfer, WritesAndReadsAtTheRecordsOffset) {
    dev::DWORD count = 0;
    EXPECT_EQ(finish(dev::WriteFile(handle, "0123456789", 10, &count, &record), count), 10u);

    record.Offset = 4;
    char buffer[8] = {};
    count = 0;
    EXPECT_EQ(finish(dev::ReadFile(handle, buffer, 3, &count, &record), count), 3u);
    EXPECT_STREQ(buffer, "456");
}

TEST(Win32Device, MissingComDeviceFailsToOpenAndReportsWhy) {
    const dev::HANDLE handle = dev::CreateFileA("\\\\.\\COM250", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(handle, coreInvalidHandle);
    EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
    EXPECT_NE(dev::GetLastError(), 0u);
}

TEST(Win32Device, CommCallsOnAFileHandleFail) {
    // Not a serial device: the comm calls must report failure, not pretend.
    char directory[MAX_PATH];
    ASSERT_NE(GetTempPathA(MAX_PATH, directory), 0u);
    const std::string path = std::string(directory) + "tarvo-not-a-port.tmp";
    const dev::HANDLE handle = dev::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(handle, coreInvalidHandle);
    dev::DCB dcb{};
    EXPECT_EQ(dev::GetCommState(handle, &dcb), 0);
    dev::DWORD errors = 0;
    dev::COMSTAT stat{};
    EXPECT_EQ(dev::ClearCommError(handle, &errors, &stat), 0);
    EXPECT_EQ(dev::SetupComm(handle, 1024, 1024), 0);
    EXPECT_NE(dev::CloseHandle(handle), 0);
    DeleteFileA(path.c_str());
}

}  // namespace
