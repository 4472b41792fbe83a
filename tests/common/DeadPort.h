// A loopback port that nothing listens on: bound to an ephemeral port, then closed again.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "WzSocket.h"

namespace fctest {

inline uint16_t DeadLoopbackPort() {
    CWzSocket probe;
    CWzIPAddr loopback;
    EXPECT_TRUE(loopback.SetAddressString("127.0.0.1").Success());
    EXPECT_TRUE(probe.Listen(loopback).Success());
    return probe.GetLocalPort();
}

}  // namespace fctest
