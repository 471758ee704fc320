#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "com/ComServer.h"
#include "com/Registration.h"

namespace {

QByteArray ReadAll(const QString& fileName)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Write(const QString& fileName, const QByteArray& content)
{
    QDir().mkpath(fileName.section(QLatin1Char('/'), 0, -2));
    QFile file(fileName);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
}

// Points XDG_DATA_HOME at a fresh folder for the length of a test.
class DataHome {
public:
    DataHome() : previous_(qgetenv("XDG_DATA_HOME")) { qputenv("XDG_DATA_HOME", dir_.path().toUtf8()); }
    ~DataHome() { qputenv("XDG_DATA_HOME", previous_); }
    QString Path() const { return dir_.path(); }

private:
    QTemporaryDir dir_;
    QByteArray previous_;
};

}  // namespace

TEST(Registration, RegisterSelfWritesTheThreeFilesWithTheProgramsAbsolutePath)
{
    QTemporaryDir home;
    Registration registration(home.path(), QStringLiteral("/opt/mv/MV5840VSP"));
    ASSERT_TRUE(registration.RegisterSelf());

    EXPECT_EQ(registration.ServiceFile(), home.path() + "/dbus-1/services/MV5840VSP.IMV5840VSP.service");
    EXPECT_EQ(ReadAll(registration.ServiceFile()),
              "[D-BUS Service]\nName=MV5840VSP.IMV5840VSP\nExec=/opt/mv/MV5840VSP -Embedding\n");

    const QByteArray description = ReadAll(home.path() + "/dbus-1/interfaces/MV5840VSP.IMV5840VSP.xml");
    EXPECT_TRUE(description.contains("<interface name=\"MV5840VSP.IPortSelection\">"));
    EXPECT_TRUE(description.contains("<method name=\"SelectDtu\">"));
    EXPECT_TRUE(description.contains("<interface name=\"MV5840VSP.IClassFactory\">"));

    const QByteArray desktop = ReadAll(home.path() + "/applications/MV5840VSP.desktop");
    EXPECT_TRUE(desktop.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(desktop.contains("\nExec=/opt/mv/MV5840VSP\n"));
    EXPECT_TRUE(desktop.contains("\nName=MV5840 Virtual Serial Ports\n"));
    EXPECT_TRUE(desktop.contains(QString::fromUtf8("\nName[zh_CN]=MV5840 虚拟串口管理\n").toUtf8()));
    EXPECT_TRUE(desktop.contains("\nIcon=mv5840vsp\n"));
    EXPECT_FALSE(desktop.contains('@'));
}

TEST(Registration, ASecondRegistrationReplacesTheActivationFileWhole)
{
    QTemporaryDir home;
    Registration registration(home.path(), QStringLiteral("/new/place/MV5840VSP"));
    Write(registration.ServiceFile(), "[D-BUS Service]\nName=MV5840VSP.IMV5840VSP\nExec=/old/MV5840VSP -Embedding\n"
                                      "User=someone\nSystemdService=x.service\n");
    ASSERT_TRUE(registration.RegisterSelf());
    EXPECT_EQ(ReadAll(registration.ServiceFile()),
              "[D-BUS Service]\nName=MV5840VSP.IMV5840VSP\nExec=/new/place/MV5840VSP -Embedding\n");
}

TEST(Registration, UnregisterSelfRemovesOnlyWhatRegistrationWrote)
{
    QTemporaryDir home;
    Registration registration(home.path(), QStringLiteral("/opt/mv/MV5840VSP"));
    const QStringList others = {home.path() + "/dbus-1/services/org.example.Other.service",
                                home.path() + "/dbus-1/interfaces/org.example.Other.xml",
                                home.path() + "/applications/other.desktop",
                                home.path() + "/applications/MV5840VSP.desktop.bak"};
    for (const QString& other : others)
        Write(other, "keep");
    ASSERT_TRUE(registration.RegisterSelf());
    ASSERT_TRUE(registration.UnregisterSelf());

    EXPECT_FALSE(QFile::exists(registration.ServiceFile()));
    EXPECT_FALSE(QFile::exists(registration.InterfaceFile()));
    EXPECT_FALSE(QFile::exists(registration.DesktopFile()));
    for (const QString& other : others)
        EXPECT_EQ(ReadAll(other), "keep") << other.toStdString();
    EXPECT_TRUE(QDir(home.path() + "/dbus-1/services").exists());
    // Nothing registered: nothing to remove, and that is no failure.
    EXPECT_TRUE(registration.UnregisterSelf());
}

TEST(Registration, PathsWithBlanksAndQuotesSurviveBothFileFormats)
{
    Registration registration(QStringLiteral("/tmp"), QStringLiteral("/home/o'neil/my tools/50%\\MV5840VSP"));
    EXPECT_TRUE(registration.ServiceFileText().contains(
        QStringLiteral("\nExec='/home/o'\\''neil/my tools/50%\\MV5840VSP' -Embedding\n")));
    // Quoted with double quotes, the backslash escaped for the quote and again for the value,
    // and "%" doubled.
    EXPECT_TRUE(registration.DesktopFileText().contains(
        QStringLiteral("\nExec=\"/home/o'neil/my tools/50%%\\\\\\\\MV5840VSP\"\n")));

    // A line break in the path would forge further lines: nothing is written.
    QTemporaryDir home;
    Registration broken(home.path(), QStringLiteral("/opt/x\nExec=/bin/evil/MV5840VSP"));
    EXPECT_FALSE(broken.RegisterSelf());
    EXPECT_FALSE(QFile::exists(broken.ServiceFile()));
}

TEST(Registration, RegServerAsTheLastArgumentRegistersAndEndsTheRun)
{
    DataHome home;
    const Registration registration(home.Path(), QCoreApplication::applicationFilePath());
    {
        ComServer server({QCoreApplication::applicationFilePath(), QStringLiteral("/regSERVER")});
        EXPECT_FALSE(server.InitializeServer());
        EXPECT_EQ(server.ExitCode(), 0);
        EXPECT_FALSE(server.ServerInitialised());
        EXPECT_FALSE(server.Serving());
    }
    EXPECT_EQ(ReadAll(registration.ServiceFile()), ("[D-BUS Service]\nName=MV5840VSP.IMV5840VSP\nExec="
                                                    + QCoreApplication::applicationFilePath() + " -Embedding\n")
                                                       .toUtf8());
    EXPECT_TRUE(QFile::exists(registration.InterfaceFile()));
    EXPECT_TRUE(QFile::exists(registration.DesktopFile()));

    ComServer unregister({QCoreApplication::applicationFilePath(), QStringLiteral("-UNREGSERVER")});
    EXPECT_FALSE(unregister.InitializeServer());
    EXPECT_EQ(unregister.ExitCode(), 0);
    EXPECT_FALSE(QFile::exists(registration.ServiceFile()));
    EXPECT_FALSE(QFile::exists(registration.InterfaceFile()));
    EXPECT_FALSE(QFile::exists(registration.DesktopFile()));
}

TEST(Registration, RegServerFollowedByABlankStartsTheProgramNormally)
{
    DataHome home;
    ComServer server({QCoreApplication::applicationFilePath(), QStringLiteral("-RegServer"), QString()});
    EXPECT_TRUE(server.InitializeServer());
    EXPECT_TRUE(server.ServerInitialised());
    EXPECT_FALSE(server.Windowless());
    EXPECT_FALSE(QDir(home.Path() + "/dbus-1").exists());
    server.TerminateServer();
    EXPECT_FALSE(server.ServerInitialised());
}

TEST(Registration, AFailedRegistrationEndsWithAFailureStatus)
{
    QTemporaryDir dir;
    // A plain file where the data folder should be: nothing can be written beneath it.
    Write(dir.path() + "/file", "x");
    const QByteArray previous = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", (dir.path() + "/file").toUtf8());
    ComServer server({QCoreApplication::applicationFilePath(), QStringLiteral("-RegServer")});
    EXPECT_FALSE(server.InitializeServer());
    EXPECT_EQ(server.ExitCode(), 1);
    qputenv("XDG_DATA_HOME", previous);
}
