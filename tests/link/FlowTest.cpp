#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <string>
#include <thread>
#include <vector>

#include "LinkTestSupport.h"
#include "net/Log.h"
#include "net/UdpEndpoint.h"
#include "vport/DescriptorBudget.h"

namespace {

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

}  // namespace

TEST(PortTableFlows, SlotsAndNumbers)
{
    LinkRig rig;
    for (int k = 0; k < 10; ++k)
        rig.AddPort(10 + k, "C" + std::to_string(k));
    EXPECT_EQ(rig.table->FindPortByNumber(13), 3);
    EXPECT_EQ(rig.table->FindPortByNumber(99), -1);
    EXPECT_EQ(rig.table->FindFreeSlot(), 10);

    rig.Remove(3);
    EXPECT_EQ(rig.table->FindPortByNumber(13), -1);
    EXPECT_EQ(rig.table->FindFreeSlot(), 3);
    EXPECT_EQ(rig.view.Rows(), (std::vector<int>{0, 1, 2, 4, 5, 6, 7, 8, 9}));

    // The free slot is reused; its row comes last.
    EXPECT_EQ(rig.AddPort(30, "N"), 3);
    EXPECT_EQ(rig.view.Rows().back(), 3);
    EXPECT_EQ(rig.rows.RowOf(3), 9);
    EXPECT_EQ(rig.view.Cell(3, PortView::ColName), "COM30");
}

TEST(PortTableFlows, EditKeepingTheNumberLeavesPortAndPumpAlone)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    const std::string path = rig.Path(i);
    SerialApp app(path);
    ASSERT_TRUE(app.IsOpen());
    ASSERT_TRUE(WaitUntil([&] { return rig.table->AnyPortInUse() == true; }));
    std::this_thread::sleep_for(100ms);
    const int threads = ThreadCount();

    rig.Edit(i, rig.Fields(7, "B2"));
    EXPECT_EQ(ThreadCount(), threads);  // exactly one pump still
    EXPECT_EQ(rig.Path(i), path);
    EXPECT_EQ(rig.table->AnyPortInUse(), true);
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColCode, "B2"));

    // The application's open descriptor still carries data both ways, under the new code.
    UdpDtu dtu(rig.serverPort);
    dtu.SendData("A1", ToBytes("old"));
    dtu.SendData("B2", ToBytes("new"));
    EXPECT_EQ(app.Read(3), ToBytes("new"));
    ASSERT_TRUE(dtu.Receive());  // login reply
    ASSERT_TRUE(app.Write(ToBytes("up")));
    auto datagram = dtu.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(*datagram, ([] {
        Bytes d = Header("B2", 3);
        d.push_back('u');
        d.push_back('p');
        return d;
    })());
}

TEST(PortTableFlows, EditChangingTheNumberMovesTheDevice)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    const std::string oldPath = rig.Path(i);
    ASSERT_TRUE(Exists(oldPath));

    rig.Edit(i, rig.Fields(8, "A1"));
    const std::string newPath = rig.Path(i);
    EXPECT_FALSE(Exists(oldPath));
    ASSERT_TRUE(Exists(newPath));
    EXPECT_NE(newPath.find("COM8"), std::string::npos);
    EXPECT_TRUE(rig.view.WaitCell(i, PortView::ColName, "COM8"));
    EXPECT_EQ(rig.table->FindPortByNumber(8), i);

    SerialApp app(newPath);
    UdpDtu dtu(rig.serverPort);
    dtu.SendData("A1", ToBytes("moved"));
    EXPECT_EQ(app.Read(5), ToBytes("moved"));
    ASSERT_TRUE(dtu.Receive());
    ASSERT_TRUE(app.Write(ToBytes("ok")));
    auto datagram = dtu.Receive();
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->size(), 15u);
}

TEST(PortTableFlows, InUseFollowsTheApplication)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    EXPECT_EQ(rig.table->AnyPortInUse(), false);
    {
        SerialApp app(rig.Path(i));
        ASSERT_TRUE(app.IsOpen());
        EXPECT_TRUE(WaitUntil([&] { return rig.table->AnyPortInUse() == true; }));
    }
    EXPECT_TRUE(WaitUntil([&] { return rig.table->AnyPortInUse() == false; }));
}

TEST(PortTableFlows, ShutdownStopsEveryPumpAndClosesEveryPortWithoutAThreadPerPort)
{
    LinkRig rig;
    const int baseline = ThreadCount();
    std::vector<std::string> paths;
    for (int k = 0; k < 20; ++k)
        paths.push_back(rig.Path(rig.AddPort(20 + k, "S" + std::to_string(k))));
    for (int k = 0; k < 20; ++k)
        EXPECT_TRUE(Exists(paths[k]));
    // One loop runs every pump: a port costs no thread of its own.
    EXPECT_LT(ThreadCount(), baseline + 20);
    rig.table->CloseAll();
    for (int k = 0; k < 20; ++k) {
        EXPECT_FALSE(rig.table->InService(k));
        EXPECT_FALSE(Exists(paths[k]));
    }
    rig.table->StopNetwork();
    EXPECT_FALSE(rig.table->UdpPortOpen());
}

