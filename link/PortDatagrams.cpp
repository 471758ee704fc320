#include <algorithm>
#include <string>

#include "link/DtuPacket.h"
#include "link/PortTable.h"
#include "net/UdpEndpoint.h"
#include "vport/VirtualSerialPort.h"

void PortTable::OnDatagrams(const ReceivedDatagram* datagrams, int count)
{
    for (int k = 0; k < count; ++k) {
        const ReceivedDatagram& d = datagrams[k];
        if (d.length < DtuPacket::HeaderSize)
            continue;
        switch (static_cast<DtuPacketType>(d.data[DtuPacket::TypeOffset])) {
        case DtuPacketType::Login: HandleLogin(d.source, d.data, d.length); break;
        case DtuPacketType::Data: HandleData(d.source, d.data, d.length); break;
        default: break;
        }
    }
    FlushReceivedRun();
}

void PortTable::OnOpenChanged(bool open)
{
    udpOpen.store(open);
}

int PortTable::MatchPort(const SocketAddress& source, std::string_view code) const
{
    for (int i = 0; i < MaxPorts; ++i) {
        const VirtualPortEntry& e = ports[i];
        if (!e.portHeld || e.notServedReason)
            continue;
        if (e.UseFixedIP) {
            // The address decides: with another code the datagram belongs to no port.
            if (e.peerAddress.Equals(source))
                return e.Code == code ? i : -1;
        } else if (e.Code == code) {
            return i;
        }
    }
    return -1;
}

void PortTable::NoteUnmatched(const SocketAddress& source, std::string_view code, int length)
{
    lastUnmatchedCode.assign(code);
    lastUnmatchedSource = source;
    unmatchedDatagrams += 1;
    if (trace->Any())
        trace->EmitUnknownCode(source, code, static_cast<size_t>(length));
}

void PortTable::OnOversized(const ReceivedDatagram& head, size_t length)
{
    const auto code = DtuPacket::ReadCode(head.data, head.length);
    if (!code)
        return;
    const int i = MatchPort(head.source, *code);
    if (i < 0) {
        NoteUnmatched(head.source, *code, static_cast<int>(length));
        return;
    }
    VirtualPortEntry& e = ports[i];
    e.statistics.oversizedDatagrams += 1;
    const std::string from = PortTrace::AddressText(head.source);
    NoteError(e, {Reason::Kind::DatagramTooLong, from, std::to_string(length)});
    if (trace->Watching(i))
        trace->Emit(i, e.PortNumber, TraceKind::Oversized, from, length);
}

void PortTable::HandleLogin(const SocketAddress& source, const uint8_t* data, int length)
{
    const auto code = DtuPacket::ReadCode(data, length);
    if (!code)
        return;
    const int i = MatchPort(source, *code);
    if (i < 0) {
        NoteUnmatched(source, *code, length);
        return;
    }
    VirtualPortEntry& e = ports[i];
    e.statistics.logins += 1;
    if (!e.UseFixedIP) {
        if (e.loginAddress.sin_addr.s_addr != 0 && !e.loginAddress.Equals(source))
            e.statistics.loginAddressChanges += 1;
        e.peerAddress = source;
        e.loginAddress = source;
    }
    const Clock::time_point now = clock.Now();
    e.lastHeard = now;
    const bool cameOnline = e.online == 0;
    e.online = 1;
    if (cameOnline)
        WakeOnlineWatch();  // it has a deadline now
    if (trace->Watching(i)) {
        trace->Emit(i, e.PortNumber, TraceKind::Login, PortTrace::AddressText(source));
        if (cameOnline)
            trace->Emit(i, e.PortNumber, TraceKind::Online);
    }

    if (!loginReplyRule.Due(e.peerAddress, i, now))
        return;
    LoginReply& reply = loginReplies.emplace_back();
    reply.destination = e.peerAddress;
    DtuPacket::BuildLoginReply(data, reply.bytes);
}

void PortTable::SendLoginReplies()
{
    if (loginReplies.empty())
        return;
    OutgoingDatagram batch[UdpEndpoint::Batch];
    for (size_t from = 0; from < loginReplies.size(); from += UdpEndpoint::Batch) {
        const size_t n = std::min(loginReplies.size() - from, static_cast<size_t>(UdpEndpoint::Batch));
        for (size_t k = 0; k < n; ++k) {
            const LoginReply& reply = loginReplies[from + k];
            batch[k] = {reply.destination, reply.bytes, DtuPacket::LoginReplySize};
        }
        // A reply that cannot be sent is not retried: the DTU logs in again.
        udpServer->SendAll(batch, static_cast<int>(n));
    }
    loginReplies.clear();
}

