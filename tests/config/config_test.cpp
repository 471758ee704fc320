#include "config/ConfigStore.h"
#include "config/SettingsFile.h"
#include "net/Log.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace {

// A stored group by its index.
const std::optional<PortConfig>& Group(const StoredConfig& stored, int slot)
{
    return std::data(stored.ports)[slot];
}

QString xdgConfigHome;

GlobalSettings VersionA()
{
    GlobalSettings s;
    s.SocketPort = 4001;
    s.Password = "alpha";
    s.OnlyOnePort = 0;
    s.VPortNo = 7;
    return s;
}

GlobalSettings VersionB()
{
    GlobalSettings s;
    s.SocketPort = 4002;
    s.Password = "bravo-2";
    s.OnlyOnePort = 1;
    s.VPortNo = 9;
    return s;
}

// Child process of the kill test: saves the two versions in turn until killed.
int RunSaveLoop()
{
    const ConfigStore store;
    for (;;) {
        store.SaveSettings(VersionA());
        store.SaveSettings(VersionB());
    }
}

PortConfig SamplePort(int n)
{
    PortConfig f;
    f.PortNumber = n;
    f.UseFixedIP = n % 2;
    f.UseTcp = (n / 2) % 2;
    f.LoginInterval = 10 + n;
    f.Code = "C" + std::to_string(n);
    f.PeerIP = "10.0." + std::to_string(n / 256) + "." + std::to_string(n % 256);
    return f;
}

// Collects what is reported through Log while it lives.
class ReportedLines {
public:
    ReportedLines()
    {
        Log::SetSink([this](Log::Priority, std::string_view text) {
            std::lock_guard hold(guard_);
            lines_.emplace_back(text);
        });
    }
    ~ReportedLines() { Log::SetSink(nullptr); }
    std::vector<std::string> Lines()
    {
        std::lock_guard hold(guard_);
        return lines_;
    }

private:
    std::mutex guard_;
    std::vector<std::string> lines_;
};

