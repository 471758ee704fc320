// MV5840VSP next to socat, measured in one run: the real program (its window on the offscreen
// platform, 200 ports from its configuration file) and 200 socat processes (one per port,
// pty <-> UDP), each with its applications and DTUs on loopback. Phases alternate between the
// two; the side not being measured is stopped (SIGSTOP) so its idle work does not count
// against the other.
//
// Usage: bench_compare --program PATH --work DIR [--quick]
// Run it through bench/compare.sh, which builds it and gives it a network namespace of its
// own (the program binds UDP port 3700) and a session bus of its own.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "link/DtuPacket.h"
#include "support/Bytes.h"
#include "support/SerialApp.h"
#include "support/Wait.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int Ports = 200;
constexpr uint16_t ServerPort = 3700;
constexpr uint16_t SocatBase = 20000;  // socat n listens on SocatBase + n
constexpr uint16_t DtuBase = 30000;    // its DTU on DtuBase + n
constexpr int DefaultGapMs = 10;

// How long each phase runs; --quick shortens all of them.
struct Plan {
    int latencySamples = 4000;
    int outboundSamples = 600;
    int soakSeconds = 20;
    int writersSeconds = 20;  // the 200-port outbound latency phase
    int streamSeconds = 2;    // a round; the rounds alternate between the sides
    int burstDatagrams = 50000;
    int transactionSeconds = 3;
    int worstExchanges = 10000;
    int streamRounds = 5;
    int tcpMegabytes = 100;  // a round of the TCP stream; as many rounds as the stream's
};

Plan QuickPlan()
{
    return {1000, 150, 5, 5, 1, 50000, 1, 1000, 3, 20};
}

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double Percentile(std::vector<double> samples, double p)
{
    if (samples.empty())
        return NAN;
    std::sort(samples.begin(), samples.end());
    const size_t at = std::min(samples.size() - 1, static_cast<size_t>(samples.size() * p));
    return samples[at];
}

std::string Fixed(double value, int decimals);

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// utime + stime of a process, all its threads, in seconds.
double ProcessCpu(pid_t pid)
{
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int k = 3; fields >> field; ++k) {
        if (k == 14)
            utime = std::stoull(field);
        if (k == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

// Time on a CPU of the threads a process has now, from the scheduler, in seconds.
double ScheduledCpu(pid_t pid)
{
    double total = 0;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::istringstream fields(ReadFile(task.path().string() + "/schedstat"));
        unsigned long long ns = 0;
        fields >> ns;
        total += ns / 1e9;
    }
    return total;
}

// Per thread of a process: its name, and its time on a CPU and waiting for one (the
// scheduler's run delay), in seconds.
struct ThreadTimes {
    std::string name;
    double cpu = 0, waited = 0;
};

std::map<int, ThreadTimes> ThreadsOf(pid_t pid)
{
    std::map<int, ThreadTimes> threads;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        ThreadTimes& t = threads[std::stoi(task.path().filename().string())];
        std::istringstream fields(ReadFile(task.path().string() + "/schedstat"));
        unsigned long long cpu = 0, waited = 0;
        fields >> cpu >> waited;
        t.cpu = cpu / 1e9;
        t.waited = waited / 1e9;
        t.name = ReadFile(task.path().string() + "/comm");
        if (!t.name.empty() && t.name.back() == '\n')
            t.name.pop_back();
    }
    return threads;
}

// A "Name:   123 kB" line of a /proc file, in kB; 0 when missing.
long ProcKb(const std::string& path, const char* field)
{
    std::istringstream text(ReadFile(path));
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(text, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::atol(line.c_str() + length + 1);
    }
    return 0;
}