// 200 ports must fit under the common hard limit of 1024 descriptors: a served UDP port holds
// its terminal and the path its link leads through; the loop watches the terminal itself and
// the pump is woken without a descriptor of its own.
TEST(PortTableFlows, AServedUdpPortHoldsTwoDescriptors)
{
    LinkRig rig;
    rig.AddPort(7, "A1");
    const int before = DescriptorBudget::Open();
    const int i = rig.AddPort(8, "B2");
    EXPECT_TRUE(rig.Status(i).served);
    EXPECT_EQ(DescriptorBudget::Open() - before, 2);
}

// A hand-written file with one COM number in two slots: the later slot is in service, shows
// why it is not served and answers no DTU, so its DTU is not told "OK" for bytes that vanish.
TEST(PortsNotServed, ASecondSlotWithTheSameNumberIsNotServedAndAnswersNoDtu)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int first = rig.AddPort(7, "A1");
    PortConfig stored;
    stored.PortNumber = 7;
    stored.Code = "B2";
    const int second = rig.AddPort(stored);

    EXPECT_EQ(rig.Status(first).reason.English(), "");
    EXPECT_EQ(rig.Status(second).reason.English(), "slot 1 already serves COM7");
    EXPECT_TRUE(rig.table->InService(second));
    EXPECT_EQ(rig.Status(second).State(), "not-served");
    EXPECT_EQ(rig.Status(second).device, "");
    EXPECT_TRUE(rig.view.WaitCell(second, PortView::ColConnection, PortView::NotServedMark));

    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("B2");
    EXPECT_FALSE(rig.Receive(dtu, 50ms));
    dtu.SendData("B2", ToBytes("lost"));
    EXPECT_FALSE(rig.Receive(dtu, 50ms));
    EXPECT_EQ(rig.Status(second).statistics.rxBytes, 0u);

    // Another number makes it a port like any other.
    PortConfig fields = rig.Fields(8, "B2");
    rig.Edit(second, fields);
    EXPECT_EQ(rig.Status(second).reason.English(), "");
    EXPECT_TRUE(rig.view.WaitCell(second, PortView::ColConnection, ""));
    dtu.SendLogin("B2");
    EXPECT_TRUE(rig.Receive(dtu));
    EXPECT_TRUE(Exists(rig.Path(second)));
}

TEST(PortsNotServed, ARefusedPortDirectorySaysWhyOnEveryPortAndGetsAnotherTryOnEdit)
{
    LinkRig rig;
    const std::string dir = rig.runtimeDir.PortDir();
    mkdir(dir.c_str(), 0700);
    chmod(dir.c_str(), 0755);
    std::vector<std::string> lines;
    Log::SetSink([&lines](Log::Priority, std::string_view text) { lines.emplace_back(text); });
    const int a = rig.AddPort(3, "A");
    const int b = rig.AddPort(4, "B");
    Log::SetSink(nullptr);
    const std::string why = "port directory " + dir + " is open to other users (mode 0755, must be 0700); refused";
    EXPECT_EQ(rig.Status(a).reason.English(), why);
    EXPECT_EQ(rig.Status(b).reason.English(), why);
    // One cause, one line.
    EXPECT_EQ(lines,
              std::vector<std::string>{"COM3 (slot 1) is not served: " + why + "; no port is served while it is"});
    EXPECT_FALSE(rig.Status(a).served);

    chmod(dir.c_str(), 0700);
    rig.Edit(a, rig.Fields(3, "A"));
    EXPECT_EQ(rig.Status(a).reason.English(), "");
    EXPECT_TRUE(rig.Status(a).served);
    EXPECT_TRUE(Exists(rig.Path(a)));
}