// Every test works on a settings file of its own.
class ConfigStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        filePath = dir.path() + "/Torvane/HOLBRN.conf";
        store = ConfigStore(filePath.toStdString());
    }

    void WriteFile(const QByteArray& text)
    {
        QDir().mkpath(dir.path() + "/Torvane");
        QFile file(filePath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
        // Private, as a careful user keeps it: the warning about an open file is tested apart.
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }

    QByteArray ReadFile() const
    {
        QFile file(filePath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    GlobalSettings LoadGlobals(const QByteArray& text)
    {
        WriteFile(text);
        return store.Load().settings;
    }

    // Loads slot 0 from a file holding only the given lines in group "1".
    PortConfig LoadSlot0(const QByteArray& lines)
    {
        WriteFile("[1]\n" + lines);
        const auto port = Load(0);
        EXPECT_TRUE(port.has_value());
        return port.value_or(PortConfig{});
    }

    std::optional<PortConfig> Load(int slot) const { return Group(store.Load(), slot); }

    QTemporaryDir dir;
    QString filePath;
    ConfigStore store;
};

}  // namespace

// Runs first, before any test moves the settings path.
TEST(ConfigLocation, FileIsXdgConfigHomeTorvaneHolbrnWithNumbersAsNumbers)
{
    const ConfigStore store;
    GlobalSettings s;
    s.SocketPort = 3700;
    s.Password = "pw";
    ASSERT_FALSE(store.SaveSettings(s));
    QFile file(xdgConfigHome + "/Torvane/HOLBRN.conf");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray text = file.readAll();
    EXPECT_TRUE(text.contains("SocketPort=3700\n")) << text.constData();
    EXPECT_TRUE(text.contains("VPortNo=5\n"));
    EXPECT_TRUE(text.contains("OnlyOnePort=0\n"));
    EXPECT_TRUE(text.contains("Password=pw\n"));
}

TEST_F(ConfigStoreTest, NoFileLeavesDefaultsAndNoSlots)
{
    ReportedLines reported;
    const StoredConfig stored = store.Load();
    const GlobalSettings& s = stored.settings;
    EXPECT_EQ(s.SocketPort, 3700);
    EXPECT_EQ(s.Password, "");
    EXPECT_EQ(s.OnlyOnePort, 0);
    EXPECT_EQ(s.VPortNo, 5);
    for (int slot = 0; slot < ConfigStore::SlotCount; ++slot)
        EXPECT_FALSE(Group(stored, slot).has_value());
    EXPECT_TRUE(reported.Lines().empty()) << "a missing file is not a failure";
    EXPECT_FALSE(QFileInfo::exists(filePath)) << "reading must not create the file";
    EXPECT_FALSE(store.DeletePortConfig(3));
    EXPECT_FALSE(QFileInfo::exists(filePath)) << "nothing to remove, nothing to write";
}

TEST_F(ConfigStoreTest, NetworkServerKeysAreReadInRangeAndWrittenOnlyWhenSet)
{
    EXPECT_EQ(LoadSlot0("Code=A\n").NetPort, 0);
    EXPECT_EQ(LoadSlot0("NetPort=4001\n").NetPort, 4001);
    EXPECT_EQ(LoadSlot0("NetPort=65536\n").NetPort, 0);
    EXPECT_EQ(LoadSlot0("NetMode=RAW\n").NetMode, "raw");
    EXPECT_EQ(LoadSlot0("NetMode=telnet\n").NetMode, "rfc2217");
    EXPECT_EQ(LoadGlobals("NetAddress=0.0.0.0\n").NetAddress, "0.0.0.0");
    EXPECT_EQ(LoadGlobals("NetAddress=localhost\n").NetAddress, "127.0.0.1");  // no address: loopback stays
    EXPECT_EQ(LoadGlobals("SocketPort=1\n").NetAddress, "127.0.0.1");

    // A user's line stays in their letter case while it says what runs.
    WriteFile("[1]\nPortNumber=3\nNetMode=RAW\nNetPort=4001\n");
    PortConfig port = *Load(0);
    port.LoginInterval = 60;
    ASSERT_FALSE(store.SavePortConfig(0, port));
    EXPECT_TRUE(ReadFile().contains("NetMode=RAW\nNetPort=4001\n")) << ReadFile().constData();

    // Off again: the group is the six values it always was.
    port.NetPort = 0;
    port.NetMode = "rfc2217";
    ASSERT_FALSE(store.SavePortConfig(0, port));
    EXPECT_FALSE(ReadFile().contains("Net")) << ReadFile().constData();
    port.NetPort = 4002;
    ASSERT_FALSE(store.SavePortConfig(0, port));
    EXPECT_TRUE(ReadFile().contains("NetPort=4002\n")) << ReadFile().constData();
    EXPECT_FALSE(ReadFile().contains("NetMode")) << ReadFile().constData();
    EXPECT_EQ(Load(0)->NetPort, 4002);
}

TEST_F(ConfigStoreTest, GlobalsRoundTripWithAwkwardPasswords)
{
    for (const std::string password : {"", " a,b;c", "=\"q\"#\\", "@x", "中文密码", "12345", "true", "tab\there "}) {
        GlobalSettings saved;
        saved.SocketPort = 65535;
        saved.Password = password;
        saved.OnlyOnePort = 1;
        saved.VPortNo = 256;
        ASSERT_FALSE(store.SaveSettings(saved));
        const GlobalSettings loaded = store.Load().settings;
        EXPECT_EQ(loaded.SocketPort, 65535);
        EXPECT_EQ(loaded.Password, password);
        EXPECT_EQ(loaded.OnlyOnePort, 1);
        EXPECT_EQ(loaded.VPortNo, 256);
    }
}

TEST_F(ConfigStoreTest, PasswordLoadsOnlyUpTo15Bytes)
{
    GlobalSettings saved;
    saved.Password = std::string(15, 'p');
    ASSERT_FALSE(store.SaveSettings(saved));
    EXPECT_EQ(store.Load().settings.Password, saved.Password);

    saved.Password = std::string(16, 'p');  // saved, but does not come back
    ASSERT_FALSE(store.SaveSettings(saved));
    EXPECT_TRUE(ReadFile().contains(QByteArray(16, 'p')));
    EXPECT_EQ(store.Load().settings.Password, "");

    // Counted in bytes: five CJK characters are 15 bytes, six are 18.
    EXPECT_EQ(LoadGlobals("Password=一二三四五\n").Password, "一二三四五");
    EXPECT_EQ(LoadGlobals("Password=一二三四五六\n").Password, "");
    // An unquoted comma makes a list, not a text.
    EXPECT_EQ(LoadGlobals("Password=a,b\n").Password, "");
}

TEST_F(ConfigStoreTest, SocketPortTakesLow16BitsOfA32BitValue)
{
    EXPECT_EQ(LoadGlobals("SocketPort=70000\n").SocketPort, 4464);
    EXPECT_EQ(LoadGlobals("SocketPort=0\n").SocketPort, 0);
    EXPECT_EQ(LoadGlobals("SocketPort=-1\n").SocketPort, 65535);
    EXPECT_EQ(LoadGlobals("SocketPort=4294967295\n").SocketPort, 65535);
    EXPECT_EQ(LoadGlobals("SocketPort=-2147483648\n").SocketPort, 0);
    // More than 32 bits, or not a number: the default stays.
    EXPECT_EQ(LoadGlobals("SocketPort=4294967296\n").SocketPort, 3700);
    EXPECT_EQ(LoadGlobals("SocketPort=-2147483649\n").SocketPort, 3700);
    EXPECT_EQ(LoadGlobals("SocketPort=12ab\n").SocketPort, 3700);
    EXPECT_EQ(LoadGlobals("SocketPort=\n").SocketPort, 3700);
    EXPECT_EQ(LoadGlobals("SocketPort=1,2\n").SocketPort, 3700);
}

TEST_F(ConfigStoreTest, OnlyOnePortAndVPortNoRules)
{
    EXPECT_EQ(LoadGlobals("OnlyOnePort=7\n").OnlyOnePort, 1);
    EXPECT_EQ(LoadGlobals("OnlyOnePort=-3\n").OnlyOnePort, 1);
    EXPECT_EQ(LoadGlobals("OnlyOnePort=0\n").OnlyOnePort, 0);
    EXPECT_EQ(LoadGlobals("OnlyOnePort=yes\n").OnlyOnePort, 0);

    EXPECT_EQ(LoadGlobals("VPortNo=1\n").VPortNo, 1);
    EXPECT_EQ(LoadGlobals("VPortNo=256\n").VPortNo, 256);
    EXPECT_EQ(LoadGlobals("VPortNo=0\n").VPortNo, 5);
    EXPECT_EQ(LoadGlobals("VPortNo=257\n").VPortNo, 5);
    EXPECT_EQ(LoadGlobals("VPortNo=300\n").VPortNo, 5);
    EXPECT_EQ(LoadGlobals("VPortNo=-1\n").VPortNo, 5);  // 4294967295 as unsigned
    EXPECT_EQ(LoadGlobals("VPortNo=4294967297\n").VPortNo, 5);
}

TEST_F(ConfigStoreTest, TopLevelValuesOutsideGeneralSectionAndBrokenFiles)
{
    // Values before any section header are top-level values too.
    const GlobalSettings s = LoadGlobals("SocketPort=1234\n[1]\nCode=A\n");
    EXPECT_EQ(s.SocketPort, 1234);

    // Binary garbage gives defaults and no crash.
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.append(static_cast<char>((i * 37 + 11) % 256));
    const GlobalSettings g = LoadGlobals(garbage);
    EXPECT_EQ(g.VPortNo, 5);
    EXPECT_EQ(g.Password, "");
}

TEST_F(ConfigStoreTest, PortRoundTripsAllSixValues)
{
    PortConfig saved;
    saved.PortNumber = 17;
    saved.UseFixedIP = 1;
    saved.UseTcp = 1;
    saved.LoginInterval = 100000;
    saved.Code = "中文ab";
    saved.PeerIP = "192.168.10.254";
    ASSERT_FALSE(store.SavePortConfig(4, saved));

    const QByteArray text = ReadFile();
    EXPECT_TRUE(text.contains("[5]\n")) << text.constData();
    EXPECT_TRUE(text.contains("PeerIP=192.168.10.254\n"));
    EXPECT_TRUE(text.contains("LoginInterval=100000\n"));

    const StoredConfig stored = store.Load();
    ASSERT_TRUE(Group(stored, 4).has_value());
    const PortConfig& loaded = *Group(stored, 4);
    EXPECT_EQ(loaded.PortNumber, 17);
    EXPECT_EQ(loaded.UseFixedIP, 1);
    EXPECT_EQ(loaded.UseTcp, 1);
    EXPECT_EQ(loaded.LoginInterval, 100000);
    EXPECT_EQ(loaded.Code, "中文ab");
    EXPECT_EQ(loaded.PeerIP, "192.168.10.254");
    EXPECT_FALSE(Group(stored, 3).has_value());
    EXPECT_FALSE(Group(stored, 5).has_value());
}

TEST_F(ConfigStoreTest, LoginIntervalIsClampedWhetherReadOrNot)
{
    EXPECT_EQ(LoadSlot0("LoginInterval=5\n").LoginInterval, 10);
    EXPECT_EQ(LoadSlot0("LoginInterval=10\n").LoginInterval, 10);
    EXPECT_EQ(LoadSlot0("LoginInterval=100001\n").LoginInterval, 100000);
    EXPECT_EQ(LoadSlot0("LoginInterval=-5\n").LoginInterval, 10);
    EXPECT_EQ(LoadSlot0("LoginInterval=4294967295\n").LoginInterval, 10);  // -1 as 32 bits
    EXPECT_EQ(LoadSlot0("LoginInterval=2147483648\n").LoginInterval, 10);  // INT32_MIN
    EXPECT_EQ(LoadSlot0("LoginInterval=99999999999\n").LoginInterval, 300);
    EXPECT_EQ(LoadSlot0("LoginInterval=x\n").LoginInterval, 300);
    EXPECT_EQ(LoadSlot0("Code=A\n").LoginInterval, 300);
}

TEST_F(ConfigStoreTest, FrameGapIsReadInItsRangeAndWrittenOnlyWhenNotTheDefault)
{
    EXPECT_EQ(LoadSlot0("Code=A\n").FrameGap, 10);
    EXPECT_EQ(LoadSlot0("FrameGap=0\n").FrameGap, 0);
    EXPECT_EQ(LoadSlot0("FrameGap=2\n").FrameGap, 2);
    EXPECT_EQ(LoadSlot0("FrameGap=1000\n").FrameGap, 1000);
    EXPECT_EQ(LoadSlot0("FrameGap=1001\n").FrameGap, 10);
    EXPECT_EQ(LoadSlot0("FrameGap=-1\n").FrameGap, 10);
    EXPECT_EQ(LoadSlot0("FrameGap=4294967295\n").FrameGap, 10);
    EXPECT_EQ(LoadSlot0("FrameGap=x\n").FrameGap, 10);

    PortConfig port;
    port.PortNumber = 3;
    port.FrameGap = 2;
    ASSERT_FALSE(store.SavePortConfig(0, port));
    EXPECT_TRUE(ReadFile().contains("FrameGap=2\n")) << ReadFile().constData();
    EXPECT_EQ(Load(0)->FrameGap, 2);
    port.FrameGap = 0;
    ASSERT_FALSE(store.SavePortConfig(0, port));
    EXPECT_EQ(Load(0)->FrameGap, 0);

    // Back to the default: the group is again the six values it always was.
    port.FrameGap = 10;
    ASSERT_FALSE(store.SavePortConfig(0, port));
    EXPECT_FALSE(ReadFile().contains("FrameGap")) << ReadFile().constData();
    EXPECT_EQ(Load(0)->FrameGap, 10);
}

TEST_F(ConfigStoreTest, PortNumbersAndFlagsAsStored)
{
    const PortConfig f = LoadSlot0("PortNumber=999\nUseFixedIP=5\nUseTcp=-1\n");
    EXPECT_EQ(f.PortNumber, 999);
    EXPECT_EQ(f.UseFixedIP, 1);
    EXPECT_EQ(f.UseTcp, 1);
    EXPECT_EQ(LoadSlot0("PortNumber=-7\n").PortNumber, -7);
    EXPECT_EQ(LoadSlot0("PortNumber=4294967295\n").PortNumber, -1);
    EXPECT_EQ(LoadSlot0("UseTcp=0\n").UseTcp, 0);

    // The same number in two groups loads twice.
    WriteFile("[1]\nPortNumber=7\n[2]\nPortNumber=7\n");
    const StoredConfig stored = store.Load();
    ASSERT_TRUE(Group(stored, 0) && Group(stored, 1));
    EXPECT_EQ(Group(stored, 0)->PortNumber, 7);
    EXPECT_EQ(Group(stored, 1)->PortNumber, 7);
}

TEST_F(ConfigStoreTest, CodeAndPeerIpLengthLimitsInBytes)
{
    EXPECT_EQ(LoadSlot0("Code=12345678901\n").Code, "12345678901");
    EXPECT_EQ(LoadSlot0("Code=123456789012\n").Code, "");
    EXPECT_EQ(LoadSlot0("Code=中文ab\n").Code, "中文ab");  // 8 bytes
    EXPECT_EQ(LoadSlot0("Code=中文中文\n").Code, "");      // 12 bytes
    EXPECT_EQ(LoadSlot0("Code=\"a,b\"\n").Code, "a,b");
    EXPECT_EQ(LoadSlot0("Code=a,b\n").Code, "");  // a list, not a text

    EXPECT_EQ(LoadSlot0("PeerIP=10.20.30.40\n").PeerIP, "10.20.30.40");
    // 19 bytes load, 20 do not.
    EXPECT_EQ(LoadSlot0("PeerIP=100.200.100.200.000\n").PeerIP, "100.200.100.200.000");
    EXPECT_EQ(LoadSlot0("PeerIP=100.200.100.200.0000\n").PeerIP, "");
    EXPECT_EQ(LoadSlot0("Code=A\n").PeerIP, "");
}

TEST_F(ConfigStoreTest, SlotsAreGroupsOneTo200Only)
{
    WriteFile("[1]\nCode=A\n[3]\nCode=C\n[201]\nCode=X\n[COM7]\nCode=Y\n[03]\nCode=Z\n"
              "[200]\nCode=L\n");
    const StoredConfig stored = store.Load();
    QList<int> present;
    for (int slot = 0; slot < ConfigStore::SlotCount; ++slot) {
        if (Group(stored, slot))
            present.append(slot);
    }
    EXPECT_EQ(present, (QList<int>{0, 2, 199}));
}

TEST_F(ConfigStoreTest, EmptySectionIsAPortWithDefaultsAndLoadingWritesNothing)
{
    const QByteArray text("SocketPort=3700\n[3]\n\n[1]\nPortNumber=2\n");
    WriteFile(text);
    const QDateTime written = QFileInfo(filePath).lastModified();
    const auto f = Load(2);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->PortNumber, 0);
    EXPECT_EQ(f->UseTcp, 0);
    EXPECT_EQ(f->UseFixedIP, 0);
    EXPECT_EQ(f->Code, "");
    EXPECT_EQ(f->LoginInterval, 300);
    EXPECT_EQ(ReadFile(), text) << "loading only reads";
    EXPECT_EQ(QFileInfo(filePath).lastModified(), written);

    // A later save of another slot leaves the empty group as it stands: still a port.
    ASSERT_FALSE(store.SavePortConfig(5, SamplePort(5)));
    EXPECT_TRUE(ReadFile().startsWith(text)) << ReadFile().constData();
    EXPECT_TRUE(Load(2).has_value());
    ASSERT_TRUE(Load(0).has_value());
    EXPECT_EQ(Load(0)->PortNumber, 2);
}

