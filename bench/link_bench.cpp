// The data path with 200 ports in service on loopback: idle CPU, DTU-to-application and
// application-to-DTU latency, one port's streaming rate, a soak of 200 ports moving 1 KB/s
// each way with every byte checked, and resident memory.
//
// Usage: bench_link [soak seconds, default 60]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "config/GlobalSettings.h"
#include "link/PortTable.h"
#include "support/Loopback.h"
#include "support/RuntimeDir.h"
#include "support/SerialApp.h"
#include "support/Wait.h"
#include "vport/VirtualPortSites.h"

namespace {

using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr int Ports = PortTable::MaxPorts;

double Ms(Steady::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

void PrintLatency(const char* what, std::vector<double> samples, const char* target)
{
    std::sort(samples.begin(), samples.end());
    const double median = samples[samples.size() / 2];
    const double p99 = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    std::printf("%-44s median %7.3f ms  p99 %7.3f ms  (%zu samples; target %s)\n", what, median, p99, samples.size(),
                target);
}

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

long StatusKb(const char* field)
{
    FILE* f = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    const size_t length = std::strlen(field);
    while (f && std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, field, length) == 0)
            kb = std::atol(line + length + 1);
    }
    if (f)
        std::fclose(f);
    return kb;
}

int OpenFdCount()
{
    int count = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

uint8_t StreamByte(int port, uint64_t offset, int direction)
{
    return static_cast<uint8_t>((offset * 131 + port * 7 + direction * 101) ^ (offset >> 8));
}

struct Dtu {
    int fd = -1;
    std::string code;
};

struct Rig {
    TempRuntimeDir runtimeDir;
    GlobalSettings settings;
    VirtualPortSites sites;
    uint16_t serverPort = 0;
    std::unique_ptr<PortTable> table;
    std::vector<std::unique_ptr<SerialApp>> apps;
    std::vector<Dtu> dtus;
    SocketAddress server;

    Rig();
    ~Rig();
    void Send(int port, uint8_t type, const uint8_t* payload, int count);
};

Rig::Rig()
{
    serverPort = FreeLoopbackPort(SOCK_DGRAM);
    server = Loopback(serverPort);
    const std::string local = "127.0.0.1:" + std::to_string(serverPort);
    table = std::make_unique<PortTable>(Clock::Steady(), settings, sites, local.c_str());
    table->StartNetwork();
    table->PrepareSlots();
    WaitUntil([&] { return table->UdpPortOpen(); });

    for (int i = 0; i < Ports; ++i) {
        PortConfig fields;
        fields.PortNumber = 1 + i;
        fields.Code = std::string(1, 'D').append(std::to_string(i));
        table->OpenSlot(i, fields);

        apps.push_back(std::make_unique<SerialApp>(table->Status(i).device));

        Dtu dtu;
        dtu.fd = socket(AF_INET, SOCK_DGRAM, 0);
        int size = 1 << 20;
        setsockopt(dtu.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        SocketAddress any = Loopback(0);
        bind(dtu.fd, any.Raw(), SocketAddress::Length);
        dtu.code = fields.Code;
        dtus.push_back(dtu);
        Send(i, 0, nullptr, 0);  // login
        uint8_t reply[64];
        if (WaitReadable(dtu.fd, 5000ms))
            recv(dtu.fd, reply, sizeof reply, 0);
    }
}

Rig::~Rig()
{
    apps.clear();
    table.reset();
    for (auto& dtu : dtus)
        close(dtu.fd);
}

void Rig::Send(int port, uint8_t type, const uint8_t* payload, int count)
{
    uint8_t datagram[2000] = {};
    std::memcpy(datagram, dtus[port].code.data(), dtus[port].code.size());
    datagram[12] = type;
    if (count > 0)
        std::memcpy(datagram + 13, payload, count);
    sendto(dtus[port].fd, datagram, 13 + count, 0, server.Raw(), SocketAddress::Length);
}

void IdleCpu(Rig&)
{
    std::this_thread::sleep_for(1s);  // let start-up settle
    const double cpu0 = CpuSeconds();
    const auto t0 = Steady::now();
    std::this_thread::sleep_for(10s);
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(Steady::now() - t0).count();
    std::printf("%-44s %.3f %% of one core over %.1f s (target < 1 %%)\n", "idle CPU, 200 ports, applications open",
                100.0 * cpu / wall, wall);
}

void DtuToApplication(Rig& rig)
{
    std::vector<double> samples;
    uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t buffer[64];
    for (int k = 0; k < 2000; ++k) {
        const int port = (k * 37) % Ports;
        const auto t0 = Steady::now();
        rig.Send(port, 3, payload, sizeof payload);
        int got = 0;
        while (got < 8 && WaitReadable(rig.apps[port]->Fd(), 2000ms)) {
            ssize_t n = read(rig.apps[port]->Fd(), buffer, sizeof buffer);
            if (n > 0)
                got += static_cast<int>(n);
        }
        samples.push_back(Ms(Steady::now() - t0));
    }
    PrintLatency("DTU datagram -> readable by application", samples, "median < 1 ms");
}

void ApplicationToDtu(Rig& rig)
{
    std::vector<double> samples;
    uint8_t payload[8] = {8, 7, 6, 5, 4, 3, 2, 1};
    uint8_t buffer[2000];
    for (int k = 0; k < 300; ++k) {
        const int port = (k * 53) % Ports;
        const auto t0 = Steady::now();
        write(rig.apps[port]->Fd(), payload, sizeof payload);
        if (WaitReadable(rig.dtus[port].fd, 2000ms))
            recv(rig.dtus[port].fd, buffer, sizeof buffer, 0);
        samples.push_back(Ms(Steady::now() - t0));
        std::this_thread::sleep_for(std::chrono::microseconds(k % 10 * 1000 + 300));
    }
    PrintLatency("application write of 8 bytes -> datagram", samples, "median <= 12 ms, p99 <= 20 ms");
}

void Streaming(Rig& rig)
{
    const int port = 0;
    const size_t total = 1000000;
    std::vector<uint8_t> data(total);
    for (size_t k = 0; k < total; ++k)
        data[k] = StreamByte(port, k, 2);
    const auto t0 = Steady::now();
    std::thread writer([&] {
        size_t done = 0;
        while (done < total) {
            ssize_t n = write(rig.apps[port]->Fd(), data.data() + done, std::min<size_t>(4096, total - done));
            if (n > 0) {
                done += n;
            } else {
                pollfd p{rig.apps[port]->Fd(), POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
    });
    size_t got = 0;
    bool intact = true;
    uint8_t buffer[2000];
    while (got < total && WaitReadable(rig.dtus[port].fd, 5000ms)) {
        ssize_t n = recv(rig.dtus[port].fd, buffer, sizeof buffer, 0);
        if (n < 14 || buffer[12] != 3 || got + (n - 13) > total)
            continue;
        for (ssize_t k = 13; k < n; ++k)
            intact = intact && buffer[k] == data[got + k - 13];
        got += n > 13 ? n - 13 : 0;
    }
    const double seconds = std::chrono::duration<double>(Steady::now() - t0).count();
    writer.join();
    std::printf("%-44s %.1f KB/s (%zu of %zu bytes, %s; target >= 95 KB/s)\n", "one port streaming application -> DTU",
                got / seconds / 1000.0, got, total, intact ? "intact" : "CORRUPTED");
}

void Soak(Rig& rig, int seconds)
{
    constexpr int Chunk = 100;  // every 100 ms: 1 KB/s each way per port
    std::vector<uint64_t> toAppSent(Ports), toAppGot(Ports), toDtuSent(Ports), toDtuGot(Ports);
    std::atomic<bool> corrupt{false}, running{true};

    std::thread reader([&] {
        std::vector<pollfd> fds;
        for (int i = 0; i < Ports; ++i)
            fds.push_back({rig.apps[i]->Fd(), POLLIN, 0});
        for (int i = 0; i < Ports; ++i)
            fds.push_back({rig.dtus[i].fd, POLLIN, 0});
        uint8_t buffer[4096];
        while (running.load()) {
            if (poll(fds.data(), fds.size(), 100) <= 0)
                continue;
            for (int k = 0; k < 2 * Ports; ++k) {
                if (!(fds[k].revents & POLLIN))
                    continue;
                const int port = k % Ports;
                if (k < Ports) {
                    ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
                    for (ssize_t b = 0; b < n; ++b) {
                        if (buffer[b] != StreamByte(port, toAppGot[port]++, 0))
                            corrupt = true;
                    }
                } else {
                    ssize_t n = recv(fds[k].fd, buffer, sizeof buffer, MSG_DONTWAIT);
                    if (n > 0 && buffer[12] != 3)
                        continue;  // a login reply
                    for (ssize_t b = 13; b < n; ++b) {
                        if (buffer[b] != StreamByte(port, toDtuGot[port]++, 1))
                            corrupt = true;
                    }
                }
            }
        }
    });

    const auto start = Steady::now();
    auto next = start;
    uint8_t chunk[Chunk];
    while (Steady::now() - start < std::chrono::seconds(seconds)) {
        for (int i = 0; i < Ports; ++i) {
            for (int b = 0; b < Chunk; ++b)
                chunk[b] = StreamByte(i, toAppSent[i] + b, 0);
            rig.Send(i, 3, chunk, Chunk);
            toAppSent[i] += Chunk;
            for (int b = 0; b < Chunk; ++b)
                chunk[b] = StreamByte(i, toDtuSent[i] + b, 1);
            if (write(rig.apps[i]->Fd(), chunk, Chunk) == Chunk)
                toDtuSent[i] += Chunk;
        }
        next += 100ms;
        std::this_thread::sleep_until(next);
    }
    // Let the last chunks through.
    const auto drainLimit = Steady::now() + 10s;
    auto complete = [&] {
        for (int i = 0; i < Ports; ++i) {
            if (toAppGot[i] < toAppSent[i] || toDtuGot[i] < toDtuSent[i])
                return false;
        }
        return true;
    };
    while (!complete() && Steady::now() < drainLimit)
        std::this_thread::sleep_for(50ms);
    running = false;
    reader.join();

    uint64_t sentIn = 0, gotIn = 0, sentOut = 0, gotOut = 0;
    for (int i = 0; i < Ports; ++i) {
        sentIn += toAppSent[i];
        gotIn += toAppGot[i];
        sentOut += toDtuSent[i];
        gotOut += toDtuGot[i];
    }
    std::printf("%-44s %d s: DTU->app %llu/%llu bytes, app->DTU %llu/%llu bytes, %s, %s\n",
                "soak, 200 ports x 1 KB/s each way", seconds, static_cast<unsigned long long>(gotIn),
                static_cast<unsigned long long>(sentIn), static_cast<unsigned long long>(gotOut),
                static_cast<unsigned long long>(sentOut),
                gotIn == sentIn && gotOut == sentOut ? "nothing lost" : "BYTES LOST", corrupt ? "CORRUPTED" : "intact");
}

// Empties the DTU sockets and the applications between phases, so a late arrival of one
// phase is not taken for data of the next; reports what it found.
void Drain(Rig& rig, const char* after)
{
    std::this_thread::sleep_for(200ms);
    int datagrams = 0;
    long bytes = 0;
    uint8_t buffer[4096];
    for (auto& dtu : rig.dtus) {
        while (recv(dtu.fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
            ++datagrams;
    }
    for (auto& app : rig.apps) {
        ssize_t n;
        while ((n = read(app->Fd(), buffer, sizeof buffer)) > 0)
            bytes += n;
    }
    if (datagrams || bytes)
        std::printf("  (after %s: %d late datagrams, %ld late bytes)\n", after, datagrams, bytes);
}

}  // namespace

int main(int argc, char** argv)
{
    const int soakSeconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    Rig rig;
    std::printf("%-44s %d ports, %d threads, %d descriptors\n", "in service", Ports,
                static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                               std::filesystem::directory_iterator())),
                OpenFdCount());
    Drain(rig, "start-up");
    IdleCpu(rig);
    DtuToApplication(rig);
    Drain(rig, "DTU -> application latency");
    ApplicationToDtu(rig);
    Drain(rig, "application -> DTU latency");
    Streaming(rig);
    Drain(rig, "streaming");
    Soak(rig, soakSeconds);
    std::printf("%-44s VmRSS %ld kB, VmHWM %ld kB (target < 40 MB)\n", "resident memory", StatusKb("VmRSS"),
                StatusKb("VmHWM"));
    return 0;
}
