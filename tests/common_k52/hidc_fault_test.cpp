// Every fault the simulated device can inject fails the operation that meets
// it with the right result, and leaves the channel usable for the next one.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>

#include "sim_channel.h"
#include "support/wait.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class HidcFaults : public SimChannel {
protected:
    void SetUp() override
    {
        ch.timeoutMs = 100;
        SimChannel::SetUp();
        dev.writeFlashDirect(0x40000, known.data(), uint32_t(known.size()));
    }

    // The next full exchange works: a query, and a write read back.
    void expectHealthy()
    {
        EXPECT_EQ(Hidc_getBootVersion(&ch), dev.bootVersion());
        std::vector<uint8_t> data = randomBytes(512, ++round), back(512);
        EXPECT_EQ(Hidc_writeFlash(&ch, 0x70000, data.data(), 512, false, 0), 1);
        EXPECT_EQ(Hidc_readFlash(&ch, 0x70000, back.data(), 512, 0), 1);
        EXPECT_EQ(back, data);
    }

    int read4k() { return Hidc_read(0x40000, &ch, buffer.data(), 4096, 0); }
    int write4k()
    {
        return Hidc_write(0x50000, &ch, known.data(), 4096, 0, 0, std::accumulate(known.begin(), known.end(), 0u));
    }

    std::vector<uint8_t> known = randomBytes(4096, 42);
    std::vector<uint8_t> buffer = std::vector<uint8_t>(4096);
    uint32_t round = 0;
};