TEST_F(ConfigStoreTest, DeleteRemovesOnlyItsGroupAndAFreedSlotIsReused)
{
    for (int slot = 0; slot < 10; ++slot)
        ASSERT_FALSE(store.SavePortConfig(slot, SamplePort(slot + 1)));
    ASSERT_FALSE(store.DeletePortConfig(3));
    const StoredConfig stored = store.Load();
    for (int slot = 0; slot < 10; ++slot) {
        EXPECT_EQ(Group(stored, slot).has_value(), slot != 3) << slot;
        if (slot != 3) {
            EXPECT_EQ(Group(stored, slot)->Code, SamplePort(slot + 1).Code);
        }
    }
    ASSERT_FALSE(store.SavePortConfig(3, SamplePort(77)));
    ASSERT_TRUE(Load(3).has_value());
    EXPECT_EQ(Load(3)->PortNumber, 77);
    EXPECT_TRUE(ReadFile().contains("[4]\n"));

    // Deleting a missing group leaves the file as it was.
    const QByteArray before = ReadFile();
    EXPECT_FALSE(store.DeletePortConfig(50));
    EXPECT_TRUE(store.DeletePortConfig(200));
    EXPECT_EQ(ReadFile(), before);
}

TEST_F(ConfigStoreTest, UnwritableLocationWritesNothingAndSaysSo)
{
    // "Torvane" is a plain file: the settings file can be neither made nor read.
    QFile blocker(dir.path() + "/Torvane");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ReportedLines reported;
    EXPECT_TRUE(store.SaveSettings(GlobalSettings{}));
    EXPECT_TRUE(store.SavePortConfig(0, SamplePort(1)));
    EXPECT_TRUE(store.DeletePortConfig(0));
    const StoredConfig stored = store.Load();
    EXPECT_EQ(stored.settings.VPortNo, 5);
    EXPECT_FALSE(Group(stored, 0).has_value());
    EXPECT_TRUE(QFileInfo(dir.path() + "/Torvane").isFile());

    // One line per failed save and one for the load, each naming the file and the reason.
    const auto lines = reported.Lines();
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string& line : lines) {
        EXPECT_NE(line.find(filePath.toStdString()), std::string::npos) << line;
        EXPECT_NE(line.find("Not a directory"), std::string::npos) << line;
    }
    EXPECT_EQ(store.LastFailure().English(), lines.back());
}

