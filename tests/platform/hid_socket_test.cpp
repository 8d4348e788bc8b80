#include "platform/hid_transport.h"
#include "platform/sim_folder.h"

#include "support/wait.h"
#include "tests/platform/temp_tree.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using Report = std::array<uint8_t, kHidReportSize>;

// Far above what an operation that does not wait takes, even on a loaded
// machine; only a wait gone wrong reaches it.
constexpr long long kAtOnceMs = 3000;

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

Report numbered(uint8_t seed)
{
    Report r;
    r[0] = 0;
    for (size_t i = 1; i < r.size(); ++i) r[i] = uint8_t(seed + i);
    return r;
}

// A simulated device in update mode: a listening socket in a registered
// simulation folder, and the host's device opened on it through the
// transport, with the device's end of the connection in `peer`.
class SocketTransport : public ::testing::Test {
protected:
    void SetUp() override
    {
        path = sim / SimFolder_socketName(0x0416, 0xb500, "t1");
        listener = testtree::bindSeqpacket(path);
        ASSERT_GE(listener, 0);
        ASSERT_TRUE(SimFolder_registerBackends(sim.str()));
        dev = HidTransport_open(path.c_str());
        ASSERT_NE(dev, nullptr);
        peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(peer, 0);
    }
    void TearDown() override
    {
        HidDevice_close(dev);
        if (peer >= 0) close(peer);
        if (listener >= 0) close(listener);
        SimFolder_unregisterBackends(sim.str());
    }

    void closePeer()
    {
        close(peer);
        peer = -1;
    }

    testtree::TempDir sim;
    std::string path;
    int listener = -1;
    int peer = -1;
    HidDevice* dev = nullptr;
    HidCancel cancel;
};

TEST_F(SocketTransport, EnumerationListsTheSocketWithItsIds)
{
    testtree::makeDirs(sim / "disk#x/root");  // disk mode: not a HID interface
    int other = testtree::bindSeqpacket(sim / SimFolder_socketName(0x1234, 0xabcd, "o"));
    ASSERT_GE(other, 0);

    std::vector<HidDeviceInfo> found;
    for (const HidDeviceInfo& info : HidTransport_enumerate())
        if (info.backend == "simsocket") found.push_back(info);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, sim / "hid#vid_0416&pid_b500#t1.sock");
    EXPECT_EQ(found[0].vendorId, 0x0416);
    EXPECT_EQ(found[0].productId, 0xb500);
    EXPECT_EQ(found[1].vendorId, 0x1234);
    EXPECT_EQ(found[1].productId, 0xabcd);
    EXPECT_STREQ(dev->ops->name, "simsocket");
    close(other);
}

TEST_F(SocketTransport, ReportsCrossWholeInBothDirections)
{
    Report out = numbered(7);
    size_t taken = 0;
    ASSERT_EQ(HidDevice_write(dev, out.data(), out.size(), 1000, &cancel, &taken), HID_IO_OK);
    EXPECT_EQ(taken, kHidReportSize);
    uint8_t got[200];
    ASSERT_EQ(recv(peer, got, sizeof got, 0), ssize_t(kHidReportSize));
    EXPECT_EQ(std::memcmp(got, out.data(), kHidReportSize), 0);

    // A short report still goes out as one whole packet, zero-filled.
    const uint8_t shortReport[3] = {0, 0xAA, 0xBB};
    ASSERT_EQ(HidDevice_write(dev, shortReport, sizeof shortReport, 1000, &cancel, &taken), HID_IO_OK);
    EXPECT_EQ(taken, sizeof shortReport);
    ASSERT_EQ(recv(peer, got, sizeof got, 0), ssize_t(kHidReportSize));
    EXPECT_EQ(got[1], 0xAA);
    EXPECT_EQ(got[2], 0xBB);
    EXPECT_EQ(got[64], 0);

    Report reply = numbered(99);
    ASSERT_EQ(send(peer, reply.data(), reply.size(), 0), ssize_t(reply.size()));
    Report in{};
    size_t delivered = 0;
    ASSERT_EQ(HidDevice_read(dev, in.data(), in.size(), 1000, &cancel, &delivered), HID_IO_OK);
    EXPECT_EQ(delivered, kHidReportSize);
    EXPECT_EQ(in, reply);

    uint8_t tooLong[kHidReportSize + 1] = {};
    EXPECT_EQ(HidDevice_write(dev, tooLong, sizeof tooLong, 1000, &cancel, &taken), HID_IO_ERROR);
}

TEST_F(SocketTransport, ReadWithoutAnswerTimesOutOnTime)
{
    Report in{};
    size_t delivered = 99;
    auto start = Clock::now();
    EXPECT_EQ(HidDevice_read(dev, in.data(), in.size(), 120, &cancel, &delivered), HID_IO_TIMEOUT);
    long long took = msSince(start);
    EXPECT_GE(took, 110);
    EXPECT_LT(took, kAtOnceMs) << "a time-out far beyond the one asked for";
    EXPECT_EQ(delivered, 0u);
    EXPECT_EQ(HidDevice_read(dev, in.data(), in.size(), 0, &cancel, &delivered), HID_IO_TIMEOUT);
}

