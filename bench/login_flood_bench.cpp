// A flood of logins for configured codes next to a DTU that streams data: what the flood costs
// the streaming DTU and how many datagrams the kernel drops at UDP 3700. The program runs as
// users run it (--service, 200 dynamic-login ports D001…D200 from a generated configuration);
// an application holds COM1 open and reads everything its DTU (D001) sends, numbered, so each
// lost datagram is counted. First the stream alone, then the stream with the flood of logins
// and, for comparison, with a flood of data datagrams (100 bytes, for the same codes, whose
// ports nobody holds) at the same rate.
//
// Usage: bench_login_flood --program PATH --work DIR [--seconds N] [--stream PER_SECOND]
//                          [--flood PER_SECOND]
// The flood comes from 16 source ports of 127.0.0.1 and cycles through the 199 other codes,
// paced (150,000 a second by default) as far as the sending core keeps up.
// Run it through bench/login_flood.sh, which builds it and gives it a network namespace of its
// own (the program binds UDP port 3700).
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr int Ports = 200;
constexpr uint16_t ServerPort = 3700;
constexpr int HeaderSize = 13;
constexpr int PayloadSize = 100;
constexpr int FloodSockets = 16;
constexpr int FloodBatch = 64;

sockaddr_in Loopback(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

std::vector<uint8_t> Header(const std::string& code, uint8_t type)
{
    std::vector<uint8_t> h(HeaderSize, 0);
    std::memcpy(h.data(), code.data(), code.size());
    h[12] = type;
    return h;
}

std::string Code(int n)
{
    char text[8];
    std::snprintf(text, sizeof text, "D%03d", n);
    return text;
}

int UdpSocket()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any = Loopback(0);
    bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any);
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    return fd;
}

// The drops the kernel counted on the server's socket (the last column of /proc/net/udp).
uint64_t ServerDrops()
{
    std::ifstream udp("/proc/net/udp");
    std::string line;
    char port[8];
    std::snprintf(port, sizeof port, ":%04X", ServerPort);
    uint64_t drops = 0;
    while (std::getline(udp, line)) {
        std::istringstream fields(line);
        std::string slot, local, field;
        fields >> slot >> local;
        if (local.size() < 5 || local.substr(local.size() - 5) != port)
            continue;
        while (fields >> field) {
        }
        drops += std::strtoull(field.c_str(), nullptr, 10);
    }
    return drops;
}