TEST_F(ConfigStoreTest, SettingsFileThatIsADirectoryGivesDefaultsAndRefusesSaves)
{
    ASSERT_TRUE(QDir().mkpath(filePath));
    ReportedLines reported;
    EXPECT_EQ(store.Load().settings.SocketPort, 3700);
    EXPECT_TRUE(store.SaveSettings(VersionA()));
    EXPECT_TRUE(QFileInfo(filePath).isDir());
    const auto lines = reported.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(filePath.toStdString() + " is a folder, not a regular file"), std::string::npos)
        << lines[0];
}

TEST_F(ConfigStoreTest, SaveKeepsHandWrittenPortsAndOtherValues)
{
    WriteFile("[General]\nSocketPort=1000\nPassword=old\n[2]\nPortNumber=9\nCode=K\n");
    GlobalSettings s = store.Load().settings;
    s.Password = "new";
    ASSERT_FALSE(store.SaveSettings(s));
    const auto f = Load(1);
    ASSERT_TRUE(f.has_value());
    EXPECT_EQ(f->PortNumber, 9);
    EXPECT_EQ(f->Code, "K");
    const GlobalSettings loaded = store.Load().settings;
    EXPECT_EQ(loaded.SocketPort, 1000);
    EXPECT_EQ(loaded.Password, "new");
}

// A process killed while saving leaves the old or the new file, never a torn one, and does
// not keep the next save waiting on its lock.
TEST_F(ConfigStoreTest, SaveKilledMidWayLeavesAWholeFile)
{
    for (int slot = 0; slot < ConfigStore::SlotCount; ++slot)
        ASSERT_FALSE(store.SavePortConfig(slot, SamplePort(slot + 1)));
    ASSERT_FALSE(store.SaveSettings(VersionA()));

    const int delaysMs[] = {15, 40, 75, 120, 190, 260};
    for (const int delay : delaysMs) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("MV_CONFIG_SAVE_LOOP", "1");
        env.insert("XDG_CONFIG_HOME", dir.path());
        child.setProcessEnvironment(env);
        child.start(QCoreApplication::applicationFilePath(), {});
        ASSERT_TRUE(child.waitForStarted(10000));
        // Let it get well into its loop.
        const QDateTime before = QFileInfo(filePath).lastModified();
        for (int i = 0; i < 1000 && QFileInfo(filePath).lastModified() == before; ++i)
            QThread::msleep(10);
        QThread::msleep(delay);
        child.kill();
        ASSERT_TRUE(child.waitForFinished(10000));

        const StoredConfig stored = store.Load();
        const GlobalSettings& loaded = stored.settings;
        const bool isA = loaded.Password == "alpha" && loaded.SocketPort == 4001 && loaded.OnlyOnePort == 0
                         && loaded.VPortNo == 7;
        const bool isB = loaded.Password == "bravo-2" && loaded.SocketPort == 4002 && loaded.OnlyOnePort == 1
                         && loaded.VPortNo == 9;
        EXPECT_TRUE(isA || isB) << "delay " << delay << ": " << loaded.Password;
        for (int slot = 0; slot < ConfigStore::SlotCount; ++slot) {
            ASSERT_TRUE(Group(stored, slot).has_value()) << "delay " << delay << " slot " << slot;
            ASSERT_EQ(Group(stored, slot)->Code, SamplePort(slot + 1).Code);
            ASSERT_EQ(Group(stored, slot)->LoginInterval, SamplePort(slot + 1).LoginInterval);
        }
    }
    // The killed saver's lock must not hold up the next save, which also removes what the
    // saves cut short left.
    GlobalSettings next = VersionA();
    next.Password = "charlie";
    EXPECT_FALSE(store.SaveSettings(next));
    EXPECT_EQ(store.Load().settings.Password, "charlie");
    EXPECT_EQ(QDir(dir.path() + "/Torvane").entryList(QDir::Files | QDir::Hidden), QStringList{"HOLBRN.conf"});
}

// Bytes that are no setting before a valid section: the section's port loads with its values,
// no other port appears, the fault is reported once, and the file is never written over.
TEST_F(ConfigStoreTest, JunkBeforeAValidSectionKeepsThePortAndTheFile)
{
    const QByteArray junk("\x01\xfe\"junk[\n[2\n");
    WriteFile(junk + "[1]\nPortNumber=7\nCode=A1\nUseTcp=0\n");
    const QByteArray before = ReadFile();
    ReportedLines reported;
    const StoredConfig stored = store.Load();
    ASSERT_TRUE(Group(stored, 0).has_value());
    EXPECT_EQ(Group(stored, 0)->PortNumber, 7);
    EXPECT_EQ(Group(stored, 0)->Code, "A1");
    for (int slot = 1; slot < ConfigStore::SlotCount; ++slot)
        EXPECT_FALSE(Group(stored, slot).has_value()) << slot;
    auto lines = reported.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(filePath.toStdString() + ", line 1"), std::string::npos) << lines[0];

    EXPECT_TRUE(store.SavePortConfig(1, SamplePort(2)));
    EXPECT_TRUE(store.DeletePortConfig(0));
    EXPECT_TRUE(store.SaveSettings(VersionA()));
    EXPECT_EQ(ReadFile(), before);
    EXPECT_EQ(reported.Lines().size(), 4u);
}

