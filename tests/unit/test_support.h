// Shared fixture: a freshly loaded library over a freshly reset fake device.
#ifndef TARVO_TESTS_UNIT_TEST_SUPPORT_H
#define TARVO_TESTS_UNIT_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include "fake/fake_device.h"
#include "registry/port_table.h"
#include "tarvo.h"

namespace tarvo::test {

// Device calls as the fake records them, e.g. "PurgeComm(h1, 0x0f)".
using Calls = std::vector<std::string>;

class FakeDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        reset_port_table();
    }
    fake::Device& device() { return fake::device(); }
    Calls& calls() { return fake::device().calls; }

    // Opens `port` and forgets the calls that took, so a test sees only its own.
    void open(int port) {
        ASSERT_EQ(sio_open(port), 0);
        calls().clear();
    }
};

// The calls by name alone: "PurgeComm(h1, 0x0f)" -> "PurgeComm".
inline Calls names(const Calls& calls) {
    Calls found;
    for (const std::string& call : calls) found.push_back(call.substr(0, call.find('(')));
    return found;
}

}  // namespace tarvo::test

#endif
