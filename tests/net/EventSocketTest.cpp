#include <algorithm>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "NetTestSupport.h"
#include "net/EventSocket.h"
#include "net/WorkerThread.h"

namespace {

using namespace std::chrono_literals;

// Records every hook with the thread it ran on; OnConnect can be held on a gate.
class ProbeSocket : public EventSocket {
public:
    ~ProbeSocket() override { EndWorker(); }

    using EventSocket::Socket;

    std::vector<std::string> Log()
    {
        std::lock_guard lock(mutex);
        return log;
    }
    bool Logged(const std::string& entry)
    {
        auto l = Log();
        return std::find(l.begin(), l.end(), entry) != l.end();
    }
    int QueuedBytes()
    {
        int queued = 0;
        ioctl(Socket(), FIONREAD, &queued);
        return queued;
    }

    bool readOnConnect = false;
    Event gate{true, true};
    uint8_t buffer[64] = {};
    std::atomic<bool> hookOffWorker{false};
    std::atomic<int> written{0};

protected:
    void OnThreadStart() override { worker = std::this_thread::get_id(); }
    void OnConnect(int error) override
    {
        Add("connect " + std::to_string(error));
        if (error == 0 && readOnConnect)
            Read(buffer, sizeof buffer);
        gate.Wait();
    }
    void OnRead(int error) override { Add("read " + std::to_string(error)); }
    void OnClose(int error) override
    {
        Add("close " + std::to_string(error));
        EventSocket::OnClose(error);
    }
    void OnReadComplete(int error, int bytes) override
    {
        Add("readComplete " + std::to_string(error) + " " +
            std::string(reinterpret_cast<char*>(buffer), error == 0 ? bytes : 0));
    }
    void OnWriteComplete(int error, int bytes) override
    {
        if (error == 0)
            written += bytes;
        Add("writeComplete " + std::to_string(error));
    }
    void Close() override
    {
        if (Socket() >= 0)
            Add("closed");
        EventSocket::Close();
    }

private:
    void Add(const std::string& entry)
    {
        if (std::this_thread::get_id() != worker)
            hookOffWorker = true;
        std::lock_guard lock(mutex);
        log.push_back(entry);
    }

