// Opening and closing real terminals through libtarvo.so.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "pty/port_fixture.h"

namespace tarvo::pty {
namespace {

using RegistryPty = PtyPort;

// Another process is refused too (root passes TIOCEXCL; the lock must still
// hold), and the device is free once closed.
TEST_F(RegistryPty, HoldsTheDeviceAgainstOtherProcessesUntilClosed) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sio_setComPortNo(3, COM);
        _exit(sio_open(3) == ERR_OPEN_FAILED ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could open the held device";

    ASSERT_EQ(sio_close(PORT), 0);
    sio_setComPortNo(2, COM);
    EXPECT_EQ(sio_open(2), 0);
    EXPECT_EQ(sio_close(2), 0);
    sio_setComPortNo(2, -1);
}

TEST_F(RegistryPty, ThousandOpenCloseCyclesLeakNoDescriptor) {
    ASSERT_EQ(sio_close(PORT), 0);
    const int before = open_descriptors();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(sio_open(PORT), 0) << "cycle " << i;
        ASSERT_EQ(sio_close(PORT), 0) << "cycle " << i;
    }
    EXPECT_LE(open_descriptors(), before);
}

TEST(RegistryRawMode, OpenMakesTheLineRawAndKeepsItsSpeedAndFormat) {
    Pty pty;
    termios2 cooked = pty.settings();
    cooked.c_iflag |= ICRNL | IXON | IXOFF | IXANY | INLCR;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cflag = (cooked.c_cflag & ~(CBAUD | CIBAUD | CLOCAL)) | B4800 | CSTOPB | CRTSCTS | PARODD;
    cooked.c_cc[VMIN] = 1;
    cooked.c_cc[VTIME] = 5;
    pty.set(cooked);

    pty.map_as(COM);
    sio_setComPortNo(PORT, COM);
    ASSERT_EQ(sio_open(PORT), 0);
    const termios2 raw = pty.settings();
    sio_close(PORT);
    sio_setComPortNo(PORT, -1);

    EXPECT_EQ(raw.c_iflag & (ICRNL | IXON | IXOFF | IXANY | INLCR), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(raw.c_cflag & (CLOCAL | CREAD), CLOCAL | CREAD);
    EXPECT_EQ(raw.c_cc[VMIN], 0);
    EXPECT_EQ(raw.c_cc[VTIME], 0);
    EXPECT_EQ(raw.c_ospeed, 4800u);
    EXPECT_EQ(raw.c_cflag & (CBAUD | CSTOPB | CRTSCTS | PARODD | CSIZE), B4800 | CSTOPB | CRTSCTS | PARODD | CS8);
}

TEST(RegistryNoTerminal, RegularFilesAndMissingPathsDoNotOpen) {
    char file[] = "/tmp/tarvo-pty-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);

    for (const char* path : {static_cast<const char*>(file), "/nonexistent/tarvo-tty"}) {
        setenv("TARVO_COM42", path, 1);
        sio_setComPortNo(PORT, 42);
        EXPECT_EQ(sio_open(PORT), ERR_OPEN_FAILED) << path;
        EXPECT_EQ(sio_close(PORT), ERR_NOT_OPEN) << path;
    }
    sio_setComPortNo(PORT, -1);
    unlink(file);
}

}  // namespace
}  // namespace tarvo::pty
