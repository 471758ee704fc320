// Serial applications started through mv5840vsp-run on a port served by VirtualSerialPort:
// settings the kernel's pseudo-terminal refuses or drops, modem lines, descriptor
// bookkeeping, and the same applications without the launcher.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/stat.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/LoopPort.h"
#include "support/RuntimeDir.h"
#include "support/Wait.h"
#include "vport/LineState.h"
#include "vport/VirtualSerialPort.h"

using namespace std::chrono_literals;

namespace {

struct Outcome {
    int status = -1;  // exit status; -1 when it had to be killed
    std::string output;
};

// Runs a program to its end (killed after the limit) and collects what it printed.
Outcome RunApp(std::vector<std::string> args, bool withLauncher, const char* preload = nullptr)
{
    if (withLauncher)
        args.insert(args.begin(), MV_LAUNCHER);
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        if (preload)
            setenv("LD_PRELOAD", preload, 1);
        else
            unsetenv("LD_PRELOAD");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + 120s;
    char buffer[4096];
    for (;;) {
        if (!WaitReadable(out[0], deadline)) {
            kill(pid, SIGKILL);
            break;
        }
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0)
            break;
        outcome.output.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// The DTU's side of the port: answers what the application writes, on the port's loop as it
// comes in, until destroyed.
class PortServer {
public:
    using Answer = std::function<std::vector<uint8_t>(std::vector<uint8_t>& received)>;
    PortServer(LoopPort& port, Answer answer) : port_(port), answer_(std::move(answer))
    {
        port_.OnLoop([this](VirtualSerialPort& p) { p.WhenInput([this, &p] { Serve(p); }); });
    }
    ~PortServer() { port_.WhenInput(nullptr); }

private:
    void Serve(VirtualSerialPort& port)
    {
        uint8_t buffer[4096];
        for (int n; (n = port.Read(buffer, sizeof buffer)) > 0;)
            received_.insert(received_.end(), buffer, buffer + n);
        std::vector<uint8_t> reply = answer_(received_);
        if (!reply.empty())
            port.Write(reply.data(), static_cast<int>(reply.size()));
    }

    LoopPort& port_;
    Answer answer_;
    std::vector<uint8_t> received_;  // loop thread
};

std::vector<uint8_t> Echo(std::vector<uint8_t>& received)
{
    return std::exchange(received, {});
}

uint16_t ModbusCrc(const uint8_t* data, size_t count)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < count; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// A Modbus RTU device with 100 holding registers: function 3 (read) and 16 (write).
class ModbusDevice {
public:
    std::vector<uint8_t> operator()(std::vector<uint8_t>& in)
    {
        if (in.size() < 8)
            return {};
        size_t length = in[1] == 16 ? 9u + in[6] : 8u;
        if (in.size() < length)
            return {};
        std::vector<uint8_t> request(in.begin(), in.begin() + static_cast<long>(length));
        in.erase(in.begin(), in.begin() + static_cast<long>(length));
        uint16_t crc = ModbusCrc(request.data(), length - 2);
        if (request[length - 2] != (crc & 0xFF) || request[length - 1] != (crc >> 8)) {
            ++badFrames;
            in.clear();
            return {};
        }
        const int start = request[2] << 8 | request[3];
        const int count = request[4] << 8 | request[5];
        std::vector<uint8_t> reply{request[0], request[1]};
        if (start + count > 100)
            return {};
        if (request[1] == 3) {
            reply.push_back(static_cast<uint8_t>(2 * count));
            for (int r = start; r < start + count; ++r) {
                reply.push_back(static_cast<uint8_t>(registers[r] >> 8));
                reply.push_back(static_cast<uint8_t>(registers[r]));
            }
        } else if (request[1] == 16) {
            for (int r = 0; r < count; ++r)
                registers[start + r] = static_cast<uint16_t>(request[7 + 2 * r] << 8 | request[8 + 2 * r]);
            reply.insert(reply.end(), request.begin() + 2, request.begin() + 6);
        } else {
            return {};
        }
        uint16_t replyCrc = ModbusCrc(reply.data(), reply.size());
        reply.push_back(static_cast<uint8_t>(replyCrc));
        reply.push_back(static_cast<uint8_t>(replyCrc >> 8));
        return reply;
    }

    uint16_t registers[100] = {};
    int badFrames = 0;
};

class CompatTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(port.Open("COM7")); }

    // One check of the serial applications script.
    Outcome App(const std::string& check, bool withLauncher = true)
    {
        return RunApp({"/usr/bin/python3", MV_SERIAL_APPS, check, port.DevicePath()}, withLauncher);
    }

    TempRuntimeDir runtime;
    LoopPort port;
};

#define EXPECT_SUCCEEDS(outcome)            \
    do {                                    \
        const Outcome o = (outcome);        \
        EXPECT_EQ(o.status, 0) << o.output; \
    } while (0)

TEST_F(CompatTest, SttySetsParityAndSevenBitsAndReadsThemBack)
{
    // stty reads the settings back itself and fails when they differ from its request.
    EXPECT_SUCCEEDS(RunApp({"stty", "-F", port.DevicePath(), "parenb", "cs7"}, true));
    EXPECT_SUCCEEDS(RunApp({"stty", "-F", port.DevicePath(), "parenb", "parodd", "cs5", "cstopb", "crtscts"}, true));
}