// A child that goes when this process goes, also while it is stopped; its output goes to log.
pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& log)
{
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(1);
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int null = open("/dev/null", O_RDONLY);
    dup2(null, 0);
    dup2(out, 1);
    dup2(out, 2);
    close_range(3, ~0U, 0);
    for (const auto& setting : env)
        putenv(const_cast<char*>(setting.c_str()));
    std::vector<char*> args;
    for (const auto& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

bool Alive(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

// Asks a child to end and waits for it; a child that does not end in time is killed.
// True when it ended by itself with status 0.
bool EndChild(pid_t pid, std::chrono::seconds limit)
{
    kill(pid, SIGCONT);
    kill(pid, SIGTERM);
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < deadline) {
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        std::this_thread::sleep_for(20ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return false;
}

int UdpSocket(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("bind");
        std::exit(1);
    }
    return fd;
}

sockaddr_in LoopbackTo(uint16_t port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    return to;
}

bool WaitForLinks(const std::string& dir, const std::function<bool()>& alive)
{
    return WaitUntil(
               [&] {
                   if (!alive())
                       return true;
                   for (int n = 1; n <= Ports; ++n) {
                       if (!fs::exists(dir + "/COM" + std::to_string(n)))
                           return false;
                   }
                   return true;
               },
               60s, 20ms)
           && alive();
}

// One side of the comparison: 200 ports with an application on each (opened as serial
// programs open a port) and a DTU socket for each.
class Side {
public:
    Side(std::string name, bool framed) : name_(std::move(name)), framed_(framed) {}
    virtual ~Side() = default;

    const std::string& Name() const { return name_; }
    // The idle gap a write waits for before it leaves as a datagram.
    int GapMs() const { return gapMs_; }
    int AppFd(int port) const { return apps_[port]->Fd(); }
    int DtuFd(int port) const { return dtus_[port]; }
    virtual std::vector<pid_t> Pids() const = 0;

    // The DTU of port sends payload to the application.
    void Send(int port, const uint8_t* payload, int count)
    {
        if (framed_) {
            uint8_t datagram[DtuPacket::MaxDataDatagram];
            const int size = DtuPacket::BuildDataDatagram(Code(port), payload, count, datagram);
            sendto(dtus_[port], datagram, size, 0, reinterpret_cast<const sockaddr*>(&to_[port]), sizeof to_[port]);
        } else {
            sendto(dtus_[port], payload, count, 0, reinterpret_cast<const sockaddr*>(&to_[port]), sizeof to_[port]);
        }
    }

    // One datagram at port's DTU, without waiting: its payload length into payload, 0 for a
    // datagram without payload (a login reply), -1 when none is there.
    int Receive(int port, uint8_t* payload, int max)
    {
        if (!framed_) {
            const ssize_t n = recv(dtus_[port], payload, max, MSG_DONTWAIT);
            return n < 0 ? -1 : static_cast<int>(n);
        }
        uint8_t datagram[DtuPacket::HeaderSize + 2048];
        const ssize_t n = recv(dtus_[port], datagram, sizeof datagram, MSG_DONTWAIT);
        if (n < 0)
            return -1;
        if (n <= DtuPacket::HeaderSize || datagram[DtuPacket::TypeOffset] != static_cast<uint8_t>(DtuPacketType::Data))
            return 0;
        const size_t count = std::min<size_t>(n - DtuPacket::HeaderSize, max);
        std::memcpy(payload, datagram + DtuPacket::HeaderSize, count);
        return static_cast<int>(count);
    }

    // CPU time of the side's processes, in seconds: from the scheduler, and from the tick
    // counts (utime + stime). The tick counts miss most of a process that runs in short
    // bursts between ticks, as each socat does, so the figures use the scheduler's.
    double Cpu() const
    {
        double total = 0;
        for (pid_t pid : Pids())
            total += ScheduledCpu(pid);
        return total;
    }
    double TickCpu() const
    {
        double total = 0;
        for (pid_t pid : Pids())
            total += ProcessCpu(pid);
        return total;
    }
    // The program's VmRSS; for many processes the sum of their proportional shares.
    virtual long MemoryKb() const = 0;

    void Pause() const
    {
        for (pid_t pid : Pids())
            kill(pid, SIGSTOP);
    }
    void Resume() const
    {
        for (pid_t pid : Pids())
            kill(pid, SIGCONT);
    }

    // Empties the applications and DTU sockets between phases; returns what it found.
    long Drain()
    {
        std::this_thread::sleep_for(200ms);
        long found = 0;
        uint8_t buffer[4096];
        for (int port = 0; port < Ports; ++port) {
            ssize_t n;
            while ((n = read(AppFd(port), buffer, sizeof buffer)) > 0)
                found += n;
            while ((n = recv(dtus_[port], buffer, sizeof buffer, MSG_DONTWAIT)) >= 0)
                found += n;
        }
        return found;
    }

protected:
    static std::string Code(int port)
    {
        char code[8];
        std::snprintf(code, sizeof code, "D%03d", port + 1);
        return code;
    }

    void OpenApps(const std::string& dir)
    {
        apps_.clear();
        for (int port = 0; port < Ports; ++port) {
            apps_.push_back(std::make_unique<SerialApp>(dir + "/COM" + std::to_string(port + 1)));
            if (!apps_.back()->IsOpen()) {
                std::fprintf(stderr, "%s: cannot open COM%d: %s\n", name_.c_str(), port + 1, std::strerror(errno));
                std::exit(1);
            }
        }
    }

    void CloseApps() { apps_.clear(); }

    std::string name_;
    bool framed_;
    int gapMs_ = 0;
    std::vector<std::unique_ptr<SerialApp>> apps_;
    std::vector<int> dtus_;
    std::vector<sockaddr_in> to_;
};

// The program as a user runs it: its configuration file, its own runtime directory, its
// window on the offscreen platform.
class Program : public Side {
public:
    Program(std::string binary, const std::string& work)
        : Side("MV5840VSP", true), binary_(std::move(binary)), runtime_(work + "/run"), config_(work + "/config"),
          log_(work + "/program.log")
    {
        fs::create_directories(config_ + "/Torvane");
        fs::create_directory(runtime_);
        fs::permissions(runtime_, fs::perms::owner_all);
        for (int port = 0; port < Ports; ++port) {
            dtus_.push_back(UdpSocket(0));
            to_.push_back(LoopbackTo(ServerPort));
        }
    }
    ~Program() override { Stop(); }

    std::vector<pid_t> Pids() const override { return {pid_}; }
    long MemoryKb() const override { return ProcKb("/proc/" + std::to_string(pid_) + "/status", "VmRSS"); }
    const std::string& Log() const { return log_; }

    // Starts the program on a configuration of 200 dynamic-login UDP ports; gapMs < 0 leaves
    // FrameGap out of the file (the default). With its window, or as a service.
    void Start(int gapMs, bool service = false)
    {
        WriteConfig(gapMs);
        gapMs_ = gapMs < 0 ? DefaultGapMs : gapMs;
        pid_ = Spawn(service ? std::vector<std::string>{binary_, "--service"} : std::vector<std::string>{binary_},
                     {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime_, "XDG_CONFIG_HOME=" + config_}, log_);
        if (!WaitForLinks(runtime_ + "/MV5840VSP", [this] { return Alive(pid_); })) {
            std::fprintf(stderr, "MV5840VSP ended, or did not serve its 200 ports in time; its output:\n%s\n",
                         ReadFile(log_).c_str());
            std::exit(1);
        }
        OpenApps(runtime_ + "/MV5840VSP");
        LogIn();
    }

    // A window started beside the service: its front end over the bus, not counted as the side's.
    pid_t StartFrontEnd() const
    {
        return Spawn({binary_},
                     {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime_, "XDG_CONFIG_HOME=" + config_},
                     log_ + ".window");
    }

    // Ends the program the way a service stop does; false when it did not end cleanly.
    bool Stop()
    {
        if (pid_ <= 0)
            return true;
        CloseApps();
        const bool clean = EndChild(pid_, 20s);
        pid_ = 0;
        return clean;
    }

private:
    void WriteConfig(int gapMs) const
    {
        const std::string path = config_ + "/Torvane/HOLBRN.conf";
        std::ofstream file(path, std::ios::trunc);
        // Private, as the program keeps it; an open file would only add a warning to the run.
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        file << "[General]\nSocketPort=" << ServerPort << "\nOnlyOnePort=0\nVPortNo=1\nPassword=\n";
        for (int port = 0; port < Ports; ++port) {
            file << "\n[" << port + 1 << "]\nPortNumber=" << port + 1
                 << "\nUseFixedIP=0\nUseTcp=0\nLoginInterval=300\nCode=" << Code(port) << "\nPeerIP=0.0.0.0\n";
            if (gapMs >= 0)
                file << "FrameGap=" << gapMs << "\n";
        }
    }

    // Every DTU logs in and waits for its "OK".
    void LogIn()
    {
        for (int port = 0; port < Ports; ++port) {
            uint8_t login[DtuPacket::HeaderSize] = {};
            const std::string code = Code(port);
            std::memcpy(login, code.data(), code.size());
            login[DtuPacket::TypeOffset] = static_cast<uint8_t>(DtuPacketType::Login);
            bool answered = false;
            for (int attempt = 0; attempt < 5 && !answered; ++attempt) {
                sendto(dtus_[port], login, sizeof login, 0, reinterpret_cast<const sockaddr*>(&to_[port]),
                       sizeof to_[port]);
                uint8_t reply[64];
                answered = WaitReadable(dtus_[port], 1000ms)
                           && recv(dtus_[port], reply, sizeof reply, 0) == DtuPacket::LoginReplySize;
            }
            if (!answered) {
                std::fprintf(stderr, "MV5840VSP: no login reply for %s\n", code.c_str());
                std::exit(1);
            }
        }
    }

    std::string binary_, runtime_, config_, log_;
    pid_t pid_ = 0;
};

// One socat per port: `pty,raw,echo=0,link=COMn` <-> `udp:` to its DTU.
class Socat : public Side {
public:
    explicit Socat(const std::string& work) : Side("socat", false), dir_(work + "/socat")
    {
        fs::create_directory(dir_);
        const std::string log = work + "/socat.log";
        for (int port = 0; port < Ports; ++port) {
            const int n = port + 1;
            dtus_.push_back(UdpSocket(DtuBase + n));
            to_.push_back(LoopbackTo(SocatBase + n));
            pids_.push_back(Spawn({"socat", "pty,raw,echo=0,link=" + dir_ + "/COM" + std::to_string(n),
                                   "udp:127.0.0.1:" + std::to_string(DtuBase + n)
                                       + ",bind=127.0.0.1:" + std::to_string(SocatBase + n)},
                                  {}, log));
        }
        auto allAlive = [this] { return std::all_of(pids_.begin(), pids_.end(), Alive); };
        if (!WaitForLinks(dir_, allAlive)) {
            std::fprintf(stderr, "socat ended, or did not make its 200 ports in time; its output:\n%s\n",
                         ReadFile(log).c_str());
            std::exit(1);
        }
        OpenApps(dir_);
    }
    ~Socat() override
    {
        CloseApps();
        for (pid_t pid : pids_)
            EndChild(pid, 5s);
    }

    std::vector<pid_t> Pids() const override { return pids_; }
    long MemoryKb() const override
    {
        long total = 0;
        for (pid_t pid : pids_)
            total += ProcKb("/proc/" + std::to_string(pid) + "/smaps_rollup", "Pss");
        return total;
    }

private:
    std::string dir_;
    std::vector<pid_t> pids_;
};

// Runs a phase on one side while the other side is stopped.
void Measure(Side& side, Side& other, const std::function<void(Side&)>& phase)
{
    other.Pause();
    std::this_thread::sleep_for(100ms);
    const long late = side.Drain();
    if (late)
        std::printf("  (%s: %ld bytes left over from an earlier phase)\n", side.Name().c_str(), late);
    phase(side);
    other.Resume();
}

// Stream contents: a fixed pseudo-random block per port and direction, repeated. Its
// length is no power of two, so a lost or doubled stretch shows in the contents.
class Streams {
public:
    static constexpr size_t Period = 8191;
    Streams(int lanes) : blocks_(lanes)
    {
        for (int lane = 0; lane < lanes; ++lane)
            blocks_[lane] = Pattern(Period, 7919 * lane + 13);
    }
    uint8_t At(int lane, uint64_t offset) const { return blocks_[lane][offset % Period]; }
    void Fill(int lane, uint64_t offset, uint8_t* out, int count) const
    {
        for (int k = 0; k < count; ++k)
            out[k] = At(lane, offset + k);
    }

private:
    std::vector<Bytes> blocks_;
};

// Reads whatever is there on one application; the byte count, 0 when nothing was.
int ReadApp(Side& side, int port, uint8_t* buffer, int size)
{
    const ssize_t n = read(side.AppFd(port), buffer, size);
    return n > 0 ? static_cast<int>(n) : 0;
}

bool WriteApp(Side& side, int port, const uint8_t* data, int count)
{
    int done = 0;
    while (done < count) {
        const ssize_t n = write(side.AppFd(port), data + done, count - done);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        pollfd p{side.AppFd(port), POLLOUT, 0};
        if (poll(&p, 1, 2000) <= 0)
            return false;
    }
    return true;
}

// Waits for the next datagram with payload at port's DTU; its payload length, or -1.
int AwaitDatagram(Side& side, int port, uint8_t* payload, int max, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        const int n = side.Receive(port, payload, max);
        if (n > 0)
            return n;
        if (n < 0 && !WaitReadable(side.DtuFd(port), deadline))
            return -1;
    }
}

bool AwaitApp(Side& side, int port, uint8_t* buffer, int count, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    int got = 0;
    while (got < count) {
        const int n = ReadApp(side, port, buffer + got, count - got);
        if (n == 0 && !WaitReadable(side.AppFd(port), deadline))
            return false;
        got += n;
    }
    return true;
}

void Pause(std::chrono::microseconds shortest, std::chrono::microseconds longest)
{
    static unsigned seed = 1;
    seed = seed * 1103515245u + 12345u;
    const auto span = longest - shortest;
    std::this_thread::sleep_for(shortest + span * ((seed >> 16) % 1000) / 1000);
}

struct Latency {
    std::vector<double> ms;
    int lost = 0;
};

// Samples of chunks that left before their write + gap.
long Early(const Latency& latency)
{
    return static_cast<long>(std::count_if(latency.ms.begin(), latency.ms.end(), [](double ms) { return ms < 0; }));
}

// DTU datagram -> readable by the application, one port.
void DtuToApplication(Side& side, int samples, Latency& out)
{
    const int port = 0;
    uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t buffer[8];
    for (int k = 0; k < samples; ++k) {
        payload[0] = static_cast<uint8_t>(k);
        const auto t0 = Clock::now();
        side.Send(port, payload, sizeof payload);
        if (AwaitApp(side, port, buffer, sizeof buffer, 1000ms) && std::memcmp(buffer, payload, sizeof payload) == 0)
            out.ms.push_back(Ms(Clock::now() - t0));
        else
            ++out.lost;
        Pause(50us, 300us);
    }
}

// Application write -> datagram at the DTU, less the side's framing gap, one port.
void ApplicationToDtu(Side& side, int samples, Latency& out)
{
    const int port = 1;
    uint8_t payload[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    uint8_t buffer[2048];
    for (int k = 0; k < samples; ++k) {
        payload[0] = static_cast<uint8_t>(k);
        const auto t0 = Clock::now();
        WriteApp(side, port, payload, sizeof payload);
        const int n = AwaitDatagram(side, port, buffer, sizeof buffer, 1000ms);
        if (n == sizeof payload && std::memcmp(buffer, payload, sizeof payload) == 0)
            out.ms.push_back(Ms(Clock::now() - t0) - side.GapMs());
        else
            ++out.lost;
        // As a poller writes: now and then, so the cores idle between requests and each one
        // pays for waking them, as the floor's waits do.
        Pause(20ms, 50ms);
    }
}

// The machine's floor under a write that waits out a 10 ms gap: how late plain 10 ms waits
// end (timer slack 1 ns, as the program's loop has it), each after a pause as between the
// writes above, in ms. In epoll_pwait2, as the program waits, or in clock_nanosleep.
std::vector<double> WaitLateness(int count, bool epoll)
{
    std::vector<double> late;
    std::thread waiter([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        const int fd = epoll_create1(EPOLL_CLOEXEC);
        for (int k = 0; k < count; ++k) {
            const auto due = Clock::now() + 10ms;
            if (epoll) {
                const timespec timeout{0, 10000000};
                epoll_event event{};
                epoll_pwait2(fd, &event, 1, &timeout, nullptr);
            } else {
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
                const timespec at{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
                while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
                }
            }
            late.push_back(Ms(Clock::now() - due));
            Pause(20ms, 50ms);
        }
        close(fd);
    });
    waiter.join();
    return late;
}

struct Writers {
    std::vector<double> ms;  // beyond the gap, every port's writes
    double worstPortP99 = NAN;
    int worstPort = -1;
    int lost = 0;  // never arrived, or not alone: merged with the port's next write
    double cpuPercent = 0;
    std::string threads;  // a process's busiest threads: CPU and run delay per second
};

// 200 ports each written 10 bytes every 100 ms, the ports spread over the 100 ms (one write
// every 0.5 ms): application write -> datagram at the DTU, less the side's gap, per port.
// Many small requests at once, as 200 pollers make them; what else the side does meanwhile
// (its window, its bus, its counters) shows in the tail.
Writers ManyWriters(Side& side, int seconds)
{
    constexpr int Size = 10;
    constexpr auto Step = 500us;
    const int writes = static_cast<int>(std::chrono::seconds(seconds) / Step);
    std::vector<Clock::time_point> written(writes);
    std::vector<Clock::time_point> arrived(writes);
    std::atomic<int> received{0};
    std::atomic<bool> running{true};

    std::thread reader([&] {
        const int fd = epoll_create1(EPOLL_CLOEXEC);
        for (int port = 0; port < Ports; ++port) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u32 = static_cast<uint32_t>(port);
            epoll_ctl(fd, EPOLL_CTL_ADD, side.DtuFd(port), &event);
        }
        epoll_event events[64];
        uint8_t payload[2048];
        while (running.load()) {
            const int n = epoll_wait(fd, events, 64, 50);
            for (int k = 0; k < n; ++k) {
                const int port = static_cast<int>(events[k].data.u32);
                int got;
                while ((got = side.Receive(port, payload, sizeof payload)) >= 0) {
                    const auto now = Clock::now();
                    int32_t write = -1;
                    if (got == Size)
                        std::memcpy(&write, payload, sizeof write);
                    if (write >= 0 && write < writes && write % Ports == port
                        && arrived[write] == Clock::time_point()) {
                        arrived[write] = now;
                        ++received;
                    }
                }
            }
        }
        close(fd);
    });

    const double cpu0 = side.Cpu();
    const pid_t single = side.Pids().size() == 1 ? side.Pids().front() : 0;
    const auto threads0 = single ? ThreadsOf(single) : std::map<int, ThreadTimes>();
    const auto start = Clock::now();
    std::thread writer([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        uint8_t payload[Size] = {};
        for (int32_t write = 0; write < writes; ++write) {
            std::this_thread::sleep_until(start + write * Step);
            std::memcpy(payload, &write, sizeof write);
            written[write] = Clock::now();
            WriteApp(side, write % Ports, payload, Size);
        }
    });
    writer.join();
    const double wall = Seconds(Clock::now() - start);
    Writers result;
    result.cpuPercent = 100.0 * (side.Cpu() - cpu0) / wall;
    if (single) {
        std::vector<std::pair<double, std::string>> busiest;
        for (const auto& [tid, now] : ThreadsOf(single)) {
            const auto before = threads0.find(tid);
            const double cpu = now.cpu - (before == threads0.end() ? 0 : before->second.cpu);
            const double waited = now.waited - (before == threads0.end() ? 0 : before->second.waited);
            busiest.emplace_back(cpu,
                                 now.name + " " + Fixed(1000 * cpu / wall, 1) + "/" + Fixed(1000 * waited / wall, 1));
        }
        std::sort(busiest.rbegin(), busiest.rend());
        for (size_t k = 0; k < busiest.size() && k < 5; ++k)
            result.threads += (k ? ", " : "") + busiest[k].second;
    }
    WaitUntil([&] { return received.load() == writes; }, 2s, 5ms);
    running = false;
    reader.join();

    std::vector<std::vector<double>> perPort(Ports);
    for (int write = 0; write < writes; ++write) {
        if (arrived[write] == Clock::time_point()) {
            ++result.lost;
            continue;
        }
        const double ms = Ms(arrived[write] - written[write]) - side.GapMs();
        result.ms.push_back(ms);
        perPort[write % Ports].push_back(ms);
    }
    for (int port = 0; port < Ports; ++port) {
        const double p99 = Percentile(perPort[port], 0.99);
        if (!std::isnan(p99) && (std::isnan(result.worstPortP99) || p99 > result.worstPortP99)) {
            result.worstPortP99 = p99;
            result.worstPort = port;
        }
    }
    return result;
}

struct Soak {
    double cpuPercent = 0;
    double tickCpuPercent = 0;
    uint64_t sent = 0, delivered = 0;
    bool intact = true;
};

// 200 ports, each moving 1 KB/s each way (100 bytes every 100 ms, the ports spread over the
// 100 ms); CPU over the window, then every byte accounted for.
Soak ThousandBytesEachWay(Side& side, int seconds, const Streams& streams)
{
    constexpr int Chunk = 100;
    std::vector<uint64_t> toAppSent(Ports), toDtuSent(Ports);
    std::vector<std::atomic<uint64_t>> toAppGot(Ports), toDtuGot(Ports);
    std::atomic<bool> running{true}, corrupt{false};

    std::thread reader([&] {
        std::vector<pollfd> fds;
        for (int port = 0; port < Ports; ++port)
            fds.push_back({side.AppFd(port), POLLIN, 0});
        for (int port = 0; port < Ports; ++port)
            fds.push_back({side.DtuFd(port), POLLIN, 0});
        uint8_t buffer[4096];
        while (running.load()) {
            if (poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            for (int k = 0; k < 2 * Ports; ++k) {
                if (!(fds[k].revents & POLLIN))
                    continue;
                const int port = k % Ports;
                const bool toApp = k < Ports;
                auto& got = toApp ? toAppGot[port] : toDtuGot[port];
                int n;
                while (
                    (n = toApp ? ReadApp(side, port, buffer, sizeof buffer) : side.Receive(port, buffer, sizeof buffer))
                    > 0) {
                    const uint64_t at = got.load();
                    for (int b = 0; b < n; ++b) {
                        if (buffer[b] != streams.At(2 * port + (toApp ? 0 : 1), at + b))
                            corrupt = true;
                    }
                    got.store(at + n);
                }
            }
        }
    });

    uint8_t chunk[Chunk];
    const double cpu0 = side.Cpu();
    const double ticks0 = side.TickCpu();
    const auto start = Clock::now();
    auto next = start;
    for (int tick = 0; Clock::now() - start < std::chrono::seconds(seconds); ++tick) {
        // Every 5 ms a twentieth of the ports: each port once per 100 ms.
        for (int port = tick % 20; port < Ports; port += 20) {
            streams.Fill(2 * port, toAppSent[port], chunk, Chunk);
            side.Send(port, chunk, Chunk);
            toAppSent[port] += Chunk;
            streams.Fill(2 * port + 1, toDtuSent[port], chunk, Chunk);
            if (WriteApp(side, port, chunk, Chunk))
                toDtuSent[port] += Chunk;
        }
        next += 5ms;
        std::this_thread::sleep_until(next);
    }
    const double wall = Seconds(Clock::now() - start);
    Soak result;
    result.cpuPercent = 100.0 * (side.Cpu() - cpu0) / wall;
    result.tickCpuPercent = 100.0 * (side.TickCpu() - ticks0) / wall;

    auto complete = [&] {
        for (int port = 0; port < Ports; ++port) {
            if (toAppGot[port].load() < toAppSent[port] || toDtuGot[port].load() < toDtuSent[port])
                return false;
        }
        return true;
    };
    WaitUntil(complete, 10s, 20ms);
    running = false;
    reader.join();
    for (int port = 0; port < Ports; ++port) {
        result.sent += toAppSent[port] + toDtuSent[port];
        result.delivered += toAppGot[port].load() + toDtuGot[port].load();
    }
    result.intact = !corrupt && result.sent == result.delivered;
    return result;
}

struct Stream {
    double nsPerByte = 0;
    uint64_t sent = 0, delivered = 0;
    bool intact = true;
};

// One port streaming DTU -> application: 1000-byte datagrams at 2000 a second; CPU from the
// first datagram until the last byte was read.
Stream StreamToApplication(Side& side, int seconds, const Streams& streams)
{
    constexpr int Chunk = 1000;
    constexpr int PerMs = 2;
    const int port = 2;
    const int lane = 2 * Ports;
    const uint64_t total = static_cast<uint64_t>(seconds) * 1000 * PerMs * Chunk;
    std::atomic<uint64_t> got{0};
    std::atomic<bool> corrupt{false}, running{true};
    std::thread reader([&] {
        uint8_t buffer[4096];
        while (running.load() && got.load() < total) {
            if (!WaitReadable(side.AppFd(port), 50ms))
                continue;
            const int n = ReadApp(side, port, buffer, sizeof buffer);
            const uint64_t at = got.load();
            for (int b = 0; b < n; ++b) {
                if (buffer[b] != streams.At(lane, at + b))
                    corrupt = true;
            }
            got.store(at + n);
        }
    });
    uint8_t chunk[Chunk];
    const double cpu0 = side.Cpu();
    const auto start = Clock::now();
    auto next = start;
    for (uint64_t sent = 0; sent < total;) {
        for (int k = 0; k < PerMs; ++k, sent += Chunk) {
            streams.Fill(lane, sent, chunk, Chunk);
            side.Send(port, chunk, Chunk);
        }
        next += 1ms;
        std::this_thread::sleep_until(next);
    }
    WaitUntil([&] { return got.load() >= total; }, 10s, 1ms);
    const double cpu = side.Cpu() - cpu0;
    running = false;
    reader.join();
    Stream result;
    result.sent = total;
    result.delivered = got.load();
    result.intact = !corrupt && result.delivered == total;
    result.nsPerByte = result.delivered ? 1e9 * cpu / result.delivered : NAN;
    return result;
}

struct Burst {
    double percent = 0;
    double offeredPerSecond = 0;
    long mangled = 0;  // records cut or out of order: loss inside the program, not whole datagrams
};

// count 100-byte datagrams over the 200 ports in turn, each a record of its port and
// sequence number, offered as fast as one sender can (perSecond 0) or paced; then the
// bytes the applications could read once nothing more came.
Burst BurstToApplications(Side& side, int count, int perSecond, const Streams& streams)
{
    constexpr int Record = 100;
    constexpr int Head = 5;  // port, sequence number (little-endian)
    std::vector<std::atomic<uint64_t>> got(Ports);
    std::atomic<long> mangled{0};
    std::atomic<bool> running{true};
    std::atomic<Clock::rep> lastArrival{Clock::now().time_since_epoch().count()};

    std::thread reader([&] {
        std::vector<pollfd> fds;
        for (int port = 0; port < Ports; ++port)
            fds.push_back({side.AppFd(port), POLLIN, 0});
        std::vector<Bytes> partial(Ports);
        std::vector<int64_t> lastSequence(Ports, -1);
        uint8_t buffer[4096];
        while (running.load()) {
            if (poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            lastArrival = Clock::now().time_since_epoch().count();
            for (int port = 0; port < Ports; ++port) {
                if (!(fds[port].revents & POLLIN))
                    continue;
                int n;
                while ((n = ReadApp(side, port, buffer, sizeof buffer)) > 0) {
                    got[port] += n;
                    auto& record = partial[port];
                    for (int b = 0; b < n; ++b) {
                        record.push_back(buffer[b]);
                        if (record.size() < Record)
                            continue;
                        uint32_t sequence = 0;
                        std::memcpy(&sequence, record.data() + 1, 4);
                        bool whole = record[0] == port && sequence > lastSequence[port];
                        for (int k = Head; whole && k < Record; ++k)
                            whole = record[k] == streams.At(port, sequence + k);
                        if (!whole)
                            ++mangled;
                        lastSequence[port] = sequence;
                        record.clear();
                    }
                }
            }
        }
    });

    uint8_t datagram[Record];
    const auto start = Clock::now();
    for (int k = 0; k < count; ++k) {
        const int port = k % Ports;
        const uint32_t sequence = k / Ports;
        datagram[0] = static_cast<uint8_t>(port);
        std::memcpy(datagram + 1, &sequence, 4);
        for (int b = Head; b < Record; ++b)
            datagram[b] = streams.At(port, sequence + b);
        side.Send(port, datagram, Record);
        // Paced in steps of 1 ms.
        if (perSecond > 0 && (k + 1) % (perSecond / 1000) == 0)
            std::this_thread::sleep_until(start + std::chrono::milliseconds((k + 1) / (perSecond / 1000)));
    }
    Burst result;
    result.offeredPerSecond = count / Seconds(Clock::now() - start);
    // Settled: nothing arrived for a second.
    WaitUntil(
        [&] {
            const Clock::time_point last{Clock::duration{lastArrival.load()}};
            return Clock::now() - last > 1s;
        },
        30s, 20ms);
    running = false;
    reader.join();
    uint64_t delivered = 0;
    for (auto& port : got)
        delivered += port.load();
    result.percent = 100.0 * delivered / (static_cast<double>(count) * Record);
    result.mangled = mangled.load();
    return result;
}

struct Exchanges {
    std::vector<double> ms;
    int failed = 0;
    double perSecond = 0;
};

// Request/response on one port: the application writes a request, the DTU echoes it, the
// application reads the reply. Runs until count exchanges or the time is up.
Exchanges Transactions(Side& side, int count, std::chrono::seconds limit)
{
    const int port = 3;
    uint8_t request[8] = {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0, 0};
    uint8_t payload[2048], reply[8];
    Exchanges result;
    const auto start = Clock::now();
    const auto deadline = start + limit;
    while (static_cast<int>(result.ms.size()) < count && Clock::now() < deadline) {
        request[6] = static_cast<uint8_t>(result.ms.size());
        request[7] = static_cast<uint8_t>(result.ms.size() >> 8);
        const auto t0 = Clock::now();
        WriteApp(side, port, request, sizeof request);
        const int n = AwaitDatagram(side, port, payload, sizeof payload, 2000ms);
        if (n > 0)
            side.Send(port, payload, n);
        if (n != sizeof request || !AwaitApp(side, port, reply, sizeof reply, 2000ms)
            || std::memcmp(reply, request, sizeof request) != 0) {
            ++result.failed;
            side.Drain();
            continue;
        }
        result.ms.push_back(Ms(Clock::now() - t0));
    }
    result.perSecond = result.ms.size() / Seconds(Clock::now() - start);
    return result;
}

// How late count plain 10 ms sleeps end on this machine (timer slack 1 ns), in ms: the floor
// under any exchange that waits out a 10 ms gap, whatever the program does.
// An application streaming to a TCP DTU through one port at FrameGap 0: the program (binary)
// with one TCP port, or one socat `pty <-> tcp:` (binary empty). The DTU is a listener here
// that reads everything; the rate is from the first write to the last byte at the DTU.
struct TcpStream {
    double megabytesPerSecond = NAN;
    double nsPerByte = NAN;  // CPU of the side's process per byte
    bool complete = false;
};

TcpStream StreamToTcpDtu(const std::string& binary, const std::string& work, size_t total)
{
    TcpStream result;
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = LoopbackTo(0);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0
        || getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listener);
        return result;
    }
    const std::string port = std::to_string(ntohs(address.sin_port));
    const std::string base = work + (binary.empty() ? "/tcp-socat" : "/tcp-program");
    const std::string runtime = base + "/run", config = base + "/config";
    fs::create_directories(config + "/Torvane");
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    std::string dir;
    pid_t pid;
    if (binary.empty()) {
        dir = runtime;
        pid = Spawn({"socat", "pty,raw,echo=0,link=" + dir + "/COM1", "tcp:127.0.0.1:" + port}, {}, base + ".log");
    } else {
        const std::string path = config + "/Torvane/HOLBRN.conf";
        {
            std::ofstream file(path, std::ios::trunc);
            file << "[General]\nSocketPort=" << port << "\nOnlyOnePort=0\nVPortNo=1\nPassword=\n\n[1]\nPortNumber=1"
                 << "\nUseFixedIP=1\nUseTcp=1\nLoginInterval=300\nCode=T001\nPeerIP=127.0.0.1\nFrameGap=0\n";
        }
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        dir = runtime + "/MV5840VSP";
        pid = Spawn({binary}, {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR=" + runtime, "XDG_CONFIG_HOME=" + config},
                    base + ".log");
    }
    int dtu = -1;
    if (WaitReadable(listener, 20000ms))
        dtu = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (dtu >= 0 && WaitUntil([&] { return fs::exists(dir + "/COM1"); }, 20s, 10ms)) {
        SerialApp app(dir + "/COM1");
        std::atomic<size_t> got{0};
        std::thread reader([&] {
            std::vector<uint8_t> buffer(1 << 16);
            while (got < total && WaitReadable(dtu, 10000ms)) {
                const ssize_t n = recv(dtu, buffer.data(), buffer.size(), 0);
                if (n <= 0)
                    break;
                got += static_cast<size_t>(n);
            }
        });
        const Bytes piece(4096, 0x5a);
        const double cpu = ScheduledCpu(pid);
        const auto start = Clock::now();
        for (size_t sent = 0; sent < total && app.Write(piece); sent += piece.size()) {
        }
        reader.join();
        const double seconds = Seconds(Clock::now() - start);
        result.complete = got >= total;
        result.megabytesPerSecond = got / seconds / 1e6;
        result.nsPerByte = (ScheduledCpu(pid) - cpu) / static_cast<double>(std::max<size_t>(got, 1)) * 1e9;
    }
    if (dtu >= 0)
        close(dtu);
    close(listener);
    EndChild(pid, 20s);
    return result;
}

std::vector<double> SleepLateness(int count)
{
    std::vector<double> late;
    std::thread sleeper([&] {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        for (int k = 0; k < count; ++k) {
            const auto due = Clock::now() + 10ms;
            std::this_thread::sleep_until(due);
            late.push_back(Ms(Clock::now() - due));
        }
    });
    sleeper.join();
    return late;
}

// A process that keeps one core busy while it lives.
class BusyCore {
public:
    BusyCore() : pid_(fork())
    {
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            for (;;)
                asm volatile("");
        }
    }
    ~BusyCore()
    {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }

private:
    pid_t pid_;
};

std::string Fixed(double value, int decimals)
{
    if (std::isnan(value))
        return "-";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Ratio(double a, double b)
{
    if (std::isnan(a) || std::isnan(b) || b == 0)
        return "-";
    return Fixed(a / b, a / b < 0.1 ? 3 : 2);
}

struct Row {
    std::string what, program, socat, ratio;
};

void PrintTable(const std::vector<Row>& rows)
{
    size_t w[4] = {4, 9, 5, 5};
    for (const auto& r : rows) {
        w[0] = std::max(w[0], r.what.size());
        w[1] = std::max(w[1], r.program.size());
        w[2] = std::max(w[2], r.socat.size());
        w[3] = std::max(w[3], r.ratio.size());
    }
    auto line = [&](const std::string& a, const std::string& b, const std::string& c, const std::string& d) {
        std::printf("| %-*s | %*s | %*s | %*s |\n", int(w[0]), a.c_str(), int(w[1]), b.c_str(), int(w[2]), c.c_str(),
                    int(w[3]), d.c_str());
    };
    line("what", "MV5840VSP", "socat", "ratio");
    std::printf("|%s|%s:|%s:|%s:|\n", std::string(w[0] + 2, '-').c_str(), std::string(w[1] + 1, '-').c_str(),
                std::string(w[2] + 1, '-').c_str(), std::string(w[3] + 1, '-').c_str());
    for (const auto& r : rows)
        line(r.what, r.program, r.socat, r.ratio);
}

std::string CpuModel()
{
    std::istringstream text(ReadFile("/proc/cpuinfo"));
    std::string line;
    while (std::getline(text, line)) {
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    }
    return "unknown";
}

std::string LoadAverage()
{
    std::string load = ReadFile("/proc/loadavg");
    return load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
}

void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string binary, work, ctl;
    bool quick = false;
    std::string only;  // comma-separated phase names; empty runs every phase
    for (int k = 1; k < argc; ++k) {
        const std::string arg = argv[k];
        if (arg == "--program" && k + 1 < argc)
            binary = argv[++k];
        else if (arg == "--work" && k + 1 < argc)
            work = argv[++k];
        else if (arg == "--ctl" && k + 1 < argc)
            ctl = argv[++k];
        else if (arg == "--quick")
            quick = true;
        else if (arg == "--only" && k + 1 < argc)
            only = "," + std::string(argv[++k]) + ",";
        else {
            binary.clear();
            break;
        }
    }
    if (binary.empty() || work.empty()) {
        std::fprintf(stderr,
                     "usage: %s --program PATH --work DIR [--ctl PATH] [--quick] [--only PHASE,...]\n"
                     "phases: idle inbound outbound writers soak stream monitored burst rate worst gaps frontend tcp\n"
                     "(monitored: the stream again with mv5840vspctl monitor on every port; needs --ctl)\n",
                     argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    RaiseDescriptorLimit();
    const Plan plan = quick ? QuickPlan() : Plan{};
    auto runs = [&only](const char* phase) {
        return only.empty() || only.find("," + std::string(phase) + ",") != std::string::npos;
    };
    const auto began = Clock::now();

    std::printf("machine: %ld cores, %s; load average %s at the start\n", sysconf(_SC_NPROCESSORS_ONLN),
                CpuModel().c_str(), LoadAverage().c_str());
    std::printf("%d ports each; %s run; the side not measured is stopped meanwhile\n\n", Ports,
                quick ? "quick" : "full");

    Program program(binary, work);
    program.Start(-1);
    Socat socat(work);
    Side* sides[2] = {&program, &socat};
    std::vector<std::pair<std::string, long>> memory;
    auto noteMemory = [&](const char* after) {
        memory.emplace_back(after, program.MemoryKb());
        std::printf("  memory after %s: MV5840VSP VmRSS %.1f MB, socat %.1f MB (sum of Pss)\n", after,
                    program.MemoryKb() / 1024.0, socat.MemoryKb() / 1024.0);
    };
    noteMemory("start-up");
    // Each phase on both sides, the first side alternating from phase to phase.
    int order = 0;
    auto both = [&](const std::function<void(Side&, int)>& phase) {
        for (int k = 0; k < 2; ++k) {
            const int index = (order + k) % 2;
            Measure(*sides[index], *sides[1 - index], [&](Side& side) { phase(side, index); });
        }
        order ^= 1;
    };
    const Streams streams(2 * Ports + 1);

    double idle[2] = {NAN, NAN};
    if (runs("idle")) {
        std::printf("idle, 200 ports held open, 5 s\n");
        both([&](Side& side, int i) {
            const double cpu0 = side.Cpu();
            const auto start = Clock::now();
            std::this_thread::sleep_for(5s);
            idle[i] = 100.0 * (side.Cpu() - cpu0) / Seconds(Clock::now() - start);
        });
        for (int i = 0; i < 2; ++i)
            std::printf("  %-9s %.2f %% of one core\n", sides[i]->Name().c_str(), idle[i]);
    }
    Latency inbound[2];
    if (runs("inbound")) {
        std::printf("DTU datagram -> readable by the application (port COM1)\n");
        for (int round = 0; round < 4; ++round)
            both([&](Side& side, int i) { DtuToApplication(side, plan.latencySamples / 4, inbound[i]); });
        for (int i = 0; i < 2; ++i)
            std::printf("  %-9s median %.3f ms  p99 %.3f ms  (%zu samples, %d lost)\n", sides[i]->Name().c_str(),
                        Percentile(inbound[i].ms, 0.5), Percentile(inbound[i].ms, 0.99), inbound[i].ms.size(),
                        inbound[i].lost);
    }
    Latency outbound[2];
    std::vector<double> floorLate[2];  // 10 ms waits: [0] epoll_pwait2, [1] clock_nanosleep
    const char* floorWait[2] = {"epoll_pwait2", "clock_nanosleep"};
    if (runs("outbound")) {
        std::printf("application write -> datagram at the DTU, less the framing gap (COM2), "
                    "a write every 20-50 ms; the floor: plain 10 ms waits, each after such a pause\n");
        // The floor in the same rounds, both sides stopped meanwhile.
        for (int round = 0; round < 2; ++round) {
            both([&](Side& side, int i) { ApplicationToDtu(side, plan.outboundSamples / 2, outbound[i]); });
            program.Pause();
            socat.Pause();
            for (int w = 0; w < 2; ++w) {
                const auto late = WaitLateness(plan.outboundSamples / 4, w == 0);
                floorLate[w].insert(floorLate[w].end(), late.begin(), late.end());
            }
            socat.Resume();
            program.Resume();
        }
        for (int i = 0; i < 2; ++i) {
            // A chunk never leaves before write + gap: it waits a whole gap after the loop saw
            // the last byte, which is after the write.
            const long early = Early(outbound[i]);
            std::printf("  %-9s median %.3f ms  p99 %.3f ms beyond a gap of %d ms  (%zu samples, %d lost); "
                        "%ld left before write + gap; the earliest %.3f ms beyond it\n",
                        sides[i]->Name().c_str(), Percentile(outbound[i].ms, 0.5), Percentile(outbound[i].ms, 0.99),
                        sides[i]->GapMs(), outbound[i].ms.size(), outbound[i].lost, early,
                        Percentile(outbound[i].ms, 0));
        }
        for (int w = 0; w < 2; ++w)
            std::printf("  floor: %zu 10 ms waits in %s late by median %.3f ms, p99 %.3f ms\n", floorLate[w].size(),
                        floorWait[w], Percentile(floorLate[w], 0.5), Percentile(floorLate[w], 0.99));
        noteMemory("latency");
    }
    Writers writers[2];
    if (runs("writers")) {
        std::printf("200 ports each written 10 bytes every 100 ms, staggered, %d s: write -> datagram at "
                    "the DTU, less the gap\n",
                    plan.writersSeconds);
        both([&](Side& side, int i) { writers[i] = ManyWriters(side, plan.writersSeconds); });
        for (int i = 0; i < 2; ++i)
            std::printf("  %-9s median %.3f ms  p99 %.3f ms  worst port's p99 %.3f ms (COM%d)  CPU %.1f %% of one core"
                        "  (%zu samples, %d lost or merged)\n",
                        sides[i]->Name().c_str(), Percentile(writers[i].ms, 0.5), Percentile(writers[i].ms, 0.99),
                        writers[i].worstPortP99, writers[i].worstPort + 1, writers[i].cpuPercent, writers[i].ms.size(),
                        writers[i].lost);
        std::printf("  MV5840VSP's busiest threads, ms on a CPU / ms waiting for one, per second: %s\n",
                    writers[0].threads.c_str());
        noteMemory("200 writers");
    }
    Soak soak[2];
    if (runs("soak")) {
        std::printf("200 ports x 1 KB/s each way, %d s\n", plan.soakSeconds);
        both([&](Side& side, int i) { soak[i] = ThousandBytesEachWay(side, plan.soakSeconds, streams); });
        for (int i = 0; i < 2; ++i)
            std::printf("  %-9s %.1f %% of one core (utime+stime: %.1f %%); %llu of %llu bytes delivered, %s\n",
                        sides[i]->Name().c_str(), soak[i].cpuPercent, soak[i].tickCpuPercent,
                        static_cast<unsigned long long>(soak[i].delivered),
                        static_cast<unsigned long long>(soak[i].sent),
                        soak[i].intact ? "every byte intact" : "BYTES LOST OR CORRUPTED");
        noteMemory("200-port soak");
    }
    Stream stream[2];
    if (runs("stream")) {
        std::printf("one port streaming DTU -> application, 2 MB/s, %d rounds of %d s (COM3)\n", plan.streamRounds,
                    plan.streamSeconds);
        // A round is short and this machine noisy: the figure is the median of the rounds.
        std::vector<double> rounds[2];
        for (int round = 0; round < plan.streamRounds; ++round) {
            both([&](Side& side, int i) {
                const Stream one = StreamToApplication(side, plan.streamSeconds, streams);
                rounds[i].push_back(one.nsPerByte);
                stream[i].sent += one.sent;
                stream[i].delivered += one.delivered;
                stream[i].intact = stream[i].intact && one.intact;
            });
        }
        for (int i = 0; i < 2; ++i) {
            stream[i].nsPerByte = Percentile(rounds[i], 0.5);
            std::string each;
            for (double ns : rounds[i])
                each += (each.empty() ? "" : " ") + Fixed(ns, 1);
            std::printf("  %-9s %.1f ns of CPU per byte (rounds: %s); %llu of %llu bytes, %s\n",
                        sides[i]->Name().c_str(), stream[i].nsPerByte, each.c_str(),
                        static_cast<unsigned long long>(stream[i].delivered),
                        static_cast<unsigned long long>(stream[i].sent),
                        stream[i].intact ? "intact" : "BYTES LOST OR CORRUPTED");
        }
        noteMemory("streaming");
    }
    // The same stream while one mv5840vspctl monitor watches every port (its output thrown
    // away): what a watcher costs the program, against socat without one.
    double monitored = NAN;
    if (runs("monitored") && !ctl.empty()) {
        std::printf("the stream again with one monitor on every port, %d rounds of %d s (MV5840VSP only)\n",
                    plan.streamRounds, plan.streamSeconds);
        const pid_t monitor = Spawn({ctl, "monitor", "--hex"}, {}, "/dev/null");
        std::this_thread::sleep_for(1s);  // attached
        std::vector<double> rounds;
        bool intact = true;
        for (int round = 0; round < plan.streamRounds; ++round) {
            Measure(program, socat, [&](Side& side) {
                const Stream one = StreamToApplication(side, plan.streamSeconds, streams);
                rounds.push_back(one.nsPerByte);
                intact = intact && one.intact;
            });
        }
        const bool stillWatching = Alive(monitor);
        EndChild(monitor, 5s);
        monitored = Percentile(rounds, 0.5);
        std::printf("  %-9s %.1f ns of CPU per byte; %s; the monitor %s\n", program.Name().c_str(), monitored,
                    intact ? "intact" : "BYTES LOST OR CORRUPTED", stillWatching ? "watched to the end" : "HAD ENDED");
    }
    Burst burst[2][2];  // [paced][side]
    if (runs("burst")) {
        const int rates[2] = {0, 60000};
        for (int paced = 0; paced < 2; ++paced) {
            std::printf("%d x 100-byte datagrams over 200 ports, %s\n", plan.burstDatagrams,
                        paced ? "paced at 60,000 a second" : "as fast as one sender can");
            both([&](Side& side, int i) {
                burst[paced][i] = BurstToApplications(side, plan.burstDatagrams, rates[paced], streams);
            });
            for (int i = 0; i < 2; ++i)
                std::printf("  %-9s %.1f %% delivered (offered at %.0f a second)%s\n", sides[i]->Name().c_str(),
                            burst[paced][i].percent, burst[paced][i].offeredPerSecond,
                            burst[paced][i].mangled ? "; RECORDS CUT OR REORDERED" : "");
            noteMemory(paced ? "paced burst" : "burst");
        }
    }
    Exchanges rate[2];
    if (runs("rate")) {
        std::printf("request/response on one port with an echoing DTU (COM4)\n");
        both([&](Side& side, int i) {
            rate[i] = Transactions(side, 1 << 30, std::chrono::seconds(plan.transactionSeconds));
        });
        for (int i = 0; i < 2; ++i)
            std::printf("  %-9s %.0f transactions a second (gap %d ms; %d failed)\n", sides[i]->Name().c_str(),
                        rate[i].perSecond, sides[i]->GapMs(), rate[i].failed);
    }
    Exchanges worst[2];
    std::vector<double> sleepLate;
    if (runs("worst")) {
        std::printf("slowest of %d exchanges with the other core busy\n", plan.worstExchanges);
        {
            BusyCore busy;
            both([&](Side& side, int i) { worst[i] = Transactions(side, plan.worstExchanges, 600s); });
            socat.Pause();
            program.Pause();
            sleepLate = SleepLateness(plan.worstExchanges);
            program.Resume();
            socat.Resume();
        }
        std::printf(
            "  %zu plain 10 ms sleeps, the same core busy: slowest %.2f ms late, p99.9 %.2f ms, median %.3f ms\n",
            sleepLate.size(), sleepLate.empty() ? NAN : *std::max_element(sleepLate.begin(), sleepLate.end()),
            Percentile(sleepLate, 0.999), Percentile(sleepLate, 0.5));
        for (int i = 0; i < 2; ++i) {
            const double slowest = worst[i].ms.empty() ? NAN
                                                       : *std::max_element(worst[i].ms.begin(), worst[i].ms.end());
            std::printf("  %-9s slowest %.2f ms, p99.9 %.2f ms, median %.2f ms (goal gap + 5 = %d ms; %d failed)\n",
                        sides[i]->Name().c_str(), slowest, Percentile(worst[i].ms, 0.999), Percentile(worst[i].ms, 0.5),
                        sides[i]->GapMs() + 5, worst[i].failed);
        }
        noteMemory("exchanges");
    }
    // The per-port gap: the program again with FrameGap 2 and 0 in every port's group.
    const int gaps[2] = {2, 0};
    double gapRate[2] = {NAN, NAN};
    bool gapWorks[2] = {false, false};
    if (runs("gaps")) {
        for (int g = 0; g < 2; ++g) {
            socat.Pause();
            if (!program.Stop())
                std::printf("  MV5840VSP did not end cleanly on SIGTERM\n");
            program.Start(gaps[g]);
            socat.Resume();
            Measure(program, socat, [&](Side& side) {
                gapRate[g] = Transactions(side, 1 << 30, std::chrono::seconds(plan.transactionSeconds)).perSecond;
            });
            // A working gap of 2 ms or less at least doubles the rate of the 10 ms gap.
            gapWorks[g] = gapRate[g] > 2 * rate[0].perSecond;
            std::printf("  MV5840VSP %.0f transactions a second with FrameGap=%d%s\n", gapRate[g], gaps[g],
                        gapWorks[g] ? "" : ": gap setting not supported");
        }
    }
    // The program as a service, without and with a window on top of it (its front end over the
    // bus, which follows the list once a second and every change of state): what the window
    // costs the service with 200 ports x 1 KB/s each way, in rounds that alternate.
    double frontEnd[2] = {NAN, NAN};  // [without, with]: the service's % of one core
    if (runs("frontend")) {
        std::printf("the service with 200 ports x 1 KB/s each way, without and with a window on top, %d rounds of "
                    "%d s each (MV5840VSP only)\n",
                    plan.streamRounds, plan.soakSeconds);
        socat.Pause();
        if (!program.Stop())
            std::printf("  MV5840VSP did not end cleanly on SIGTERM\n");
        program.Start(-1, true);
        socat.Resume();
        std::vector<double> rounds[2];
        bool intact = true, attached = true;
        for (int round = 0; round < plan.streamRounds; ++round) {
            for (int with = 0; with < 2; ++with) {
                const pid_t window = with ? program.StartFrontEnd() : 0;
                if (with)
                    std::this_thread::sleep_for(2s);  // shown, and its first list taken
                Measure(program, socat, [&](Side& side) {
                    const Soak one = ThousandBytesEachWay(side, plan.soakSeconds, streams);
                    rounds[with].push_back(one.cpuPercent);
                    intact = intact && one.intact;
                });
                if (with) {
                    attached = attached && Alive(window);
                    EndChild(window, 10s);
                }
            }
        }
        for (int with = 0; with < 2; ++with)
            frontEnd[with] = Percentile(rounds[with], 0.5);
        std::printf("  MV5840VSP  without a window %.2f %%, with one %.2f %% of one core (median): the window costs "
                    "%.2f %%; %s; the window %s\n",
                    frontEnd[0], frontEnd[1], frontEnd[1] - frontEnd[0], intact ? "every byte intact" : "BYTES LOST",
                    attached ? "stayed to the end" : "HAD ENDED");
    }
    if (!program.Stop())
        std::printf("  MV5840VSP did not end cleanly on SIGTERM\n");
    // After the program of the other phases ended: one instance serves a user at a time.
    TcpStream tcp[2];
    if (runs("tcp")) {
        const size_t total = static_cast<size_t>(plan.tcpMegabytes) << 20;
        std::printf("an application streaming %d MiB to a TCP DTU at FrameGap 0, %d rounds\n", plan.tcpMegabytes,
                    plan.streamRounds);
        std::vector<double> rates[2], cpus[2];
        bool complete[2] = {true, true};
        socat.Pause();
        for (int round = 0; round < plan.streamRounds; ++round) {
            for (int k = 0; k < 2; ++k) {
                const int i = (round + k) % 2;
                const TcpStream one = StreamToTcpDtu(i == 0 ? binary : std::string(), work, total);
                complete[i] = complete[i] && one.complete;
                rates[i].push_back(one.megabytesPerSecond);
                cpus[i].push_back(one.nsPerByte);
                std::printf("  %-9s %.1f MB/s, %.1f ns of CPU a byte%s\n", sides[i]->Name().c_str(),
                            one.megabytesPerSecond, one.nsPerByte, one.complete ? "" : " (INCOMPLETE)");
            }
        }
        socat.Resume();
        for (int i = 0; i < 2; ++i) {
            tcp[i].complete = complete[i];
            tcp[i].megabytesPerSecond = Percentile(rates[i], 0.5);
            tcp[i].nsPerByte = Percentile(cpus[i], 0.5);
        }
    }

    long lowest = memory.front().second, highest = lowest;
    for (const auto& [after, kb] : memory) {
        lowest = std::min(lowest, kb);
        highest = std::max(highest, kb);
    }
    std::vector<Row> rows;
    auto row = [&](std::string what, double a, double b, int decimals, const std::string& unit) {
        rows.push_back({std::move(what), Fixed(a, decimals) + unit, Fixed(b, decimals) + unit, Ratio(a, b)});
    };
    row("idle, 200 ports held open: CPU of one core", idle[0], idle[1], 2, " %");
    row("DTU datagram -> readable by the application, median", Percentile(inbound[0].ms, 0.5),
        Percentile(inbound[1].ms, 0.5), 3, " ms");
    row("DTU datagram -> readable by the application, p99", Percentile(inbound[0].ms, 0.99),
        Percentile(inbound[1].ms, 0.99), 3, " ms");
    row("application write -> datagram, beyond the gap, median", Percentile(outbound[0].ms, 0.5),
        Percentile(outbound[1].ms, 0.5), 3, " ms");
    row("application write -> datagram, beyond the gap, p99", Percentile(outbound[0].ms, 0.99),
        Percentile(outbound[1].ms, 0.99), 3, " ms");
    for (int w = 0; w < 2; ++w) {
        // The floor's ratio is the median's above: how close the program comes to the timer.
        const double floor = Percentile(floorLate[w], 0.5);
        rows.push_back({std::string("the machine's floor: plain 10 ms waits in ") + floorWait[w] + ", late by, median",
                        Fixed(floor, 3) + " ms", "", Ratio(Percentile(outbound[0].ms, 0.5), floor)});
    }
    rows.push_back({"application write -> datagram, beyond the gap, median, less the epoll_pwait2 floor's",
                    Fixed(Percentile(outbound[0].ms, 0.5) - Percentile(floorLate[0], 0.5), 3) + " ms",
                    Fixed(Percentile(outbound[1].ms, 0.5) - Percentile(floorLate[0], 0.5), 3) + " ms", ""});
    rows.push_back({"the same: chunks that left before write + gap (of " + std::to_string(outbound[0].ms.size()) + ")",
                    std::to_string(Early(outbound[0])), std::to_string(Early(outbound[1])), ""});
    row("200 ports x 10 B per 100 ms: write -> datagram beyond the gap, median", Percentile(writers[0].ms, 0.5),
        Percentile(writers[1].ms, 0.5), 3, " ms");
    row("the same, p99", Percentile(writers[0].ms, 0.99), Percentile(writers[1].ms, 0.99), 3, " ms");
    row("the same, the worst port's p99", writers[0].worstPortP99, writers[1].worstPortP99, 3, " ms");
    row("the same, CPU of one core", writers[0].cpuPercent, writers[1].cpuPercent, 1, " %");
    rows.back().program += writers[0].lost ? " (" + std::to_string(writers[0].lost) + " lost or merged)" : "";
    rows.back().socat += writers[1].lost ? " (" + std::to_string(writers[1].lost) + " lost or merged)" : "";
    row("200 ports x 1 KB/s each way: CPU of one core", soak[0].cpuPercent, soak[1].cpuPercent, 1, " %");
    rows.back().program += soak[0].intact ? "" : " (LOSS)";
    rows.back().socat += soak[1].intact ? "" : " (LOSS)";
    row("one port streaming DTU -> application: CPU per byte", stream[0].nsPerByte, stream[1].nsPerByte, 1, " ns");
    row("the same with one monitor on every port (socat: none)", monitored, stream[1].nsPerByte, 1, " ns");
    row("an application streaming to a TCP DTU at FrameGap 0, median", tcp[0].megabytesPerSecond,
        tcp[1].megabytesPerSecond, 1, " MB/s");
    rows.back().program += tcp[0].complete || !runs("tcp") ? "" : " (INCOMPLETE)";
    rows.back().socat += tcp[1].complete || !runs("tcp") ? "" : " (INCOMPLETE)";
    row("the same, CPU per byte", tcp[0].nsPerByte, tcp[1].nsPerByte, 1, " ns");
    row("50,000 x 100 B over 200 ports, one sender flat out: delivered", burst[0][0].percent, burst[0][1].percent, 1,
        " %");
    row("the same paced at 60,000/s: delivered", burst[1][0].percent, burst[1][1].percent, 1, " %");
    rows.push_back({"resident memory after each phase (socat: sum of Pss)",
                    Fixed(lowest / 1024.0, 1) + "-" + Fixed(highest / 1024.0, 1) + " MB",
                    Fixed(socat.MemoryKb() / 1024.0, 1) + " MB", Ratio(highest, socat.MemoryKb())});
    row("request/response transactions a second, gap 10", rate[0].perSecond, rate[1].perSecond, 0, "");
    for (int g = 0; g < 2; ++g) {
        row("request/response transactions a second, gap " + std::to_string(gaps[g]), gapRate[g], rate[1].perSecond, 0,
            "");
        if (runs("gaps") && !gapWorks[g])
            rows.back().program = "gap setting not supported";
    }
    auto slowest = [](const Exchanges& e) { return e.ms.empty() ? NAN : *std::max_element(e.ms.begin(), e.ms.end()); };
    row("slowest of " + std::to_string(plan.worstExchanges) + " exchanges, other core busy (gap 10)", slowest(worst[0]),
        slowest(worst[1]), 2, " ms");
    rows.push_back({"the machine's floor: slowest of " + std::to_string(sleepLate.size())
                        + " plain 10 ms sleeps, other core busy, late by",
                    sleepLate.empty() ? "-" : Fixed(*std::max_element(sleepLate.begin(), sleepLate.end()), 2) + " ms",
                    "", ""});

    std::printf("\nmachine: %ld cores, %s; load average %s at the end; %.0f s\n\n", sysconf(_SC_NPROCESSORS_ONLN),
                CpuModel().c_str(), LoadAverage().c_str(), Seconds(Clock::now() - began));
    PrintTable(rows);
    std::istringstream log(ReadFile(program.Log()));
    std::vector<std::pair<std::string, int>> lines;
    for (std::string line; std::getline(log, line);) {
        auto seen = std::find_if(lines.begin(), lines.end(), [&](auto& l) { return l.first == line; });
        if (seen != lines.end())
            ++seen->second;
        else if (lines.size() < 20)
            lines.emplace_back(line, 1);
    }
    if (!lines.empty())
        std::printf("\nMV5840VSP wrote on its standard error (its three runs):\n");
    for (const auto& [line, count] : lines)
        std::printf("  %dx %s\n", count, line.c_str());
    return 0;
}
