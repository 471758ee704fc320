#include "link/PortTrace.h"

#include <algorithm>
#include <chrono>
#include <sys/epoll.h>

PortTrace::PortTrace(EventLoop& loop) : loop_(loop), flush_(loop, [this] { Flush(); })
{
    // The watch of a stream goes before the tap closes it.
    tap_.OnRemove([this](int fd) { streams_.erase(fd); });
}

PortTrace::~PortTrace()
{
    streams_.clear();
}

void PortTrace::Add(int fd, const std::vector<int>& records)
{
    std::vector<uint16_t> slots;
    for (int record : records)
        slots.push_back(SlotOf(record));
    tap_.Add(fd, slots);
    // Until the stream is full only its reader's going away is heard of (EPOLLHUP, which
    // epoll reports unasked).
    auto watch = std::make_unique<EventLoop::Watch>(loop_, [this, fd](uint32_t events) { OnStreamEvents(fd, events); });
    if (watch->Add(fd, 0) != 0) {
        tap_.Remove(fd);
        return;
    }
    streams_[fd] = std::move(watch);
}

void PortTrace::Emit(int record, int number, TraceKind kind, std::string_view text, uint64_t count,
                     const uint8_t* bytes, size_t length)
{
    TraceEvent event;
    event.kind = kind;
    event.slot = SlotOf(record);
    event.number = static_cast<uint16_t>(number);
    event.count = count;
    event.text = text;
    event.bytes = bytes;
    event.length = length;
    Push(event);
}

void PortTrace::EmitUnknownCode(const SocketAddress& source, std::string_view code, size_t length)
{
    const std::string from = AddressText(source);
    TraceEvent event;
    event.kind = TraceKind::UnknownCode;
    event.count = length;
    event.text = from;
    event.bytes = reinterpret_cast<const uint8_t*>(code.data());
    event.length = code.size();
    Push(event);
}

void PortTrace::Push(TraceEvent event)
{
    event.timeUs = UnixMicroseconds();
    tap_.Emit(event);
    unwritten_ += TraceRecordSize(event);
    if (unwritten_ >= FlushBytes)
        flush_.Soon();
    else if (!flush_.Pending())
        flush_.At(loop_.Now() + FlushDelay);
}

void PortTrace::Flush()
{
    flush_.Cancel();
    unwritten_ = 0;
    tap_.WriteAll();
    const std::vector<int> blocked = tap_.Blocked();
    for (auto& [fd, watch] : streams_) {
        const bool waits = std::find(blocked.begin(), blocked.end(), fd) != blocked.end();
        const uint32_t events = waits ? uint32_t{EPOLLOUT} : 0u;
        if (watch->Events() != events)
            watch->Modify(events);
    }
}

void PortTrace::OnStreamEvents(int fd, uint32_t events)
{
    if (events & (EPOLLHUP | EPOLLERR)) {
        tap_.Remove(fd);  // the reader has gone: what waits for it goes too
        return;
    }
    if (events & EPOLLOUT)
        Flush();
}

std::string PortTrace::AddressText(const SocketAddress& address)
{
    return address.ToText() + ":" + std::to_string(address.Port());
}

int64_t PortTrace::UnixMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}
