#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "VportTestSupport.h"
#include "vport/VirtualSerialPort.h"

using namespace std::chrono_literals;

namespace {

// An open port with an application holding it, as seen by the component.
struct HeldPort {
    TempRuntimeDir runtime;
    LoopPort port;
    std::unique_ptr<SerialApp> app;

    explicit HeldPort(const char* name = "COM7")
    {
        EXPECT_TRUE(port.Open(name));
        app = std::make_unique<SerialApp>(port.DevicePath(), AsOpened);
        EXPECT_TRUE(app->IsOpen());
        EXPECT_TRUE(WaitUntil([&] { return port.InUse(); }));
    }

    std::vector<uint8_t> ReadAll(size_t count)
    {
        std::vector<uint8_t> got(count);
        size_t done = 0;
        WaitUntil([&] {
            done += static_cast<size_t>(port.Read(got.data() + done, static_cast<int>(count - done)));
            return done == count;
        });
        got.resize(done);
        return got;
    }
};

}  // namespace

TEST(PortData, EveryByteValuePassesUnchangedBothWays)
{
    HeldPort held;
    termios t = held.app->Settings();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    auto all = AllByteValues();
    // Twice, so CR LF sequences and 0xFF after 0x00 also occur inside the stream.
    std::vector<uint8_t> sent = all;
    sent.insert(sent.end(), all.rbegin(), all.rend());

    ASSERT_TRUE(held.app->Write(sent));
    EXPECT_EQ(held.ReadAll(sent.size()), sent);
    EXPECT_EQ(held.port.Pending(), 0);

    EXPECT_EQ(held.port.Write(sent.data(), static_cast<int>(sent.size())), static_cast<int>(sent.size()));
    EXPECT_EQ(held.app->Read(sent.size(), 10s), sent);
    // No echo came back towards the component.
    EXPECT_FALSE(WaitUntil([&] { return held.port.Pending() > 0; }, 100ms));
}

TEST(PortData, PendingCountsExactlyWhatReadGives)
{
    HeldPort held;
    auto burst = Pattern(2500, 1);
    ASSERT_TRUE(held.app->Write(burst));
    // The whole burst is counted, although the kernel's own count stops at 4095 and lags.
    ASSERT_TRUE(WaitUntil([&] { return held.port.Pending() == 2500; }));

    std::vector<uint8_t> got(3000);
    EXPECT_EQ(held.port.Read(got.data(), 1000), 1000);
    EXPECT_EQ(held.port.Pending(), 1500);
    EXPECT_EQ(held.port.Read(got.data() + 1000, 1500), 1500);
    EXPECT_EQ(held.port.Pending(), 0);
    EXPECT_EQ(held.port.Read(got.data(), 3000), 0);
    got.resize(2500);
    EXPECT_EQ(got, burst);

    // More than the kernel buffers at once: 64 KiB written in one go, counted to the byte.
    auto big = Pattern(64 * 1024, 2);
    std::thread writer([&] { held.app->Write(big); });
    EXPECT_EQ(held.ReadAll(big.size()), big);
    writer.join();
    EXPECT_EQ(held.port.Pending(), 0);
}

