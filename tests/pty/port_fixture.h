// Port 1 open on a fresh pty, mapped through TARVO_COM<COM>.
#ifndef TARVO_TESTS_PTY_PORT_FIXTURE_H
#define TARVO_TESTS_PTY_PORT_FIXTURE_H

#include <gtest/gtest.h>

#include "pty/pty_support.h"
#include "tarvo.h"

namespace tarvo::pty {

constexpr int PORT = 1;
constexpr int COM = 41;

class PtyPort : public ::testing::Test {
protected:
    void SetUp() override {
        pty.map_as(COM);
        sio_setComPortNo(PORT, COM);
        ASSERT_EQ(sio_open(PORT), 0);
    }
    void TearDown() override {
        sio_close(PORT);
        sio_setComPortNo(PORT, -1);
    }

    // Waits until the port's input queue holds `count` bytes.
    bool wait_for_input(int count, int timeoutMs = 5000) {
        return wait_until([count] { return sio_iqueue(PORT) >= count; }, timeoutMs);
    }

    Pty pty;
};

}  // namespace tarvo::pty

#endif