// Whatever QSettings writes reads back the same through the one parse: values with every
// kind of character, lists, keys QSettings escapes, and groups it adds.
TEST_F(ConfigStoreTest, ParseAgreesWithWhatQSettingsWrites)
{
    const QString texts[] = {QString(), " lead", "trail ",  "a;b",   "x=y", "\"q\"", "back\\slash", "@at",   "@@two",
                             "t\tn\nl", "中文",  "\x01ctl", "#hash", "[1]", "a,b",   "%41",         "\u00e9"};
    {
        QSettings key(filePath, QSettings::IniFormat);
        int n = 0;
        for (const QString& text : texts) {
            key.setValue(QStringLiteral("%1/Code").arg(n + 1), text);
            key.setValue(QStringLiteral("%1/PortNumber").arg(n + 1), n);
            ++n;
        }
        key.setValue("Password", QStringLiteral("p,w;\"x\" "));
        key.setValue("Other key/with space", QStringList{"a", "b"});
        key.setValue("200/odd key%", 1);
    }
    QFile::setPermissions(filePath, QFile::ReadOwner | QFile::WriteOwner);
    ReportedLines reported;
    const StoredConfig stored = store.Load();
    EXPECT_TRUE(reported.Lines().empty()) << reported.Lines().front();
    EXPECT_EQ(stored.settings.Password, "p,w;\"x\" ");
    int n = 0;
    for (const QString& text : texts) {
        ASSERT_TRUE(Group(stored, n).has_value()) << n;
        EXPECT_EQ(Group(stored, n)->Code, text.toStdString()) << n;
        EXPECT_EQ(Group(stored, n)->PortNumber, n);
        ++n;
    }
    EXPECT_TRUE(Group(stored, 199).has_value());
    for (int slot = n; slot < 199; ++slot)
        EXPECT_FALSE(Group(stored, slot).has_value()) << slot;
}

TEST_F(ConfigStoreTest, CommentsContinuationsAndSectionNamesAsQSettingsReadsThem)
{
    WriteFile("; top comment\n# hash comment\nSocketPort = 1234 ; port\n[general]\nVPortNo=9\n"
              "[%31]\nPortNumber=3\nCode=\"a b\" c\n[2]\nCode=x\\\ny\n[%General]\nPassword=no\n");
    ReportedLines reported;
    const StoredConfig stored = store.Load();
    EXPECT_TRUE(reported.Lines().empty());
    EXPECT_EQ(stored.settings.SocketPort, 1234);
    EXPECT_EQ(stored.settings.VPortNo, 9);
    EXPECT_EQ(stored.settings.Password, "");
    ASSERT_TRUE(Group(stored, 0) && Group(stored, 1));
    EXPECT_EQ(Group(stored, 0)->PortNumber, 3);
    EXPECT_EQ(Group(stored, 0)->Code, "a bc");
    EXPECT_EQ(Group(stored, 1)->Code, "xy");
}

// What a user keeps in the file: ';' and '#' comment lines, a byte-order mark, blank lines,
// keys of their own. A save succeeds, says nothing, changes only its own lines and leaves the
// rest byte for byte; QSettings reads the result as before.
TEST_F(ConfigStoreTest, CommentsAndAByteOrderMarkAreReadAsQtReadsThemAndSurviveSaves)
{
    const QByteArray text("\xef\xbb\xbf[1]\n"
                          "; the pump station\n"
                          "PortNumber=7\n"
                          "# code from the label\n"
                          "Code=A1\n"
                          "Extra=kept\n"
                          "\n"
                          "; globals below\n"
                          "[General]\n"
                          "SocketPort=3701 ; the DTUs' port\n");
    WriteFile(text);
    ReportedLines reported;
    const StoredConfig stored = store.Load();
    ASSERT_TRUE(Group(stored, 0).has_value()) << "the byte-order mark must not hide the first group";
    EXPECT_EQ(Group(stored, 0)->PortNumber, 7);
    EXPECT_EQ(Group(stored, 0)->Code, "A1");
    EXPECT_EQ(stored.settings.SocketPort, 3701);
    EXPECT_TRUE(reported.Lines().empty()) << reported.Lines().front();

    PortConfig port = *Group(stored, 0);
    port.LoginInterval = 60;
    EXPECT_FALSE(store.SavePortConfig(0, port));
    GlobalSettings settings = stored.settings;
    settings.SocketPort = 3702;
    EXPECT_FALSE(store.SaveSettings(settings));
    EXPECT_TRUE(reported.Lines().empty()) << reported.Lines().front();
    EXPECT_EQ(ReadFile(), QByteArray("\xef\xbb\xbf[1]\n"
                                     "; the pump station\n"
                                     "PortNumber=7\n"
                                     "# code from the label\n"
                                     "Code=A1\n"
                                     "Extra=kept\n"
                                     "LoginInterval=60\n"
                                     "\n"
                                     "; globals below\n"
                                     "[General]\n"
                                     "SocketPort=3702 ; the DTUs' port\n"));

    // Keys the user left out read as their defaults and are added only once a value differs;
    // a key once written stays when its value goes back to the default.
    port.UseTcp = 1;
    EXPECT_FALSE(store.SavePortConfig(0, port));
    EXPECT_TRUE(ReadFile().contains("LoginInterval=60\nUseTcp=1\n")) << ReadFile().constData();
    port.UseTcp = 0;
    EXPECT_FALSE(store.SavePortConfig(0, port));
    EXPECT_TRUE(ReadFile().contains("LoginInterval=60\nUseTcp=0\n")) << ReadFile().constData();
    EXPECT_FALSE(ReadFile().contains("PeerIP")) << ReadFile().constData();
    // A port that never had an address is saved by the running program with 0.0.0.0.
    port.PeerIP = "0.0.0.0";
    port.LoginInterval = 120;
    EXPECT_FALSE(store.SavePortConfig(0, port));
    EXPECT_TRUE(ReadFile().contains("LoginInterval=120\nUseTcp=0\n")) << ReadFile().constData();
    EXPECT_FALSE(ReadFile().contains("PeerIP")) << ReadFile().constData();
    port.LoginInterval = 60;
    EXPECT_FALSE(store.SavePortConfig(0, port));

    QSettings qt(filePath, QSettings::IniFormat);
    EXPECT_EQ(qt.value("1/PortNumber").toInt(), 7);
    EXPECT_EQ(qt.value("1/LoginInterval").toInt(), 60);
    EXPECT_EQ(qt.value("SocketPort").toInt(), 3702);
    EXPECT_EQ(qt.value("1/Extra").toString(), "kept");

    // Deleting the port takes its keys and header; the comments stay where they were.
    EXPECT_FALSE(store.DeletePortConfig(0));
    EXPECT_EQ(ReadFile(), QByteArray("\xef\xbb\xbf; the pump station\n"
                                     "# code from the label\n"
                                     "\n"
                                     "; globals below\n"
                                     "[General]\n"
                                     "SocketPort=3702 ; the DTUs' port\n"));
    EXPECT_FALSE(Group(store.Load(), 0).has_value());
}

