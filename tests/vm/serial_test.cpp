// libtarvo.so on real serial drivers, run inside the virtual machine of vm.py:
// /dev/ttyS1 under the 8250 driver and an FTDI adapter under ftdi_sio, each
// with an echoing peer on the host. Every setting is read back from the
// driver through a second descriptor of the same device, and printed with
// the driver's answer.
//
// qemu's UART does not pace its output at the line rate, so nothing here
// depends on how long bytes take on the wire.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tarvo.h"

namespace {

using Clock = std::chrono::steady_clock;

// The UART's loopback switch (asm-generic/termios.h, which cannot be included
// beside <sys/ioctl.h>).
constexpr int TIOCM_LOOP = 0x8000;

constexpr int UART = 2;  // COM2: /dev/ttyS1 without any mapping
constexpr int USB = 3;   // COM3, mapped to the adapter by its USB ids
constexpr int CONSOLE = 1;
constexpr unsigned RATES[] = {50,   75,   110,   134,   150,   300,   600,    1200,   1800,   2400,
                              4800, 7200, 9600,  19200, 38400, 57600, 115200, 230400, 460800, 921600};
// The 16550's 1.8432 MHz clock divided by 16: no faster rate can be made.
constexpr unsigned UART_MAX_RATE = 115200;

long ms_since(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

template <typename Condition>
bool wait_until(Condition done, int timeoutMs) {
    const auto start = Clock::now();
    while (!done()) {
        if (ms_since(start) > timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// A second descriptor on the port's device: what the driver holds now.
class Observer {
public:
    explicit Observer(const char* path) : fd_(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~Observer() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    termios2 settings() const {
        termios2 tio{};
        EXPECT_EQ(::ioctl(fd_, TCGETS2, &tio), 0);
        return tio;
    }
    int lines() const {
        int bits = 0;
        EXPECT_EQ(::ioctl(fd_, TIOCMGET, &bits), 0);
        return bits;
    }
    void set_lines(int bits, bool on) const { ASSERT_EQ(::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bits), 0); }

private:
    int fd_;
};

unsigned rate_of(const termios2& tio) {
    // Drivers report table rates by their constants; B38400 and below are < 16.
    static const struct {
        tcflag_t code;
        unsigned rate;
    } codes[] = {{B50, 50},       {B75, 75},         {B110, 110},       {B134, 134},       {B150, 150},
                 {B200, 200},     {B300, 300},       {B600, 600},       {B1200, 1200},     {B1800, 1800},
                 {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                 {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto& entry : codes) {
        if ((tio.c_cflag & CBAUD) == entry.code) return entry.rate;
    }
    return tio.c_ospeed;
}

std::string format_of(const termios2& tio) {
    const tcflag_t c = tio.c_cflag;
    char parity = 'N';
    if (c & PARENB) parity = (c & CMSPAR) ? ((c & PARODD) ? 'M' : 'S') : ((c & PARODD) ? 'O' : 'E');
    return std::to_string(5 + ((c & CSIZE) >> 4)) + parity + ((c & CSTOPB) ? "2" : "1");
}

std::string mode_name(int mode) {
    static const char parities[] = "NO?E?M?S";
    return std::to_string(5 + (mode & 3)) + parities[(mode >> 3) & 7] + ((mode & 4) ? "2" : "1");
}

// Sends `count` bytes that fit in `bits` data bits and reads them back from the echoing peer.
void expect_echo(int port, int bits, int count) {
    std::vector<char> sent(count), got(count);
    for (int i = 0; i < count; ++i) sent[i] = static_cast<char>((i * 37 + 11) & ((1 << bits) - 1));
    ASSERT_EQ(sio_write(port, sent.data(), count), count);
    int have = 0;
    const auto start = Clock::now();
    while (have < count && ms_since(start) < 10000) {
        const int n = sio_read(port, got.data() + have, count - have);
        ASSERT_GE(n, 0);
        have += n;
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(have, count);
    EXPECT_EQ(got, sent);
}

class Uart : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(sio_open(UART), 0);
        ASSERT_TRUE(observer.ok());
    }
    void TearDown() override { sio_close(UART); }
    Observer observer{"/dev/ttyS1"};
};

// All 40 formats of the 16550 stick, and data in each comes back from the host.
TEST_F(Uart, EveryFormatReadsBackAndCarriesData) {
    for (int mode = 0; mode < 0x40; ++mode) {
        const int parity = (mode >> 3) & 7;
        if (parity != 0 && parity != 1 && parity != 3 && parity != 5 && parity != 7) continue;
        ASSERT_EQ(sio_ioctl(UART, 12, mode), 0) << mode_name(mode);
        const termios2 tio = observer.settings();
        std::printf("8250 %s: driver holds %s at %u\n", mode_name(mode).c_str(), format_of(tio).c_str(), rate_of(tio));
        EXPECT_EQ(format_of(tio), mode_name(mode));
        expect_echo(UART, 5 + (mode & 3), 64);
    }
}

// Rates the UART cannot make are refused and the line keeps its rate.
TEST_F(Uart, TableRatesAndOthersAreTakenOrRefusedAsTheDriverAnswers) {
    for (int index = 0; index < 20; ++index) {
        const unsigned before = rate_of(observer.settings());
        const int result = sio_ioctl(UART, index, 0x03);
        const unsigned held = rate_of(observer.settings());
        std::printf("8250 rate %u: sio_ioctl %d, driver holds %u\n", RATES[index], result, held);
        if (RATES[index] <= UART_MAX_RATE) {
            EXPECT_EQ(result, 0) << RATES[index];
            EXPECT_EQ(held, RATES[index]);
        } else {
            EXPECT_EQ(result, ERR_SET_STATE_FAILED) << RATES[index];
            EXPECT_EQ(held, before) << RATES[index];
        }
    }
    for (unsigned rate : {2u, 250u, 12345u, 31250u, 56000u, 100000u, 150000u, 921600u}) {
        const unsigned before = rate_of(observer.settings());
        const int result = sio_baud(UART, static_cast<int>(rate));
        const unsigned held = rate_of(observer.settings());
        std::printf("8250 sio_baud %u: %d, driver holds %u\n", rate, result, held);
        EXPECT_EQ(result, rate <= UART_MAX_RATE ? 0 : ERR_SET_STATE_FAILED) << rate;
        EXPECT_EQ(held, rate <= UART_MAX_RATE ? rate : before) << rate;
    }
    ASSERT_EQ(sio_baud(UART, 31250), 0);
    expect_echo(UART, 8, 256);
}

TEST_F(Uart, RtsAndDtrReachTheDriver) {
    struct Step {
        const char* call;
        int (*apply)();
        int rts, dtr;
    };
    const Step steps[] = {
        {"sio_RTS 0", [] { return sio_RTS(UART, 0); }, 0, TIOCM_DTR},
        {"sio_DTR 0", [] { return sio_DTR(UART, 0); }, 0, 0},
        {"sio_RTS 1", [] { return sio_RTS(UART, 1); }, TIOCM_RTS, 0},
        {"sio_DTR 1", [] { return sio_DTR(UART, 1); }, TIOCM_RTS, TIOCM_DTR},
        {"sio_flowctrl 0", [] { return sio_flowctrl(UART, 0); }, 0, TIOCM_DTR},
        {"sio_flowctrl 2", [] { return sio_flowctrl(UART, 2); }, TIOCM_RTS, TIOCM_DTR},
        {"sio_disableat", [] { return sio_disableat(UART); }, 0, TIOCM_DTR},
        {"sio_enableat", [] { return sio_enableat(UART); }, TIOCM_RTS, TIOCM_DTR},
    };
    for (const Step& step : steps) {
        ASSERT_EQ(step.apply(), 0) << step.call;
        const int bits = observer.lines();
        std::printf("8250 %s: RTS %d DTR %d\n", step.call, (bits & TIOCM_RTS) != 0, (bits & TIOCM_DTR) != 0);
        EXPECT_EQ(bits & TIOCM_RTS, step.rts) << step.call;
        EXPECT_EQ(bits & TIOCM_DTR, step.dtr) << step.call;
    }
    ASSERT_EQ(sio_flowctrl(UART, 3), 0);
    EXPECT_NE(observer.settings().c_cflag & CRTSCTS, 0u);
}

// In the UART's loopback mode its RTS and DTR outputs drive its own CTS and
// DSR inputs, and its output comes back as its input: the lines the library
// sets are the lines the UART drives.
TEST_F(Uart, InLoopbackCtsAndDsrFollowRtsAndDtr) {
    ASSERT_EQ(sio_ioctl(UART, 12, 0x03), 0);
    observer.set_lines(TIOCM_LOOP, true);
    for (int rts : {0, 1}) {
        for (int dtr : {0, 1}) {
            ASSERT_EQ(sio_RTS(UART, rts), 0);
            ASSERT_EQ(sio_DTR(UART, dtr), 0);
            const int bits = observer.lines();
            std::printf("8250 loopback RTS %d DTR %d: CTS %d DSR %d\n", rts, dtr, (bits & TIOCM_CTS) != 0,
                        (bits & TIOCM_DSR) != 0);
            EXPECT_EQ((bits & TIOCM_CTS) != 0, rts == 1);
            EXPECT_EQ((bits & TIOCM_DSR) != 0, dtr == 1);
        }
    }
    const std::string data(100, 'x');
    EXPECT_EQ(sio_write(UART, data.data(), 100), 100);
    EXPECT_TRUE(wait_until([] { return sio_iqueue(UART) == 100; }, 5000)) << sio_iqueue(UART);
    observer.set_lines(TIOCM_LOOP, false);
}

// With CTS watched and held low (in loopback: RTS off), the driver holds
// the output back; the write ends by its timeout and counts only what went
// out, which in loopback is exactly what came back in. Nothing it did not
// count leaves later, when the flow control goes off.
//
// qemu's UART reports no change of CTS in loopback, so the driver sees CTS
// low only where CTS watching is switched on while it is low.
TEST_F(Uart, HeldByCtsAWriteEndsByItsTimeoutAndCountsWhatWentOut) {
    ASSERT_EQ(sio_ioctl(UART, 12, 0x03), 0);  // 9600 8N1; a write may take 2000 ms a byte plus 2000 ms
    observer.set_lines(TIOCM_LOOP, true);
    ASSERT_EQ(sio_flowctrl(UART, 0), 0);  // CTS unwatched, RTS off
    ASSERT_EQ(sio_flowctrl(UART, 1), 0);
    ASSERT_NE(observer.settings().c_cflag & CRTSCTS, 0u);
    ASSERT_EQ(observer.lines() & TIOCM_CTS, 0) << "in loopback CTS follows RTS";
    const std::string data(100, 'h');
    const auto start = Clock::now();
    const int sent = sio_write(UART, data.data(), 1);
    const long took = ms_since(start);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const int came = sio_iqueue(UART);
    std::printf("8250 write held by CTS: sio_write %d after %ld ms, %d came back\n", sent, took, came);
    EXPECT_EQ(sent, came);
    EXPECT_EQ(sent, 0);
    EXPECT_GE(took, 3900);
    EXPECT_LT(took, 8000);

    ASSERT_EQ(sio_flowctrl(UART, 0), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sio_iqueue(UART), came) << "bytes not counted as sent went out later";
    EXPECT_EQ(sio_write(UART, data.data(), 100), 100);
    EXPECT_TRUE(wait_until([] { return sio_iqueue(UART) == 100; }, 5000)) << sio_iqueue(UART);
    observer.set_lines(TIOCM_LOOP, false);
}

// A program that ends with the port open leaves it to the next one, also
// while another program holds a descriptor of the device and so keeps the
// terminal (and what was set on it) alive.
TEST(UartHold, EndsWithTheProgramThatTookIt) {
    Observer observer("/dev/ttyS1");
    ASSERT_TRUE(observer.ok());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) std::exit(sio_open(UART) == 0 ? 0 : 1);  // without sio_close
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not open the port";
    EXPECT_EQ(sio_open(UART), 0);
    sio_close(UART);
}

// The system console is the machine's, not a serial port to take over.
TEST(Console, IsRefusedAndKeepsItsSettings) {
    Observer console("/dev/ttyS0");
    ASSERT_TRUE(console.ok());
    const termios2 before = console.settings();
    for (const char* mapping : {"/dev/ttyS0", ""}) {
        ::setenv("TARVO_COM1", mapping, 1);
        const int result = sio_open(CONSOLE);
        if (result == 0) sio_close(CONSOLE);
        const termios2 after = console.settings();
        EXPECT_EQ(result, ERR_OPEN_FAILED) << "TARVO_COM1=" << mapping;
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_oflag, before.c_oflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        // The console must go on working for the rest of the run.
        int fd = ::open("/dev/ttyS0", O_RDWR | O_NOCTTY);
        ::ioctl(fd, TCSETS2, &before);
        ::close(fd);
    }
    ::unsetenv("TARVO_COM1");
}

class UsbAdapter : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::setenv("TARVO_COM3", "usb:0403:6001:TV0001", 1);
        ASSERT_TRUE(wait_until([] { return ::access("/dev/ttyUSB0", F_OK) == 0; }, 30000)) << "no /dev/ttyUSB0";
    }
    void SetUp() override { ASSERT_EQ(sio_open(USB), 0); }
    void TearDown() override { sio_close(USB); }
};

// The FTDI makes 7 and 8 data bits only; for 6 the driver keeps the old size
// and still reports success, which must not reach the caller. ftdi_sio keeps
// CS5 in the settings although the chip refuses it (for smartcard readers that
// use it as a signal), so 5 data bits read back as set and are not refused.
TEST_F(UsbAdapter, FormatsTheAdapterRefusesFail) {
    Observer observer("/dev/ttyUSB0");
    for (int mode : {0x03, 0x02, 0x1A, 0x07, 0x2B, 0x3B, 0x0F, 0x01, 0x00, 0x05, 0x19}) {
        const std::string before = format_of(observer.settings());
        const int result = sio_ioctl(USB, 12, mode);
        const std::string held = format_of(observer.settings());
        std::printf("ftdi %s: sio_ioctl %d, driver holds %s\n", mode_name(mode).c_str(), result, held.c_str());
        if ((mode & 3) != 1) {
            EXPECT_EQ(result, 0) << mode_name(mode);
            EXPECT_EQ(held, mode_name(mode));
            if ((mode & 3) != 0) expect_echo(USB, 5 + (mode & 3), 64);
        } else {
            EXPECT_EQ(result, ERR_SET_STATE_FAILED) << mode_name(mode);
            EXPECT_EQ(held, before) << mode_name(mode);
        }
    }
    for (int index : {0, 12, 16, 19}) {
        const int result = sio_ioctl(USB, index, 0x03);
        std::printf("ftdi rate %u: sio_ioctl %d, driver holds %u\n", RATES[index], result,
                    rate_of(observer.settings()));
        EXPECT_EQ(result, 0);
        EXPECT_EQ(rate_of(observer.settings()), RATES[index]);
    }
}

TEST_F(UsbAdapter, ToolNamesItFromSysfs) {
    const char* tool = std::getenv("TARVO_TOOL");
    ASSERT_NE(tool, nullptr);
    sio_close(USB);
    FILE* out = ::popen((std::string(tool) + " ports").c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, out) != nullptr) text += chunk;
    EXPECT_EQ(::pclose(out), 0);
    std::printf("tarvo ports:\n%s", text.c_str());
    const auto com3 = text.find("COM3");
    ASSERT_NE(com3, std::string::npos);
    const std::string line = text.substr(com3, text.find('\n', com3) - com3);
    EXPECT_NE(line.find("/dev/ttyUSB0"), std::string::npos) << line;
    EXPECT_NE(text.find("0403"), std::string::npos);
    EXPECT_NE(text.find("6001"), std::string::npos);
    EXPECT_NE(text.find("TV0001"), std::string::npos);
    EXPECT_NE(text.find("ftdi_sio"), std::string::npos);
    EXPECT_NE(text.find("free"), std::string::npos);
}

// Unplugged while open: every call returns at once with the hung-up results;
// plugged in again, the same mapping opens it.
TEST_F(UsbAdapter, UnplugWhileOpenAndPlugInAgain) {
    ASSERT_EQ(sio_ioctl(USB, 12, 0x03), 0);
    std::printf("@@vm monitor: device_del ftdi\n");
    std::fflush(stdout);
    ASSERT_TRUE(wait_until([] { return sio_iqueue(USB) == ERR_STATUS_FAILED; }, 20000));
    const auto start = Clock::now();
    char buffer[64];
    EXPECT_EQ(sio_read(USB, buffer, sizeof buffer), 0);
    EXPECT_EQ(sio_getch(USB), ERR_NO_DATA);
    EXPECT_EQ(sio_write(USB, "hello", 5), 0);
    EXPECT_EQ(sio_flush(USB, 2), ERR_STATUS_FAILED);
    EXPECT_EQ(sio_ioctl(USB, 12, 0x03), ERR_GET_STATE_FAILED);
    EXPECT_EQ(sio_RTS(USB, 1), ERR_GET_STATE_FAILED);
    EXPECT_LT(ms_since(start), 2000);
    EXPECT_EQ(sio_close(USB), 0);
    ASSERT_TRUE(wait_until([] { return ::access("/dev/ttyUSB0", F_OK) != 0; }, 10000));
    EXPECT_EQ(sio_open(USB), ERR_OPEN_FAILED);

    std::printf("@@vm monitor: device_add usb-serial,id=ftdi2,chardev=usb1,serial=TV0001\n");
    std::fflush(stdout);
    ASSERT_TRUE(wait_until([] { return ::access("/dev/ttyUSB0", F_OK) == 0; }, 30000));
    ASSERT_TRUE(wait_until([] { return sio_open(USB) == 0; }, 10000));
    ASSERT_EQ(sio_ioctl(USB, 12, 0x03), 0);
    expect_echo(USB, 8, 64);
}

}  // namespace
