#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "VportTestSupport.h"
#include "vport/PortDirectoryLock.h"
#include "vport/VirtualSerialPort.h"

namespace fs = std::filesystem;

TEST(PortDirectoryLock, TheFirstHolderKeepsItAndASecondLearnsItsProcessId)
{
    TempRuntimeDir runtime;
    auto first = std::make_unique<PortDirectoryLock>(VirtualSerialPort::PortDirectory());
    ASSERT_EQ(first->Take(), PortDirectoryLock::Result::Taken);
    EXPECT_EQ(fs::status(runtime.PortDir()).permissions() & fs::perms::all, fs::perms::owner_all);

    // Another open of the lock file stands for another process, as flock goes by open file.
    PortDirectoryLock second(runtime.PortDir());
    EXPECT_EQ(second.Take(), PortDirectoryLock::Result::HeldByOther);
    EXPECT_EQ(second.Holder(), getpid());
    EXPECT_EQ(second.Take(), PortDirectoryLock::Result::HeldByOther);

    // Ports of the holder are made beside the lock as ever.
    LoopPort port;
    EXPECT_TRUE(port.Open("COM3"));

    first.reset();
    EXPECT_EQ(second.Take(), PortDirectoryLock::Result::Taken);
}

TEST(PortDirectoryLock, ALockHeldByAProcessThatDiedIsFree)
{
    TempRuntimeDir runtime;
    const pid_t child = fork();
    if (child == 0) {
        PortDirectoryLock lock(runtime.PortDir());
        _exit(lock.Take() == PortDirectoryLock::Result::Taken ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_EQ(WEXITSTATUS(status), 0);
    PortDirectoryLock lock(runtime.PortDir());
    EXPECT_EQ(lock.Take(), PortDirectoryLock::Result::Taken);
}

TEST(PortDirectoryLock, ARefusedDirectoryOrAPlantedLockFileIsAFailureThatSaysWhy)
{
    TempRuntimeDir runtime;
    const std::string dir = runtime.PortDir();
    fs::create_directory(dir);
    chmod(dir.c_str(), 0755);
    PortDirectoryLock open(dir);
    EXPECT_EQ(open.Take(), PortDirectoryLock::Result::Failed);
    EXPECT_EQ(open.Failure(), "port directory " + dir + " is open to other users (mode 0755, must be 0700); refused");

    chmod(dir.c_str(), 0700);
    fs::create_symlink("/etc/passwd", dir + "/.lock");
    PortDirectoryLock planted(dir);
    EXPECT_EQ(planted.Take(), PortDirectoryLock::Result::Failed);
    EXPECT_NE(planted.Failure().find(dir + "/.lock"), std::string::npos) << planted.Failure();
    EXPECT_TRUE(fs::is_symlink(dir + "/.lock"));
}

TEST(PortDirectoryLock, ARefusedPortDirectoryLeavesTheLockToTheFirstUsableFallback)
{
    TempRuntimeDir runtime;
    const std::string dir = runtime.PortDir();
    fs::create_directory(dir);
    chmod(dir.c_str(), 0755);
    const std::string planted = runtime.Path() + "/planted";
    fs::create_directory(planted);
    chmod(planted.c_str(), 0777);
    const std::string fallback = runtime.Path() + "/cache/MV5840VSP-host";

    PortDirectoryLock first(dir, {planted, fallback});
    ASSERT_EQ(first.Take(), PortDirectoryLock::Result::Taken);
    EXPECT_EQ(first.Directory(), fallback);
    EXPECT_EQ(first.Refusal(), "port directory " + dir + " is open to other users (mode 0755, must be 0700); refused");
    EXPECT_EQ(fs::status(fallback).permissions() & fs::perms::all, fs::perms::owner_all);

    PortDirectoryLock second(dir, {planted, fallback});
    EXPECT_EQ(second.Take(), PortDirectoryLock::Result::HeldByOther);
    EXPECT_EQ(second.Holder(), getpid());
    EXPECT_EQ(second.Directory(), fallback);

    // No usable place at all: the port directory's refusal is the failure.
    PortDirectoryLock none(dir, {planted});
    EXPECT_EQ(none.Take(), PortDirectoryLock::Result::Failed);
    EXPECT_EQ(none.Failure(), first.Refusal());
}
