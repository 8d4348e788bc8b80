// A command channel on an in-process simulated device, for the round-trip and
// fault tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common_k52/hidc.h"
#include "sim/sim_device.h"
#include "support/random_bytes.h"

using test_support::randomBytes;

class SimChannel : public ::testing::Test {
protected:
    void SetUp() override { openPort(); }
    void TearDown() override { Hidc_closePort(ch.port); }

    // A fresh port on the device, identified as the machine layer does it.
    void openPort()
    {
        Hidc_closePort(ch.port);
        ch.port = Hidc_portFromDevice(SimDevice_openTransport(&dev));
        ASSERT_NE(ch.port, nullptr);
        ch.bootVersion = 0;
        ch.bootVersion = Hidc_getBootVersion(&ch);
        ASSERT_EQ(ch.bootVersion, dev.bootVersion());
    }

    SimDevice dev;
    HidcChannel ch{};
};