    std::mutex mutex;
    std::vector<std::string> log;
    std::thread::id worker;
};

constexpr uint32_t StreamEvents = EventSocket::ReadEvent | EventSocket::ConnectEvent | EventSocket::CloseEvent;

// A probe connected to a loopback listener, with the accepted far end.
struct Connection {
    explicit Connection(ProbeSocket& probe, uint32_t events = StreamEvents)
    {
        uint16_t port = FreeLoopbackPort(SOCK_STREAM);
        listener = TcpListenerOn(port);
        EXPECT_GE(listener, 0);
        EXPECT_TRUE(probe.Open(SOCK_STREAM, events, SocketAddress()));
        EXPECT_TRUE(probe.Connect(Loopback(port)));
        peer = AcceptWithin(listener, 10s);
        EXPECT_GE(peer, 0);
    }
    ~Connection()
    {
        if (peer >= 0)
            close(peer);
        close(listener);
    }
    int listener = -1;
    int peer = -1;
};

TEST(EventSocket, StopTogetherWithFinishedReadClosesWithoutDeliveringIt)
{
    ProbeSocket probe;
    probe.readOnConnect = true;
    probe.gate.Reset();
    Connection c(probe);
    ASSERT_TRUE(WaitUntil([&] { return probe.Logged("connect 0"); }));
    ASSERT_EQ(write(c.peer, "data", 4), 4);
    ASSERT_TRUE(WaitUntil([&] { return probe.QueuedBytes() == 4; }));
    probe.Stop();
    probe.gate.Set();
    ASSERT_TRUE(WaitUntil([&] { return probe.Logged("closed"); }));
    EXPECT_EQ(probe.Log(), (std::vector<std::string>{"connect 0", "closed"}));
    EXPECT_FALSE(probe.IsOpen());
}

TEST(EventSocket, ReadAndCloseInOneWakeUpDispatchReadFirst)
{
    ProbeSocket probe;
    probe.gate.Reset();
    Connection c(probe);
    ASSERT_TRUE(WaitUntil([&] { return probe.Logged("connect 0"); }));
    ASSERT_EQ(write(c.peer, "x", 1), 1);
    close(c.peer);
    c.peer = -1;
    ASSERT_TRUE(WaitUntil([&] { return probe.QueuedBytes() == 1; }));
    std::this_thread::sleep_for(50ms);  // let the FIN land behind the byte
    probe.gate.Set();
    ASSERT_TRUE(WaitUntil([&] { return probe.Logged("closed"); }));
    EXPECT_EQ(probe.Log(), (std::vector<std::string>{"connect 0", "read 0", "close 0", "closed"}));
    EXPECT_FALSE(probe.hookOffWorker);
}

TEST(EventSocket, ReadThatCanFinishAtOnceStillArrivesOnTheWorker)
{
    ProbeSocket probe;
    Connection c(probe);
    ASSERT_TRUE(WaitUntil([&] { return probe.Logged("connect 0"); }));
    ASSERT_EQ(write(c.peer, "abc", 3), 3);
    ASSERT_TRUE(WaitUntil([&] { return probe.QueuedBytes() == 3; }));
    EXPECT_TRUE(probe.Read(probe.buffer, sizeof probe.buffer));
    ASSERT_TRUE(WaitUntil([&] { return probe.Logged("readComplete 0 abc"); }));
    EXPECT_FALSE(probe.hookOffWorker);

    // With nothing queued the read stays outstanding, and only one may be.
    EXPECT_TRUE(probe.Read(probe.buffer, sizeof probe.buffer));
    EXPECT_FALSE(probe.Read(probe.buffer, sizeof probe.buffer));
    ASSERT_EQ(write(c.peer, "defg", 4), 4);
    ASSERT_TRUE(WaitUntil([&] { return probe.Logged("readComplete 0 defg"); }));

    // A peer that closes shows as a read that finishes with 0 bytes.
    close(c.peer);
    c.peer = -1;
    ASSERT_TRUE(WaitUntil([&] { return probe.Logged("close 0"); }));
}

TEST(EventSocket, ConnectOutcomeCarriesTheSocketError)
{
    ProbeSocket probe;
    uint16_t port = FreeLoopbackPort(SOCK_STREAM);  // nobody listens
    ASSERT_TRUE(probe.Open(SOCK_STREAM, StreamEvents, SocketAddress()));
    probe.Connect(Loopback(port));
    ASSERT_TRUE(WaitUntil([&] { return probe.Logged("connect " + std::to_string(ECONNREFUSED)); }));
    EXPECT_EQ(probe.Write(reinterpret_cast<const uint8_t*>("x"), 1), 0) << "no connection";
}

TEST(EventSocket, WriteCopiesAndRefusesWhileOneIsOutstanding)
{
    ProbeSocket probe;
    Connection c(probe);
    ASSERT_TRUE(WaitUntil([&] { return probe.Logged("connect 0"); }));

    // The far end does not read yet, so the socket fills and a write stays outstanding.
    constexpr int chunk = 65536;
    constexpr int chunks = 64;
    std::vector<uint8_t> data(chunk);
    int refused = 0;
    std::thread reader;
    size_t got = 0;
    std::vector<uint8_t> sink(chunk * chunks);
    for (int i = 0; i < chunks;) {
        std::memset(data.data(), 'A' + i % 26, data.size());
        if (probe.Write(data.data(), chunk) == chunk) {
            std::memset(data.data(), '?', data.size());  // the caller's buffer is free at once
            ++i;
            continue;
        }
        if (++refused == 1) {
            reader = std::thread([&, fd = c.peer] {
                while (got < sink.size()) {
                    ssize_t n = read(fd, sink.data() + got, sink.size() - got);
                    if (n <= 0)
                        break;
                    got += static_cast<size_t>(n);
                }
            });
        }
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_GT(refused, 0);
    ASSERT_TRUE(reader.joinable());
    reader.join();
    ASSERT_EQ(got, sink.size());
    for (size_t k = 0; k < got; ++k)
        ASSERT_EQ(sink[k], 'A' + (k / chunk) % 26) << "byte " << k;
    EXPECT_TRUE(WaitUntil([&] { return probe.written == chunk * chunks; }));
}

TEST(EventSocket, NeverOpenedSocketIsDestroyedAtOnceAndStopBeforeOpenIsForgotten)
{
    auto start = std::chrono::steady_clock::now();
    {
        ProbeSocket idle;
        EXPECT_FALSE(idle.IsOpen());
        EXPECT_FALSE(idle.Read(idle.buffer, 4));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);

    ProbeSocket probe;
    probe.Stop();
    Connection c(probe);
    ASSERT_TRUE(WaitUntil([&] { return probe.Logged("connect 0"); }));
    EXPECT_TRUE(probe.IsOpen());
}

TEST(EventSocket, DatagramSocketWithNothingSelectedSleeps)
{
    // A socket nobody asked about (and an error queued on it) must not keep the worker busy.
    ProbeSocket probe;
    ASSERT_TRUE(probe.Open(SOCK_DGRAM, 0, Loopback(0)));
    int other = UdpSocketOn(0);
    SocketAddress own;
    socklen_t length = SocketAddress::Length;
    getsockname(probe.Socket(), own.Raw(), &length);
    sendto(other, "x", 1, 0, own.Raw(), SocketAddress::Length);
    timespec before{}, after{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
    std::this_thread::sleep_for(300ms);
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);
    double cpu = (after.tv_sec - before.tv_sec) + (after.tv_nsec - before.tv_nsec) / 1e9;
    EXPECT_LT(cpu, 0.2);
    close(other);
}

uint32_t WaitForEvent(void* parameter)
{
    static_cast<Event*>(parameter)->Wait();
    return 0;
}

TEST(WorkerThread, FiniteWaitThatRunsOutLeavesTheThreadRunning)
{
    Event release;
    WorkerThread thread;
    EXPECT_TRUE(thread.Wait(10)) << "no thread held";
    ASSERT_TRUE(thread.Start(&WaitForEvent, &release));
    EXPECT_FALSE(thread.Wait(50));
    EXPECT_TRUE(thread.IsRunning());
    release.Set();
    EXPECT_TRUE(thread.Wait());
    EXPECT_FALSE(thread.IsRunning());
}

}  // namespace