// A hand-edited file's keys in another letter case are the same keys: read, and written back
// in their own case in place, with no second line for the same key.
TEST_F(ConfigStoreTest, KeysInAnyLetterCaseAreReadAndWrittenBackInTheirOwnCase)
{
    WriteFile("[general]\nsocketport=4000\nPASSWORD=pw\n[1]\nportnumber=7\ncode=C7\nuseTCP=1\nLOGININTERVAL=60\n");
    const StoredConfig stored = store.Load();
    EXPECT_EQ(stored.settings.SocketPort, 4000);
    EXPECT_EQ(stored.settings.Password, "pw");
    ASSERT_TRUE(Group(stored, 0).has_value());
    EXPECT_EQ(Group(stored, 0)->PortNumber, 7);
    EXPECT_EQ(Group(stored, 0)->Code, "C7");
    EXPECT_EQ(Group(stored, 0)->UseTcp, 1);
    EXPECT_EQ(Group(stored, 0)->LoginInterval, 60);

    PortConfig port = *Group(stored, 0);
    port.PortNumber = 8;
    EXPECT_FALSE(store.SavePortConfig(0, port));
    EXPECT_EQ(ReadFile(), QByteArray("[general]\nsocketport=4000\nPASSWORD=pw\n[1]\nportnumber=8\ncode=C7\nuseTCP=1\n"
                                     "LOGININTERVAL=60\n"));
    // The last of two spellings is the one read; a save leaves one line.
    WriteFile("[1]\nCode=old\ncode=new\n");
    EXPECT_EQ(Load(0)->Code, "new");
    port.Code = "newer";
    EXPECT_FALSE(store.SavePortConfig(0, port));
    EXPECT_EQ(ReadFile(), "[1]\ncode=newer\nLoginInterval=60\nPortNumber=8\nUseTcp=1\n");
    EXPECT_EQ(Load(0)->Code, "newer");
    EXPECT_EQ(QSettings(filePath, QSettings::IniFormat).value("1/code").toString(), "newer");
}

// A group edited by hand and not loaded again: a save writes only the values its change makes,
// keeps the user's lines (the file is what the next reload applies) and says so.
TEST_F(ConfigStoreTest, HandEditsNotLoadedYetAreKeptAndSaid)
{
    const QByteArray loaded("; site B\n[2]\nCode=H2\nLoginInterval=300\nPeerIP=0.0.0.0\nPortNumber=2\nUseFixedIP=0\n"
                            "UseTcp=0\n");
    WriteFile(loaded);
    PortConfig running = *Group(store.Load(), 1);
    QByteArray handEdited = loaded;
    handEdited.replace("Code=H2", "Code=HANDMADE");
    WriteFile(handEdited);

    ReportedLines reported;
    running.LoginInterval = 120;
    EXPECT_FALSE(store.SavePortConfig(1, running));
    QByteArray expected = handEdited;
    expected.replace("LoginInterval=300", "LoginInterval=120");
    EXPECT_EQ(ReadFile(), expected);
    const Reason kept(Reason::Kind::ConfigHandEditsKept, filePath.toStdString(), "[2] (Code)");
    EXPECT_EQ(store.LastNotice(), kept);
    EXPECT_EQ(reported.Lines(), std::vector<std::string>{kept.English()});
    EXPECT_NE(kept.English().find("apply at the next reload"), std::string::npos);

    // Said again at the next save while the line stays; a save that changes the line itself
    // writes it, and says nothing.
    running.LoginInterval = 130;
    EXPECT_FALSE(store.SavePortConfig(1, running));
    EXPECT_EQ(store.LastNotice(), kept);
    EXPECT_TRUE(ReadFile().contains("Code=HANDMADE\nLoginInterval=130\n"));
    running.Code = "H3";
    EXPECT_FALSE(store.SavePortConfig(1, running));
    EXPECT_FALSE(store.LastNotice());
    EXPECT_TRUE(ReadFile().contains("Code=H3\nLoginInterval=130\n"));

    // Once loaded, the hand edit is what later changes are measured against.
    WriteFile(handEdited);
    running = *Group(store.Load(), 1);
    EXPECT_EQ(running.Code, "HANDMADE");
    running.UseTcp = 1;
    EXPECT_FALSE(store.SavePortConfig(1, running));
    EXPECT_FALSE(store.LastNotice());
    expected = handEdited;
    expected.replace("UseTcp=0", "UseTcp=1");
    EXPECT_EQ(ReadFile(), expected);

    // Other groups' hand edits are not this change's business.
    WriteFile(handEdited + "[3]\nCode=X\n");
    running.UseTcp = 0;
    EXPECT_FALSE(store.SavePortConfig(1, running));
    EXPECT_FALSE(store.LastNotice());
    EXPECT_EQ(ReadFile(), handEdited + "[3]\nCode=X\n");
}

// The address a hand edit wrote another way is no change: its text stays.
TEST_F(ConfigStoreTest, AnAddressThatStaysKeepsItsText)
{
    const QByteArray text("[1]\nPortNumber=4\nUseFixedIP=1\nPeerIP=127.000.000.001\n");
    WriteFile(text);
    PortConfig port = *Group(store.Load(), 0);
    port.PeerIP = "127.0.0.1";  // as a front end shows it
    port.LoginInterval = 60;
    EXPECT_FALSE(store.SavePortConfig(0, port));
    EXPECT_EQ(ReadFile(), "[1]\nPortNumber=4\nUseFixedIP=1\nPeerIP=127.000.000.001\nLoginInterval=60\n");
    EXPECT_FALSE(store.LastNotice());
    port.PeerIP = "127.0.0.2";
    EXPECT_FALSE(store.SavePortConfig(0, port));
    EXPECT_EQ(ReadFile(), "[1]\nPortNumber=4\nUseFixedIP=1\nPeerIP=127.0.0.2\nLoginInterval=60\n");
}

// A change of number rewrites the number's line alone, in the letter case and spacing the line
// has; the other values' lines stay byte for byte.
TEST_F(ConfigStoreTest, AChangedValueIsRewrittenInItsLinesOwnSpelling)
{
    const QByteArray text("[2]\r\nportnumber = 2 ; the north pump\r\nusefixedip=0\r\nUSETCP=0\r\nloginINTERVAL=300\r\n"
                          "code=A\r\npeerip=0.0.0.0\r\n");
    WriteFile(text);
    PortConfig port = *Group(store.Load(), 1);
    port.PortNumber = 22;
    EXPECT_FALSE(store.SavePortConfig(1, port));
    QByteArray expected = text;
    expected.replace("portnumber = 2 ;", "portnumber = 22 ;");
    EXPECT_EQ(ReadFile(), expected);
    port.UseTcp = 1;
    port.LoginInterval = 60;
    EXPECT_FALSE(store.SavePortConfig(1, port));
    expected.replace("USETCP=0", "USETCP=1").replace("loginINTERVAL=300", "loginINTERVAL=60");
    EXPECT_EQ(ReadFile(), expected);
    EXPECT_FALSE(store.LastNotice());
}

// The global values: the same rule; a hand edit of them applies at the next start.
TEST_F(ConfigStoreTest, HandEditsOfTheGlobalValuesAreKeptAndSaid)
{
    const QByteArray text("[General]\nsocketport=3700\nPassword=old\nOnlyOnePort=0\nVPortNo=5\n");
    WriteFile(text);
    GlobalSettings running = store.Load().settings;
    WriteFile("[General]\nsocketport=4000\nPassword=old\nOnlyOnePort=0\nVPortNo=5\n");
    running.Password = "new";
    EXPECT_FALSE(store.SaveSettings(running));
    EXPECT_EQ(ReadFile(), "[General]\nsocketport=4000\nPassword=new\nOnlyOnePort=0\nVPortNo=5\n");
    const Reason kept(Reason::Kind::ConfigSettingsEditsKept, filePath.toStdString(), "[General] (SocketPort)");
    EXPECT_EQ(store.LastNotice(), kept);
    EXPECT_NE(kept.English().find("apply at the next start"), std::string::npos);
}