// Two ports with one DTU code: both are accepted, but the scan gives every datagram to the
// first, so the second says which port takes its DTU, until the configuration changes that.
TEST(PortsNotHearingTheirDtu, APortWhoseCodeAnEarlierPortHasSaysWhichTakesItsDtu)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int first = rig.AddPort(7, "X");
    const int second = rig.AddPort(8, "X");
    const int fixedX = rig.AddPort(9, "X", 0, "127.0.0.5");
    EXPECT_FALSE(rig.Status(first).reason);
    const std::string takenByFirst =
        "it never hears its DTU: COM7 (slot 1) comes first with the same code and takes its datagrams";
    EXPECT_EQ(rig.Status(second).reason.English(), takenByFirst);
    EXPECT_EQ(rig.Status(fixedX).reason.English(), takenByFirst);
    EXPECT_TRUE(rig.Status(second).served);
    EXPECT_EQ(rig.Status(second).State(), "offline");

    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("X");
    ASSERT_TRUE(rig.Receive(dtu));
    EXPECT_EQ(rig.Status(first).statistics.logins, 1u);
    EXPECT_EQ(rig.Status(second).statistics.logins, 0u);

    // Another code frees the second; the fixed port is still behind the first.
    rig.Edit(second, rig.Fields(8, "Y"));
    EXPECT_FALSE(rig.Status(second).reason);
    EXPECT_EQ(rig.Status(fixedX).reason.English(), takenByFirst);
    // The first gone, the fixed port hears its DTU.
    rig.Remove(first);
    EXPECT_FALSE(rig.Status(fixedX).reason) << rig.Status(fixedX).reason.English();

    // One fixed address with two codes: the scan ends at the first, which takes the free slot.
    const int fixedZ = rig.AddPort(10, "Z", 0, "127.0.0.5");
    ASSERT_EQ(fixedZ, first);
    EXPECT_FALSE(rig.Status(fixedZ).reason);
    EXPECT_EQ(rig.Status(fixedX).reason.English(),
              "it never hears its DTU: COM10 (slot 1) comes first with the same fixed address and another code, so "
              "datagrams from that address go no further");
    // A port that is not served takes nothing.
    PortConfig twice = rig.Fields(8, "Q");
    const int notServed = rig.AddPort(twice);
    const int behind = rig.AddPort(11, "Q");
    EXPECT_FALSE(rig.Status(notServed).served);
    EXPECT_FALSE(rig.Status(behind).reason) << rig.Status(behind).reason.English();
}

// A fixed-address port stored without an address (the add dialog's defaults) can never log
// in, and says so; dynamic login makes it a port that waits for its DTU like any other.
TEST(PortsNotHearingTheirDtu, AFixedAddressPortWithoutAnAddressSaysItsDtuCanNeverLogIn)
{
    LinkRig rig(false, 5, LinkRig::Timing::Manual);
    const int i = rig.AddPort(7, "A1", 0, "0.0.0.0");
    PortConfig stored;
    stored.PortNumber = 8;
    stored.UseFixedIP = 1;  // no PeerIP at all
    const int j = rig.AddPort(stored);
    const std::string why = "its DTU can never log in: it has a fixed address but no usable one (0.0.0.0:"
                            + std::to_string(rig.settings.SocketPort) + "); give it the DTU's address or dynamic login";
    EXPECT_EQ(rig.Status(i).reason.English(), why);
    EXPECT_EQ(rig.Status(j).reason.English(), why);
    EXPECT_TRUE(rig.Status(i).served);

    rig.Edit(i, rig.Fields(7, "A1"));
    EXPECT_FALSE(rig.Status(i).reason);
}

// The handle as two threads meet it while bytes flow: this one edits, adds and removes ports,
// another reads the published statuses and catches up, and a DTU streams to an application;
// ThreadSanitizer sees every access, and every byte arrives.
TEST(PortTableFlows, TheHandleServesTwoThreadsWhileBytesFlow)
{
    LinkRig rig;
    const int i = rig.AddPort(7, "A1");
    SerialApp app(rig.Path(i));
    ASSERT_TRUE(app.IsOpen());
    UdpDtu dtu(rig.serverPort);
    dtu.SendLogin("A1");
    ASSERT_TRUE(dtu.Receive());

    std::atomic<bool> done{false};
    std::atomic<int> looks{0};
    std::thread reader([&] {
        while (!done) {
            rig.table->PublishNow();
            const std::shared_ptr<const PublishedPorts> ports = rig.table->Published();
            for (int slot = 0; slot < PortTable::MaxPorts; ++slot)
                if (const PortStatus* port = ports->Find(slot))
                    EXPECT_FALSE(port->config.Code.empty());
            EXPECT_GE(rig.table->PublishedAge().count(), 0);
            EXPECT_EQ(rig.table->Status(i).config.PortNumber, 7);
            ++looks;
        }
    });
    const Bytes sent = Pattern(40 * 100, 7);
    Bytes got;
    for (int k = 0; k < 40; ++k) {
        dtu.SendData("A1", Bytes(sent.begin() + k * 100, sent.begin() + (k + 1) * 100));
        PortConfig fields = rig.table->SlotConfig(i);
        fields.LoginInterval = 60 + k;
        rig.Edit(i, fields);
        rig.Remove(rig.AddPort(20 + k, "B" + std::to_string(k)));
        ReadUpTo(app, got, sent.size());
    }
    EXPECT_TRUE(WaitUntil([&] { return ReadUpTo(app, got, sent.size()); }));
    EXPECT_TRUE(WaitUntil([&] { return looks > 10; }));
    done = true;
    reader.join();
    EXPECT_EQ(got, sent);
    EXPECT_EQ(rig.Status(i).config.LoginInterval, 99);
    EXPECT_EQ(rig.Status(i).statistics.rxBytes, sent.size());
}