TEST(PortData, SlowReaderLosesNothing)
{
    HeldPort held;
    auto stream = Pattern(200 * 1024, 3);
    // Offered in datagram-sized pieces faster than the reader takes them: all accepted.
    for (size_t at = 0; at < stream.size(); at += 1000) {
        int n = static_cast<int>(std::min<size_t>(1000, stream.size() - at));
        ASSERT_EQ(held.port.Write(stream.data() + at, n), n);
    }
    std::vector<uint8_t> got;
    while (got.size() < stream.size()) {
        auto piece = held.app->Read(std::min<size_t>(512, stream.size() - got.size()), 10s);
        ASSERT_FALSE(piece.empty()) << "stalled at " << got.size();
        got.insert(got.end(), piece.begin(), piece.end());
        if (got.size() % 8192 < 512)
            std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(got, stream);
}

TEST(PortData, QueueTowardsAnApplicationHoldsAtLeastOneMebibyte)
{
    HeldPort held;
    auto chunk = Pattern(64 * 1024, 4);
    // Each call takes a prefix of what it is offered; together they form the stream.
    std::vector<uint8_t> expected;
    for (int i = 0; i < 40; ++i) {
        int n = held.port.Write(chunk.data(), static_cast<int>(chunk.size()));
        expected.insert(expected.end(), chunk.begin(), chunk.begin() + n);
    }
    EXPECT_GE(expected.size(), VirtualSerialPort::OutputLimit);
    EXPECT_LT(expected.size(), 40 * chunk.size());
    EXPECT_EQ(held.app->Read(expected.size(), 30s), expected);
    EXPECT_FALSE(held.app->Readable(50ms));
}

TEST(PortData, InputStopsAtTheLimitWithoutLoss)
{
    HeldPort held;
    // The application writes more than the component keeps; the rest waits in the terminal
    // (the application's write blocks) until the component reads.
    auto stream = Pattern(VirtualSerialPort::InputLimit + 300 * 1024, 5);
    std::thread writer([&] { held.app->Write(stream); });
    ASSERT_TRUE(WaitUntil([&] { return held.port.Pending() == static_cast<int>(VirtualSerialPort::InputLimit); }));
    EXPECT_EQ(held.ReadAll(stream.size()), stream);
    writer.join();
}

TEST(PortData, InputIsAnnouncedWhenItComesWhileNoneWasWaiting)
{
    HeldPort held;
    std::atomic<int> announced{0};
    held.port.WhenInput([&] { ++announced; });
    ASSERT_TRUE(held.app->Write({1, 2, 3}));
    // Without any call into the port: the loop takes the bytes in.
    EXPECT_TRUE(WaitUntil([&] { return announced == 1; }));
    EXPECT_EQ(held.port.Pending(), 3);
    uint8_t two[2];
    EXPECT_EQ(held.port.Read(two, 2), 2);
    // More while some wait: no second announcement, the pump that reads has not finished.
    ASSERT_TRUE(held.app->Write({4}));
    EXPECT_TRUE(WaitUntil([&] { return held.port.Pending() == 2; }));
    EXPECT_EQ(announced, 1);
    EXPECT_EQ(held.port.Read(two, 2), 2);
    ASSERT_TRUE(held.app->Write({5}));
    EXPECT_TRUE(WaitUntil([&] { return announced == 2; }));
    // The handler is kept across Close and Open; a closed port announces nothing.
    held.port.Close();
    ASSERT_TRUE(held.port.Open("COM7"));
    SerialApp next(held.port.DevicePath(), AsOpened);
    ASSERT_TRUE(WaitUntil([&] { return held.port.InUse(); }));
    ASSERT_TRUE(next.Write({6}));
    EXPECT_TRUE(WaitUntil([&] { return announced == 3; }));
    held.port.WhenInput(nullptr);
}

TEST(PortData, RoomIsAnnouncedOnceAShortWriteCanGoOn)
{
    HeldPort held;
    std::atomic<int> room{0};
    held.port.WhenRoom([&] { ++room; });
    auto chunk = Pattern(64 * 1024, 8);
    std::vector<uint8_t> expected;
    for (;;) {
        int n = held.port.Write(chunk.data(), static_cast<int>(chunk.size()));
        expected.insert(expected.end(), chunk.begin(), chunk.begin() + n);
        if (n < static_cast<int>(chunk.size()))
            break;
    }
    EXPECT_EQ(room, 0);
    // Once the application has read half the queue, the sender may go on.
    auto got = held.app->Read(VirtualSerialPort::OutputLimit / 4, 30s);
    EXPECT_EQ(room, 0) << "a quarter read is not enough";
    auto rest = held.app->Read(expected.size() - got.size(), 30s);
    got.insert(got.end(), rest.begin(), rest.end());
    EXPECT_TRUE(WaitUntil([&] { return room == 1; }));
    EXPECT_EQ(got, expected);

    // A holder that leaves with a full queue makes room too: bytes are dropped again.
    while (held.port.Write(chunk.data(), static_cast<int>(chunk.size())) == static_cast<int>(chunk.size())) {
    }
    held.app->Close();
    EXPECT_TRUE(WaitUntil([&] { return room == 2; }));
    EXPECT_EQ(held.port.Write(chunk.data(), static_cast<int>(chunk.size())), static_cast<int>(chunk.size()));
    held.port.WhenRoom(nullptr);
}

TEST(PortData, OperationsFromManyThreadsKeepEveryByte)
{
    HeldPort held;
    auto toApp = Pattern(300 * 1024, 6);
    auto fromApp = Pattern(300 * 1024, 7);
    std::atomic<bool> done{false};

    // An echo of the network side: one thread writes, one reads, others ask the state.
    std::thread netWriter([&] {
        for (size_t at = 0; at < toApp.size();) {
            int n = held.port.Write(toApp.data() + at, static_cast<int>(std::min<size_t>(777, toApp.size() - at)));
            at += static_cast<size_t>(n);
            if (n == 0)
                std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<uint8_t> received;
    std::atomic<size_t> receivedCount{0};
    std::thread pump([&] {
        uint8_t buffer[1000];
        while (receivedCount < fromApp.size() && !done) {
            int waiting = held.port.Pending();
            int n = held.port.Read(buffer, std::min(waiting, 1000));
            EXPECT_LE(n, waiting);
            if (waiting > 0) {
                EXPECT_EQ(n, std::min(waiting, 1000));
            }
            received.insert(received.end(), buffer, buffer + n);
            receivedCount = received.size();
            if (n == 0)
                std::this_thread::sleep_for(1ms);
        }
    });
    std::thread watcher([&] {
        while (!done) {
            EXPECT_TRUE(held.port.InUse());
            held.port.DevicePath();
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread appWriter([&] { held.app->Write(fromApp); });
    auto got = held.app->Read(toApp.size(), 30s);
    netWriter.join();
    appWriter.join();
    EXPECT_TRUE(WaitUntil([&] { return receivedCount >= fromApp.size(); }, 30s));
    done = true;
    pump.join();
    watcher.join();
    EXPECT_EQ(got, toApp);
    EXPECT_EQ(received, fromApp);
}