// A group removed by hand while its port runs: a change of that port writes it whole again,
// and says so.
TEST_F(ConfigStoreTest, AGroupRemovedByHandIsWrittenWholeByAChangeOfItsPort)
{
    WriteFile("[1]\nCode=A\nPortNumber=3\n[2]\nCode=B\nPortNumber=4\n");
    PortConfig port = *Group(store.Load(), 1);
    WriteFile("[1]\nCode=A\nPortNumber=3\n");
    port.LoginInterval = 60;
    EXPECT_FALSE(store.SavePortConfig(1, port));
    EXPECT_EQ(ReadFile(), "[1]\nCode=A\nPortNumber=3\n\n[2]\nCode=B\nLoginInterval=60\nPeerIP=\nPortNumber=4\n"
                          "UseFixedIP=0\nUseTcp=0\n");
    EXPECT_EQ(store.LastNotice(), Reason(Reason::Kind::ConfigGroupWrittenAgain, filePath.toStdString(), "[2]"));
}

// What saves cut short left (".HOLBRN.conf.XXXXXX") goes at the next save or start; nothing
// else does: other names, links, folders, a save in progress (it holds its lock).
TEST_F(ConfigStoreTest, LeftoversOfSavesCutShortAreRemovedAndNothingElse)
{
    WriteFile("[1]\nCode=A\n");
    const QString folder = dir.path() + "/Torvane/";
    const QStringList leftovers = {".HOLBRN.conf.a1B2c3", ".HOLBRN.conf.ZZZZZZ"};
    const QStringList others = {".HOLBRN.conf.abc12",  ".HOLBRN.conf.abc1234", "HOLBRN.conf.abc123",
                                ".HOLBRN.conf.a-b_c1", ".other.conf.abc123",   "HOLBRN.conf.lock"};
    for (const QString& name : leftovers + others) {
        QFile file(folder + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("Password=secret\n");
    }
    ASSERT_EQ(symlink((folder + "HOLBRN.conf").toLocal8Bit().constData(),
                      (folder + ".HOLBRN.conf.link12").toLocal8Bit().constData()),
              0);
    ASSERT_TRUE(QDir().mkdir(folder + ".HOLBRN.conf.dir123"));
    // A save of another process in progress: its file is locked.
    QFile inProgress(folder + ".HOLBRN.conf.InPrg1");
    ASSERT_TRUE(inProgress.open(QIODevice::WriteOnly));
    ASSERT_EQ(flock(inProgress.handle(), LOCK_EX), 0);

    ReportedLines reported;
    store.RemoveLeftovers();
    QStringList remaining = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                   | QDir::NoDotAndDotDot);
    remaining.sort();
    QStringList expected = others
                           + QStringList{"HOLBRN.conf", ".HOLBRN.conf.link12", ".HOLBRN.conf.dir123",
                                         ".HOLBRN.conf.InPrg1"};
    expected.sort();
    EXPECT_EQ(remaining, expected);
    EXPECT_EQ(reported.Lines().size(), 2u);
    for (const std::string& line : reported.Lines())
        EXPECT_NE(line.find("left by a save of the configuration that was cut short"), std::string::npos) << line;

    // The save in progress ends without finishing: the next save removes what it left.
    inProgress.close();
    PortConfig port;
    port.Code = "B";
    EXPECT_FALSE(store.SavePortConfig(0, port));
    EXPECT_FALSE(QFileInfo::exists(folder + ".HOLBRN.conf.InPrg1"));
    EXPECT_EQ(Load(0)->Code, "B");
    EXPECT_TRUE(QFileInfo(folder + ".HOLBRN.conf.link12").isSymLink());
}

// Values are written as QSettings writes them, byte for byte.
TEST_F(ConfigStoreTest, ValuesAreEscapedAsQSettingsEscapesThem)
{
    const QString texts[] = {QString(),
                             " lead",
                             "trail ",
                             " ",
                             "a;b",
                             "x=y",
                             "a,b",
                             "\"q\"",
                             "back\\slash",
                             "@at",
                             "@@two",
                             "t\tn\nl\r\a\b\f\v",
                             "中文",
                             QString("\x01") + "abz",
                             "\x1f"
                             "g",
                             QString(QChar(0)) + "1",
                             "\x7f",
                             "#hash",
                             "[1]",
                             "%41",
                             "\u00e9",
                             "\U0001F600",
                             "é1"};
    {
        QSettings qt(filePath, QSettings::IniFormat);
        int n = 0;
        for (const QString& text : texts)
            qt.setValue(QStringLiteral("%1/Code").arg(++n), text);
    }
    const QList<QByteArray> written = ReadFile().split('\n');
    int n = 0;
    for (const QString& text : texts) {
        const QByteArray header = "[" + QByteArray::number(++n) + "]";
        const qsizetype at = written.indexOf(header);
        ASSERT_GE(at, 0) << n;
        EXPECT_EQ(written[at + 1], "Code=" + SettingsFile::EscapedValue(text)) << n;
    }
    // And what this program writes, QSettings reads as it was given.
    QFile::remove(filePath);
    n = 0;
    for (const QString& text : texts) {
        PortConfig port;
        port.Code = text.toStdString();
        ASSERT_FALSE(store.SavePortConfig(n++, port));
    }
    QSettings qt(filePath, QSettings::IniFormat);
    n = 0;
    for (const QString& text : texts)
        EXPECT_EQ(qt.value(QStringLiteral("%1/Code").arg(++n)).toString(), text) << n;
    EXPECT_EQ(qt.status(), QSettings::NoError);
}

// A save that changes nothing writes nothing; one value changed rewrites one line.
TEST_F(ConfigStoreTest, ASaveRewritesOnlyTheLinesItChanges)
{
    const QByteArray text("[1]\r\nPortNumber = 7\r\nCode= \"A1\"\r\nLoginInterval=300\r\nUseFixedIP=0\r\nUseTcp=0\r\n"
                          "PeerIP=0.0.0.0\r\n");
    WriteFile(text);
    const QDateTime written = QFileInfo(filePath).lastModified();
    PortConfig port = *Load(0);
    EXPECT_FALSE(store.SavePortConfig(0, port));
    EXPECT_EQ(ReadFile(), text);
    EXPECT_EQ(QFileInfo(filePath).lastModified(), written);

    port.UseTcp = 1;
    EXPECT_FALSE(store.SavePortConfig(0, port));
    QByteArray expected = text;
    expected.replace("UseTcp=0", "UseTcp=1");
    EXPECT_EQ(ReadFile(), expected);

    // A new group in a file of CR LF lines gets CR LF lines too.
    EXPECT_FALSE(store.SavePortConfig(2, port));
    EXPECT_TRUE(ReadFile().endsWith("\r\n\r\n[3]\r\nCode=A1\r\nLoginInterval=300\r\nPeerIP=0.0.0.0\r\nPortNumber=7\r\n"
                                    "UseFixedIP=0\r\nUseTcp=1\r\n"))
        << ReadFile().constData();
}

