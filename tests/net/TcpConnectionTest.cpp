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
#include "net/TcpConnection.h"

namespace {

using namespace std::chrono_literals;

// Called on the loop thread; what it saw may be read from the test's.
class RecordingOwner : public TcpConnection::Owner {
public:
    void OnConnected() override { Add("connected"); }
    int OnData(const uint8_t* data, int length) override
    {
        std::lock_guard lock(mutex_);
        ++offers;
        if (length < 1 || length > TcpConnection::BufferSize)
            badLength = true;
        const int taken = full ? 0 : length;
        bytes_.append(reinterpret_cast<const char*>(data), static_cast<size_t>(taken));
        return taken;
    }
    void OnClosed() override { Add("closed"); }
    void OnAttemptFailed(int error) override
    {
        ++failures;
        lastError = error;
    }
    void OnWritable() override { ++writable; }

    std::vector<std::string> Events()
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::string Bytes()
    {
        std::lock_guard lock(mutex_);
        return bytes_;
    }
    size_t EventCount() { return Events().size(); }

    std::atomic<int> offers{0};
    std::atomic<int> failures{0};
    std::atomic<int> lastError{0};
    std::atomic<int> writable{0};
    std::atomic<bool> full{false};
    bool badLength = false;

private:
    void Add(const char* event)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }
    std::mutex mutex_;
    std::vector<std::string> events_;
    std::string bytes_;
};

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

std::string Pattern(size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; ++i)
        text.push_back(static_cast<char>('a' + i % 23));
    return text;
}

// The connection on a loop the test turns, on a manual clock: the spacing of seconds passes in
// no time.
class TcpConnectionTest : public ::testing::Test {
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
    bool Turn(const std::function<bool()>& done) { return loop.RunUntil(done, 10s); }
    // Turns the loop for a while of real time in which nothing is to happen.
    void TurnIdle()
    {
        loop.RunUntil([] { return false; }, 50ms);
    }
    int Write(const std::string& text)
    {
        return connection.Write(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()));
    }

    ManualClock clock;
    EventLoop loop{clock};
    RecordingOwner owner;
    TcpConnection connection{loop, owner};
    uint16_t port = 0;
    int listener = -1;
};

TEST_F(TcpConnectionTest, CarriesBytesBothWaysAndLargeChunksWholeInOrder)
{
    EXPECT_EQ(Write("x"), 0) << "not connected";
    ASSERT_EQ(connection.Connect(Loopback(port)), 0);
    EXPECT_EQ(connection.Peer().Port(), port);
    int peer = AcceptWithin(listener, 10s);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 1; }));
    EXPECT_EQ(owner.Events()[0], "connected");
    EXPECT_TRUE(connection.IsConnected());

    const std::string big = Pattern(10000);
    ASSERT_EQ(write(peer, big.data(), big.size()), static_cast<ssize_t>(big.size()));
    ASSERT_TRUE(Turn([&] { return owner.Bytes().size() == big.size(); }));
    EXPECT_EQ(owner.Bytes(), big);
    EXPECT_FALSE(owner.badLength);

    EXPECT_EQ(Write("to the dtu"), 10);
    EXPECT_EQ(ReadExactly(peer, 10), "to the dtu");
    connection.Disconnect();
    EXPECT_FALSE(connection.IsConnected());
    close(peer);
}

TEST_F(TcpConnectionTest, AConnectionThatLivedReconnectsAtOnceAfterThePeersClose)
{
    connection.Connect(Loopback(port));
    int first = AcceptWithin(listener, 10s);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 1; }));
    clock.Advance(TcpConnection::RetrySpacing);
    close(first);
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 3; })) << "reconnected with no time passing";
    EXPECT_EQ(owner.Events(), (std::vector<std::string>{"connected", "closed", "connected"}));
    int second = AcceptWithin(listener, 10s);
    ASSERT_GE(second, 0);
    EXPECT_EQ(Write("again"), 5);
    EXPECT_EQ(ReadExactly(second, 5), "again");
    EXPECT_EQ(owner.failures, 0);
    close(second);
}