TEST_F(SocketTransport, PeerClosingMidReadFailsTheReadAtOnce)
{
    // An error, not a time-out: the read ended on the close, long before its limit.
    test_support::Gate reading;
    std::thread device([&] {
        reading.wait();
        closePeer();
    });
    Report in{};
    size_t delivered = 0;
    reading.open();
    EXPECT_EQ(HidDevice_read(dev, in.data(), in.size(), test_support::kPatienceMs, &cancel, &delivered),
              HID_IO_ERROR);
    device.join();

    // Nothing left to talk to: writes fail too, without waiting (a wait
    // would end in a time-out, or never).
    Report out = numbered(1);
    EXPECT_EQ(HidDevice_write(dev, out.data(), out.size(), test_support::kPatienceMs, &cancel, nullptr),
              HID_IO_ERROR);
    EXPECT_EQ(HidDevice_read(dev, in.data(), in.size(), -1, &cancel, &delivered), HID_IO_ERROR);
}

TEST_F(SocketTransport, LastReplyOfAClosingPeerIsStillDelivered)
{
    Report reply = numbered(3);
    ASSERT_EQ(send(peer, reply.data(), reply.size(), 0), ssize_t(reply.size()));
    closePeer();
    Report in{};
    size_t delivered = 0;
    EXPECT_EQ(HidDevice_read(dev, in.data(), in.size(), 500, &cancel, &delivered), HID_IO_OK);
    EXPECT_EQ(in, reply);
    EXPECT_EQ(HidDevice_read(dev, in.data(), in.size(), 500, &cancel, &delivered), HID_IO_ERROR);
}

TEST_F(SocketTransport, CancelFailsTheWaitingReadAndIsConsumed)
{
    // Cancelled, not timed out: the signal ended the wait long before its limit.
    auto cancelOnceReading = [this](test_support::Gate& reading) {
        return std::thread([this, &reading] {
            reading.wait();
            cancel.signal();
        });
    };
    test_support::Gate reading;
    std::thread canceller = cancelOnceReading(reading);
    Report in{};
    size_t delivered = 0;
    reading.open();
    EXPECT_EQ(HidDevice_read(dev, in.data(), in.size(), test_support::kPatienceMs, &cancel, &delivered),
              HID_IO_CANCELLED);
    canceller.join();
    EXPECT_FALSE(cancel.isSignalled());

    // Also without a time limit.
    test_support::Gate readingAgain;
    std::thread again = cancelOnceReading(readingAgain);
    readingAgain.open();
    EXPECT_EQ(HidDevice_read(dev, in.data(), in.size(), -1, &cancel, &delivered), HID_IO_CANCELLED);
    again.join();

    // A signal raised before the transfer fails the next one, and only it.
    cancel.signal();
    Report out = numbered(2);
    EXPECT_EQ(HidDevice_write(dev, out.data(), out.size(), 1000, &cancel, nullptr), HID_IO_CANCELLED);
    EXPECT_EQ(HidDevice_write(dev, out.data(), out.size(), 1000, &cancel, nullptr), HID_IO_OK);
}

TEST_F(SocketTransport, WriteIntoAFullQueueWaitsOnlyItsTime)
{
    // The device never reads: fill the connection until it pushes back.
    Report out = numbered(5);
    HidIoStatus status = HID_IO_OK;
    int sent = 0;
    while (status == HID_IO_OK && sent < 100000) {
        status = HidDevice_write(dev, out.data(), out.size(), 0, &cancel, nullptr);
        ++sent;
    }
    ASSERT_EQ(status, HID_IO_TIMEOUT);
    auto start = Clock::now();
    EXPECT_EQ(HidDevice_write(dev, out.data(), out.size(), 80, &cancel, nullptr), HID_IO_TIMEOUT);
    EXPECT_GE(msSince(start), 70);
    EXPECT_LT(msSince(start), kAtOnceMs) << "a time-out far beyond the one asked for";
}

TEST_F(SocketTransport, DiscardDropsLateRepliesOnly)
{
    for (uint8_t i = 0; i < 3; ++i) {
        Report late = numbered(i);
        ASSERT_EQ(send(peer, late.data(), late.size(), 0), ssize_t(late.size()));
    }
    auto start = Clock::now();
    HidDevice_discardPending(dev);
    EXPECT_LT(msSince(start), kAtOnceMs) << "discarding never waits for more";
    Report fresh = numbered(42);
    ASSERT_EQ(send(peer, fresh.data(), fresh.size(), 0), ssize_t(fresh.size()));
    Report in{};
    size_t delivered = 0;
    ASSERT_EQ(HidDevice_read(dev, in.data(), in.size(), 500, &cancel, &delivered), HID_IO_OK);
    EXPECT_EQ(in, fresh);
}

