#include "config/ConfigStore.h"
#include "link/PortTable.h"  // PortFields
#include "net/TcpClientLink.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QThread>

#include <cstdlib>
#include <string>

namespace {

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

PortFields SamplePort(int n)
{
    PortFields f;
    f.PortNumber = n;
    f.UseFixedIP = n % 2;
    f.UseTcp = (n / 2) % 2;
    f.LoginInterval = 10 + n;
    f.Code = "C" + std::to_string(n);
    f.peerAddress.Set(10, 0, static_cast<uint8_t>(n / 256), static_cast<uint8_t>(n % 256), 3700);
    return f;
}

// The six configuration fields of a record, as a copyable value.
void CopyFields(const PortFields& from, VirtualPortEntry& to)
{
    to.PortNumber = from.PortNumber;
    to.UseFixedIP = from.UseFixedIP;
    to.peerAddress = from.peerAddress;
    to.LoginInterval = from.LoginInterval;
    to.Code = from.Code;
    to.UseTcp = from.UseTcp;
}

void CopyFields(const VirtualPortEntry& from, PortFields& to)
{
    to.PortNumber = from.PortNumber;
    to.UseFixedIP = from.UseFixedIP;
    to.peerAddress = from.peerAddress;
    to.LoginInterval = from.LoginInterval;
    to.Code = from.Code;
    to.UseTcp = from.UseTcp;
}

// Every test works on a settings file of its own.
class ConfigStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        filePath = dir.path() + "/Torvane/HOLBRN.conf";
    }

    void WriteFile(const QByteArray& text)
    {
        QDir().mkpath(dir.path() + "/Torvane");
        QFile file(filePath);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

    QByteArray ReadFile() const
    {
        QFile file(filePath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    GlobalSettings LoadGlobals(const QByteArray& text)
    {
        WriteFile(text);
        GlobalSettings s;
        store.LoadSettings(s);
        return s;
    }

    // Loads slot 0 from a file holding only the given lines in group "1".
    PortFields LoadSlot0(const QByteArray& lines, uint16_t socketPort = 3700)
    {
        WriteFile("[1]\n" + lines);
        PortFields f;
        EXPECT_TRUE(Load(0, f, socketPort));
        return f;
    }

    // Loads slot over the values in fields.
    bool Load(int slot, PortFields& fields, uint16_t socketPort)
    {
        VirtualPortEntry entry;
        CopyFields(fields, entry);
        const bool exists = store.LoadPortConfig(slot, entry, socketPort);
        CopyFields(entry, fields);
        return exists;
    }

    void Save(int slot, const PortFields& fields)
    {
        VirtualPortEntry entry;
        CopyFields(fields, entry);
        store.SavePortConfig(slot, entry);
    }

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
    ASSERT_TRUE(store.SaveSettings(s));
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
    GlobalSettings s;
    store.LoadSettings(s);
    EXPECT_EQ(s.SocketPort, 3700);
    EXPECT_EQ(s.Password, "");
    EXPECT_EQ(s.OnlyOnePort, 0);
    EXPECT_EQ(s.VPortNo, 5);
    for (int slot = 0; slot < ConfigStore::SlotCount; ++slot) {
        PortFields f;
        EXPECT_FALSE(Load(slot, f, 3700));
    }
    EXPECT_FALSE(QFileInfo::exists(filePath)) << "reading must not create the file";
}

TEST_F(ConfigStoreTest, GlobalsRoundTripWithAwkwardPasswords)
{
    for (const std::string password :
         {"", " a,b;c", "=\"q\"#\\", "@x", "中文密码", "12345", "true", "tab\there "}) {
        GlobalSettings saved;
        saved.SocketPort = 65535;
        saved.Password = password;
        saved.OnlyOnePort = 1;
        saved.VPortNo = 256;
        ASSERT_TRUE(store.SaveSettings(saved));
        GlobalSettings loaded;
        store.LoadSettings(loaded);
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
    ASSERT_TRUE(store.SaveSettings(saved));
    GlobalSettings loaded;
    store.LoadSettings(loaded);
    EXPECT_EQ(loaded.Password, saved.Password);

    saved.Password = std::string(16, 'p');  // saved, but does not come back
    ASSERT_TRUE(store.SaveSettings(saved));
    EXPECT_TRUE(ReadFile().contains(QByteArray(16, 'p')));
    GlobalSettings again;
    store.LoadSettings(again);
    EXPECT_EQ(again.Password, "");

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
    PortFields saved;
    saved.PortNumber = 17;
    saved.UseFixedIP = 1;
    saved.UseTcp = 1;
    saved.LoginInterval = 100000;
    saved.Code = "中文ab";
    saved.peerAddress.Set(192, 168, 10, 254, 1111);  // the port is not stored
    Save(4, saved);

    const QByteArray text = ReadFile();
    EXPECT_TRUE(text.contains("[5]\n")) << text.constData();
    EXPECT_TRUE(text.contains("PeerIP=192.168.10.254\n"));
    EXPECT_TRUE(text.contains("LoginInterval=100000\n"));

    PortFields loaded;
    ASSERT_TRUE(Load(4, loaded, 4321));
    EXPECT_EQ(loaded.PortNumber, 17);
    EXPECT_EQ(loaded.UseFixedIP, 1);
    EXPECT_EQ(loaded.UseTcp, 1);
    EXPECT_EQ(loaded.LoginInterval, 100000);
    EXPECT_EQ(loaded.Code, "中文ab");
    EXPECT_EQ(loaded.peerAddress.ToText(), "192.168.10.254");
    EXPECT_EQ(loaded.peerAddress.Port(), 4321);

    PortFields other;
    EXPECT_FALSE(Load(3, other, 4321));
    EXPECT_FALSE(Load(5, other, 4321));
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

    // A value the caller preset outside the range is clamped even when nothing is stored.
    WriteFile("[1]\nCode=A\n");
    PortFields f;
    f.LoginInterval = 3;
    ASSERT_TRUE(Load(0, f, 3700));
    EXPECT_EQ(f.LoginInterval, 10);
}

TEST_F(ConfigStoreTest, PortNumbersAndFlagsAsStored)
{
    const PortFields f = LoadSlot0("PortNumber=999\nUseFixedIP=5\nUseTcp=-1\n");
    EXPECT_EQ(f.PortNumber, 999);
    EXPECT_EQ(f.UseFixedIP, 1);
    EXPECT_EQ(f.UseTcp, 1);
    EXPECT_EQ(LoadSlot0("PortNumber=-7\n").PortNumber, -7);
    EXPECT_EQ(LoadSlot0("PortNumber=4294967295\n").PortNumber, -1);
    EXPECT_EQ(LoadSlot0("UseTcp=0\n").UseTcp, 0);

    // The same number in two groups loads twice.
    WriteFile("[1]\nPortNumber=7\n[2]\nPortNumber=7\n");
    PortFields a, b;
    ASSERT_TRUE(Load(0, a, 3700));
    ASSERT_TRUE(Load(1, b, 3700));
    EXPECT_EQ(a.PortNumber, 7);
    EXPECT_EQ(b.PortNumber, 7);
}

TEST_F(ConfigStoreTest, CodeAndPeerIpLengthLimitsInBytes)
{
    EXPECT_EQ(LoadSlot0("Code=12345678901\n").Code, "12345678901");
    EXPECT_EQ(LoadSlot0("Code=123456789012\n").Code, "");
    EXPECT_EQ(LoadSlot0("Code=中文ab\n").Code, "中文ab");  // 8 bytes
    EXPECT_EQ(LoadSlot0("Code=中文中文\n").Code, "");     // 12 bytes
    EXPECT_EQ(LoadSlot0("Code=\"a,b\"\n").Code, "a,b");

    const PortFields fixed = LoadSlot0("PeerIP=10.20.30.40\n", 5000);
    EXPECT_EQ(fixed.peerAddress.ToText(), "10.20.30.40");
    EXPECT_EQ(fixed.peerAddress.Port(), 5000);

    // 19 bytes load (the parse takes what it can), 20 do not.
    const PortFields long19 = LoadSlot0("PeerIP=100.200.100.200.000\n", 5000);
    EXPECT_EQ(long19.peerAddress.ToText(), "100.200.100.200");
    const PortFields long20 = LoadSlot0("PeerIP=100.200.100.200.0000\n", 5000);
    EXPECT_EQ(long20.peerAddress.ToText(), "0.0.0.0");
    EXPECT_EQ(long20.peerAddress.Port(), 0);

    const PortFields missing = LoadSlot0("Code=A\n", 5000);
    EXPECT_EQ(missing.peerAddress.ToText(), "0.0.0.0");
    EXPECT_EQ(missing.peerAddress.Port(), 0);
}

TEST_F(ConfigStoreTest, SlotsAreGroupsOneTo200Only)
{
    WriteFile("[1]\nCode=A\n[3]\nCode=C\n[201]\nCode=X\n[COM7]\nCode=Y\n[03]\nCode=Z\n"
              "[200]\nCode=L\n");
    QList<int> present;
    for (int slot = -1; slot <= ConfigStore::SlotCount; ++slot) {
        PortFields f;
        if (Load(slot, f, 3700))
            present.append(slot);
    }
    EXPECT_EQ(present, (QList<int>{0, 2, 199}));
}

TEST_F(ConfigStoreTest, EmptySectionIsAPortWithDefaultsAndSurvivesTheNextSave)
{
    WriteFile("SocketPort=3700\n[3]\n\n[1]\nPortNumber=2\n");
    PortFields f;
    ASSERT_TRUE(Load(2, f, 3700));
    EXPECT_EQ(f.PortNumber, 0);
    EXPECT_EQ(f.UseTcp, 0);
    EXPECT_EQ(f.UseFixedIP, 0);
    EXPECT_EQ(f.Code, "");
    EXPECT_EQ(f.LoginInterval, 300);

    // Any later save rewrites the file; the slot must still be there afterwards.
    Save(5, SamplePort(5));
    PortFields again;
    EXPECT_TRUE(Load(2, again, 3700));
    EXPECT_TRUE(Load(0, again, 3700));
    EXPECT_EQ(again.PortNumber, 2);
    EXPECT_TRUE(ReadFile().contains("[3]\nCode=\nLoginInterval=300\nPeerIP=0.0.0.0\nPortNumber=0\n"))
        << ReadFile().constData();
}

TEST_F(ConfigStoreTest, DeleteRemovesOnlyItsGroupAndAFreedSlotIsReused)
{
    for (int slot = 0; slot < 10; ++slot)
        Save(slot, SamplePort(slot + 1));
    store.DeletePortConfig(3);
    for (int slot = 0; slot < 10; ++slot) {
        PortFields f;
        EXPECT_EQ(Load(slot, f, 3700), slot != 3) << slot;
        if (slot != 3) {
            EXPECT_EQ(f.Code, SamplePort(slot + 1).Code);
        }
    }
    Save(3, SamplePort(77));
    PortFields reused;
    ASSERT_TRUE(Load(3, reused, 3700));
    EXPECT_EQ(reused.PortNumber, 77);
    EXPECT_TRUE(ReadFile().contains("[4]\n"));

    // Deleting a missing group leaves the file as it was.
    const QByteArray before = ReadFile();
    store.DeletePortConfig(50);
    store.DeletePortConfig(200);
    EXPECT_EQ(ReadFile(), before);
}

TEST_F(ConfigStoreTest, UnwritableLocationWritesNothingAndSaysSo)
{
    // "Torvane" is a plain file: the settings file can be neither made nor read.
    QFile blocker(dir.path() + "/Torvane");
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    EXPECT_FALSE(store.SaveSettings(GlobalSettings{}));
    Save(0, SamplePort(1));
    store.DeletePortConfig(0);
    GlobalSettings s;
    store.LoadSettings(s);
    EXPECT_EQ(s.VPortNo, 5);
    PortFields f;
    EXPECT_FALSE(Load(0, f, 3700));
    EXPECT_TRUE(QFileInfo(dir.path() + "/Torvane").isFile());
}

TEST_F(ConfigStoreTest, SettingsFileThatIsADirectoryGivesDefaultsAndRefusesSaves)
{
    ASSERT_TRUE(QDir().mkpath(filePath));
    GlobalSettings s;
    store.LoadSettings(s);
    EXPECT_EQ(s.SocketPort, 3700);
    EXPECT_FALSE(store.SaveSettings(VersionA()));
    EXPECT_TRUE(QFileInfo(filePath).isDir());
}

TEST_F(ConfigStoreTest, SaveKeepsHandWrittenPortsAndOtherValues)
{
    WriteFile("[General]\nSocketPort=1000\nPassword=old\n[2]\nPortNumber=9\nCode=K\n");
    GlobalSettings s;
    store.LoadSettings(s);
    s.Password = "new";
    ASSERT_TRUE(store.SaveSettings(s));
    PortFields f;
    ASSERT_TRUE(Load(1, f, s.SocketPort));
    EXPECT_EQ(f.PortNumber, 9);
    EXPECT_EQ(f.Code, "K");
    GlobalSettings loaded;
    store.LoadSettings(loaded);
    EXPECT_EQ(loaded.SocketPort, 1000);
    EXPECT_EQ(loaded.Password, "new");
}

// A process killed while saving leaves the old or the new file, never a torn one, and does
// not keep the next save waiting on its lock.
TEST_F(ConfigStoreTest, SaveKilledMidWayLeavesAWholeFile)
{
    for (int slot = 0; slot < ConfigStore::SlotCount; ++slot)
        Save(slot, SamplePort(slot + 1));
    ASSERT_TRUE(store.SaveSettings(VersionA()));

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

        GlobalSettings loaded;
        store.LoadSettings(loaded);
        const bool isA = loaded.Password == "alpha" && loaded.SocketPort == 4001 &&
                         loaded.OnlyOnePort == 0 && loaded.VPortNo == 7;
        const bool isB = loaded.Password == "bravo-2" && loaded.SocketPort == 4002 &&
                         loaded.OnlyOnePort == 1 && loaded.VPortNo == 9;
        EXPECT_TRUE(isA || isB) << "delay " << delay << ": " << loaded.Password;
        for (int slot = 0; slot < ConfigStore::SlotCount; ++slot) {
            PortFields f;
            ASSERT_TRUE(Load(slot, f, 3700)) << "delay " << delay << " slot " << slot;
            ASSERT_EQ(f.Code, SamplePort(slot + 1).Code);
            ASSERT_EQ(f.LoginInterval, SamplePort(slot + 1).LoginInterval);
        }
    }
    // The killed saver's lock must not hold up the next save.
    EXPECT_TRUE(store.SaveSettings(VersionA()));
    GlobalSettings last;
    store.LoadSettings(last);
    EXPECT_EQ(last.Password, "alpha");
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