TEST_F(HidcFaults, BadRepliesFailTheStepThatAwaitedThem)
{
    auto erase = [&] { return Hidc_erase(0x60000, 4096, &ch); };
    auto read = [&] { return read4k(); };
    auto write = [&] { return write4k(); };
    auto flashSize = [&] { return int(Hidc_getFlashSize(&ch)); };
    auto done = [&] { return Hidc_done(&ch); };
    const struct {
        const char* what;
        SimFaults faults;
        std::function<int()> op;
        int expected;
        int fault;  // why, as the channel keeps it for its caller
    } cases[] = {
        {"drop, erase", {.dropReply = 1}, erase, HIDC_E_DATA, HIDC_FAULT_MISSING},
        {"drop, query", {.dropReply = 1}, flashSize, 0, HIDC_FAULT_MISSING},
        {"drop, read", {.dropReply = 1}, read, HIDC_E_REPLY, HIDC_FAULT_MISSING},
        {"drop, write", {.dropReply = 1}, write, HIDC_E_REPLY, HIDC_FAULT_MISSING},
        {"sum, erase", {.corruptSum = 1}, erase, HIDC_E_DATA, HIDC_FAULT_INVALID},
        {"sum, done", {.corruptSum = 1}, done, 0, HIDC_FAULT_INVALID},
        {"signature, read", {.corruptSignature = 1}, read, HIDC_E_REPLY, HIDC_FAULT_INVALID},
        {"signature, query", {.corruptSignature = 1}, flashSize, 0, HIDC_FAULT_INVALID},
        {"status, write", {.failStatus = 1}, write, HIDC_E_REPLY, HIDC_FAULT_REFUSED},
        {"status, done", {.failStatus = 1}, done, 0, HIDC_FAULT_REFUSED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dev.setFaults(c.faults);
        EXPECT_EQ(c.op(), c.expected);
        EXPECT_EQ(ch.lastFault, c.fault);
        // Only what a second try may cure is worth one.
        EXPECT_EQ(Hidc_faultRetryable(ch.lastFault), c.fault != HIDC_FAULT_REFUSED);
        expectHealthy();
        EXPECT_EQ(ch.lastFault, HIDC_FAULT_NONE);
    }

    // Before boot 1046 the reply carries no status to fail.
    dev.setBootVersion(1045);
    openPort();
    dev.setFaults({.failStatus = 1});
    EXPECT_EQ(Hidc_done(&ch), 1);
}

// The late reply is already waiting when the next command goes out; taking
// it would answer the boot-version query with the flash size.
TEST_F(HidcFaults, LateReplyIsNotTakenForTheNextCommand)
{
    const int lateMs = 600;  // far beyond the channel's 100 ms, so only the time-out can end the query
    dev.setFaults({.delayReply = 1, .delayMs = lateMs});
    EXPECT_EQ(Hidc_getFlashSize(&ch), 0u);
    // The reply was queued before the query gave up: it is due by now + lateMs.
    std::this_thread::sleep_until(Clock::now() + std::chrono::milliseconds(lateMs));
    expectHealthy();
}

TEST_F(HidcFaults, StalledDataPhaseFailsAndTheDeviceRecovers)
{
    std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> steps;
    ch.progress = [](void* user, uint32_t phase, uint32_t count, uint32_t total) {
        static_cast<decltype(steps)*>(user)->emplace_back(phase, count, total);
    };
    ch.progressUser = &steps;

    dev.setFaults({.stopAfterData = 10, .stopArmed = true});
    EXPECT_EQ(write4k(), HIDC_E_DATA);
    EXPECT_EQ(steps.back(), std::make_tuple(2u, 640u, 640u));
    EXPECT_EQ(dev.readFlashDirect(0x50000, 4096), std::vector<uint8_t>(4096, 0xFF)) << "half a write is not stored";
    expectHealthy();

    for (uint32_t after : {0u, 5u}) {
        steps.clear();
        dev.setFaults({.stopAfterData = after, .stopArmed = true});
        EXPECT_EQ(read4k(), HIDC_E_DATA) << after;
        EXPECT_EQ(steps.back(), std::make_tuple(2u, 0u, 4096u));
        expectHealthy();
    }
    EXPECT_EQ(read4k(), HIDC_OK);
    EXPECT_EQ(buffer, known);
}

TEST_F(HidcFaults, DisconnectedDeviceNeedsANewPort)
{
    dev.setFaults({.disconnectAfter = 3});  // the command and two data reports
    EXPECT_EQ(write4k(), HIDC_E_DATA);
    EXPECT_EQ(Hidc_getBootVersion(&ch), 0u);
    EXPECT_EQ(Hidc_erase(0x60000, 4096, &ch), HIDC_E_COMMAND);
    dev.reconnect();
    EXPECT_EQ(Hidc_done(&ch), 0) << "a port from before the removal stays dead";
    openPort();
    expectHealthy();

    dev.disconnect();
    EXPECT_EQ(read4k(), HIDC_E_COMMAND);
    EXPECT_EQ(SimDevice_openTransport(&dev), nullptr);
    dev.reconnect();
    openPort();
    expectHealthy();
}

// Waited for at least the second, and not taken when it comes far later: a
// wait that load can only lengthen, and a late reply the host must refuse.
TEST_F(HidcFaults, DefaultTimeoutIsOneSecond)
{
    ch.timeoutMs = 0;
    dev.setFaults({.delayReply = 1, .delayMs = 4000});
    auto start = Clock::now();
    EXPECT_EQ(Hidc_getBootVersion(&ch), 0u) << "the reply 4 s late was waited for";
    EXPECT_GE(msSince(start), 990);
    expectHealthy();
}

// The cancel signal comes from another thread while the channel waits, once
// for a reply and once for a stalled data report; each wait ends at once and
// consumes the signal.
TEST_F(HidcFaults, CancelEndsTheWaitingTransferOnce)
{
    // Only a cancel can end a wait this long before the test's own bound.
    ch.timeoutMs = 60000;
    HidCancel* cancel = &ch.port->cancel;
    // The signal stays set until a wait takes it, so it may come before the
    // channel starts waiting.
    auto cancelWhen = [&](auto condition) {
        return std::thread([this, cancel, condition] {
            EXPECT_TRUE(test_support::waitUntil([&] { return condition(dev); }));
            cancel->signal();
        });
    };

    dev.resetCounters();
    dev.setFaults({.dropReply = 1});
    std::thread t = cancelWhen([](const SimDevice& d) { return d.commandsIn() >= 1; });
    auto start = Clock::now();
    EXPECT_EQ(Hidc_erase(0x60000, 4096, &ch), HIDC_E_DATA);
    EXPECT_LT(msSince(start), ch.timeoutMs);
    t.join();
    EXPECT_FALSE(cancel->isSignalled());
    expectHealthy();

    dev.resetCounters();
    dev.setFaults({.stopAfterData = 2, .stopArmed = true});
    t = cancelWhen([](const SimDevice& d) { return d.reportsIn() >= 3; });
    start = Clock::now();
    EXPECT_EQ(write4k(), HIDC_E_DATA);
    EXPECT_LT(msSince(start), ch.timeoutMs);
    t.join();
    EXPECT_FALSE(cancel->isSignalled());
    expectHealthy();
}

// The host gives up in the middle of a write the device was still taking;
// the next command must not be swallowed as the rest of the data.
TEST_F(HidcFaults, AbandonedWriteDoesNotSwallowTheNextCommand)
{
    ch.progress = [](void* user, uint32_t phase, uint32_t, uint32_t) {
        if (phase == 1) static_cast<HidCancel*>(user)->signal();
    };
    ch.progressUser = &ch.port->cancel;
    EXPECT_EQ(write4k(), HIDC_E_DATA);
    ch.progress = nullptr;
    EXPECT_FALSE(ch.port->cancel.isSignalled());
    expectHealthy();
}

TEST(SimFaultsParse, AcceptsKnownItemsAndRejectsTheRest)
{
    SimFaults faults;
    std::string error;
    ASSERT_TRUE(SimFaults_parse("drop:3,stop-data:0", &faults, &error)) << error;
    EXPECT_EQ(faults.dropReply, 3u);
    EXPECT_EQ(faults.stopAfterData, 0u);
    EXPECT_TRUE(faults.stopArmed) << "stopping after 0 reports is a real fault";

    for (const char* bad : {"bogus:1", "drop", "drop:x", "drop:3,bogus:1"}) {
        SimFaults untouched;
        error.clear();
        EXPECT_FALSE(SimFaults_parse(bad, &untouched, &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
        EXPECT_EQ(untouched.dropReply, 0u) << bad;
    }
}

} // namespace
