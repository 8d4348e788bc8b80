// A command channel on an in-process simulated device, for the round-trip and
// fault tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "common_k52/hidc.h"
#include "sim/sim_device.h"

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

    static std::vector<uint8_t> randomBytes(size_t n, uint32_t seed)
    {
        std::mt19937 gen(seed);
        std::vector<uint8_t> out(n);
        for (auto& b : out) b = uint8_t(gen());
        return out;
    }

    SimDevice dev;
    HidcChannel ch{};
};
