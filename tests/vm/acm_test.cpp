// libtarvo.so on a USB CDC ACM device under cdc_acm, run inside the virtual
// machine of vm.py --gadget: g_serial on dummy_hcd gives /dev/ttyACM0, and
// the gadget's own serial port /dev/ttyGS0 is the instrument at the far end.
// Every setting is read back from the driver through a second descriptor of
// /dev/ttyACM0 and printed with the driver's answer.
#include <asm/termbits.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tarvo.h"
#include "tarvo_ext.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int ACM = 4;  // COM4, mapped to the device by its USB ids
constexpr const char* DEVICE = "/dev/ttyACM0";
constexpr const char* FAR_END = "/dev/ttyGS0";
constexpr unsigned RATES[] = {50,   75,   110,   134,   150,   300,   600,    1200,   1800,   2400,
                              4800, 7200, 9600,  19200, 38400, 57600, 115200, 230400, 460800, 921600};

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

bool exists(const char* path) { return ::access(path, F_OK) == 0; }

// A descriptor on a tty in raw mode, closed with the object.
class Tty {
public:
    explicit Tty(const char* path) : fd_(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        if (fd_ < 0) return;
        termios2 tio{};
        if (::ioctl(fd_, TCGETS2, &tio) == 0) {
            tio.c_iflag = 0;
            tio.c_oflag = 0;
            tio.c_lflag = 0;
            tio.c_cflag = (tio.c_cflag & ~CSIZE) | CS8 | CREAD | CLOCAL;
            ::ioctl(fd_, TCSETS2, &tio);
        }
    }
    ~Tty() { close(); }
    Tty(const Tty&) = delete;
    Tty& operator=(const Tty&) = delete;
    bool ok() const { return fd_ >= 0; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
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
    bool send(const std::string& bytes) const {
        std::size_t done = 0;
        const auto start = Clock::now();
        while (done < bytes.size() && ms_since(start) < 10000) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) done += static_cast<std::size_t>(n);
            pollfd ready{fd_, POLLOUT, 0};
            if (n <= 0) ::poll(&ready, 1, 100);
        }
        return done == bytes.size();
    }
    std::string receive(std::size_t count, int timeoutMs) const {
        std::string got;
        const auto start = Clock::now();
        char chunk[512];
        while (got.size() < count && ms_since(start) < timeoutMs) {
            pollfd ready{fd_, POLLIN, 0};
            if (::poll(&ready, 1, 50) <= 0) continue;
            const ssize_t n = ::read(fd_, chunk, sizeof chunk);
            if (n > 0) got.append(chunk, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    int fd_;
};

unsigned rate_of(const termios2& tio) {
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

std::string lines_text(int status) {
    if (status < 0) return std::to_string(status);
    return std::string("CTS ") + ((status & TARVO_CTS) ? "1" : "0") + " DSR " + ((status & TARVO_DSR) ? "1" : "0") +
           " RI " + ((status & TARVO_RI) ? "1" : "0") + " DCD " + ((status & TARVO_DCD) ? "1" : "0");
}

std::string every_byte_value() {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    return all;
}

// What sio_read gives within `timeoutMs`, up to `count` bytes.
std::string read_port(int count, int timeoutMs) {
    std::string got;
    std::vector<char> buffer(count);
    const auto start = Clock::now();
    while (static_cast<int>(got.size()) < count && ms_since(start) < timeoutMs) {
        const int n = sio_read(ACM, buffer.data(), count - static_cast<int>(got.size()));
        if (n < 0) break;
        got.append(buffer.data(), static_cast<std::size_t>(n));
        if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return got;
}

// Unbinds the dummy device controller from its driver ("unbind") or binds it
// again ("bind"): the gadget leaves the bus, as a cable pulled, and comes back
// as one plugged in. (Its soft_connect brings no working device back here.)
void plug(const char* how) {
    const std::string control = std::string("/sys/bus/platform/drivers/dummy_udc/") + how;
    FILE* file = std::fopen(control.c_str(), "w");
    ASSERT_NE(file, nullptr) << control;
    std::fputs("dummy_udc.0", file);
    EXPECT_EQ(std::fclose(file), 0) << control;
}

class Acm : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ::setenv("TARVO_COM4", "usb:0525:a4a7", 1);
        ASSERT_TRUE(wait_until([] { return exists(DEVICE) && exists(FAR_END); }, 30000))
            << "no " << DEVICE << " or " << FAR_END << " (is the machine booted with --gadget?)";
    }
    void SetUp() override {
        ASSERT_EQ(sio_open(ACM), 0);
        ASSERT_EQ(sio_ioctl(ACM, 12, 0x03), 0);
        ASSERT_TRUE(observer.ok());
    }
    void TearDown() override { sio_close(ACM); }
    Tty observer{DEVICE};
};

TEST_F(Acm, EveryByteValueBothWays) {
    Tty far(FAR_END);
    ASSERT_TRUE(far.ok());
    // cdc_acm counts its output queue in whole blocks (10240 bytes each in
    // flight): a short write must still end as soon as its bytes have left.
    for (int round = 0; round < 3; ++round) {
        const auto start = Clock::now();
        ASSERT_EQ(sio_write(ACM, "short", 5), 5);
        const long took = ms_since(start);
        std::printf("cdc_acm 5-byte write at 9600: %ld ms\n", took);
        EXPECT_LT(took, 1000);
        EXPECT_EQ(far.receive(5, 5000), "short");
    }
    const std::string all = every_byte_value();
    ASSERT_EQ(sio_write(ACM, all.data(), 256), 256);
    EXPECT_EQ(far.receive(256, 10000), all);
    ASSERT_TRUE(far.send(all));
    EXPECT_EQ(read_port(256, 10000), all);

    // A write first empties the input queue: what waited unread is gone.
    ASSERT_TRUE(far.send("stale"));
    ASSERT_TRUE(wait_until([] { return sio_iqueue(ACM) == 5; }, 5000)) << sio_iqueue(ACM);
    ASSERT_EQ(sio_write(ACM, "x", 1), 1);
    EXPECT_EQ(sio_iqueue(ACM), 0);
    EXPECT_EQ(far.receive(1, 5000), "x");
}

// cdc_acm hands every rate and format on to the device (SET_LINE_CODING) and
// keeps it, whatever the device makes of it: none is refused.
TEST_F(Acm, SettingsReadBackFromTheDriver) {
    Tty far(FAR_END);
    for (int index = 0; index < 20; ++index) {
        const int result = sio_ioctl(ACM, index, 0x03);
        const unsigned held = rate_of(observer.settings());
        std::printf("cdc_acm rate %u: sio_ioctl %d, driver holds %u\n", RATES[index], result, held);
        EXPECT_EQ(result, 0) << RATES[index];
        EXPECT_EQ(held, RATES[index]);
    }
    for (unsigned rate : {2u, 250u, 31250u, 100000u, 921600u}) {
        const int result = sio_baud(ACM, static_cast<int>(rate));
        const unsigned held = rate_of(observer.settings());
        std::printf("cdc_acm sio_baud %u: %d, driver holds %u\n", rate, result, held);
        EXPECT_EQ(result, 0) << rate;
        EXPECT_EQ(held, rate);
    }
    for (int mode = 0; mode < 0x40; ++mode) {
        const int parity = (mode >> 3) & 7;
        if (parity != 0 && parity != 1 && parity != 3 && parity != 5 && parity != 7) continue;
        const int result = sio_ioctl(ACM, 12, mode);
        const std::string held = format_of(observer.settings());
        std::printf("cdc_acm %s: sio_ioctl %d, driver holds %s\n", mode_name(mode).c_str(), result, held.c_str());
        EXPECT_EQ(result, 0) << mode_name(mode);
        EXPECT_EQ(held, mode_name(mode));
    }
    for (int mode : {0x1A, 0x03}) {  // the gadget's port carries the bytes whatever the format
        ASSERT_EQ(sio_ioctl(ACM, 12, mode), 0);
        ASSERT_EQ(sio_write(ACM, "fmt", 3), 3);
        EXPECT_EQ(far.receive(3, 5000), "fmt");
    }
    for (int flow : {0, 1, 2, 3}) {
        const int result = sio_flowctrl(ACM, flow);
        const bool rtsCts = (observer.settings().c_cflag & CRTSCTS) != 0;
        std::printf("cdc_acm sio_flowctrl %d: %d, driver holds CRTSCTS %d\n", flow, result, rtsCts);
        EXPECT_EQ(result, 0);
        EXPECT_EQ(rtsCts, (flow & 1) != 0);
    }
}

TEST_F(Acm, RtsAndDtrReachTheDriver) {
    struct Step {
        const char* call;
        int (*apply)();
        int rts, dtr;
    };
    const Step steps[] = {
        {"sio_RTS 0", [] { return sio_RTS(ACM, 0); }, 0, TIOCM_DTR},
        {"sio_DTR 0", [] { return sio_DTR(ACM, 0); }, 0, 0},
        {"sio_RTS 1", [] { return sio_RTS(ACM, 1); }, TIOCM_RTS, 0},
        {"sio_DTR 1", [] { return sio_DTR(ACM, 1); }, TIOCM_RTS, TIOCM_DTR},
        {"sio_flowctrl 0", [] { return sio_flowctrl(ACM, 0); }, 0, TIOCM_DTR},
        {"sio_flowctrl 2", [] { return sio_flowctrl(ACM, 2); }, TIOCM_RTS, TIOCM_DTR},
    };
    for (const Step& step : steps) {
        ASSERT_EQ(step.apply(), 0) << step.call;
        const int bits = observer.lines();
        std::printf("cdc_acm %s: RTS %d DTR %d\n", step.call, (bits & TIOCM_RTS) != 0, (bits & TIOCM_DTR) != 0);
        EXPECT_EQ(bits & TIOCM_RTS, step.rts) << step.call;
        EXPECT_EQ(bits & TIOCM_DTR, step.dtr) << step.call;
    }
}

// The gadget raises DSR and DCD while its serial port is open and drops them
// when it closes; cdc_acm reports CTS up always (the class has no CTS line).
TEST_F(Acm, DsrAndDcdFollowTheFarEndOpeningAndClosing) {
    constexpr int OPEN = TARVO_CTS | TARVO_DSR | TARVO_DCD;
    for (int round = 0; round < 2; ++round) {
        Tty far(FAR_END);
        ASSERT_TRUE(far.ok());
        const bool up = wait_until([] { return (tarvo_modem_status(ACM) & OPEN) == OPEN; }, 5000);
        std::printf("cdc_acm far end open: %s\n", lines_text(tarvo_modem_status(ACM)).c_str());
        EXPECT_TRUE(up) << lines_text(tarvo_modem_status(ACM));
        far.close();
        const bool down = wait_until([] { return (tarvo_modem_status(ACM) & OPEN) == TARVO_CTS; }, 5000);
        std::printf("cdc_acm far end closed: %s\n", lines_text(tarvo_modem_status(ACM)).c_str());
        EXPECT_TRUE(down) << lines_text(tarvo_modem_status(ACM));
    }
}

// The gadget's function offers no break (its capabilities leave SEND_BREAK
// out), so cdc_acm refuses it and the caller hears that the setting failed.
TEST_F(Acm, BreakIsRefusedHonestly) {
    Tty far(FAR_END);
    const int result = tarvo_break(ACM, 50);
    std::printf("cdc_acm tarvo_break 50: %d\n", result);
    EXPECT_EQ(result, ERR_SET_STATE_FAILED);
    EXPECT_EQ(sio_write(ACM, "ok", 2), 2) << "the port works on after the refusal";
    EXPECT_EQ(far.receive(2, 5000), "ok");
}

TEST_F(Acm, ToolNamesItFromSysfs) {
    const char* tool = std::getenv("TARVO_TOOL");
    ASSERT_NE(tool, nullptr);
    sio_close(ACM);
    FILE* out = ::popen((std::string(tool) + " ports").c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::string text;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, out) != nullptr) text += chunk;
    EXPECT_EQ(::pclose(out), 0);
    std::printf("tarvo ports:\n%s", text.c_str());
    const auto com4 = text.find("COM4");
    ASSERT_NE(com4, std::string::npos);
    const std::string line = text.substr(com4, text.find('\n', com4) - com4);
    EXPECT_NE(line.find(DEVICE), std::string::npos) << line;
    EXPECT_NE(line.find("free"), std::string::npos) << line;
    EXPECT_NE(text.find("0525"), std::string::npos);
    EXPECT_NE(text.find("a4a7"), std::string::npos);
    EXPECT_NE(text.find("cdc_acm"), std::string::npos);
}

// Unplugged while open: every call returns at once with the hung-up results;
// plugged in again, the same mapping opens it.
TEST_F(Acm, UnplugWhileOpenAndPlugInAgain) {
    plug("unbind");
    const auto unplugged = Clock::now();
    ASSERT_TRUE(wait_until([] { return sio_iqueue(ACM) == ERR_STATUS_FAILED; }, 10000));
    std::printf("cdc_acm unplugged: sio_iqueue %d after %ld ms\n", ERR_STATUS_FAILED, ms_since(unplugged));
    const auto start = Clock::now();
    char buffer[64];
    EXPECT_EQ(sio_read(ACM, buffer, sizeof buffer), 0);
    EXPECT_EQ(sio_getch(ACM), ERR_NO_DATA);
    EXPECT_EQ(sio_write(ACM, "hello", 5), 0);
    EXPECT_EQ(sio_flush(ACM, 2), ERR_STATUS_FAILED);
    EXPECT_EQ(sio_ioctl(ACM, 12, 0x03), ERR_GET_STATE_FAILED);
    EXPECT_EQ(sio_RTS(ACM, 1), ERR_GET_STATE_FAILED);
    EXPECT_EQ(tarvo_modem_status(ACM), ERR_STATUS_FAILED);
    EXPECT_LT(ms_since(start), 2000);
    EXPECT_EQ(sio_close(ACM), 0);
    observer.close();
    ASSERT_TRUE(wait_until([] { return !exists(DEVICE); }, 10000));
    EXPECT_EQ(sio_open(ACM), ERR_OPEN_FAILED);

    plug("bind");
    ASSERT_TRUE(wait_until([] { return exists(DEVICE) && exists(FAR_END); }, 30000));
    ASSERT_TRUE(wait_until([] { return sio_open(ACM) == 0; }, 10000));
    ASSERT_EQ(sio_ioctl(ACM, 12, 0x03), 0);
    Tty far(FAR_END);
    ASSERT_TRUE(far.ok());
    ASSERT_EQ(sio_write(ACM, "back", 4), 4);
    EXPECT_EQ(far.receive(4, 5000), "back");
}

}  // namespace
