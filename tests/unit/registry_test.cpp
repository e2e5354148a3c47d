#include <climits>
#include <functional>

#include "unit/test_support.h"

namespace tarvo::test {
namespace {

using Call = std::function<int(int port)>;

// Every exported function, with harmless arguments, by name.
const std::vector<std::pair<std::string, Call>>& all_functions() {
    static char buffer[8];
    static const std::vector<std::pair<std::string, Call>> functions = {
        {"setComPortNo", [](int p) { return sio_setComPortNo(p, 3); }},
        {"open", [](int p) { return sio_open(p); }},
        {"close", [](int p) { return sio_close(p); }},
        {"term_irq", [](int p) { return sio_term_irq(p); }},
        {"iqueue", [](int p) { return sio_iqueue(p); }},
        {"getch", [](int p) { return sio_getch(p); }},
        {"read", [](int p) { return sio_read(p, buffer, sizeof buffer); }},
        {"write", [](int p) { return sio_write(p, "x", 1); }},
        {"flush", [](int p) { return sio_flush(p, 2); }},
        {"baud", [](int p) { return sio_baud(p, 9600); }},
        {"ioctl", [](int p) { return sio_ioctl(p, 12, 3); }},
        {"flowctrl", [](int p) { return sio_flowctrl(p, 3); }},
        {"RTS", [](int p) { return sio_RTS(p, 1); }},
        {"DTR", [](int p) { return sio_DTR(p, 1); }},
        {"enableat", [](int p) { return sio_enableat(p); }},
        {"disableat", [](int p) { return sio_disableat(p); }},
    };
    return functions;
}

bool needs_open_port(const std::string& name) { return name != "setComPortNo" && name != "open"; }

using RegistryTest = FakeDeviceTest;

TEST_F(RegistryTest, ClosedPortsAnswerNotOpenWithoutTouchingTheDevice) {
    for (int port = 1; port <= 16; ++port) {
        for (const auto& [name, call] : all_functions()) {
            if (needs_open_port(name)) {
                EXPECT_EQ(call(port), ERR_NOT_OPEN) << name << " on port " << port;
            }
        }
    }
    EXPECT_TRUE(calls().empty());
}

TEST_F(RegistryTest, PortNumbersOutsideTheTableAreRefusedByEveryFunction) {
    open(1);  // an open port nearby must not be reached through a bad number
    for (int port : {0, 17, -1, INT_MIN, INT_MAX}) {
        for (const auto& [name, call] : all_functions()) {
            EXPECT_EQ(call(port), ERR_BAD_PORT) << name << " " << port;
        }
    }
    EXPECT_TRUE(calls().empty());
}

TEST_F(RegistryTest, OpenFormatsTheDevicePathAndOpensExclusivelyOverlapped) {
    ASSERT_EQ(sio_open(5), 0);
    EXPECT_EQ(device().callsStartingWith("CreateFileA"),
              Calls{"CreateFileA(\\\\.\\COM5, 0xc0000000, 0, null, 3, 0x40000080, null)"});
    EXPECT_EQ(device().callsStartingWith("SetupComm"), Calls{"SetupComm(h1, 1024, 1024)"});
}

TEST_F(RegistryTest, OverrideChoosesTheComNumberAtTheNextOpen) {
    auto opened_path = [&](int port) {
        calls().clear();
        EXPECT_EQ(sio_open(port), 0);
        EXPECT_EQ(sio_close(port), 0);
        const std::string call = device().callsStartingWith("CreateFileA").at(0);
        return call.substr(12, call.find(',') - 12);
    };
    EXPECT_EQ(opened_path(5), "\\\\.\\COM5");
    EXPECT_EQ(sio_setComPortNo(5, 11), 0);
    EXPECT_EQ(opened_path(5), "\\\\.\\COM11");
    EXPECT_EQ(sio_setComPortNo(5, -1), 0);
    EXPECT_EQ(opened_path(5), "\\\\.\\COM5");
    EXPECT_EQ(sio_setComPortNo(5, 0), 0);
    EXPECT_EQ(opened_path(5), "\\\\.\\COM0");
    EXPECT_EQ(sio_setComPortNo(5, INT_MAX), 0);
    EXPECT_EQ(opened_path(5), "\\\\.\\COM2147483647");
}

TEST_F(RegistryTest, OverrideSurvivesCloseAndDoesNotDisturbAnOpenPort) {
    open(2);
    EXPECT_EQ(sio_setComPortNo(2, 9), 0);
    EXPECT_EQ(sio_term_irq(2), 0);  // still open on its old device
    EXPECT_TRUE(calls().empty());
    ASSERT_EQ(sio_close(2), 0);
    ASSERT_EQ(sio_open(2), 0);
    EXPECT_EQ(device().openHandles.begin()->second, "\\\\.\\COM9");
}

TEST_F(RegistryTest, FailedQueueSetupLeavesThePortOpenAndClosable) {
    device().failing = {"SetupComm"};
    EXPECT_EQ(sio_open(3), ERR_SETUP_FAILED);
    EXPECT_EQ(sio_term_irq(3), 0);
    EXPECT_EQ(sio_close(3), 0);
    EXPECT_TRUE(device().openHandles.empty());
}

TEST_F(RegistryTest, FailedCloseKeepsTheHandle) {
    open(6);
    device().failing = {"CloseHandle"};
    EXPECT_EQ(sio_close(6), ERR_CLOSE_FAILED);
    EXPECT_EQ(sio_term_irq(6), 0);
    device().failing.clear();
    EXPECT_EQ(sio_close(6), 0);
    EXPECT_EQ(calls(), (Calls{"CloseHandle(h1)", "CloseHandle(h1)"}));
    EXPECT_EQ(sio_close(6), ERR_NOT_OPEN);
}

// The device is let go before it is asked for again: the exclusive open of
// the same device fails while the old handle holds it.
TEST_F(RegistryTest, ReopeningAnOpenPortReleasesTheOldHandleFirst) {
    open(7);
    EXPECT_EQ(sio_open(7), 0);
    EXPECT_EQ(device().openHandles.size(), 1u);
}

TEST_F(RegistryTest, EachRecordGetsItsOwnEventOnceForTheLifeOfTheProcess) {
    ASSERT_EQ(sio_open(1), 0);
    ASSERT_EQ(sio_close(1), 0);
    ASSERT_EQ(sio_open(1), 0);
    EXPECT_EQ(device().callsStartingWith("CreateEventA"),
              (Calls{"CreateEventA(null, manual, unsignaled, null)",
                                        "CreateEventA(null, manual, unsignaled, null)"}));
    const PortSlot& slot = *port_slot(1);
    EXPECT_NE(slot.readRecord.hEvent, nullptr);
    EXPECT_NE(slot.writeRecord.hEvent, nullptr);
    EXPECT_NE(slot.readRecord.hEvent, slot.writeRecord.hEvent);
}

}  // namespace
}  // namespace tarvo::test
