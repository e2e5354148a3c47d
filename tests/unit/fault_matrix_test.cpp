// Every device call of every operation, made to fail in turn. Each row names
// the calls the operation makes when the device does everything asked, then,
// for each of those calls failing alone: what the operation returns, which
// calls it still makes after the failed one, and what the port's slot holds
// afterwards. Port 1 is the port under test throughout.
#include <functional>
#include <iostream>
#include <set>

#include "unit/test_support.h"

namespace tarvo::test {
namespace {

enum class Slot {
    Kept,    // still open on the handle it had before the call
    Opened,  // open on a handle the device holds
    Closed,  // closed
};

struct Failure {
    int result;
    Slot slot;
    Calls after;  // calls made after the failed one
};

struct Path {
    const char* function;            // the exported function
    const char* situation;           // what the path needs to be taken
    bool portOpen;                   // port 1 is open before the call
    std::function<void()> arrange;   // device state before the call
    std::function<int()> call;
    int result;                      // with no failure
    Slot slot;                       // with no failure
    Calls sequence;                  // with no failure, by name
    std::vector<Failure> failures;   // one for each call of `sequence`, in order
};

char readBuffer[8];

void nothing() {}
void five_bytes_waiting() { fake::device().input = {'a', 'b', 'c', 'd', 'e'}; }
void one_byte_waiting() { fake::device().input = {0x41}; }
void one_byte_waiting_read_pends() {
    one_byte_waiting();
    fake::device().readsPend = true;
}
void five_bytes_waiting_read_pends() {
    five_bytes_waiting();
    fake::device().readsPend = true;
}
void write_pends() { fake::device().writesPend = true; }

const std::vector<Path>& paths() {
    static const std::vector<Path> table = {
        {"sio_setComPortNo", "", true, nothing, [] { return sio_setComPortNo(1, 7); }, 0, Slot::Kept, {}, {}},

        {"sio_open", "first open of the port",
         false, nothing, [] { return sio_open(1); }, 0, Slot::Opened,
         {"CreateEventA", "CreateEventA", "CreateFileA", "SetupComm"},
         {{ERR_OPEN_FAILED, Slot::Closed, {}},  // no event for the read record
          {ERR_OPEN_FAILED, Slot::Closed, {}},  // none for the write record
          {ERR_OPEN_FAILED, Slot::Closed, {"GetLastError"}},  // why, kept for tarvo_open_cause
          {ERR_SETUP_FAILED, Slot::Opened, {}}}},  // the caller closes it

        {"sio_open", "the port is open",
         true, nothing, [] { return sio_open(1); }, 0, Slot::Opened,
         {"CloseHandle", "CreateFileA", "SetupComm"},
         // A device that could not be let go stays with the port.
         {{ERR_OPEN_FAILED, Slot::Kept, {}},
          {ERR_OPEN_FAILED, Slot::Closed, {"GetLastError"}},
          {ERR_SETUP_FAILED, Slot::Opened, {}}}},

        {"sio_close", "", true, nothing, [] { return sio_close(1); }, 0, Slot::Closed,
         {"CloseHandle"},
         {{ERR_CLOSE_FAILED, Slot::Kept, {}}}},

        {"sio_term_irq", "", true, nothing, [] { return sio_term_irq(1); }, 0, Slot::Kept, {}, {}},

        {"sio_iqueue", "", true, five_bytes_waiting, [] { return sio_iqueue(1); }, 5, Slot::Kept,
         {"ClearCommError"},
         {{ERR_STATUS_FAILED, Slot::Kept, {}}}},

        {"sio_getch", "the read completes at once",
         true, one_byte_waiting, [] { return sio_getch(1); }, 0x41, Slot::Kept,
         {"ClearCommError", "ReadFile"},
         {{ERR_NO_DATA, Slot::Kept, {}},  // a failed status read counts as an empty queue
          {ERR_NO_DATA, Slot::Kept, {"GetLastError"}}}},

        {"sio_getch", "the read pends",
         true, one_byte_waiting_read_pends, [] { return sio_getch(1); }, 0x41, Slot::Kept,
         {"ClearCommError", "ReadFile", "GetLastError", "GetOverlappedResult"},
         {{ERR_NO_DATA, Slot::Kept, {}},
          {ERR_NO_DATA, Slot::Kept, {"GetLastError"}},
          {ERR_NO_DATA, Slot::Kept, {}},
          {ERR_NO_DATA, Slot::Kept, {}}}},

        {"sio_read", "the read completes at once",
         true, five_bytes_waiting, [] { return sio_read(1, readBuffer, sizeof readBuffer); }, 5, Slot::Kept,
         {"ClearCommError", "ReadFile"},
         {{0, Slot::Kept, {}},
          {0, Slot::Kept, {"GetLastError"}}}},

        {"sio_read", "the read pends",
         true, five_bytes_waiting_read_pends, [] { return sio_read(1, readBuffer, sizeof readBuffer); }, 5,
         Slot::Kept,
         {"ClearCommError", "ReadFile", "GetLastError", "GetOverlappedResult"},
         {{0, Slot::Kept, {}},
          {0, Slot::Kept, {"GetLastError"}},
          {0, Slot::Kept, {}},
          {0, Slot::Kept, {}}}},

        // The status read and the purge before a write go unchecked.
        {"sio_write", "the write completes at once",
         true, nothing, [] { return sio_write(1, "hello", 5); }, 5, Slot::Kept,
         {"ClearCommError", "PurgeComm", "WriteFile"},
         {{5, Slot::Kept, {"PurgeComm", "WriteFile"}},
          {5, Slot::Kept, {"WriteFile"}},
          {0, Slot::Kept, {"GetLastError"}}}},

        {"sio_write", "the write pends",
         true, write_pends, [] { return sio_write(1, "hello", 5); }, 5, Slot::Kept,
         {"ClearCommError", "PurgeComm", "WriteFile", "GetLastError", "GetOverlappedResult"},
         {{5, Slot::Kept, {"PurgeComm", "WriteFile", "GetLastError", "GetOverlappedResult"}},
          {5, Slot::Kept, {"WriteFile", "GetLastError", "GetOverlappedResult"}},
          {0, Slot::Kept, {"GetLastError"}},
          {0, Slot::Kept, {}},
          {0, Slot::Kept, {}}}},

        {"sio_flush", "selector 0", true, nothing, [] { return sio_flush(1, 0); }, 0, Slot::Kept,
         {"ClearCommError", "PurgeComm"},
         {{ERR_STATUS_FAILED, Slot::Kept, {}},
          {ERR_PURGE_FAILED, Slot::Kept, {}}}},

        {"sio_flush", "selector 1", true, nothing, [] { return sio_flush(1, 1); }, 0, Slot::Kept,
         {"ClearCommError", "PurgeComm"},
         {{ERR_STATUS_FAILED, Slot::Kept, {}},
          {ERR_PURGE_FAILED, Slot::Kept, {}}}},

        {"sio_flush", "selector 2", true, nothing, [] { return sio_flush(1, 2); }, 0, Slot::Kept,
         {"ClearCommError", "PurgeComm", "PurgeComm"},
         {{ERR_STATUS_FAILED, Slot::Kept, {}},
          {ERR_PURGE_FAILED, Slot::Kept, {"PurgeComm"}},  // the output queue is still purged
          {ERR_PURGE_FAILED, Slot::Kept, {}}}},

        {"sio_baud", "", true, nothing, [] { return sio_baud(1, 19200); }, 0, Slot::Kept,
         {"GetCommState", "SetCommState"},
         {{ERR_GET_STATE_FAILED, Slot::Kept, {}},
          {ERR_SET_STATE_FAILED, Slot::Kept, {}}}},

        // Failed timeouts do not stop the settings.
        {"sio_ioctl", "", true, nothing, [] { return sio_ioctl(1, 12, 0x03); }, 0, Slot::Kept,
         {"GetCommState", "SetCommTimeouts", "SetCommState"},
         {{ERR_GET_STATE_FAILED, Slot::Kept, {}},
          {0, Slot::Kept, {"SetCommState"}},
          {ERR_SET_STATE_FAILED, Slot::Kept, {}}}},

        {"sio_flowctrl", "", true, nothing, [] { return sio_flowctrl(1, 3); }, 0, Slot::Kept,
         {"GetCommState", "SetCommState"},
         {{ERR_GET_STATE_FAILED, Slot::Kept, {}},
          {ERR_SET_STATE_FAILED, Slot::Kept, {}}}},

        {"sio_RTS", "", true, nothing, [] { return sio_RTS(1, 1); }, 0, Slot::Kept,
         {"GetCommState", "SetCommState"},
         {{ERR_GET_STATE_FAILED, Slot::Kept, {}},
          {ERR_SET_STATE_FAILED, Slot::Kept, {}}}},

        {"sio_DTR", "", true, nothing, [] { return sio_DTR(1, 0); }, 0, Slot::Kept,
         {"GetCommState", "SetCommState"},
         {{ERR_GET_STATE_FAILED, Slot::Kept, {}},
          {ERR_SET_STATE_FAILED, Slot::Kept, {}}}},

        {"sio_enableat", "", true, nothing, [] { return sio_enableat(1); }, 0, Slot::Kept,
         {"GetCommState", "SetCommState"},
         {{ERR_GET_STATE_FAILED, Slot::Kept, {}},
          {ERR_SET_STATE_FAILED, Slot::Kept, {}}}},

        {"sio_disableat", "", true, nothing, [] { return sio_disableat(1); }, 0, Slot::Kept,
         {"GetCommState", "SetCommState"},
         {{ERR_GET_STATE_FAILED, Slot::Kept, {}},
          {ERR_SET_STATE_FAILED, Slot::Kept, {}}}},
    };
    return table;
}

std::string describe(const Path& path) {
    return std::string(path.function) + (*path.situation ? std::string(", ") + path.situation : "");
}

class FaultMatrix : public FakeDeviceTest {
protected:
    // Runs `path` with the call at `failing` (none if equal to the sequence
    // length) made to fail; checks the result, the calls and the slot.
    void run(const Path& path, std::size_t failing) {
        SCOPED_TRACE(describe(path) + (failing < path.sequence.size()
                                           ? ", failing call " + std::to_string(failing + 1) + " (" +
                                                 path.sequence[failing] + ")"
                                           : ", no failure"));
        fake::reset();
        reset_port_table();
        if (path.portOpen) open(1);
        const PortSlot before = *port_slot(1);
        path.arrange();
        calls().clear();

        Calls expected = path.sequence;
        int result = path.result;
        Slot slot = path.slot;
        if (failing < path.sequence.size()) {
            device().failingCalls = {failing};
            const Failure& failure = path.failures[failing];
            expected.resize(failing + 1);
            expected.insert(expected.end(), failure.after.begin(), failure.after.end());
            result = failure.result;
            slot = failure.slot;
        }

        EXPECT_EQ(path.call(), result);
        EXPECT_EQ(names(calls()), expected);

        const PortSlot& after = *port_slot(1);
        switch (slot) {
            case Slot::Kept:
                EXPECT_EQ(after.handle, before.handle);
                EXPECT_EQ(device().openHandles.count(after.handle), 1u);
                break;
            case Slot::Opened:
                EXPECT_TRUE(is_open(after));
                EXPECT_EQ(device().openHandles.count(after.handle), 1u);
                break;
            case Slot::Closed:
                EXPECT_FALSE(is_open(after));
                EXPECT_EQ(sio_iqueue(1), ERR_NOT_OPEN);
                break;
        }
        // A failed device call changes nothing else in the slot.
        if (failing < path.sequence.size()) {
            EXPECT_EQ(after.comOverride, before.comOverride);
        }
    }
};

TEST_F(FaultMatrix, EveryExportedFunctionHasItsPaths) {
    std::set<std::string> functions;
    std::size_t failures = 0;
    for (const Path& path : paths()) {
        functions.insert(path.function);
        failures += path.sequence.size();
        EXPECT_EQ(path.failures.size(), path.sequence.size()) << describe(path);
    }
    EXPECT_EQ(functions.size(), 16u);
    std::cout << "fault matrix: " << functions.size() << " operations, " << paths().size() << " paths, " << failures
              << " failing calls\n";
}

TEST_F(FaultMatrix, WithoutFailuresEachPathMakesItsCalls) {
    for (const Path& path : paths()) run(path, path.sequence.size());
}

TEST_F(FaultMatrix, EachCallFailingAloneGivesItsResultAndSlot) {
    for (const Path& path : paths()) {
        if (path.failures.size() != path.sequence.size()) continue;  // reported by the test above
        for (std::size_t failing = 0; failing < path.sequence.size(); ++failing) run(path, failing);
    }
}

}  // namespace
}  // namespace tarvo::test
