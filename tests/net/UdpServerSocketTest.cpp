#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "NetTestSupport.h"
#include "net/UdpServerSocket.h"

namespace {

using namespace std::chrono_literals;

struct Received {
    SocketAddress source;
    std::vector<uint8_t> data;
};

class RecordingOwner : public UdpServerOwner {
public:
    void OnDatagrams(UdpServerSocket*, const ReceivedDatagram* datagrams, int n) override
    {
        std::lock_guard lock(mutex);
        for (int k = 0; k < n; ++k)
            received.push_back({datagrams[k].source,
                                std::vector<uint8_t>(datagrams[k].data, datagrams[k].data + datagrams[k].length)});
        count = static_cast<int>(received.size());
    }
    void OnServerStateChanged() override { ++stateChanges; }

    std::vector<Received> Take()
    {
        std::lock_guard lock(mutex);
        return received;
    }

    std::atomic<int> count{0};
    std::atomic<int> stateChanges{0};

private:
    std::mutex mutex;
    std::vector<Received> received;
};

class UdpServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = FreeLoopbackPort(SOCK_DGRAM);
        address = "127.0.0.1:" + std::to_string(port);
        sender = UdpSocketOn(0);
        ASSERT_GE(sender, 0);
    }
    void TearDown() override { close(sender); }

    void Send(const void* data, size_t length)
    {
        SocketAddress to = Loopback(port);
        ASSERT_EQ(sendto(sender, data, length, 0, to.Raw(), SocketAddress::Length),
                  static_cast<ssize_t>(length));
    }
    uint16_t SenderPort()
    {
        SocketAddress own;
        socklen_t length = SocketAddress::Length;
        getsockname(sender, own.Raw(), &length);
        return own.Port();
    }

    uint16_t port = 0;
    std::string address;
    int sender = -1;
    RecordingOwner owner;
};

TEST_F(UdpServerTest, DatagramsUpToTheBufferAreHandedOverWhole)
{
    UdpServerSocket server(address.c_str());
    server.SetOwner(&owner);
    server.Start();
    ASSERT_TRUE(WaitUntil([&] { return server.IsOpened(); }));
    EXPECT_EQ(owner.stateChanges, 1);

    std::vector<uint8_t> big(2000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7);
    Send("", 0);
    Send("0123456789abc", 13);
    Send(big.data(), big.size());
    ASSERT_TRUE(WaitUntil([&] { return owner.count == 3; }));
    auto got = owner.Take();
    EXPECT_EQ(got[0].data.size(), 0u);
    EXPECT_EQ(std::string(got[1].data.begin(), got[1].data.end()), "0123456789abc");
    EXPECT_EQ(got[2].data, big);
    EXPECT_EQ(got[1].source.ToText(), "127.0.0.1");
    EXPECT_EQ(got[1].source.Port(), SenderPort());

    // Replies leave from the server's own port.
    const uint8_t reply[] = {1, 2, 3};
    ASSERT_TRUE(server.SendTo(got[1].source, reply, sizeof reply));
    uint8_t answer[8];
    SocketAddress from;
    socklen_t fromLength = SocketAddress::Length;
    ASSERT_EQ(recvfrom(sender, answer, sizeof answer, 0, from.Raw(), &fromLength), 3);
    EXPECT_EQ(from.Port(), port);
    EXPECT_EQ(std::memcmp(answer, reply, 3), 0);

    server.Stop();
    EXPECT_FALSE(server.IsOpened());
    EXPECT_EQ(owner.stateChanges, 2) << "open and close, both reported before Stop returned";
}

TEST_F(UdpServerTest, OversizedDatagramIsDroppedAloneAndTheSocketStays)
{
    UdpServerSocket server(address.c_str());
    server.SetOwner(&owner);
    server.Start();
    ASSERT_TRUE(WaitUntil([&] { return server.IsOpened(); }));
    std::vector<uint8_t> tooLong(2001, 0x55);
    Send("before", 6);
    Send(tooLong.data(), tooLong.size());
    Send("after", 5);
    ASSERT_TRUE(WaitUntil([&] { return owner.count == 2; }));
    auto got = owner.Take();
    EXPECT_EQ(std::string(got[0].data.begin(), got[0].data.end()), "before");
    EXPECT_EQ(std::string(got[1].data.begin(), got[1].data.end()), "after");
    EXPECT_EQ(server.OversizedCount(), 1u);
    EXPECT_EQ(owner.stateChanges, 1) << "opened once, never closed";
    server.Stop();
}

