#include <fstream>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

#include "VportTestSupport.h"
#include "vport/VirtualSerialPort.h"

using namespace std::chrono_literals;

namespace {

struct OpenPort {
    TempRuntimeDir runtime;
    LoopPort port;
    std::string path;

    OpenPort()
    {
        EXPECT_TRUE(port.Open("COM3"));
        path = port.DevicePath();
    }
};

}  // namespace

TEST(PortHolder, InUseFollowsTheApplicationsOpensAndCloses)
{
    OpenPort p;
    EXPECT_FALSE(p.port.InUse());
    {
        SerialApp first(p.path, AsOpened);
        ASSERT_TRUE(first.IsOpen());
        EXPECT_TRUE(WaitUntil([&] { return p.port.InUse(); }));
        {
            SerialApp second(p.path, AsOpened);
            ASSERT_TRUE(second.IsOpen());
        }
        // One of two holders left: still in use.
        std::this_thread::sleep_for(50ms);
        EXPECT_TRUE(p.port.InUse());
    }
    EXPECT_TRUE(WaitUntil([&] { return !p.port.InUse(); }));

    // Opens and closes faster than the loop looks: it still ends up free.
    for (int i = 0; i < 50; ++i)
        SerialApp blink(p.path, AsOpened);
    EXPECT_TRUE(WaitUntil([&] { return !p.port.InUse(); }));
    SerialApp again(p.path, AsOpened);
    EXPECT_TRUE(WaitUntil([&] { return p.port.InUse(); }));
    again.Close();
    EXPECT_TRUE(WaitUntil([&] { return !p.port.InUse(); }));
}

TEST(PortHolder, ClosingThePortHangsUpOnItsHolder)
{
    OpenPort p;
    SerialApp app(p.path, {.nonBlocking = true, .raw = false});
    ASSERT_TRUE(WaitUntil([&] { return p.port.InUse(); }));
    p.port.Close();
    EXPECT_FALSE(p.port.InUse());
    pollfd hangup{app.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&hangup, 1, 5000), 1);
    EXPECT_TRUE(hangup.revents & POLLHUP);
    uint8_t byte;
    EXPECT_EQ(read(app.Fd(), &byte, 1), 0) << "end of file for the holder";
    EXPECT_EQ(access(p.path.c_str(), F_OK), -1);
}

TEST(PortHolder, AnIdlePortCostsNoCpu)
{
    OpenPort p;
    {
        SerialApp app(p.path, AsOpened);
        ASSERT_TRUE(WaitUntil([&] { return p.port.InUse(); }));
    }
    ASSERT_TRUE(WaitUntil([&] { return !p.port.InUse(); }));
    // A closed slave keeps the master hung up; nothing may spin on that.
    SerialApp held(p.path, AsOpened);
    ASSERT_TRUE(WaitUntil([&] { return p.port.InUse(); }));
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    std::this_thread::sleep_for(300ms);
    held.Close();
    ASSERT_TRUE(WaitUntil([&] { return !p.port.InUse(); }));
    std::this_thread::sleep_for(300ms);
    getrusage(RUSAGE_SELF, &after);
    auto cpuUs = [](const rusage& r) {
        return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000000L + r.ru_utime.tv_usec + r.ru_stime.tv_usec;
    };
    // A spinning watch burns the whole 600 ms; an idle one a few milliseconds at most.
    EXPECT_LT(cpuUs(after) - cpuUs(before), 150000L);
}

TEST(PortHolder, BytesTowardsNobodyAreDiscarded)
{
    OpenPort p;
    uint8_t bytes[100] = {1, 2, 3};
    EXPECT_EQ(p.port.Write(bytes, 100), 100);
    SerialApp app(p.path, AsOpened);
    ASSERT_TRUE(WaitUntil([&] { return p.port.InUse(); }));
    EXPECT_FALSE(app.Readable(200ms));

    // Written while held but left unread at close: gone for the next application too.
    auto unread = Pattern(16 * 1024, 9);
    EXPECT_EQ(p.port.Write(unread.data(), static_cast<int>(unread.size())), static_cast<int>(unread.size()));
    app.Close();
    ASSERT_TRUE(WaitUntil([&] { return !p.port.InUse(); }));
    SerialApp next(p.path, AsOpened);
    ASSERT_TRUE(WaitUntil([&] { return p.port.InUse(); }));
    EXPECT_FALSE(next.Readable(200ms));
    uint8_t fresh[] = {0x42};
    EXPECT_EQ(p.port.Write(fresh, 1), 1);
    EXPECT_EQ(next.Read(1, 10s), std::vector<uint8_t>{0x42});
}

