#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "NetTestSupport.h"
#include "net/UdpEndpoint.h"

namespace {

using namespace std::chrono_literals;

struct Received {
    SocketAddress source;
    std::vector<uint8_t> data;
};

// Called on the loop thread; the counts may be read from the test's.
class RecordingOwner : public UdpEndpoint::Owner {
public:
    void OnDatagrams(const ReceivedDatagram* datagrams, int n) override
    {
        std::lock_guard lock(mutex_);
        for (int k = 0; k < n; ++k)
            received_.push_back({datagrams[k].source,
                                 std::vector<uint8_t>(datagrams[k].data, datagrams[k].data + datagrams[k].length)});
        count = static_cast<int>(received_.size());
    }
    void OnOpenChanged(bool open) override
    {
        ++stateChanges;
        lastOpen = open;
    }

    std::vector<Received> Take()
    {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::string Text(size_t k)
    {
        auto got = Take();
        return std::string(got[k].data.begin(), got[k].data.end());
    }

    std::atomic<int> count{0};
    std::atomic<int> stateChanges{0};
    std::atomic<bool> lastOpen{false};

private:
    std::mutex mutex_;
    std::vector<Received> received_;
};

class UdpEndpointTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = FreeLoopbackPort(SOCK_DGRAM);
        sender = UdpSocketOn(0);
        ASSERT_GE(sender, 0);
    }
    void TearDown() override { close(sender); }

    void Send(const void* data, size_t length)
    {
        SocketAddress to = Loopback(port);
        ASSERT_EQ(sendto(sender, data, length, 0, to.Raw(), SocketAddress::Length), static_cast<ssize_t>(length));
    }
    uint16_t SenderPort()
    {
        SocketAddress own;
        socklen_t length = SocketAddress::Length;
        getsockname(sender, own.Raw(), &length);
        return own.Port();
    }
    bool Turn(const std::function<bool()>& done) { return loop.RunUntil(done, 10s); }

    ManualClock clock;
    EventLoop loop{clock};  // turned by the test's thread unless started
    uint16_t port = 0;
    int sender = -1;
    RecordingOwner owner;
};