TEST_F(TcpConnectionTest, AConnectionThatEndsWithinASecondCountsAsAFailedAttempt)
{
    connection.Connect(Loopback(port));
    int first = AcceptWithin(listener, 10s);
    ASSERT_GE(first, 0);
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 1; }));
    clock.Advance(400ms);
    close(first);  // a DTU that accepts and hangs up
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 2; }));
    EXPECT_EQ(owner.Events().back(), "closed");
    clock.Advance(599ms);
    TurnIdle();
    EXPECT_LT(AcceptWithin(listener, 0ms), 0) << "the next attempt waits for a second after the last one's start";
    EXPECT_EQ(owner.EventCount(), 2u);
    clock.Advance(1ms);
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 3; }));
    int second = AcceptWithin(listener, 10s);
    ASSERT_GE(second, 0);
    close(second);
}

TEST_F(TcpConnectionTest, RefusedPeerIsRetriedOncePerSecondAndTheOwnerHearsOfEachFailure)
{
    close(listener);
    listener = -1;
    ASSERT_EQ(connection.Connect(Loopback(port)), 0);
    ASSERT_TRUE(Turn([&] { return owner.failures == 1; }));
    EXPECT_EQ(owner.lastError, ECONNREFUSED);
    for (int attempt = 2; attempt <= 4; ++attempt) {
        clock.Advance(999ms);
        TurnIdle();
        EXPECT_EQ(owner.failures, attempt - 1) << "no attempt sooner than a second after the last";
        clock.Advance(1ms);
        ASSERT_TRUE(Turn([&] { return owner.failures == attempt; }));
    }
    EXPECT_EQ(owner.EventCount(), 0u) << "no connection, so none closed";

    // Once the peer listens, the next attempt gets through.
    listener = TcpListenerOn(port);
    ASSERT_GE(listener, 0);
    clock.Advance(1s);
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 1; }));
    int peer = AcceptWithin(listener, 10s);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(owner.failures, 4);

    // Disconnect ends the wait for the next attempt.
    close(peer);
    close(listener);
    listener = -1;
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 2; }));
    clock.Advance(1s);
    ASSERT_TRUE(Turn([&] { return owner.failures == 5; }));
    connection.Disconnect();
    clock.Advance(10s);
    TurnIdle();
    EXPECT_EQ(owner.failures, 5);
}

TEST_F(TcpConnectionTest, NothingIsSaidAndNothingReconnectsAfterDisconnect)
{
    connection.Connect(Loopback(port));
    int peer = AcceptWithin(listener, 10s);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 1; }));
    // The DTU closes just as the port goes away.
    write(peer, "bye", 3);
    close(peer);
    connection.Disconnect();
    clock.Advance(10s);
    TurnIdle();
    EXPECT_EQ(owner.EventCount(), 1u);
    EXPECT_EQ(owner.offers, 0);
    EXPECT_LT(AcceptWithin(listener, 100ms), 0);
}

// Disconnects from inside its first notification of each kind.
class DisconnectingOwner : public RecordingOwner {
public:
    int OnData(const uint8_t* data, int length) override
    {
        const int taken = RecordingOwner::OnData(data, length);
        connection->Disconnect();
        return taken;
    }
    TcpConnection* connection = nullptr;
};

TEST_F(TcpConnectionTest, TheOwnerMayDisconnectFromInsideANotification)
{
    DisconnectingOwner disconnecting;
    TcpConnection own(loop, disconnecting);
    disconnecting.connection = &own;
    own.Connect(Loopback(port));
    int peer = AcceptWithin(listener, 10s);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(Turn([&] { return disconnecting.EventCount() == 1; }));
    const std::string big = Pattern(6000);
    ASSERT_EQ(write(peer, big.data(), big.size()), static_cast<ssize_t>(big.size()));
    close(peer);
    ASSERT_TRUE(Turn([&] { return disconnecting.offers == 1; }));
    clock.Advance(10s);
    TurnIdle();
    EXPECT_EQ(disconnecting.offers, 1) << "nothing read after the disconnect";
    EXPECT_EQ(disconnecting.Events(), std::vector<std::string>{"connected"});
    EXPECT_LT(AcceptWithin(listener, 0ms), 0);
}

TEST_F(TcpConnectionTest, WhileTheOwnerTakesNothingTheSocketIsNotReadAndTheCloseComesAfterTheBytes)
{
    connection.Connect(Loopback(port));
    int peer = AcceptWithin(listener, 10s);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 1; }));
    owner.full = true;
    const std::string big = Pattern(5000);
    ASSERT_EQ(write(peer, big.data(), big.size()), static_cast<ssize_t>(big.size()));
    close(peer);
    ASSERT_TRUE(Turn([&] { return owner.offers == 1; }));
    clock.Advance(10s);
    TurnIdle();
    EXPECT_EQ(owner.offers, 1) << "paused: neither offered again nor read on";
    EXPECT_EQ(owner.EventCount(), 1u) << "the close is behind the bytes";
    // Resume while it still cannot take them: offered once more, still paused.
    connection.Resume();
    ASSERT_TRUE(Turn([&] { return owner.offers == 2; }));
    TurnIdle();
    EXPECT_EQ(owner.offers, 2);
    owner.full = false;
    connection.Resume();
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 2; }));
    EXPECT_EQ(owner.Bytes(), big);
    EXPECT_EQ(owner.Events().back(), "closed");
}