// Only a regular file is read, never waiting for a writer or reading a device without end;
// anything else is refused for saving and left where it is.
TEST_F(ConfigStoreTest, ANonRegularFileIsNeitherReadNorWrittenOver)
{
    QDir().mkpath(dir.path() + "/Torvane");
    ASSERT_EQ(mkfifo(filePath.toLocal8Bit().constData(), 0600), 0);
    ReportedLines reported;
    const StoredConfig stored = store.Load();  // would block for a writer if it opened the FIFO
    EXPECT_EQ(stored.settings.SocketPort, 3700);
    Reason error = store.SaveSettings(VersionA());
    EXPECT_EQ(error, Reason(Reason::Kind::ConfigNotRegularFile, filePath.toStdString(), "a FIFO"));
    struct stat st {};
    ASSERT_EQ(lstat(filePath.toLocal8Bit().constData(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(reported.Lines(),
              (std::vector<std::string>{"configuration file " + filePath.toStdString()
                                            + " is a FIFO, not a regular file",
                                        "cannot save the configuration: configuration file " + filePath.toStdString()
                                            + " is a FIFO, not a regular file"}));

    // A link to a device that never ends.
    QFile::remove(filePath);
    ASSERT_TRUE(QFile::link("/dev/zero", filePath));
    EXPECT_EQ(store.Load().settings.VPortNo, 5);
    EXPECT_EQ(store.SavePortConfig(0, SamplePort(1)).kind, Reason::Kind::ConfigNotRegularFile);
    EXPECT_EQ(QFileInfo(filePath).symLinkTarget(), "/dev/zero");

    // A link to a regular file is read, and a save replaces the file it names.
    QFile::remove(filePath);
    const QString real = dir.path() + "/real.conf";
    {
        QFile file(real);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("; mine\n[1]\nPortNumber=4\n");
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }
    ASSERT_TRUE(QFile::link(real, filePath));
    EXPECT_EQ(Load(0)->PortNumber, 4);
    EXPECT_FALSE(store.SaveSettings(VersionA()));
    EXPECT_EQ(QFileInfo(filePath).symLinkTarget(), real);
    EXPECT_EQ(store.Load().settings.Password, "alpha");
    EXPECT_EQ(Load(0)->PortNumber, 4);

    // A loop of links cannot be read at all.
    QFile::remove(filePath);
    ASSERT_TRUE(QFile::link(filePath, filePath));
    EXPECT_EQ(store.Load().settings.VPortNo, 5);
    error = store.SaveSettings(VersionA());
    EXPECT_EQ(error, Reason(Reason::Kind::ConfigUnreadable, filePath.toStdString(), {}, ELOOP));
    EXPECT_NE(error.English().find("Too many levels of symbolic links"), std::string::npos) << error.English();
}

TEST_F(ConfigStoreTest, AFileBeyondTheLimitIsNotReadAndSaysSo)
{
    QByteArray text("[1]\nPortNumber=7\n");
    const QByteArray filler("; " + QByteArray(1000, 'x') + "\n");
    while (text.size() <= ConfigFile::MaxBytes)
        text += filler;
    WriteFile(text);
    ReportedLines reported;
    EXPECT_FALSE(Group(store.Load(), 0).has_value());
    ASSERT_EQ(reported.Lines().size(), 1u);
    EXPECT_NE(reported.Lines()[0].find(filePath.toStdString() + " is larger than 4 MiB; it is not read"),
              std::string::npos)
        << reported.Lines()[0];
    EXPECT_EQ(store.SavePortConfig(0, SamplePort(1)),
              Reason(Reason::Kind::ConfigTooLarge, filePath.toStdString(), "4"));
    EXPECT_EQ(ReadFile(), text);
}

// The file holds the DTU codes and the password: what the program makes is its user's alone,
// and a file open to others is named once.
TEST_F(ConfigStoreTest, WhatTheProgramWritesIsPrivateAndAnOpenFileIsNamedOnce)
{
    const mode_t before = umask(022);
    const QString home = dir.path() + "/home/.config";
    const ConfigStore fresh((home + "/Torvane/HOLBRN.conf").toStdString());
    EXPECT_FALSE(fresh.SaveSettings(VersionA()));
    struct stat st {};
    ASSERT_EQ(stat((home + "/Torvane").toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(home.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((home + "/Torvane/HOLBRN.conf").toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // As an earlier version left them: a folder and a file everyone can read.
    WriteFile("[1]\nPortNumber=7\n");
    chmod(filePath.toLocal8Bit().constData(), 0644);
    chmod((dir.path() + "/Torvane").toLocal8Bit().constData(), 0755);
    ReportedLines reported;
    store.Load();
    store.Load();
    const auto lines = reported.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("configuration file " + filePath.toStdString() + " (mode 0644) can be read by other users"),
              std::string::npos)
        << lines[0];
    EXPECT_FALSE(store.SaveSettings(VersionA()));
    ASSERT_EQ(stat(filePath.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((dir.path() + "/Torvane").toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    umask(before);
}

// A write the disk cannot take (here the file size limit, as a full disk would) leaves the
// old file whole and no temporary file behind, and says why.
TEST_F(ConfigStoreTest, AWriteThatFailsLeavesTheOldFileAndSaysWhy)
{
    WriteFile("[1]\nPortNumber=7\nCode=A1\n");
    const QByteArray text = ReadFile();
    const QByteArray folder = (dir.path() + "/Torvane").toLocal8Bit();
    chmod(folder.constData(), 0755);
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ReportedLines reported;
    const Reason error = store.SavePortConfig(1, SamplePort(2));
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(error, Reason(Reason::Kind::ConfigNotSaved, filePath.toStdString(), {}, EFBIG));
    EXPECT_EQ(reported.Lines(), std::vector<std::string>{"cannot save the configuration to " + filePath.toStdString()
                                                         + ": File too large"});
    EXPECT_EQ(ReadFile(), text);
    EXPECT_EQ(QDir(dir.path() + "/Torvane").entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"HOLBRN.conf"});
    // A refused save changes nothing, the folder's mode included.
    struct stat st {};
    ASSERT_EQ(stat(folder.constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0755u);

    // A folder the user may not write to (not for root, whom the system lets write anyway).
    if (geteuid() != 0) {
        chmod((dir.path() + "/Torvane").toLocal8Bit().constData(), 0500);
        EXPECT_EQ(store.SavePortConfig(1, SamplePort(2)),
                  Reason(Reason::Kind::ConfigNotSaved, filePath.toStdString(), {}, EACCES));
        chmod((dir.path() + "/Torvane").toLocal8Bit().constData(), 0700);
        EXPECT_EQ(ReadFile(), text);
    }
}

int main(int argc, char** argv)
{
    if (std::getenv("MV_CONFIG_SAVE_LOOP"))
        return RunSaveLoop();

    // The settings path is taken from XDG_CONFIG_HOME at the first use of QSettings.
    QTemporaryDir home;
    if (!home.isValid())
        return 2;
    xdgConfigHome = home.path();
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
