#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "NetTestSupport.h"
#include "net/TcpClientLink.h"
#include "net/TickCount.h"

namespace {

using namespace std::chrono_literals;

class RecordingLinkOwner : public TcpLinkOwner {
public:
    void OnLinkConnected() override { Add("connected"); }
    int OnLinkData(const uint8_t* data, int length) override
    {
        std::lock_guard lock(mutex);
        if (length < 1 || length > TcpClientLink::BufferSize)
            badLength = true;
        bytes.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
        ++notifications;
        return length;
    }
    void OnLinkClosed() override { Add("closed"); }

    std::vector<std::string> Events()
    {
        std::lock_guard lock(mutex);
        return events;
    }
    std::string Bytes()
    {
        std::lock_guard lock(mutex);
        return bytes;
    }
    size_t EventCount() { return Events().size(); }

    std::atomic<int> notifications{0};
    bool badLength = false;

private:
    void Add(const char* event)
    {
        std::lock_guard lock(mutex);
        events.push_back(event);
        ++notifications;
    }
    std::mutex mutex;
    std::vector<std::string> events;
    std::string bytes;
};

// Counts the refused attempts as the link sees them, and notes when the wait after each
// ended: the next attempt starts after that, and ends its own wait no sooner than the spacing
// after its start, so these ends are as far apart as the attempts' starts at least. (The
// reports themselves come whenever the worker gets to them, later under load.)
class CountingLink : public TcpClientLink {
public:
    ~CountingLink() override { EndWorker(); }
    std::vector<uint32_t> Failures()
    {
        std::lock_guard lock(mutex);
        return failures;
    }
    std::vector<uint32_t> WaitEnds()
    {
        std::lock_guard lock(mutex);
        return waitEnds;
    }

protected:
    void OnConnect(int error) override
    {
        if (error != 0) {
            std::lock_guard lock(mutex);
            failures.push_back(GetTickCount32());
        }
        TcpClientLink::OnConnect(error);
        if (error != 0) {
            std::lock_guard lock(mutex);
            waitEnds.push_back(GetTickCount32());
        }
    }

private:
    std::mutex mutex;
    std::vector<uint32_t> failures;
    std::vector<uint32_t> waitEnds;
};

class TcpLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = FreeLoopbackPort(SOCK_STREAM);
        listener = TcpListenerOn(port);
        ASSERT_GE(listener, 0);
    }
    void TearDown() override
    {
        if (listener >= 0)
            close(listener);
    }
    bool WriteAll(TcpClientLink& link, const std::string& text)
    {
        return WaitUntil([&] {
            return link.Write(reinterpret_cast<const uint8_t*>(text.data()),
                              static_cast<int>(text.size())) == static_cast<int>(text.size());
        });
    }
    std::string ReadExactly(int fd, size_t count)
    {
        std::string text(count, '\0');
        size_t got = 0;
        while (got < count) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1)
                break;
            ssize_t n = read(fd, text.data() + got, count - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        text.resize(got);
        return text;
    }

    uint16_t port = 0;
    int listener = -1;
    RecordingLinkOwner owner;
};

TEST_F(TcpLinkTest, CarriesBytesBothWaysAndLargeChunksWholeInOrder)
{
    TcpClientLink link;
    link.SetOwner(&owner);
    EXPECT_EQ(link.Write(reinterpret_cast<const uint8_t*>("x"), 1), 0) << "not connected";
    // The host text may carry its own port; the appended one is then never read.
    link.Connect(("127.0.0.1:" + std::to_string(port)).c_str(), 3700);
    EXPECT_EQ(link.PeerAddress().Port(), port);
    int peer = AcceptWithin(listener, 10s);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(WaitUntil([&] { return owner.EventCount() == 1; }));
    EXPECT_EQ(owner.Events()[0], "connected");

    std::string big;
    for (int i = 0; i < 10000; ++i)
        big.push_back(static_cast<char>('a' + i % 23));
    ASSERT_EQ(write(peer, big.data(), big.size()), static_cast<ssize_t>(big.size()));
    ASSERT_TRUE(WaitUntil([&] { return owner.Bytes().size() == big.size(); }));
    EXPECT_EQ(owner.Bytes(), big);
    EXPECT_FALSE(owner.badLength);

    ASSERT_TRUE(WriteAll(link, "to the dtu"));
    EXPECT_EQ(ReadExactly(peer, 10), "to the dtu");

    link.Disconnect();
    close(peer);
}

