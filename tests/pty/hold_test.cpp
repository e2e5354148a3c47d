// The exclusive hold across processes: forked children, other users, a
// holder that dies, other paths to the same device. Children report through
// their exit status: 0 opened, 2 refused (-20002), anything else a fault.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "pty/pty_support.h"
#include "tarvo.h"

namespace tarvo::pty {
namespace {

constexpr int PORT = 1;
constexpr int OTHER = 2;  // a second port on the same device
constexpr int COM = 44;
constexpr int OPENED = 0;
constexpr int REFUSED = 2;

int outcome(int rc) { return rc == 0 ? OPENED : rc == ERR_OPEN_FAILED ? REFUSED : 99; }

// Opens the device on a port of its own, as `uid`, and lets go again.
int open_from_another_process(unsigned uid) {
    return run_in_child([] {
        const int rc = sio_open(OTHER);
        if (rc == 0) sio_close(OTHER);
        return outcome(rc);
    }, uid);
}

class Hold : public ::testing::Test {
protected:
    void SetUp() override {
        pty.open_to_all();
        pty.map_as(COM);
        sio_setComPortNo(PORT, COM);
        sio_setComPortNo(OTHER, COM);
    }
    void TearDown() override {
        sio_close(PORT);
        sio_close(OTHER);
        sio_setComPortNo(PORT, -1);
        sio_setComPortNo(OTHER, -1);
    }

    Pty pty;
};

TEST_F(Hold, ForkedChildLetsGoOnlyOfItsOwnDescriptor) {
    if (::geteuid() != 0) GTEST_SKIP() << NEEDS_ROOT;
    ASSERT_EQ(sio_open(PORT), 0);
    // The child's close succeeds for the child; its sio_open lets go of the
    // inherited port and then meets the parent's hold.
    EXPECT_EQ(run_in_child([] { return outcome(sio_close(PORT)); }), OPENED);
    EXPECT_EQ(run_in_child([] { return outcome(sio_open(PORT)); }), REFUSED);
    EXPECT_EQ(open_from_another_process(0), REFUSED);
    EXPECT_EQ(open_from_another_process(NOBODY), REFUSED);

    ASSERT_EQ(sio_write(PORT, "ok", 2), 2);
    EXPECT_EQ(pty.receive(2).size(), 2u);
    ASSERT_EQ(sio_close(PORT), 0);
    EXPECT_EQ(open_from_another_process(NOBODY), OPENED);
}

// A close lets go of the hold itself only where a fork shares the
// descriptor; a child that lives on with it must not keep the port held.
TEST_F(Hold, CloseWhileAForkedChildLivesOnFreesThePort) {
    if (::geteuid() != 0) GTEST_SKIP() << NEEDS_ROOT;
    ASSERT_EQ(sio_open(PORT), 0);
    StandingChild inheritor([] { return OPENED; });
    ASSERT_EQ(inheritor.ready(), OPENED);
    ASSERT_EQ(sio_close(PORT), 0);
    EXPECT_EQ(open_from_another_process(NOBODY), OPENED);
    // Opened and closed after the fork: this process's alone, and let go.
    ASSERT_EQ(sio_open(PORT), 0);
    ASSERT_EQ(sio_close(PORT), 0);
    EXPECT_EQ(open_from_another_process(NOBODY), OPENED);
}

TEST_F(Hold, HolderKilledLeavesTheDeviceToTheNextOpener) {
    if (::geteuid() != 0) GTEST_SKIP() << NEEDS_ROOT;
    StandingChild holder([] { return outcome(sio_open(PORT)); });
    ASSERT_EQ(holder.ready(), OPENED);
    EXPECT_EQ(sio_open(PORT), ERR_OPEN_FAILED);
    EXPECT_EQ(open_from_another_process(NOBODY), REFUSED);

    holder.kill();
    EXPECT_EQ(open_from_another_process(NOBODY), OPENED);
    EXPECT_EQ(sio_open(PORT), 0);
}

TEST_F(Hold, LongPathThroughALinkReachesTheSameDevice) {
    char top[] = "/tmp/tarvo-hold-XXXXXX";
    ASSERT_NE(::mkdtemp(top), nullptr);
    std::string path = top;
    while (path.size() < 300) {
        path += "/nested-folder-of-a-device-tree";
        ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    }
    const std::string link = path + "/serial-port";
    ASSERT_EQ(::symlink(pty.slave_name(), link.c_str()), 0);
    ASSERT_GE(link.size(), 256u);
    ::setenv("TARVO_COM45", link.c_str(), 1);
    sio_setComPortNo(OTHER, 45);

    ASSERT_EQ(sio_open(OTHER), 0);
    EXPECT_EQ(sio_open(PORT), ERR_OPEN_FAILED);
    ASSERT_EQ(sio_close(OTHER), 0);
    ASSERT_EQ(sio_open(PORT), 0);
    EXPECT_EQ(sio_open(OTHER), ERR_OPEN_FAILED);

    ::unsetenv("TARVO_COM45");
    ::unlink(link.c_str());
    while (path != top) {
        ::rmdir(path.c_str());
        path.resize(path.rfind('/'));
    }
    ::rmdir(top);
}

}  // namespace
}  // namespace tarvo::pty