TEST_F(TcpConnectionTest, BytesTheKernelCannotTakeWaitInTheQueueAndTheOwnerHearsWhenThereIsRoom)
{
    connection.Connect(Loopback(port));
    int peer = AcceptWithin(listener, 10s);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 1; }));
    // The DTU reads nothing: chunks go until the kernel's buffers and the queue are full.
    const std::string chunk = Pattern(1000);
    size_t accepted = 0;
    while (Write(chunk) == 1000) {
        accepted += 1000;
        ASSERT_LE(connection.Queued(), TcpConnection::QueueLimit);
        ASSERT_LT(accepted, 100u * 1024 * 1024);
    }
    EXPECT_GT(connection.Queued(), 0u);
    EXPECT_EQ(owner.writable, 0);
    // The DTU reads everything: the queue goes out as the socket becomes writable.
    std::string got;
    std::string expected;
    for (size_t k = 0; k < accepted / 1000; ++k)
        expected += chunk;
    std::thread reader([&] { got = ReadExactly(peer, accepted); });
    ASSERT_TRUE(Turn([&] { return connection.Queued() == 0; }));
    reader.join();
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "in order, nothing lost";
    EXPECT_EQ(owner.writable, 1);
    close(peer);
}

TEST_F(TcpConnectionTest, BytesWrittenWithMoreToFollowGoTogetherWithTheNextOrAtTheNextTurn)
{
    connection.Connect(Loopback(port));
    int peer = AcceptWithin(listener, 10s);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(Turn([&] { return owner.EventCount() == 1; }));
    auto write = [&](const std::string& text, bool more) {
        return connection.Write(reinterpret_cast<const uint8_t*>(text.data()), static_cast<int>(text.size()), more);
    };
    EXPECT_EQ(write("one ", true), 4);
    EXPECT_EQ(write("two ", true), 4);
    EXPECT_FALSE(WaitReadable(peer, 50ms)) << "held for the rest of the backlog";
    EXPECT_EQ(write("three", false), 5);
    EXPECT_EQ(ReadExactly(peer, 13), "one two three");
    // The rest of a backlog that never came: the held bytes go at the loop's next turn.
    EXPECT_EQ(write("alone", true), 5);
    loop.RunOnce(0ms);
    EXPECT_EQ(ReadExactly(peer, 5), "alone");
    EXPECT_EQ(connection.Queued(), 0u);
    close(peer);
}

TEST(TcpConnectionThreaded, CarriesBytesBothWaysOnALoopOfItsOwnThread)
{
    const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
    const int listener = TcpListenerOn(port);
    ASSERT_GE(listener, 0);
    EventLoop loop;
    RecordingOwner owner;
    TcpConnection connection(loop, owner);
    ASSERT_TRUE(loop.Start("mv-test-loop"));
    ASSERT_EQ(loop.Call([&] { return connection.Connect(Loopback(port)); }), 0);
    int peer = AcceptWithin(listener, 10s);
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(WaitUntil([&] { return owner.EventCount() == 1; }));
    const std::string big = Pattern(100000);
    std::thread writer([&] { ASSERT_EQ(write(peer, big.data(), big.size()), static_cast<ssize_t>(big.size())); });
    ASSERT_TRUE(WaitUntil([&] { return owner.Bytes().size() == big.size(); }));
    writer.join();
    EXPECT_EQ(owner.Bytes(), big);
    std::thread reader([&] { EXPECT_EQ(ReadExactly(peer, big.size()), big); });
    for (size_t at = 0; at < big.size();) {
        const int n = loop.Call(
            [&] { return connection.Write(reinterpret_cast<const uint8_t*>(big.data() + at), 1000); });
        if (n == 0)
            std::this_thread::sleep_for(1ms);
        at += static_cast<size_t>(n);
    }
    reader.join();
    loop.Call([&] { connection.Disconnect(); });
    loop.Stop();
    close(peer);
    close(listener);
}

}  // namespace