TEST(SocketBackend, OpensOnlySocketsOfRegisteredFoldersThatListen)
{
    testtree::TempDir sim, unregistered;
    const HidBackend* backend = HidTransport_socketBackend();
    std::string notListening = sim / SimFolder_socketName(0x0416, 0xb500, "mute");
    int mute = testtree::bindSeqpacket(notListening, false);
    ASSERT_GE(mute, 0);
    std::string stray = unregistered / SimFolder_socketName(0x0416, 0xb500, "x");
    int strayFd = testtree::bindSeqpacket(stray);
    ASSERT_GE(strayFd, 0);

    ASSERT_TRUE(SimFolder_registerBackends(sim.str()));
    EXPECT_TRUE(backend->claims(notListening.c_str()));
    EXPECT_EQ(HidTransport_open(notListening.c_str()), nullptr);
    EXPECT_FALSE(backend->claims(stray.c_str()));
    EXPECT_EQ(backend->open(stray.c_str()), nullptr);
    EXPECT_FALSE(backend->claims((sim / "disk#a").c_str()));
    std::string gone = sim / SimFolder_socketName(0x0416, 0xb500, "gone");
    EXPECT_TRUE(backend->claims(gone.c_str())) << "claiming looks at the name; opening finds it missing";
    EXPECT_EQ(backend->open(gone.c_str()), nullptr);

    SimFolder_unregisterBackends(sim.str());
    EXPECT_FALSE(backend->claims(notListening.c_str()));
    close(mute);
    close(strayFd);

    HidDevice_close(nullptr);
    EXPECT_EQ(HidDevice_read(nullptr, nullptr, 0, 0, nullptr, nullptr), HID_IO_ERROR);
}

} // namespace

// Every failed transfer leaves its cause on the device, and says whether the
// device is gone (which no retry cures) or merely silent.
TEST(SocketTransportCause, FailuresLeaveTheirCauseAndWhetherTheDeviceWent)
{
    enum Step { NOTHING, CLOSE_PEER, SIGNAL_CANCEL };
    const struct {
        const char* name;
        Step before;
        bool write;          // the transfer tried: a write, else a read
        HidIoStatus status;
        const char* text;    // part of the cause
        bool gone;
    } cases[] = {
        {"silent device", NOTHING, false, HID_IO_TIMEOUT, "no report came within 50 ms", false},
        {"cancelled read", SIGNAL_CANCEL, false, HID_IO_CANCELLED, "cancelled", false},
        {"unplugged, read", CLOSE_PEER, false, HID_IO_ERROR, "the device closed the connection", true},
        {"unplugged, write", CLOSE_PEER, true, HID_IO_ERROR, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        testtree::TempDir sim;
        const std::string path = sim / SimFolder_socketName(0x0416, 0xb500, "cause");
        int listener = testtree::bindSeqpacket(path);
        ASSERT_GE(listener, 0);
        ASSERT_TRUE(SimFolder_registerBackends(sim.str()));
        HidDevice* dev = HidTransport_open(path.c_str());
        ASSERT_NE(dev, nullptr);
        int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(peer, 0);
        EXPECT_STREQ(HidDevice_lastError(dev), "") << "no failure yet";

        HidCancel cancel;
        if (c.before == CLOSE_PEER) {
            close(peer);
            peer = -1;
        }
        if (c.before == SIGNAL_CANCEL) cancel.signal();
        Report report = numbered(7);
        size_t count = 0;
        HidIoStatus status = c.write ? HidDevice_write(dev, report.data(), report.size(), 50, &cancel, &count)
                                     : HidDevice_read(dev, report.data(), report.size(), 50, &cancel, &count);
        EXPECT_EQ(status, c.status);
        EXPECT_NE(std::string(HidDevice_lastError(dev)).find(c.text), std::string::npos) << HidDevice_lastError(dev);
        EXPECT_NE(HidDevice_lastError(dev)[0], '\0');
        EXPECT_EQ(HidDevice_gone(dev), c.gone);

        HidDevice_close(dev);
        if (peer >= 0) close(peer);
        close(listener);
        SimFolder_unregisterBackends(sim.str());
    }
    EXPECT_STREQ(HidDevice_lastError(nullptr), "");
    EXPECT_FALSE(HidDevice_gone(nullptr));
}

TEST(SocketTransportCause, OpenFailureSaysWhy)
{
    testtree::TempDir sim;
    ASSERT_TRUE(SimFolder_registerBackends(sim.str()));
    const std::string path = sim / SimFolder_socketName(0x0416, 0xb500, "absent");
    EXPECT_EQ(HidTransport_open(path.c_str()), nullptr);
    const std::string text = HidTransport_lastOpenError().text;
    EXPECT_EQ(text.rfind("opening " + path + ": ", 0), 0u) << text;
    EXPECT_GT(text.size(), ("opening " + path + ": ").size()) << text;
    SimFolder_unregisterBackends(sim.str());
}
