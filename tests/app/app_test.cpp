// The program as a user runs it: started with a stored configuration, its ports opened by an
// application, ended by a signal, and started again after it was killed.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const char* ProgramPath()
{
    return MV5840VSP_PATH;
}

class ProgramRun {
public:
    // errors: where its standard error goes. Without withBus it finds no session bus.
    explicit ProgramRun(const fs::path& home, const fs::path& errors = "/dev/null", bool withBus = true)
    {
        pid_ = fork();
        if (pid_ == 0) {
            if (!withBus)
                unsetenv("DBUS_SESSION_BUS_ADDRESS");
            setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
            setenv("XDG_RUNTIME_DIR", (home / "runtime").c_str(), 1);
            setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
            unsetenv("DISPLAY");
            unsetenv("WAYLAND_DISPLAY");
            unsetenv("QT_QPA_PLATFORM");
            int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(err, STDERR_FILENO);
            execl(ProgramPath(), ProgramPath(), static_cast<char*>(nullptr));
            _exit(127);
        }
    }

    ~ProgramRun()
    {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    void Signal(int sig) { kill(pid_, sig); }
    pid_t Pid() const { return pid_; }

    // The exit status, or -1 when the program did not end within the limit.
    int WaitForExit(std::chrono::seconds limit)
    {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/mv-app-XXXXXX";
        home = mkdtemp(pattern);
        fs::create_directories(home / "config/Torvane");
        fs::create_directories(home / "runtime");
        fs::permissions(home / "runtime", fs::perms::owner_all);
        std::ofstream(home / "config/Torvane/HOLBRN.conf")
            << "[1]\nPortNumber=7\nCode=A1\n\n[3]\nPortNumber=9\nCode=B2\n";
    }

    void TearDown() override { fs::remove_all(home); }

    fs::path Port(const char* name) const { return home / "runtime/MV5840VSP" / name; }

    bool WaitForPort(const char* name)
    {
        for (int i = 0; i < 500; ++i) {
            if (fs::is_symlink(Port(name)))
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    fs::path home;
};

TEST_F(ProgramTest, ServesTheStoredPortsAndEndsCleanlyOnTermination)
{
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        ProgramRun run(home);
        ASSERT_TRUE(WaitForPort("COM7")) << sig;
        ASSERT_TRUE(WaitForPort("COM9")) << sig;
        int fd = open(Port("COM7").c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0);
        close(fd);

        run.Signal(sig);
        EXPECT_EQ(run.WaitForExit(20s), 0) << sig;
        EXPECT_FALSE(fs::exists(fs::symlink_status(Port("COM7")))) << sig;
        EXPECT_FALSE(fs::exists(fs::symlink_status(Port("COM9")))) << sig;
    }
}

TEST_F(ProgramTest, EndsOnTerminationEvenWhileAnApplicationHoldsAPort)
{
    ProgramRun run(home);
    ASSERT_TRUE(WaitForPort("COM7"));
    int fd = open(Port("COM7").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    run.Signal(SIGTERM);
    EXPECT_EQ(run.WaitForExit(20s), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Port("COM7"))));
    close(fd);
}

TEST_F(ProgramTest, AKilledRunsLinksAreReplacedAtTheNextStart)
{
    fs::path stale;
    {
        ProgramRun killed(home);
        ASSERT_TRUE(WaitForPort("COM7"));
        stale = fs::read_symlink(Port("COM7"));
        killed.Signal(SIGKILL);
        killed.WaitForExit(20s);
    }
    ASSERT_TRUE(fs::is_symlink(Port("COM7")));  // left behind

    ProgramRun next(home);
    for (int i = 0; i < 500 && fs::read_symlink(Port("COM7")) == stale; ++i)
        std::this_thread::sleep_for(20ms);
    int fd = open(Port("COM7").c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);
    next.Signal(SIGTERM);
    EXPECT_EQ(next.WaitForExit(20s), 0);
}

// A second start without a session bus finds the port directory taken: it says so in one
// line naming the directory and the running instance, exits with the status a service manager
// does not restart on, and the first instance
// keeps its links, its open ports and its run.
TEST_F(ProgramTest, ASecondStartWithoutABusLeavesTheFirstAloneAndNamesIt)
{
    ProgramRun first(home, "/dev/null", false);
    ASSERT_TRUE(WaitForPort("COM7"));
    ASSERT_TRUE(WaitForPort("COM9"));
    const fs::path target = fs::read_symlink(Port("COM7"));
    int fd = open(Port("COM7").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);

    const fs::path errors = home / "second.err";
    ProgramRun second(home, errors, false);
    EXPECT_EQ(second.WaitForExit(30s), 150);
    std::ifstream in(errors);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string expected = "another instance (process " + std::to_string(first.Pid())
                                 + ") already serves the port directory " + (home / "runtime/MV5840VSP").string();
    EXPECT_NE(text.find(expected), std::string::npos) << text;

    EXPECT_EQ(fs::read_symlink(Port("COM7")), target);
    EXPECT_TRUE(fs::is_symlink(Port("COM9")));
    // The port an application held stays the first instance's, and the first still runs.
    EXPECT_EQ(write(fd, "x", 1), 1);
    close(fd);
    first.Signal(SIGTERM);
    EXPECT_EQ(first.WaitForExit(20s), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Port("COM7"))));
}

TEST_F(ProgramTest, AKilledRunsLinkNeverLeadsIntoAnotherTerminal)
{
    {
        ProgramRun killed(home);
        ASSERT_TRUE(WaitForPort("COM7"));
        killed.Signal(SIGKILL);
        killed.WaitForExit(20s);
    }
    ASSERT_TRUE(fs::is_symlink(Port("COM7")));  // left behind

    // A stranger's terminal, opened after the kill: it may well get the killed run's number.
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    int stranger = open(ptsname(master), O_RDWR | O_NOCTTY);
    ASSERT_GE(stranger, 0);

    int fd = open(Port("COM7").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_LT(fd, 0) << "the stale link opened " << fs::read_symlink(Port("COM7"));
    if (fd >= 0)
        close(fd);
    close(stranger);

    // The next start still serves the port under the same name.
    ProgramRun next(home);
    for (int i = 0; i < 500; ++i) {
        fd = open(Port("COM7").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0)
            break;
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);
    close(master);
    next.Signal(SIGTERM);
    EXPECT_EQ(next.WaitForExit(20s), 0);
}

}  // namespace