TEST_F(CompatTest, APortDirectoryOpenToOthersIsNotTrusted)
{
    // Anyone could have put a link there: the library leaves such ports to the kernel.
    ASSERT_EQ(chmod(runtime.PortDir().c_str(), 0755), 0);
    const Outcome stty = RunApp({"stty", "-F", port.DevicePath(), "parenb", "cs7"}, true);
    chmod(runtime.PortDir().c_str(), 0700);
    EXPECT_NE(stty.status, 0) << stty.output;
    EXPECT_EQ(access(LineState::FileFor(port.DevicePath()).c_str(), F_OK), -1);
}

TEST_F(CompatTest, WithoutTheLauncherTheKernelRefusesAsBefore)
{
    const Outcome stty = RunApp({"stty", "-F", port.DevicePath(), "parenb", "cs7"}, false);
    EXPECT_NE(stty.status, 0);
    EXPECT_NE(stty.output.find("Invalid argument"), std::string::npos) << stty.output;
    EXPECT_NE(App("pyserial_7e1", false).status, 0);
    EXPECT_NE(App("modem_lines", false).status, 0);
}

TEST_F(CompatTest, PyserialReconfiguresSevenBitsEvenParityAndDataPassesUnchanged)
{
    PortServer server(port, Echo);
    EXPECT_SUCCEEDS(App("pyserial_7e1"));
}

TEST_F(CompatTest, PyserialModemLinesWork)
{
    EXPECT_SUCCEEDS(App("modem_lines"));
}

TEST_F(CompatTest, PymodbusAtEightEvenOneCompletesHundredRoundTrips)
{
    ModbusDevice device;
    {
        PortServer server(port, std::ref(device));
        EXPECT_SUCCEEDS(App("modbus_8e1"));
    }
    EXPECT_EQ(device.badFrames, 0);
    EXPECT_EQ(device.registers[49], static_cast<uint16_t>(99 * 7));
}

TEST_F(CompatTest, AnotherPseudoTerminalKeepsTheKernelsBehaviour)
{
    EXPECT_SUCCEEDS(App("other_pty"));
}

TEST_F(CompatTest, DuplicatesForkAndExecShareTheSettings)
{
    EXPECT_SUCCEEDS(App("descriptors"));
}

TEST_F(CompatTest, ThreadsOpeningAndClosingKeepTheirOwnSettings)
{
    EXPECT_SUCCEEDS(App("stress"));
}

TEST_F(CompatTest, TheProgramSeesTheApplicationsSettingsWhileItHoldsThePort)
{
    EXPECT_FALSE(port.LineSettings());
    // The application holds the port (stdin) while stty sets it and sleep keeps it open.
    const std::string script = "exec 3<>" + port.DevicePath() + "; stty -F " + port.DevicePath()
                               + " 19200 cs7 parenb parodd cstopb && exec sleep 30";
    pid_t pid = fork();
    if (pid == 0) {
        setenv("LD_PRELOAD", MV_PRELOAD_LIBRARY, 1);
        execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::optional<LineState> state;
    EXPECT_TRUE(WaitUntil([&] {
        state = port.LineSettings();
        return state && state->baud == 19200;
    }));
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->Text(), "19200 7O2, DTR on, RTS on");
    EXPECT_TRUE(WaitUntil([&] { return !port.InUse(); }));
    EXPECT_FALSE(port.LineSettings());  // a killed holder's report is not shown
    port.Close();
    EXPECT_EQ(access(LineState::FileFor(runtime.PortDir() + "/COM7").c_str(), F_OK), -1);
}

TEST_F(CompatTest, AReportLeftByAKilledRunIsRemovedWhenThePortIsMadeAgain)
{
    const std::string report = LineState::FileFor(port.DevicePath());
    port.Close();
    ASSERT_EQ(close(open(report.c_str(), O_WRONLY | O_CREAT, 0600)), 0);
    ASSERT_TRUE(port.Open("COM7"));
    EXPECT_EQ(access(report.c_str(), F_OK), -1);
}

TEST(Launcher, AppendsToAnExistingPreloadAndNeedsAProgram)
{
    const Outcome none = RunApp({}, true);
    EXPECT_EQ(none.status, 2);
    // With a port directory there, the launcher says nothing of its own.
    TempRuntimeDir runtime;
    LoopPort port;
    ASSERT_TRUE(port.Open("COM7"));
    const Outcome both = RunApp({"/usr/bin/python3", MV_SERIAL_APPS, "print_preload", "-"}, true, MV_PRELOAD_LIBRARY);
    EXPECT_EQ(both.status, 0) << both.output;
    EXPECT_EQ(both.output, std::string(MV_PRELOAD_LIBRARY ":" MV_PRELOAD_LIBRARY "\nOK\n"));
}

TEST(LineStateText, ParsesTheLibrarysReportAndRefusesOthers)
{
    auto state = LineState::Parse("baud=12345 data=5 parity=M stop=2 flow=rtscts dtr=0 rts=1      \n");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->Text(), "12345 5M2, rtscts, DTR off, RTS on");
    EXPECT_FALSE(LineState::Parse("baud=9600 data=9 parity=N stop=1 flow=none dtr=1 rts=1"));
    EXPECT_FALSE(LineState::Parse("baud=9600 data=8 parity=X stop=1 flow=none dtr=1 rts=1"));
    EXPECT_FALSE(LineState::Parse("baud=-1 data=8 parity=N stop=1 flow=none dtr=1 rts=1"));
    EXPECT_FALSE(LineState::Parse("baud=99999999999 data=8 parity=N stop=1 flow=none dtr=1 rts=1"));
    EXPECT_FALSE(LineState::Parse(""));
    EXPECT_EQ(LineState::FileFor("/run/user/0/MV5840VSP/COM7"), "/run/user/0/MV5840VSP/.COM7.line");
}

}  // namespace