// The program's CPU time (user + system) in seconds.
double CpuSeconds(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int k = 3; k <= 15 && fields >> field; ++k) {
        if (k == 14)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        if (k == 15)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

struct Figures {
    uint64_t streamSent = 0;
    uint64_t streamDelivered = 0;
    uint64_t floodSent = 0;
    uint64_t floodReplies = 0;
    uint64_t drops = 0;
    double cpu = 0;
    double seconds = 0;
};

class Bench {
public:
    Bench(std::string program, std::string work) : program_(std::move(program)), work_(std::move(work)) {}

    bool Start()
    {
        fs::create_directories(work_ + "/config/Torvane");
        fs::create_directories(work_ + "/run");
        fs::permissions(work_ + "/run", fs::perms::owner_all);
        std::ofstream conf(work_ + "/config/Torvane/HOLBRN.conf");
        conf << "[General]\nSocketPort=3700\nOnlyOnePort=0\nVPortNo=5\nPassword=\n\n";
        for (int n = 1; n <= Ports; ++n)
            conf << "[" << n << "]\nPortNumber=" << n << "\nUseFixedIP=0\nUseTcp=0\nLoginInterval=300\nCode=" << Code(n)
                 << "\nPeerIP=0.0.0.0\n\n";
        conf.close();
        fs::permissions(work_ + "/config/Torvane/HOLBRN.conf", fs::perms::owner_read | fs::perms::owner_write);
        pid_ = fork();
        if (pid_ == 0) {
            setenv("XDG_CONFIG_HOME", (work_ + "/config").c_str(), 1);
            setenv("XDG_RUNTIME_DIR", (work_ + "/run").c_str(), 1);
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            execl(program_.c_str(), program_.c_str(), "--service", nullptr);
            _exit(127);
        }
        const std::string port = work_ + "/run/MV5840VSP/COM1";
        for (auto end = Clock::now() + 30s; Clock::now() < end; std::this_thread::sleep_for(50ms)) {
            app_ = open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (app_ >= 0)
                break;
        }
        if (app_ < 0)
            return false;
        termios raw{};
        tcgetattr(app_, &raw);
        cfmakeraw(&raw);
        tcsetattr(app_, TCSANOW, &raw);
        dtu_ = UdpSocket();
        // The streaming DTU logs in and waits for its reply.
        const sockaddr_in server = Loopback(ServerPort);
        auto login = Header(Code(1), 0);
        for (int attempt = 0; attempt < 50; ++attempt) {
            sendto(dtu_, login.data(), login.size(), 0, reinterpret_cast<const sockaddr*>(&server), sizeof server);
            pollfd p{dtu_, POLLIN, 0};
            if (poll(&p, 1, 100) == 1) {
                uint8_t reply[64];
                recv(dtu_, reply, sizeof reply, 0);
                return true;
            }
        }
        return false;
    }

    ~Bench()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }

    Figures Run(double seconds, int streamRate, int floodRate, uint8_t floodType = 0)
    {
        Figures f;
        std::atomic<bool> stop{false};
        std::atomic<uint64_t> delivered{0};
        std::thread reader([&] {
            uint8_t buffer[65536];
            uint64_t bytes = 0;
            while (!stop.load()) {
                pollfd p{app_, POLLIN, 0};
                if (poll(&p, 1, 50) != 1)
                    continue;
                const ssize_t n = read(app_, buffer, sizeof buffer);
                if (n > 0)
                    bytes += static_cast<uint64_t>(n);
                delivered.store(bytes / PayloadSize);
            }
            // What is still on its way.
            for (auto end = Clock::now() + 1s; Clock::now() < end;) {
                const ssize_t n = read(app_, buffer, sizeof buffer);
                if (n > 0)
                    bytes += static_cast<uint64_t>(n);
                else
                    std::this_thread::sleep_for(10ms);
            }
            delivered.store(bytes / PayloadSize);
        });
        std::atomic<uint64_t> floodSent{0}, floodReplies{0};
        std::thread flooder;
        if (floodRate > 0) {
            flooder = std::thread([&] {
                const auto from = Clock::now();
                std::vector<int> sockets;
                for (int k = 0; k < FloodSockets; ++k)
                    sockets.push_back(UdpSocket());
                const sockaddr_in server = Loopback(ServerPort);
                std::vector<std::vector<uint8_t>> logins;
                for (int n = 2; n <= Ports; ++n) {
                    logins.push_back(Header(Code(n), floodType));
                    if (floodType == 3)
                        logins.back().resize(HeaderSize + PayloadSize, 'f');
                }
                mmsghdr messages[FloodBatch] = {};
                iovec pieces[FloodBatch];
                size_t next = 0;
                uint8_t sink[64];
                for (int round = 0; !stop.load(); ++round) {
                    const double elapsed = std::chrono::duration<double>(Clock::now() - from).count();
                    if (static_cast<double>(floodSent.load()) >= elapsed * floodRate) {
                        std::this_thread::sleep_for(100us);
                        continue;
                    }
                    for (int k = 0; k < FloodBatch; ++k, ++next) {
                        auto& login = logins[next % logins.size()];
                        pieces[k] = {login.data(), login.size()};
                        messages[k].msg_hdr.msg_name = const_cast<sockaddr_in*>(&server);
                        messages[k].msg_hdr.msg_namelen = sizeof server;
                        messages[k].msg_hdr.msg_iov = &pieces[k];
                        messages[k].msg_hdr.msg_iovlen = 1;
                    }
                    const int fd = sockets[static_cast<size_t>(round) % sockets.size()];
                    const int sent = sendmmsg(fd, messages, FloodBatch, 0);
                    if (sent > 0)
                        floodSent += static_cast<uint64_t>(sent);
                    for (int s : sockets) {
                        while (recv(s, sink, sizeof sink, MSG_DONTWAIT) > 0)
                            ++floodReplies;
                    }
                }
                for (int s : sockets)
                    close(s);
            });
        }
        // The streaming DTU: numbered datagrams, paced.
        const uint64_t dropsBefore = ServerDrops();
        const double cpuBefore = CpuSeconds(pid_);
        const sockaddr_in server = Loopback(ServerPort);
        auto datagram = Header(Code(1), 3);
        datagram.resize(HeaderSize + PayloadSize, 'x');
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        uint64_t sent = 0;
        while (Clock::now() < end) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
            const auto due = static_cast<uint64_t>(elapsed * streamRate);
            for (; sent < due; ++sent) {
                std::memcpy(datagram.data() + HeaderSize, &sent, sizeof sent);
                sendto(dtu_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&server),
                       sizeof server);
            }
            std::this_thread::sleep_for(200us);
        }
        f.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        stop.store(true);
        if (flooder.joinable())
            flooder.join();
        reader.join();
        f.cpu = CpuSeconds(pid_) - cpuBefore;
        f.drops = ServerDrops() - dropsBefore;
        f.streamSent = sent;
        f.streamDelivered = delivered.load();
        f.floodSent = floodSent.load();
        f.floodReplies = floodReplies.load();
        // Replies to the DTU's own login are not part of the stream: drain them.
        uint8_t sink[2048];
        while (recv(dtu_, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        return f;
    }

private:
    std::string program_, work_;
    pid_t pid_ = -1;
    int app_ = -1;
    int dtu_ = -1;
};

void Print(const char* what, const Figures& f)
{
    const double all = static_cast<double>(f.streamSent + f.floodSent);
    std::printf("%-22s stream %7.0f/s, delivered %6.2f %% | flood %8.0f/s, replies %8.0f/s | kernel drops at "
                "UDP 3700 %6.2f %% of all | program CPU %5.1f %% of one core\n",
                what, f.streamSent / f.seconds, 100.0 * f.streamDelivered / std::max<double>(1, f.streamSent),
                f.floodSent / f.seconds, f.floodReplies / f.seconds, all > 0 ? 100.0 * f.drops / all : 0.0,
                100.0 * f.cpu / f.seconds);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    std::string program, work;
    double seconds = 10;
    int stream = 10000;
    int flood = 150000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--program")
            program = argv[i + 1];
        else if (key == "--work")
            work = argv[i + 1];
        else if (key == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (key == "--stream")
            stream = std::atoi(argv[i + 1]);
        else if (key == "--flood")
            flood = std::atoi(argv[i + 1]);
    }
    if (program.empty() || work.empty()) {
        std::fprintf(stderr, "usage: bench_login_flood --program PATH --work DIR [--seconds N] [--stream PER_SECOND] "
                             "[--flood PER_SECOND]\n"
                             "(run it through bench/login_flood.sh)\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    Bench bench(program, work);
    if (!bench.Start()) {
        std::fprintf(stderr, "the program did not serve COM1 or answer its DTU\n");
        return 1;
    }
    Print("stream alone:", bench.Run(seconds, stream, 0));
    Print("stream + login flood:", bench.Run(seconds, stream, flood, 0));
    Print("stream + data flood:", bench.Run(seconds, stream, flood, 3));
    return 0;
}