TEST_F(UdpEndpointTest, DatagramsUpToTheBufferAreHandedOverWhole)
{
    UdpEndpoint endpoint(loop, Loopback(port), owner);
    ASSERT_EQ(endpoint.Start(), 0);
    EXPECT_TRUE(endpoint.IsOpen());
    EXPECT_EQ(owner.stateChanges, 1);
    EXPECT_EQ(endpoint.LocalPort(), port);

    std::vector<uint8_t> big(2000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    Send("", 0);
    Send("0123456789abc", 13);
    Send(big.data(), big.size());
    ASSERT_TRUE(Turn([&] { return owner.count == 3; }));
    auto got = owner.Take();
    EXPECT_EQ(got[0].data.size(), 0u);
    EXPECT_EQ(owner.Text(1), "0123456789abc");
    EXPECT_EQ(got[2].data, big);
    EXPECT_EQ(got[1].source.ToText(), "127.0.0.1");
    EXPECT_EQ(got[1].source.Port(), SenderPort());

    // Replies leave from the endpoint's own port.
    const uint8_t reply[] = {1, 2, 3};
    ASSERT_TRUE(endpoint.SendTo(got[1].source, reply, sizeof reply));
    uint8_t answer[8];
    SocketAddress from;
    socklen_t fromLength = SocketAddress::Length;
    ASSERT_EQ(recvfrom(sender, answer, sizeof answer, 0, from.Raw(), &fromLength), 3);
    EXPECT_EQ(from.Port(), port);
    EXPECT_EQ(std::memcmp(answer, reply, 3), 0);

    endpoint.Stop();
    EXPECT_FALSE(endpoint.IsOpen());
    EXPECT_EQ(owner.stateChanges, 2) << "open and close, both said before Stop returned";
    EXPECT_FALSE(owner.lastOpen);
}

TEST_F(UdpEndpointTest, OversizedDatagramIsDroppedAloneAndTheSocketStays)
{
    UdpEndpoint endpoint(loop, Loopback(port), owner);
    ASSERT_EQ(endpoint.Start(), 0);
    std::vector<uint8_t> tooLong(2001, 0x55);
    Send("before", 6);
    Send(tooLong.data(), tooLong.size());
    Send("after", 5);
    ASSERT_TRUE(Turn([&] { return owner.count == 2; }));
    EXPECT_EQ(owner.Text(0), "before");
    EXPECT_EQ(owner.Text(1), "after");
    EXPECT_EQ(endpoint.OversizedCount(), 1u);
    EXPECT_EQ(owner.stateChanges, 1) << "opened once, never closed";
}

TEST_F(UdpEndpointTest, WhatTheEndpointSendsToItselfIsNotHandedOver)
{
    // Bound to the any-address, as the program's is: its own datagrams come from 127.0.0.1.
    UdpEndpoint endpoint(loop, Ipv4("0.0.0.0", port), owner);
    ASSERT_EQ(endpoint.Start(), 0);
    const uint8_t byte = 7;
    EXPECT_FALSE(endpoint.SendTo(Ipv4("0.0.0.0", port), &byte, 1));  // would come back here
    EXPECT_FALSE(endpoint.SendTo(Loopback(0), &byte, 1));
    EXPECT_TRUE(endpoint.SendTo(Loopback(port), &byte, 1));  // its own address: dropped
    Send("peer", 4);
    ASSERT_TRUE(Turn([&] { return owner.count == 1; }));
    loop.RunOnce(20ms);
    EXPECT_EQ(owner.count, 1);
    EXPECT_EQ(owner.Text(0), "peer");
}

TEST_F(UdpEndpointTest, SendToFailsUnlessOpen)
{
    UdpEndpoint endpoint(loop, Loopback(port), owner);
    SocketAddress to = Loopback(SenderPort());
    const uint8_t byte = 7;
    EXPECT_FALSE(endpoint.SendTo(to, &byte, 1));
    ASSERT_EQ(endpoint.Start(), 0);
    EXPECT_TRUE(endpoint.SendTo(to, &byte, 1));
    endpoint.Stop();
    EXPECT_FALSE(endpoint.SendTo(to, &byte, 1));
}

TEST_F(UdpEndpointTest, PortHeldElsewhereIsRetriedEvery100MsUntilFree)
{
    int holder = UdpSocketOn(port);
    ASSERT_GE(holder, 0);
    UdpEndpoint endpoint(loop, Loopback(port), owner);
    EXPECT_EQ(endpoint.Start(), EADDRINUSE) << "the first attempt's reason, for the log";
    EXPECT_TRUE(endpoint.IsRunning());
    EXPECT_FALSE(endpoint.IsOpen());
    Send("lost", 4);
    for (int k = 0; k < 5; ++k) {
        clock.Advance(100ms);
        loop.RunOnce(0ms);
    }
    EXPECT_FALSE(endpoint.IsOpen());
    EXPECT_EQ(owner.stateChanges, 0);
    close(holder);
    clock.Advance(99ms);
    loop.RunOnce(0ms);
    EXPECT_FALSE(endpoint.IsOpen()) << "no attempt before the period is over";
    clock.Advance(1ms);
    loop.RunOnce(0ms);
    EXPECT_TRUE(endpoint.IsOpen());
    EXPECT_EQ(owner.stateChanges, 1);
    Send("found", 5);
    ASSERT_TRUE(Turn([&] { return owner.count == 1; }));
    EXPECT_EQ(owner.Text(0), "found");

    // Stopped while retrying: no attempt follows.
    endpoint.Stop();
    holder = UdpSocketOn(port);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(endpoint.Start(), EADDRINUSE);
    endpoint.Stop();
    close(holder);
    clock.Advance(1s);
    loop.RunOnce(0ms);
    EXPECT_FALSE(endpoint.IsOpen());
}

TEST_F(UdpEndpointTest, SendAllSendsEachInOrderAndSkipsWhatCannotGo)
{
    UdpEndpoint endpoint(loop, Loopback(port), owner);
    ASSERT_EQ(endpoint.Start(), 0);

    // More than one system call's worth, with datagrams that cannot go in between.
    std::vector<uint8_t> bytes(100);
    std::vector<OutgoingDatagram> batch;
    for (int k = 0; k < 100; ++k) {
        bytes[static_cast<size_t>(k)] = static_cast<uint8_t>(k);
        batch.push_back({Loopback(SenderPort()), &bytes[static_cast<size_t>(k)], 1});
        if (k % 30 == 0)
            batch.push_back({Loopback(0), &bytes[0], 1});  // no peer
        if (k % 40 == 0)
            batch.push_back({Ipv4("0.0.0.0", SenderPort()), &bytes[0], 1});
    }
    EXPECT_EQ(endpoint.SendAll(batch.data(), static_cast<int>(batch.size())), 100);
    for (int k = 0; k < 100; ++k) {
        uint8_t got = 0;
        ASSERT_EQ(recv(sender, &got, 1, 0), 1);
        EXPECT_EQ(got, k);
    }
    endpoint.Stop();
    EXPECT_EQ(endpoint.SendAll(batch.data(), 1), 0);
}

// The endpoint on a loop of its own thread, as in the program.
class ThreadedUdpEndpointTest : public UdpEndpointTest {
protected:
    void SetUp() override
    {
        UdpEndpointTest::SetUp();
        endpoint = std::make_unique<UdpEndpoint>(steadyLoop, Loopback(port), owner);
        ASSERT_TRUE(steadyLoop.Start("mv-test-loop"));
        ASSERT_EQ(steadyLoop.Call([this] { return endpoint->Start(); }), 0);
    }
    void TearDown() override
    {
        steadyLoop.Call([this] { endpoint.reset(); });
        steadyLoop.Stop();
        UdpEndpointTest::TearDown();
    }

    EventLoop steadyLoop;
    std::unique_ptr<UdpEndpoint> endpoint;
};

TEST_F(ThreadedUdpEndpointTest, BurstIsHandedOverCompletelyAndInOrder)
{
    // As fast as the sender can, holding back only when 2000 are still queued, so that a
    // descheduled loop on a loaded machine cannot overflow the socket queue.
    constexpr uint32_t total = 10000;
    constexpr int window = 2000;
    SocketAddress to = Loopback(port);
    for (uint32_t i = 0; i < total; ++i) {
        while (static_cast<int>(i) - owner.count.load() >= window)
            std::this_thread::yield();
        uint8_t datagram[32] = {};
        std::memcpy(datagram, &i, sizeof i);
        ASSERT_EQ(sendto(sender, datagram, sizeof datagram, 0, to.Raw(), SocketAddress::Length), 32);
    }
    ASSERT_TRUE(WaitUntil([&] { return owner.count == static_cast<int>(total); }, 30s)) << owner.count.load();
    auto got = owner.Take();
    for (uint32_t i = 0; i < total; ++i) {
        uint32_t sequence;
        std::memcpy(&sequence, got[i].data.data(), sizeof sequence);
        ASSERT_EQ(sequence, i);
    }
    EXPECT_EQ(owner.stateChanges, 1) << "no reopen";
}

TEST_F(ThreadedUdpEndpointTest, NothingArrivesAfterStop)
{
    std::atomic<bool> sending{true};
    std::thread flood([&] {
        SocketAddress to = Loopback(port);
        uint8_t datagram[16] = {};
        while (sending)
            sendto(sender, datagram, sizeof datagram, 0, to.Raw(), SocketAddress::Length);
    });
    ASSERT_TRUE(WaitUntil([&] { return owner.count > 100; }));
    steadyLoop.Call([this] { endpoint->Stop(); });
    const int atStop = owner.count;
    const int changesAtStop = owner.stateChanges;
    std::this_thread::sleep_for(200ms);
    sending = false;
    flood.join();
    EXPECT_EQ(owner.count, atStop);
    EXPECT_EQ(owner.stateChanges, changesAtStop);
    EXPECT_FALSE(steadyLoop.Call([this] { return endpoint->IsRunning() || endpoint->IsOpen(); }));
}

}  // namespace