void PortTable::HandleData(const SocketAddress& source, const uint8_t* data, int length)
{
    if (length <= DtuPacket::HeaderSize)
        return;
    const auto code = DtuPacket::ReadCode(data, length);
    if (!code)
        return;
    const int i = MatchPort(source, *code);
    if (i < 0) {
        NoteUnmatched(source, *code, length);
        return;
    }
    VirtualPortEntry& e = ports[i];
    if (!e.online)
        HandleLogin(source, data, length);
    e.peerAddress = source;
    e.lastHeard = clock.Now();  // data count as a report too

    const size_t payload = static_cast<size_t>(length - DtuPacket::HeaderSize);
    ReceivedRun& run = receivedRun;
    if (run.record != i || run.bytes.size() + payload > ReceivedRun::Capacity)
        FlushReceivedRun();
    run.record = i;
    run.source = source;
    run.bytes.insert(run.bytes.end(), data + DtuPacket::HeaderSize, data + length);
    e.statistics.rxBytes += payload;
    e.statistics.rxDatagrams += 1;
    if (trace->Watching(i))
        trace->Emit(i, e.PortNumber, TraceKind::FromDtu, {}, 0, data + DtuPacket::HeaderSize, payload);
}

void PortTable::FlushReceivedRun()
{
    // A DTU's first data datagram is answered as a login before its payload reaches the port.
    SendLoginReplies();
    ReceivedRun& run = receivedRun;
    if (run.record >= 0 && !run.bytes.empty()) {
        VirtualPortEntry& e = ports[run.record];
        if (VirtualSerialPort* port = PortOf(e)) {
            // UDP cannot hold the DTU back: what the port's queue has no room for is lost.
            const int count = static_cast<int>(run.bytes.size());
            const int dropped = count - port->Write(run.bytes.data(), count);
            // Counted here, said by the service: never a log line per datagram.
            if (dropped > 0) {
                e.statistics.bytesDropped += static_cast<uint64_t>(dropped);
                NoteError(e, {Reason::Kind::BytesDropped, PortTrace::AddressText(run.source), std::to_string(dropped)});
                if (trace->Watching(run.record))
                    trace->Emit(run.record, e.PortNumber, TraceKind::BytesDropped, {}, static_cast<uint64_t>(dropped));
            }
        }
    }
    run.record = -1;
    run.bytes.clear();
}

void PortTable::StartOnlineWatch()
{
    EventLoop& loop = pumpLoop.Loop();
    loop.Call([this, &loop] {
        onlineExpiry = std::make_unique<EventLoop::Timer>(loop, [this] { OnOnlineExpiry(); });
        onlineExpiry->Now();
    });
}

void PortTable::StopOnlineWatch()
{
    pumpLoop.Loop().Call([this] { onlineExpiry.reset(); });
}

void PortTable::WakeOnlineWatch()
{
    EventLoop& loop = pumpLoop.Loop();
    auto look = [this] {
        if (onlineExpiry)
            onlineExpiry->Now();
    };
    if (loop.InLoopThread())
        look();
    else
        loop.Post(look);
}

void PortTable::OnOnlineExpiry()
{
    const Clock::time_point next = ExpireSilentPorts();
    if (next != NoneDue)
        onlineExpiry->At(next);
}

namespace {
constexpr std::chrono::milliseconds MinExpiryGrace{2000};
}

Clock::time_point PortTable::ExpireSilentPorts()
{
    using std::chrono::milliseconds;
    const Clock::time_point now = clock.Now();
    Clock::time_point next = NoneDue;
    for (VirtualPortEntry& e : ports) {
        // A TCP port's mark follows its connection instead.
        if (!e.portHeld || e.UseTcp || !e.online)
            continue;
        // A DTU that reports at exactly its interval stays online: its report may come a
        // little late (network, its own clock), so it is given a grace of a tenth of the
        // interval, at least 2 s.
        const milliseconds interval = std::chrono::seconds(std::max(e.LoginInterval, 1));
        const milliseconds limit = interval + std::max(MinExpiryGrace, interval / 10);
        const Clock::time_point deadline = e.lastHeard + limit;
        if (now > deadline) {
            e.online = 0;
            if (trace->Watching(e.index))
                trace->Emit(e.index, e.PortNumber, TraceKind::Offline,
                            "no report for "
                                + std::to_string(
                                    std::chrono::duration_cast<std::chrono::seconds>(now - e.lastHeard).count())
                                + " s");
        } else {
            next = std::min(next, deadline + milliseconds(1));
        }
    }
    return next;
}
