// The termios device layer called directly, for what the sio_ functions do
// not reach: short write timeouts, foreign handles, paths, the shadow block.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "device/device.h"
#include "device/posix/terminal_probe.h"
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

// As Windows tells of an overlapped write that fails part-way: pending, and
// the completion gives the bytes the device took and the failure.
TEST_F(DevicePty, WriteCutShortByHangUpCompletesWithItsCount) {
    const std::vector<std::uint8_t> data(1u << 20, 0x55);
    std::size_t read = 0;
    std::thread peer([&] {
        read = pty.receive(300000, 10000).size();
        pty.close_master();
    });
    DWORD sent = 0;
    OVERLAPPED record{};
    EXPECT_FALSE(WriteFile(handle, data.data(), static_cast<DWORD>(data.size()), &sent, &record));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    peer.join();
    ASSERT_EQ(read, 300000u);
    DWORD finished = 0;
    EXPECT_FALSE(GetOverlappedResult(handle, &record, &finished, TRUE));
    EXPECT_NE(GetLastError(), ERROR_IO_PENDING);
    EXPECT_GE(finished, 300000u);
    EXPECT_LT(finished, data.size());
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

HANDLE open_com(int number) {
    const std::string path = "\\\\.\\COM" + std::to_string(number);
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

// What GetLastError gives when COM `number` does not open (0: it opened),
// provided the probe of its device foresaw the same; 255 where they differ.
DWORD why_not_open(int number) {
    const std::string name = "TARVO_COM" + std::to_string(number);
    const DWORD foreseen = posix::probe_terminal(std::getenv(name.c_str()));
    const HANDLE handle = open_com(number);
    const DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    return foreseen == error ? error : 255;
}

DWORD why_path_does_not_open(const char* path) {
    ::setenv("TARVO_COM46", path, 1);
    const DWORD error = why_not_open(46);
    ::unsetenv("TARVO_COM46");
    return error;
}

TEST(DeviceOpenFailures, GiveTheCodeWindowsGivesForTheCause) {
    if (::geteuid() != 0) GTEST_SKIP() << NEEDS_ROOT;
    char fifo[] = "/tmp/tarvo-fifo-XXXXXX";
    ASSERT_NE(::mkdtemp(fifo), nullptr);
    const std::string pipe = std::string(fifo) + "/pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    EXPECT_EQ(why_path_does_not_open("/nonexistent/ttyUSB0"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(why_path_does_not_open("/tmp"), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(why_path_does_not_open("/dev/null"), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(why_path_does_not_open(pipe.c_str()), ERROR_NOT_SUPPORTED);
    EXPECT_EQ(why_path_does_not_open("/dev/ptmx"), ERROR_NOT_SUPPORTED);
    if (::access("/dev/tty0", F_OK) == 0) {
        EXPECT_EQ(why_path_does_not_open("/dev/tty0"), ERROR_NOT_SUPPORTED);
    }
    ::unlink(pipe.c_str());
    ::rmdir(fifo);

    // The probe neither changes a device nor keeps a hold on it.
    Pty pty;
    pty.map_as(COM);
    const termios2 before = pty.settings();
    EXPECT_EQ(posix::probe_terminal(pty.slave_name()), ERROR_SUCCESS);
    const termios2 after = pty.settings();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    // A pty slave belongs to root and group tty, mode 620.
    EXPECT_EQ(run_in_child([] { return static_cast<int>(why_not_open(COM)); }, NOBODY),
              static_cast<int>(ERROR_ACCESS_DENIED));
    pty.open_to_all();
    const HANDLE held = open_com(COM);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(why_not_open(COM), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(run_in_child([] { return static_cast<int>(why_not_open(COM)); }, NOBODY),
              static_cast<int>(ERROR_SHARING_VIOLATION));
    CloseHandle(held);
    EXPECT_EQ(why_not_open(COM), ERROR_SUCCESS);
}

// A program run from a terminal names /dev/tty: it is refused, and the
// terminal keeps its settings (echo, line editing).
// The node in /dev of the first console /proc/consoles names, "" if none.
std::string first_console_node() {
    std::ifstream consoles("/proc/consoles");
    std::string line;
    while (std::getline(consoles, line)) {
        const std::string number = line.substr(line.find_last_of(' ') + 1);
        std::ifstream uevent("/sys/dev/char/" + number + "/uevent");
        for (std::string field; std::getline(uevent, field);)
            if (field.rfind("DEVNAME=", 0) == 0) return "/dev/" + field.substr(8);
    }
    return "";
}

// Only looked at: an open alone would raise a serial console's modem lines.
TEST(DeviceOpenFailures, TheConsoleIsRefusedThroughAnyLinkBeforeItIsOpened) {
    const std::string console = first_console_node();
    if (console.empty() || ::access(console.c_str(), F_OK) != 0) GTEST_SKIP() << "/proc/consoles names no device here";
    char folder[] = "/tmp/tarvo-console-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string link = std::string(folder) + "/ttyS9";
    ASSERT_EQ(::symlink(console.c_str(), link.c_str()), 0);
    EXPECT_EQ(why_path_does_not_open(console.c_str()), ERROR_DEVICE_IN_USE) << console;
    EXPECT_EQ(why_path_does_not_open(link.c_str()), ERROR_DEVICE_IN_USE) << link << " -> " << console;
    ::unlink(link.c_str());
    ::rmdir(folder);
}

TEST(DeviceOpenFailures, OwnTerminalIsRefusedAndLeftAsItWas) {
    Pty pty;
    const termios2 before = pty.settings();
    const char* terminal = pty.slave_name();
    const int status = run_in_child([terminal] {
        if (::setsid() < 0) return 90;
        const int fd = ::open(terminal, O_RDWR);  // a session leader's first terminal becomes its own
        const int own = ::open("/dev/tty", O_RDWR | O_NOCTTY);
        if (fd < 0 || own < 0) return 91;
        ::close(own);
        return static_cast<int>(why_path_does_not_open("/dev/tty"));
    });
    EXPECT_EQ(status, static_cast<int>(ERROR_NOT_SUPPORTED));
    const termios2 after = pty.settings();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
    EXPECT_NE(after.c_lflag & ECHO, 0u);
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
