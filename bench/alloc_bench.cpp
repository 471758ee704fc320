// Allocations the data path's loop makes per event once it runs in a steady state: per DTU
// data datagram written into a port, and per chunk an application wrote that left as a data
// datagram (FrameGap 1, so each chunk also arms and runs a gap timer). The loop is turned by
// this thread; only what its turns allocate is counted. Goal: 0 for each.
//
// Usage: bench_alloc [events per kind, default 20000]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <unistd.h>

#include "link/DatagramIntake.h"
#include "link/DtuPacket.h"
#include "link/LinkPump.h"
#include "link/PortRecords.h"
#include "link/PortTrace.h"
#include "link/PumpLoop.h"
#include "link/VirtualPortEntry.h"
#include "support/Loopback.h"
#include "support/RuntimeDir.h"
#include "support/SerialApp.h"
#include "support/Wait.h"
#include "vport/PtyMonitor.h"
#include "vport/VirtualSerialPort.h"

namespace {

thread_local bool counting = false;
std::atomic<uint64_t> allocations{0};

}  // namespace

void* operator new(size_t size)
{
    if (counting)
        allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}

namespace {

using namespace std::chrono_literals;

// The intake's and the pump's surroundings: one record, its port, the server's socket.
class Surroundings : public DatagramIntake::Host, public LinkPump::Host {
public:
    explicit Surroundings(EventLoop& loop) : loop_(loop), trace_(loop) {}

    VirtualSerialPort* PortOf(const VirtualPortEntry& entry) const override { return entry.control; }
    void CameOnline() override {}
    void Changed() override {}
    Clock& Time() const override { return loop_.Time(); }
    PortTrace& Trace() override { return trace_; }
    bool IsSharedTarget(const VirtualPortEntry&) const override { return true; }
    bool SendDatagram(const SocketAddress& to, const uint8_t* data, int size) override
    {
        return intake->Endpoint().SendTo(to, data, size);
    }
    TcpConnection* TcpLink(const VirtualPortEntry&) override { return nullptr; }

    DatagramIntake* intake = nullptr;

private:
    EventLoop& loop_;
    PortTrace trace_;
};

// Turns the loop, counting what its turns allocate, until done holds.
template <class F>
bool TurnUntil(EventLoop& loop, F done)
{
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > limit)
            return false;
        counting = true;
        loop.RunOnce(1ms);
        counting = false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    const int events = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
    TempRuntimeDir runtimeDir;
    PumpLoop pumps(Clock::Steady(), PumpLoop::Turning::ByOwner);
    EventLoop& loop = pumps.Loop();
    PortRecords records;
    Surroundings around(loop);
    const uint16_t serverPort = FreeLoopbackPort(SOCK_DGRAM);
    DatagramIntake intake(loop, Loopback(serverPort), records, around.Trace(), around);
    around.intake = &intake;
    if (intake.Endpoint().Start() != 0) {
        std::fprintf(stderr, "the server's socket cannot open\n");
        return 1;
    }

    VirtualSerialPort port;
    if (!port.Open("COM7", pumps.Ports())) {
        std::fprintf(stderr, "port: %s\n", port.OpenFailure().English().c_str());
        return 1;
    }
    // The port's record is the last of 200 in service: a scan would compare every code first.
    VirtualPortEntry& entry = records[PortRecords::Count - 1];
    entry.portHeld = 1;
    entry.config.PortNumber = 7;
    entry.config.Code = "A1";
    entry.config.FrameGap = 1;
    entry.control = &port;
    intake.RecordsChanged();
    // Some other records with codes, so a datagram is matched among many.
    for (int i = 0; i < PortRecords::Count - 1; ++i) {
        records[i].portHeld = 1;
        records[i].config.PortNumber = 100 + i;
        records[i].config.Code = "B" + std::to_string(i);
    }
    pumps.Add(around, entry, &port, false);
    SerialApp app(port.DevicePath());
    TurnUntil(loop, [&] { return port.InUse(); });

    const int dtu = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const SocketAddress any = Loopback(0);
    bind(dtu, any.Raw(), SocketAddress::Length);
    const SocketAddress server = Loopback(serverPort);
    uint8_t datagram[DtuPacket::MaxDataDatagram];
    const uint8_t payload[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const int size = DtuPacket::BuildDataDatagram("A1", payload, sizeof payload, datagram);
    uint8_t buffer[2048];

    // DTU -> application: one datagram at a time, read by the application.
    auto inbound = [&](int count) {
        for (int k = 0; k < count; ++k) {
            sendto(dtu, datagram, static_cast<size_t>(size), 0, server.Raw(), SocketAddress::Length);
            int got = 0;
            if (!TurnUntil(loop, [&] {
                    const ssize_t n = read(app.Fd(), buffer, sizeof buffer);
                    got += n > 0 ? static_cast<int>(n) : 0;
                    return got >= static_cast<int>(sizeof payload);
                }))
                return false;
            while (recv(dtu, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {  // the login reply
            }
        }
        return true;
    };
    // Application -> DTU: one chunk at a time, received by the DTU.
    auto outbound = [&](int count) {
        for (int k = 0; k < count; ++k) {
            if (write(app.Fd(), payload, sizeof payload) != static_cast<ssize_t>(sizeof payload))
                return false;
            if (!TurnUntil(loop, [&] { return recv(dtu, buffer, sizeof buffer, MSG_DONTWAIT) > 0; }))
                return false;
        }
        return true;
    };

    // Warm up: the first datagram logs the DTU in, buffers and hashes grow to their size.
    if (!inbound(100) || !outbound(100)) {
        std::fprintf(stderr, "the data path does not move the bytes\n");
        return 1;
    }
    allocations = 0;
    if (!inbound(events))
        return 1;
    const uint64_t perInbound = allocations.exchange(0);
    if (!outbound(events))
        return 1;
    const uint64_t perOutbound = allocations.exchange(0);
    std::printf("%-58s %.4f (%llu in %d; goal 0)\n", "allocations per DTU data datagram written into a port",
                static_cast<double>(perInbound) / events, static_cast<unsigned long long>(perInbound), events);
    std::printf("%-58s %.4f (%llu in %d; goal 0)\n", "allocations per application chunk sent as a datagram",
                static_cast<double>(perOutbound) / events, static_cast<unsigned long long>(perOutbound), events);
    close(dtu);
    pumps.Remove(entry);
    return perInbound == 0 && perOutbound == 0 ? 0 : 1;
}
