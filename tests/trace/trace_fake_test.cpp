// The trace over the recording fake device: each line names what explains a
// call's outcome, the traced call makes the device calls the core alone
// makes, and the log keeps to its limit. The test program runs with
// TARVO_TRACE naming TARVO_TRACE_TEST_LOG (CTest sets both).
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "fake/fake_device.h"
#include "registry/port_table.h"
#include "tarvo.h"
#include "tarvo_ext.h"
#include "trace/log.h"

extern "C" int core_sio_write(int port, const char* buffer, int count);

namespace tarvo {
namespace {

std::string last_line() {
    std::ifstream log(TARVO_TRACE_TEST_LOG);
    std::string line, last;
    while (std::getline(log, line)) last = line;
    return last;
}

// The line without its time, duration and thread: "p1 sio_iqueue(1) = ...".
std::string call_part(const std::string& line) {
    std::size_t at = 0;
    for (int field = 0; field < 3 && at != std::string::npos; ++field) at = line.find(' ', at + 1);
    return at == std::string::npos ? line : line.substr(at + 1);
}

class TraceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(trace::enabled) << "TARVO_TRACE is not set for this program";
        fake::reset();
        reset_port_table();
    }
    fake::Device& device() { return fake::device(); }
    void open_port() {
        ASSERT_EQ(sio_open(1), 0);
        device().calls.clear();
    }
};

TEST_F(TraceTest, AFailedDeviceCallIsNamedWithItsError) {
    open_port();
    device().failing = {"ClearCommError"};
    device().lastErrorOnFailure = dev::ERROR_GEN_FAILURE;
    EXPECT_EQ(sio_iqueue(1), ERR_STATUS_FAILED);
    EXPECT_EQ(call_part(last_line()),
              "p1 sio_iqueue(1) = -20006 ERR_STATUS_FAILED ; ClearCommError failed: error 31 ERROR_GEN_FAILURE");
}

TEST_F(TraceTest, AFailedOpenNamesItsTargetAndWhy) {
    device().failing = {"CreateFileA"};
    device().lastErrorOnFailure = dev::ERROR_ACCESS_DENIED;
    EXPECT_EQ(sio_open(1), ERR_OPEN_FAILED);
    EXPECT_EQ(call_part(last_line()), "p1 sio_open(1) = -20002 ERR_OPEN_FAILED ; target COM1: /dev/ttyTRACE1 ; "
                                      "CreateFileA failed: error 5 ERROR_ACCESS_DENIED");
}

TEST_F(TraceTest, AWriteNamesTheBytesItsPurgeDiscardedAndMakesTheCoresCalls) {
    open_port();
    device().input = {'l', 'a', 't', 'e', '!'};
    EXPECT_EQ(sio_write(1, "AB\r", 3), 3);
    EXPECT_EQ(call_part(last_line()), "p1 sio_write(1, buffer, 3) = 3 ; discarded 5 unread ; wrote 3: 41 42 0d |AB.|");
    const std::vector<std::string> traced = device().calls;

    device().calls.clear();
    device().input = {'l', 'a', 't', 'e', '!'};
    EXPECT_EQ(core_sio_write(1, "AB\r", 3), 3);
    EXPECT_EQ(traced, device().calls);
}

TEST_F(TraceTest, APendingWriteIsNoFailureItsCompletionIs) {
    open_port();
    device().writesPend = true;
    device().failing = {"GetOverlappedResult"};
    device().lastErrorOnFailure = dev::ERROR_INVALID_HANDLE;
    EXPECT_EQ(sio_write(1, "x", 1), 0);
    EXPECT_EQ(call_part(last_line()), "p1 sio_write(1, buffer, 1) = 0 ; discarded 0 unread ; "
                                      "GetOverlappedResult failed: error 6 ERROR_INVALID_HANDLE");
}

TEST_F(TraceTest, ReadBytesAreShownInHexAndAsText) {
    open_port();
    device().input = {'o', 'k', 0x00, 0xff};
    char buffer[8];
    EXPECT_EQ(sio_read(1, buffer, 8), 4);
    EXPECT_EQ(call_part(last_line()), "p1 sio_read(1, buffer, 8) = 4 ; read 4: 6f 6b 00 ff |ok..|");
}

TEST_F(TraceTest, ExtensionCallsOnAPortAreTracedToo) {
    open_port();
    device().input = {'x'};
    EXPECT_EQ(tarvo_send(1, "hi", 2), 2);
    EXPECT_EQ(call_part(last_line()), "p1 tarvo_send(1, buffer, 2) = 2 ; wrote 2: 68 69 |hi|");
    device().failing = {"SetCommBreak"};
    EXPECT_EQ(tarvo_break(1, 10), ERR_SET_STATE_FAILED);
    EXPECT_EQ(call_part(last_line()),
              "p1 tarvo_break(1, 10) = -20009 ERR_SET_STATE_FAILED ; SetCommBreak failed: error 31 ERROR_GEN_FAILURE");
}

// The log's bound, on a log of its own that writes into a string.
std::string written;
int writes = 0;
bool keep(const char* text, std::size_t length) {
    ++writes;
    written.append(text, length);
    return true;
}
bool refuse(const char*, std::size_t) {
    ++writes;
    return false;
}

TEST(TraceLog, StopsAtItsLimitSayingSo) {
    written.clear();
    trace::Log log(400, keep);
    const std::string line(50, 'x');
    for (int i = 0; i < 20; ++i) log.append((line + "\n").c_str(), line.size() + 1);
    EXPECT_TRUE(log.stopped());
    EXPECT_LE(written.size(), 400u);
    EXPECT_EQ(written.substr(written.size() - 56), "# trace stopped: the log reached its limit of 400 bytes\n");
    EXPECT_EQ(written.find("# trace"), written.size() - 56);  // said once
}

TEST(TraceLog, GoesQuietOnceALineCannotBeWritten) {
    writes = 0;
    trace::Log log(1000, refuse);
    log.append("a\n", 2);
    log.append("b\n", 2);
    EXPECT_TRUE(log.stopped());
    EXPECT_EQ(writes, 1);
}

}  // namespace
}  // namespace tarvo
