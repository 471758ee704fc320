// The UDP endpoint on its loop, on loopback: how many datagrams a second are handed over without loss, and the
// time from sendto on the sender to the owner's OnDatagrams (median, 99th percentile).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "net/UdpEndpoint.h"
#include "support/Loopback.h"
#include "support/Wait.h"

namespace {

using Steady = std::chrono::steady_clock;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch()).count();
}

// Datagram: sequence number, then the sender's clock at sendto.
struct Stamp {
    uint32_t sequence;
    int64_t sentNs;
};

class BenchOwner : public UdpEndpoint::Owner {
public:
    void OnDatagrams(const ReceivedDatagram* datagrams, int n) override
    {
        for (int k = 0; k < n; ++k)
            OnDatagram(datagrams[k].data, datagrams[k].length);
    }
    void OnDatagram(const uint8_t* data, int length)
    {
        int64_t now = NowNs();
        Stamp stamp;
        if (length < static_cast<int>(sizeof stamp))
            return;
        std::memcpy(&stamp, data, sizeof stamp);
        if (stamp.sequence != expected)
            outOfOrder = true;
        expected = stamp.sequence + 1;
        if (recordLatency.load(std::memory_order_acquire) && latencies.size() < latencies.capacity())
            latencies.push_back(now - stamp.sentNs);
        count.fetch_add(1, std::memory_order_release);
    }
    void OnOpenChanged(bool) override {}

    std::atomic<uint32_t> count{0};
    uint32_t expected = 0;
    bool outOfOrder = false;
    std::atomic<bool> recordLatency{false};
    std::vector<int64_t> latencies;
};

// Polled finely: the latency run paces its sends by this wait.
bool WaitForCount(BenchOwner& owner, uint32_t target)
{
    return WaitUntil([&] { return owner.count.load(std::memory_order_acquire) >= target; }, std::chrono::seconds(10),
                     std::chrono::microseconds(200));
}

}  // namespace

int main()
{
    uint16_t port = FreeLoopbackPort(SOCK_DGRAM);
    BenchOwner owner;
    EventLoop loop;
    UdpEndpoint server(loop, Loopback(port), owner);
    loop.Start("mv-bench-loop");
    if (loop.Call([&] { return server.Start(); }) != 0) {
        std::printf("the endpoint cannot open\n");
        return 1;
    }

    int sender = socket(AF_INET, SOCK_DGRAM, 0);
    SocketAddress to = Loopback(port);
    uint8_t datagram[64] = {};  // a DTU data datagram: 13-byte header and some payload

    // Throughput: the sender runs flat out; only when this many are still queued it waits,
    // so the figure is what the server hands over with no datagram lost.
    constexpr uint32_t total = 500000;
    constexpr uint32_t window = 2000;
    auto start = Steady::now();
    for (uint32_t i = 0; i < total; ++i) {
        while (i - owner.count.load(std::memory_order_acquire) >= window)
            std::this_thread::yield();
        Stamp stamp{i, 0};
        std::memcpy(datagram, &stamp, sizeof stamp);
        sendto(sender, datagram, sizeof datagram, 0, to.Raw(), SocketAddress::Length);
    }
    bool complete = WaitForCount(owner, total);
    double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    std::printf("throughput: %u datagrams of %zu bytes in %.3f s = %.0f datagrams/s, %s, %s\n", owner.count.load(),
                sizeof datagram, seconds, owner.count.load() / seconds, complete ? "none lost" : "LOST SOME",
                owner.outOfOrder ? "OUT OF ORDER" : "in order");

    // Latency: one datagram at a time, 200 microseconds apart, like many DTUs reporting.
    constexpr uint32_t samples = 20000;
    owner.latencies.reserve(samples);
    uint32_t base = owner.count.load();
    for (uint32_t i = 0; i < samples; ++i) {
        Stamp stamp{total + i, 0};
        stamp.sentNs = NowNs();
        if (i == 0)
            owner.recordLatency.store(true, std::memory_order_release);
        std::memcpy(datagram, &stamp, sizeof stamp);
        sendto(sender, datagram, sizeof datagram, 0, to.Raw(), SocketAddress::Length);
        WaitForCount(owner, base + i + 1);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    loop.Call([&] { server.Stop(); });
    loop.Stop();
    close(sender);
    auto& l = owner.latencies;
    std::sort(l.begin(), l.end());
    if (!l.empty()) {
        std::printf("latency sendto -> OnDatagrams over %zu datagrams: median %.1f us, p99 %.1f us, "
                    "max %.1f us\n",
                    l.size(), l[l.size() / 2] / 1000.0, l[l.size() * 99 / 100] / 1000.0, l.back() / 1000.0);
    }
    return complete && !owner.outOfOrder ? 0 : 1;
}
