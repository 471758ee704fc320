#include <algorithm>
#include <filesystem>
#include <mutex>
#include <vector>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "VportTestSupport.h"
#include "net/Log.h"
#include "vport/PortDirectoryLock.h"
#include "vport/VirtualSerialPort.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t Nobody = 65534;

std::string LinkTarget(const std::string& path)
{
    std::error_code ec;
    auto target = fs::read_symlink(path, ec);
    return ec ? std::string() : target.string();
}

bool IsSymlink(const std::string& path)
{
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

TEST(PortDirectory, FollowsXdgRuntimeDirOrFallsBackToTmp)
{
    TempRuntimeDir runtime;
    EXPECT_EQ(VirtualSerialPort::PortDirectory(), runtime.PortDir());
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(VirtualSerialPort::PortDirectory(), "/tmp/MV5840VSP-" + std::to_string(geteuid()));
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(VirtualSerialPort::PortDirectory(), "/tmp/MV5840VSP-" + std::to_string(geteuid()));
}

TEST(PortLink, OpenMakesPrivateDirectoryAndLinkCloseRemovesIt)
{
    TempRuntimeDir runtime;
    LoopPort port;
    ASSERT_TRUE(port.Open("COM7"));
    std::string path = runtime.PortDir() + "/COM7";
    EXPECT_EQ(port.DevicePath(), path);

    struct stat st {};
    ASSERT_EQ(lstat(runtime.PortDir().c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_TRUE(IsSymlink(path));
    // Through a descriptor of this process, so the link dies with it; it still leads to the
    // pseudo-terminal.
    const std::string own = "/proc/" + std::to_string(getpid()) + "/fd/";
    EXPECT_EQ(LinkTarget(path).rfind(own, 0), 0u) << LinkTarget(path);
    EXPECT_EQ(fs::canonical(path).string().rfind("/dev/pts/", 0), 0u) << fs::canonical(path);

    EXPECT_TRUE(port.Close());
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
    EXPECT_EQ(port.DevicePath(), "");
    EXPECT_EQ(port.Pending(), 0);
    EXPECT_FALSE(port.InUse());
}

TEST(PortLink, DestroyingThePortRemovesTheLink)
{
    TempRuntimeDir runtime;
    std::string path;
    {
        LoopPort port;
        ASSERT_TRUE(port.Open("COM8"));
        path = port.DevicePath();
        ASSERT_TRUE(IsSymlink(path));
    }
    EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
}

TEST(PortLink, StaleLinkOfADeadProgramIsReplaced)
{
    TempRuntimeDir runtime;
    fs::create_directory(runtime.PortDir());
    chmod(runtime.PortDir().c_str(), 0700);
    std::string path = runtime.PortDir() + "/COM5";
    fs::create_symlink("/dev/pts/4242", path);

    LoopPort port;
    ASSERT_TRUE(port.Open("COM5"));
    std::string target = LinkTarget(path);
    EXPECT_NE(target, "/dev/pts/4242");
    SerialApp app(path, AsOpened);
    EXPECT_TRUE(app.IsOpen());
    // No temporary names are left behind.
    int entries = 0;
    for ([[maybe_unused]] auto& entry : fs::directory_iterator(runtime.PortDir()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(PortLink, CloseLeavesALinkThatNoLongerPointsAtThePort)
{
    TempRuntimeDir runtime;
    LoopPort port;
    ASSERT_TRUE(port.Open("COM6"));
    std::string path = port.DevicePath();
    fs::remove(path);
    fs::create_symlink("/dev/null", path);
    port.Close();
    EXPECT_EQ(LinkTarget(path), "/dev/null");
}

TEST(PortLink, SomethingElseUnderThePortNameIsNeverReplaced)
{
    TempRuntimeDir runtime;
    fs::create_directory(runtime.PortDir());
    chmod(runtime.PortDir().c_str(), 0700);
    std::string file = runtime.PortDir() + "/COM1";
    {
        FILE* f = fopen(file.c_str(), "w");
        fputs("keep", f);
        fclose(f);
    }
    std::string foreignLink = runtime.PortDir() + "/COM2";
    fs::create_symlink("/dev/null", foreignLink);
    ASSERT_EQ(lchown(foreignLink.c_str(), Nobody, Nobody), 0);
    fs::create_directory(runtime.PortDir() + "/COM3");

    LoopPort port;
    EXPECT_FALSE(port.Open("COM1"));
    EXPECT_EQ(port.OpenFailure().English(),
              file + " is taken by something this program did not make; it is left alone");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
    EXPECT_EQ(fs::file_size(file), 4u);
    EXPECT_FALSE(port.Open("COM2"));
    EXPECT_EQ(LinkTarget(foreignLink), "/dev/null");
    EXPECT_FALSE(port.Open("COM3"));
    EXPECT_EQ(port.DevicePath(), "");
    // The names were not left claimed by the failures.
    fs::remove(file);
    EXPECT_TRUE(port.Open("COM1"));
}

TEST(PortLink, UnsafeDirectoriesAreRefused)
{
    TempRuntimeDir runtime;
    LoopPort port;
    const std::string dir = runtime.PortDir();

    fs::create_directory(dir);
    chmod(dir.c_str(), 0777);
    EXPECT_FALSE(port.Open("COM4")) << "group/other may write";
    EXPECT_EQ(port.OpenFailure().English(),
              "port directory " + dir + " is open to other users (mode 0777, must be 0700); refused");
    chmod(dir.c_str(), 0750);
    EXPECT_FALSE(port.Open("COM4")) << "group may read";

    chmod(dir.c_str(), 0700);
    ASSERT_EQ(chown(dir.c_str(), Nobody, Nobody), 0);
    EXPECT_FALSE(port.Open("COM4")) << "owned by someone else";
    EXPECT_NE(port.OpenFailure().English().find(dir + " belongs to user 65534"), std::string::npos)
        << port.OpenFailure().English();
    EXPECT_TRUE(fs::is_empty(dir));

    fs::remove(dir);
    std::string elsewhere = runtime.Path() + "/elsewhere";
    fs::create_directory(elsewhere);
    chmod(elsewhere.c_str(), 0700);
    fs::create_directory_symlink(elsewhere, dir);
    EXPECT_FALSE(port.Open("COM4")) << "reached through a symbolic link";
    EXPECT_EQ(port.OpenFailure().English(), "port directory " + dir + " is a symbolic link; refused");
    EXPECT_TRUE(fs::is_empty(elsewhere));

    fs::remove(dir);
    {
        FILE* f = fopen(dir.c_str(), "w");
        fclose(f);
    }
    EXPECT_FALSE(port.Open("COM4")) << "a plain file";
    EXPECT_EQ(port.OpenFailure().English(), "port directory " + dir + " cannot be opened: Not a directory");

    fs::remove(dir);
    EXPECT_TRUE(port.Open("COM4"));
    EXPECT_EQ(port.OpenFailure().English(), "");
}

TEST(PortLink, NamesThatAreNotPlainFileNamesAreRefused)
{
    TempRuntimeDir runtime;
    LoopPort port;
    for (const char* name : {"", ".", "..", "../COM1", "a/b", ".COM1"})
        EXPECT_FALSE(port.Open(name)) << name;
    EXPECT_FALSE(fs::exists(runtime.PortDir()));
}

TEST(PortLink, ANameIsServedByOnePortOnly)
{
    TempRuntimeDir runtime;
    auto loop = std::make_shared<PortLoop>();
    LoopPort first(loop), second(loop);
    ASSERT_TRUE(first.Open("COM9"));
    std::string target = LinkTarget(first.DevicePath());
    EXPECT_FALSE(second.Open("COM9"));
    EXPECT_EQ(second.OpenFailure().English(), "COM9 is already served by another port of this program");
    EXPECT_EQ(LinkTarget(first.DevicePath()), target);
    // Reopening the same port under its own name is harmless; another name is refused.
    EXPECT_TRUE(first.Open("COM9"));
    EXPECT_FALSE(first.Open("COM10"));
    first.Close();
    EXPECT_TRUE(second.Open("COM9"));
}

TEST(PortLink, TwoHundredPortsOpenAndCloseTogether)
{
    TempRuntimeDir runtime;
    auto loop = std::make_shared<PortLoop>();
    std::vector<std::unique_ptr<LoopPort>> opened;
    for (int i = 0; i < 200; ++i) {
        opened.push_back(std::make_unique<LoopPort>(loop));
        ASSERT_TRUE(opened.back()->Open("COM" + std::to_string(i + 1))) << i;
    }
    int links = 0;
    for ([[maybe_unused]] auto& entry : fs::directory_iterator(runtime.PortDir()))
        ++links;
    EXPECT_EQ(links, 200);
    SerialApp app(runtime.PortDir() + "/COM200", AsOpened);
    ASSERT_TRUE(app.IsOpen());
    EXPECT_TRUE(WaitUntil([&] { return opened[199]->InUse(); }));
    EXPECT_FALSE(opened[198]->InUse());
    app.Close();
    opened.clear();
    EXPECT_TRUE(fs::is_empty(runtime.PortDir()));
}

// A link removed by hand, or the whole port directory (rm -rf) with its lock, is made again
// once the removal is over, and said; an application opens the port through it as before.
TEST(PortLink, ALinkOrTheDirectoryRemovedByHandIsMadeAgain)
{
    TempRuntimeDir runtime;
    std::vector<std::string> said;
    std::mutex saidGuard;
    Log::SetSink([&](Log::Priority, std::string_view text) {
        std::lock_guard hold(saidGuard);
        said.emplace_back(text);
    });
    auto saidContains = [&](const std::string& part) {
        std::lock_guard hold(saidGuard);
        return std::any_of(said.begin(), said.end(),
                           [&](const std::string& line) { return line.find(part) != line.npos; });
    };
    auto loop = std::make_shared<PortLoop>();
    LoopPort one(loop), two(loop);
    ASSERT_TRUE(one.Open("COM1"));
    ASSERT_TRUE(two.Open("COM2"));
    const std::string first = runtime.PortDir() + "/COM1", second = runtime.PortDir() + "/COM2";
    const std::string target = LinkTarget(first);
    // As the program holds it: its open lock file keeps a removed directory from telling it is gone.
    PortDirectoryLock instance(runtime.PortDir());
    ASSERT_EQ(instance.Take(), PortDirectoryLock::Result::Taken);

    ASSERT_EQ(unlink(first.c_str()), 0);
    EXPECT_TRUE(WaitUntil([&] { return IsSymlink(first); }));
    EXPECT_EQ(LinkTarget(first), target);
    EXPECT_TRUE(
        WaitUntil([&] { return saidContains("the link COM1 in " + runtime.PortDir() + " was removed; made again"); }));

    fs::remove_all(runtime.PortDir());
    EXPECT_TRUE(WaitUntil([&] { return IsSymlink(first) && IsSymlink(second); }));
    struct stat st {};
    ASSERT_EQ(lstat(runtime.PortDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(WaitUntil([&] {
        return saidContains("port directory " + runtime.PortDir()
                            + " was removed; it is made again with the links of 2 ports");
    }));
    // The directory made again is watched as the old one was.
    ASSERT_EQ(unlink(second.c_str()), 0);
    EXPECT_TRUE(WaitUntil([&] { return IsSymlink(second); }));
    // A second instance finds the directory taken again.
    PortDirectoryLock secondInstance(runtime.PortDir());
    EXPECT_EQ(secondInstance.Take(), PortDirectoryLock::Result::HeldByOther);
    EXPECT_EQ(secondInstance.Holder(), getpid());
    {
        SerialApp app(first);
        ASSERT_TRUE(app.IsOpen());
        EXPECT_TRUE(WaitUntil([&] { return one.InUse(); }));
        const uint8_t bytes[] = {'o', 'k'};
        EXPECT_EQ(one.Write(bytes, 2), 2);
        EXPECT_EQ(app.Read(2), ToBytes("ok"));
    }

    // Asked for (a reload, an edit), it is made again at once; a closed port's link is not.
    ASSERT_EQ(unlink(second.c_str()), 0);
    ASSERT_TRUE(one.Close());
    loop->Call([&] { loop->Monitor().Links().Restore(); });
    EXPECT_TRUE(IsSymlink(second));
    EXPECT_FALSE(fs::exists(fs::symlink_status(first)));

    // A directory swapped for a link meanwhile is refused, said once for all the ports.
    const std::string elsewhere = runtime.Path() + "/elsewhere";
    fs::create_directory(elsewhere);
    fs::remove_all(runtime.PortDir());
    fs::create_directory_symlink(elsewhere, runtime.PortDir());
    EXPECT_TRUE(WaitUntil(
        [&] { return saidContains("is a symbolic link; refused; the links of 1 port cannot be made again"); }));
    EXPECT_TRUE(fs::is_empty(elsewhere));
    Log::SetSink(nullptr);
}