TEST_F(TcpLinkTest, PeerCloseGivesClosedThenReconnects)
{
    TcpClientLink link;
    link.SetOwner(&owner);
    link.Connect("127.0.0.1", port);
    int first = AcceptWithin(listener, 10s);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(WaitUntil([&] { return owner.EventCount() == 1; }));
    close(first);
    int second = AcceptWithin(listener, 10s);
    ASSERT_GE(second, 0) << "reconnected after the close";
    ASSERT_TRUE(WaitUntil([&] { return owner.EventCount() == 3; }));
    EXPECT_EQ(owner.Events(), (std::vector<std::string>{"connected", "closed", "connected"}));
    ASSERT_TRUE(WriteAll(link, "again"));
    EXPECT_EQ(ReadExactly(second, 5), "again");
    link.Disconnect();
    close(second);
}

TEST_F(TcpLinkTest, RefusedPeerIsRetriedAtMostOncePerSecondWithoutSpinning)
{
    close(listener);
    listener = -1;
    auto link = std::make_unique<CountingLink>();
    link->SetOwner(&owner);
    timespec before{}, after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    link->Connect("127.0.0.1", port);
    ASSERT_TRUE(WaitUntil([&] { return link->WaitEnds().size() >= 3; }, 20s, 20ms));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    double cpu = (after.tv_sec - before.tv_sec) + (after.tv_nsec - before.tv_nsec) / 1e9;
    auto waitEnds = link->WaitEnds();
    for (size_t i = 1; i < waitEnds.size(); ++i)
        EXPECT_GE(waitEnds[i] - waitEnds[i - 1], 900u) << i;
    EXPECT_LT(cpu, 1.0) << "a busy retry loop would burn the whole wait";
    auto failures = link->Failures();
    EXPECT_EQ(owner.notifications, 0) << "the owner hears nothing of refused attempts";

    // Once the peer listens, the next attempt gets through.
    listener = TcpListenerOn(port);
    ASSERT_GE(listener, 0);
    int peer = AcceptWithin(listener, 10s);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(WaitUntil([&] { return owner.EventCount() == 1; }));

    // Disconnect cuts a retry wait short.
    close(peer);
    close(listener);
    listener = -1;
    ASSERT_TRUE(WaitUntil([&] { return link->Failures().size() > failures.size(); }));
    auto start = std::chrono::steady_clock::now();
    link->Disconnect();
    link.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms);
}

TEST_F(TcpLinkTest, NoNotificationAfterDisconnect)
{
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        RecordingLinkOwner roundOwner;
        int before = 0;
        {
            TcpClientLink link;
            link.SetOwner(&roundOwner);
            link.Connect("127.0.0.1", port);
            int peer = AcceptWithin(listener, 10s);
            ASSERT_GE(peer, 0);
            ASSERT_TRUE(WaitUntil([&] { return roundOwner.EventCount() == 1; }));
            // The DTU closes just as the port goes away.
            write(peer, "bye", 3);
            close(peer);
            if (round % 2 == 1)
                std::this_thread::sleep_for(std::chrono::milliseconds(round));
            link.Disconnect();
            before = roundOwner.notifications;
        }
        EXPECT_EQ(roundOwner.notifications, before);
        // Nothing reconnects, except possibly the one attempt a close made before Disconnect.
        int late = AcceptWithin(listener, 300ms);
        if (late >= 0) {
            char byte;
            pollfd p{late, POLLIN, 0};
            EXPECT_EQ(poll(&p, 1, 5000), 1);
            EXPECT_EQ(read(late, &byte, 1), 0) << "that connection was closed by the teardown";
            close(late);
        }
        EXPECT_LT(AcceptWithin(listener, 300ms), 0);
    }
}

}  // namespace

namespace {

// Holds its data notification until released, so a Disconnect can meet one in progress.
class HoldingLinkOwner : public TcpLinkOwner {
public:
    void OnLinkConnected() override {}
    int OnLinkData(const uint8_t*, int length) override
    {
        entered = true;
        while (!released)
            std::this_thread::sleep_for(1ms);
        finished = true;
        return length;
    }
    void OnLinkClosed() override {}

    std::atomic<bool> entered{false}, released{false}, finished{false};
};

TEST_F(TcpLinkTest, DisconnectWaitsForANotificationInProgress)
{
    HoldingLinkOwner owner;
    TcpClientLink link;
    link.SetOwner(&owner);
    link.Connect("127.0.0.1", port);
    int peer = AcceptWithin(listener, 10s);
    ASSERT_GE(peer, 0);
    ASSERT_EQ(write(peer, "x", 1), 1);
    ASSERT_TRUE(WaitUntil([&] { return owner.entered.load(); }));

    std::atomic<bool> returned{false};
    bool finishedFirst = false;
    std::thread disconnecting([&] {
        link.Disconnect();
        finishedFirst = owner.finished;
        returned = true;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(returned) << "Disconnect returned while the owner was still being told";
    owner.released = true;
    disconnecting.join();
    EXPECT_TRUE(finishedFirst);
    close(peer);
}

}  // namespace