TEST(PortHolder, BytesWrittenJustBeforeCloseAreStillRead)
{
    OpenPort p;
    auto last = Pattern(3000, 10);
    {
        SerialApp app(p.path, AsOpened);
        ASSERT_TRUE(app.Write(last));
    }
    ASSERT_TRUE(WaitUntil([&] { return p.port.Pending() == 3000; }));
    std::vector<uint8_t> got(3000);
    EXPECT_EQ(p.port.Read(got.data(), 3000), 3000);
    EXPECT_EQ(got, last);
}

TEST(PortHolder, ReopeningApplicationGetsRawModeAgain)
{
    OpenPort p;
    {
        SerialApp app(p.path, AsOpened);
        ASSERT_TRUE(WaitUntil([&] { return p.port.InUse(); }));
        termios cooked = app.Settings();
        cooked.c_lflag |= ICANON | ECHO | ISIG;
        cooked.c_iflag |= ICRNL | IXON;
        cooked.c_oflag |= OPOST | ONLCR;
        cfsetspeed(&cooked, B9600);
        app.Apply(cooked);
        ASSERT_TRUE(app.Settings().c_lflag & ICANON);
    }
    ASSERT_TRUE(WaitUntil([&] { return !p.port.InUse(); }));
    SerialApp app(p.path, AsOpened);
    termios t = app.Settings();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    // And bytes pass raw: CR stays CR, nothing echoes.
    ASSERT_TRUE(WaitUntil([&] { return p.port.InUse(); }));
    uint8_t cr[] = {'\r', 0x03, '\n'};
    EXPECT_EQ(p.port.Write(cr, 3), 3);
    EXPECT_EQ(app.Read(3, 10s), (std::vector<uint8_t>{'\r', 0x03, '\n'}));
    EXPECT_EQ(p.port.Pending(), 0);
}

TEST(PortHolder, PyserialOpensThePortByItsPath)
{
    if (access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/python3";
    int status = 0;
    RunCommand("/usr/bin/python3 -c 'import serial' 2>&1", &status);
    if (status != 0)
        GTEST_SKIP() << "python3-serial not installed";

    OpenPort p;
    std::string script = p.runtime.Path() + "/echo.py";
    std::ofstream(script) << R"(
import serial, sys
port = serial.Serial(sys.argv[1], 115200, timeout=10)
port.write(b"R")
data = port.read(256)
port.write(bytes(b ^ 0xFF for b in data))
port.flush()
try:
    port.dtr = False
    print("dtr accepted")
except Exception:
    print("dtr refused")
port.close()
)";
    std::string output;
    std::thread python([&] { output = RunCommand("/usr/bin/python3 " + script + " " + p.path + " 2>&1", &status); });
    // pyserial drops pending input as it opens; its "R" says it is past that.
    uint8_t ready = 0;
    if (!WaitUntil([&] { return p.port.Read(&ready, 1) == 1; }, 20s)) {
        python.join();
        FAIL() << "pyserial did not come up: " << output;
    }
    EXPECT_EQ(ready, 'R');
    EXPECT_TRUE(p.port.InUse());
    auto all = AllByteValues();
    EXPECT_EQ(p.port.Write(all.data(), 256), 256);
    std::vector<uint8_t> back(256);
    int got = 0;
    WaitUntil(
        [&] {
            got += p.port.Read(back.data() + got, 256 - got);
            return got == 256;
        },
        20s);
    python.join();
    EXPECT_EQ(status, 0) << output;
    ASSERT_EQ(got, 256) << output;
    for (int i = 0; i < 256; ++i)
        EXPECT_EQ(back[i], static_cast<uint8_t>(i ^ 0xFF)) << i;
    EXPECT_EQ(output, "dtr refused\n");
    EXPECT_TRUE(WaitUntil([&] { return !p.port.InUse(); }));
}
