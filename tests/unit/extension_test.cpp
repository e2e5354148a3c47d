// The extension functions over the recording fake: the calls each makes, and
// what each returns when any one of its device calls fails.
#include <climits>
#include <cstring>

#include "tarvo_ext.h"
#include "unit/test_support.h"

namespace tarvo::test {
namespace {

class Extensions : public FakeDeviceTest {
protected:
    // Runs `call` on open port 1 with the device call at `failing` failing
    // (none for -1); the result and the calls made by name.
    template <class Call>
    std::pair<int, Calls> run(Call call, int failing = -1) {
        fake::reset();
        reset_port_table();
        open(1);
        device().input = {'x', 'y'};
        if (failing >= 0) device().failingCalls = {calls().size() + static_cast<std::size_t>(failing)};
        const int result = call();
        return {result, names(calls())};
    }
};

TEST_F(Extensions, SendKeepsTheInputQueueAndEveryFailureEndsBounded) {
    const auto send = [] { return tarvo_send(1, "abc", 3); };
    const Calls all = {"ClearCommError", "SetCommTimeouts", "WriteFile", "SetCommTimeouts"};
    EXPECT_EQ(run(send), std::make_pair(3, all));
    EXPECT_EQ(device().input.size(), 2u);  // nothing purged: full duplex
    EXPECT_EQ(device().timeouts.WriteTotalTimeoutConstant, 0u);  // the port's own (none) are back

    EXPECT_EQ(run(send, 0), std::make_pair(3, all));  // an error condition that will not clear: still sent
    EXPECT_EQ(run(send, 1), std::make_pair(0, Calls{"ClearCommError", "SetCommTimeouts"}));
    EXPECT_EQ(run(send, 2), std::make_pair(0, Calls{"ClearCommError", "SetCommTimeouts", "WriteFile", "GetLastError",
                                                    "SetCommTimeouts"}));
    EXPECT_EQ(run(send, 3), std::make_pair(3, all));
    EXPECT_EQ(tarvo_send(2, "a", 1), ERR_NOT_OPEN);
    EXPECT_EQ(tarvo_send(17, "a", 1), ERR_BAD_PORT);
}

TEST_F(Extensions, SendBoundsEachPieceAndGivesThePortItsTimeoutsBack) {
    run([] { return sio_ioctl(1, 12, 3); });
    calls().clear();
    device().writeLimit = 1;  // the piece's bound ran out after one byte
    EXPECT_EQ(tarvo_send(1, "abc", 3), 1);
    const Calls set = device().callsStartingWith("SetCommTimeouts");
    ASSERT_EQ(set.size(), 2u);
    EXPECT_EQ(set[0], "SetCommTimeouts(h1, 2000, 2000, 2000, 0, " + std::to_string(TARVO_SEND_MS) + ")");
    EXPECT_EQ(set[1], "SetCommTimeouts(h1, 2000, 2000, 2000, 2000, 2000)");
    EXPECT_EQ(sio_write(1, "abc", 3), 1);  // sio_write meets the port's own timeouts
    EXPECT_EQ(device().timeouts.WriteTotalTimeoutConstant, 2000u);
}

TEST_F(Extensions, ModemStatusAndBreak) {
    const auto status = [] { return tarvo_modem_status(1); };
    fake::reset();
    EXPECT_EQ(run([] {
                  fake::device().modemStatus = dev::MS_CTS_ON | dev::MS_RLSD_ON | 0x0f;
                  return tarvo_modem_status(1);
              }).first,
              TARVO_CTS | TARVO_DCD);
    EXPECT_EQ(run(status, 0), std::make_pair(ERR_STATUS_FAILED, Calls{"GetCommModemStatus"}));
    EXPECT_EQ(tarvo_modem_status(3), ERR_NOT_OPEN);

    const auto brk = [] { return tarvo_break(1, 1); };
    EXPECT_EQ(run(brk), std::make_pair(0, Calls{"SetCommBreak", "ClearCommBreak"}));
    EXPECT_FALSE(device().inBreak);
    EXPECT_EQ(run(brk, 0), std::make_pair(ERR_SET_STATE_FAILED, Calls{"SetCommBreak"}));
    EXPECT_EQ(run(brk, 1), std::make_pair(ERR_SET_STATE_FAILED, Calls{"SetCommBreak", "ClearCommBreak"}));
    EXPECT_EQ(run([] { return tarvo_break(1, 0); }), std::make_pair(ERR_BAD_PARAMETER, Calls{}));
    EXPECT_EQ(run([] { return tarvo_break(1, 5001); }), std::make_pair(ERR_BAD_PARAMETER, Calls{}));
    EXPECT_EQ(tarvo_break(3, 10), ERR_NOT_OPEN);
}

TEST_F(Extensions, OpenCauseNamesTheDeviceAndWhy) {
    struct Case {
        dev::DWORD error;
        const char* device;
        int cause;
    };
    const Case cases[] = {
        {2, "/dev/ttyUSB7", TARVO_CAUSE_NOT_FOUND},      {5, "/dev/ttyS3", TARVO_CAUSE_PERMISSION},
        {32, "/dev/ttyS3", TARVO_CAUSE_BUSY},            {50, "/etc/passwd", TARVO_CAUSE_NOT_SERIAL},
        {50, "rfc2217://h:1", TARVO_CAUSE_NEGOTIATION},  {87, "usb:xx", TARVO_CAUSE_BAD_MAPPING},
        {2404, "/dev/ttyS0", TARVO_CAUSE_CONSOLE},       {1225, "tcp://h:1", TARVO_CAUSE_REFUSED},
        {121, "tcp://h:1", TARVO_CAUSE_NO_ANSWER},       {11001, "tcp://h:1", TARVO_CAUSE_NO_SUCH_HOST},
        {31, "/dev/ttyS3", TARVO_CAUSE_OTHER},
    };
    for (const Case& c : cases) {
        device().failing = {"CreateFileA"};
        device().lastErrorOnFailure = c.error;
        device().dosDevice = c.device;
        ASSERT_EQ(sio_open(4), ERR_OPEN_FAILED);
        char text[TARVO_DEVICE_TEXT_SIZE + 64];
        EXPECT_EQ(tarvo_open_cause(4, text, sizeof text), c.cause) << c.error;
        EXPECT_EQ(std::string(text).rfind(std::string(c.device) + ": " + tarvo_cause_text(c.cause), 0), 0u) << text;
    }
    // A mapping that cannot be understood says which part is wrong.
    device().dosDevice = "tcp://h:47x";
    device().mappingProblem = "port '47x' is not a number from 1 to 65535";
    device().lastErrorOnFailure = 87;
    ASSERT_EQ(sio_open(4), ERR_OPEN_FAILED);
    char bad[TARVO_DEVICE_TEXT_SIZE + 64];
    EXPECT_EQ(tarvo_open_cause(4, bad, sizeof bad), TARVO_CAUSE_BAD_MAPPING);
    EXPECT_STREQ(bad, "tcp://h:47x: port '47x' is not a number from 1 to 65535");
    device().mappingProblem.clear();
    // Cut short, still terminated; no device name known: the COM number.
    char small[8];
    EXPECT_EQ(tarvo_open_cause(4, small, sizeof small), TARVO_CAUSE_BAD_MAPPING);
    EXPECT_EQ(std::strlen(small), 7u);
    device().failing = {"CreateFileA", "QueryDosDeviceA"};
    sio_setComPortNo(4, 9);
    sio_open(4);
    char text[80];
    tarvo_open_cause(4, text, sizeof text);
    EXPECT_EQ(std::string(text).rfind("COM9: ", 0), 0u) << text;

    device().failing.clear();
    ASSERT_EQ(sio_open(4), 0);
    EXPECT_EQ(tarvo_open_cause(4, nullptr, 0), TARVO_CAUSE_NONE);
    EXPECT_EQ(tarvo_open_cause(0, nullptr, 0), ERR_BAD_PORT);
    EXPECT_STREQ(tarvo_cause_text(-1), tarvo_cause_text(TARVO_CAUSE_OTHER));
}

TEST_F(Extensions, TargetIsOpenedAheadOfTheComNumberUntilForgotten) {
    const std::string open = ", 0xc0000000, 0, null, 3, 0x40000080, null)";
    sio_setComPortNo(2, 9);
    ASSERT_EQ(tarvo_set_target(2, "usb:0403:6001"), 0);
    EXPECT_EQ(tarvo_set_target(2, "/dev/tty\nX"), ERR_BAD_PARAMETER);  // refused: the target before stays
    EXPECT_EQ(tarvo_set_target(2, std::string(TARVO_DEVICE_TEXT_SIZE, 'x').c_str()), ERR_BAD_PARAMETER);
    EXPECT_EQ(tarvo_set_target(0, "/dev/x"), ERR_BAD_PORT);
    EXPECT_EQ(tarvo_set_target(17, nullptr), ERR_BAD_PORT);
    ASSERT_EQ(sio_open(2), 0);
    ASSERT_EQ(tarvo_set_target(2, ""), 0);  // forgotten; the open port keeps its device
    EXPECT_EQ(sio_term_irq(2), 0);
    ASSERT_EQ(sio_open(2), 0);
    ASSERT_EQ(tarvo_set_target(2, std::string(TARVO_DEVICE_TEXT_SIZE - 1, 'y').c_str()), 0);
    ASSERT_EQ(sio_open(2), 0);
    ASSERT_EQ(tarvo_set_target(2, nullptr), 0);
    ASSERT_EQ(sio_open(2), 0);
    EXPECT_EQ(device().callsStartingWith("CreateFileA"),
              (Calls{"CreateFileA(usb:0403:6001" + open, "CreateFileA(\\\\.\\COM9" + open,
                     "CreateFileA(" + std::string(TARVO_DEVICE_TEXT_SIZE - 1, 'y') + open,
                     "CreateFileA(\\\\.\\COM9" + open}));
}

TEST_F(Extensions, PortDeviceIsWhatTheOpenOfItsNameReached) {
    device().dosDevice = "/dev/ttyUSB3";
    ASSERT_EQ(tarvo_set_target(3, "usb:0403:6001"), 0);
    ASSERT_EQ(sio_open(3), 0);
    calls().clear();
    char text[TARVO_DEVICE_TEXT_SIZE];
    EXPECT_EQ(tarvo_port_device(3, text, sizeof text), 12);
    EXPECT_STREQ(text, "/dev/ttyUSB3");
    EXPECT_EQ(calls(), Calls{"QueryDosDeviceA(usb:0403:6001)"});  // asked by the name the open was given
    EXPECT_EQ(tarvo_port_device(3, text, 13), 12);                  // exactly the room for it and its NUL
    EXPECT_EQ(tarvo_port_device(3, text, 12), ERR_BAD_PARAMETER);
    EXPECT_EQ(tarvo_port_device(3, nullptr, 64), ERR_BAD_PARAMETER);
    EXPECT_EQ(tarvo_port_device(3, text, 0), ERR_BAD_PARAMETER);
    EXPECT_EQ(tarvo_port_device(0, text, sizeof text), ERR_BAD_PORT);

    // The device layer knows nothing: the name the port opens stands for it.
    device().failing = {"QueryDosDeviceA"};
    EXPECT_EQ(tarvo_port_device(3, text, sizeof text), 13);
    EXPECT_STREQ(text, "usb:0403:6001");
    EXPECT_EQ(tarvo_port_device(4, text, sizeof text), 4);
    EXPECT_STREQ(text, "COM4");
}

TEST_F(Extensions, WaitAsksTheDeviceOnceAndReportsAFailedLine) {
    const auto wait = [] { return tarvo_wait(1, 5, 250); };
    EXPECT_EQ(run(wait), std::make_pair(2, Calls{"WaitCommInput"}));
    EXPECT_EQ(device().calls.back(), "WaitCommInput(h1, 5, 250)");
    EXPECT_EQ(run(wait, 0), std::make_pair(ERR_STATUS_FAILED, Calls{"WaitCommInput"}));
    EXPECT_EQ(run([] { return tarvo_wait(1, 0, 10); }), std::make_pair(ERR_BAD_PARAMETER, Calls{}));
    EXPECT_EQ(run([] { return tarvo_wait(1, 1, -1); }), std::make_pair(ERR_BAD_PARAMETER, Calls{}));
    EXPECT_EQ(run([] {
                  fake::device().queueOverride = 0xFFFFFFFF;
                  return tarvo_wait(1, 1, 0);
              }).first,
              INT_MAX);
    EXPECT_EQ(tarvo_wait(2, 0, -1), ERR_NOT_OPEN);  // the open test comes first
    EXPECT_EQ(tarvo_wait(0, 1, 0), ERR_BAD_PORT);
}

}  // namespace
}  // namespace tarvo::test