TEST_F(UdpServerTest, WhatTheServerSendsToItselfIsNotHandedOver)
{
    UdpServerSocket server(address.c_str());
    server.SetOwner(&owner);
    server.Start();
    ASSERT_TRUE(WaitUntil([&] { return server.IsOpened(); }));
    const uint8_t byte = 7;
    EXPECT_FALSE(server.SendTo(Ipv4("0.0.0.0", port), &byte, 1));  // would come back here
    EXPECT_FALSE(server.SendTo(Loopback(0), &byte, 1));
    EXPECT_TRUE(server.SendTo(Loopback(port), &byte, 1));         // its own address: dropped
    Send("peer", 4);
    ASSERT_TRUE(WaitUntil([&] { return owner.count == 1; }));
    auto got = owner.Take();
    EXPECT_EQ(std::string(got[0].data.begin(), got[0].data.end()), "peer");
    server.Stop();
}

TEST_F(UdpServerTest, SendToFailsUnlessRunning)
{
    UdpServerSocket server(address.c_str());
    server.SetOwner(&owner);
    SocketAddress to = Loopback(SenderPort());
    const uint8_t byte = 7;
    EXPECT_FALSE(server.SendTo(to, &byte, 1));
    server.Start();
    ASSERT_TRUE(WaitUntil([&] { return server.IsOpened(); }));
    EXPECT_TRUE(server.SendTo(to, &byte, 1));
    server.Stop();
    EXPECT_FALSE(server.SendTo(to, &byte, 1));
}

TEST_F(UdpServerTest, BurstIsHandedOverCompletelyAndInOrder)
{
    UdpServerSocket server(address.c_str());
    server.SetOwner(&owner);
    server.Start();
    ASSERT_TRUE(WaitUntil([&] { return server.IsOpened(); }));

    // As fast as the sender can, holding back only when 2000 are still queued, so that a
    // descheduled receive thread on a loaded machine cannot overflow the socket queue.
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
    ASSERT_TRUE(WaitUntil([&] { return owner.count == static_cast<int>(total); }, 30s))
        << owner.count.load();
    auto got = owner.Take();
    for (uint32_t i = 0; i < total; ++i) {
        uint32_t sequence;
        std::memcpy(&sequence, got[i].data.data(), sizeof sequence);
        ASSERT_EQ(sequence, i);
    }
    EXPECT_EQ(owner.stateChanges, 1) << "no reopen";
    server.Stop();
}

TEST_F(UdpServerTest, NothingArrivesAfterStop)
{
    UdpServerSocket server(address.c_str());
    server.SetOwner(&owner);
    server.Start();
    ASSERT_TRUE(WaitUntil([&] { return server.IsOpened(); }));
    std::atomic<bool> sending{true};
    std::thread flood([&] {
        SocketAddress to = Loopback(port);
        uint8_t datagram[16] = {};
        while (sending)
            sendto(sender, datagram, sizeof datagram, 0, to.Raw(), SocketAddress::Length);
    });
    ASSERT_TRUE(WaitUntil([&] { return owner.count > 100; }));
    server.Stop();
    int atStop = owner.count;
    int changesAtStop = owner.stateChanges;
    std::this_thread::sleep_for(200ms);
    sending = false;
    flood.join();
    EXPECT_EQ(owner.count, atStop);
    EXPECT_EQ(owner.stateChanges, changesAtStop);
    EXPECT_FALSE(server.IsRunning());
}

TEST_F(UdpServerTest, PortHeldElsewhereIsRetriedUntilFree)
{
    int holder = UdpSocketOn(port);
    ASSERT_GE(holder, 0);
    UdpServerSocket server(address.c_str());
    server.SetOwner(&owner);
    server.Start();
    std::this_thread::sleep_for(500ms);
    Send("lost", 4);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(server.IsOpened());
    EXPECT_EQ(owner.stateChanges, 0);
    EXPECT_EQ(owner.count, 0);
    close(holder);
    ASSERT_TRUE(WaitUntil([&] { return server.IsOpened(); }));
    Send("found", 5);
    ASSERT_TRUE(WaitUntil([&] { return owner.count == 1; }));
    auto got = owner.Take();
    EXPECT_EQ(std::string(got[0].data.begin(), got[0].data.end()), "found");
    server.Stop();
}

}  // namespace

TEST_F(UdpServerTest, SendAllSendsEachInOrderAndSkipsWhatCannotGo)
{
    UdpServerSocket server(address.c_str());
    server.SetOwner(&owner);
    server.Start();
    ASSERT_TRUE(WaitUntil([&] { return server.IsOpened(); }));

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
    EXPECT_EQ(server.SendAll(batch.data(), static_cast<int>(batch.size())), 100);
    for (int k = 0; k < 100; ++k) {
        uint8_t got = 0;
        ASSERT_EQ(recv(sender, &got, 1, 0), 1);
        EXPECT_EQ(got, k);
    }
    server.Stop();
    EXPECT_EQ(server.SendAll(batch.data(), 1), 0);
}
