#include "link/DatagramIntake.h"

#include <algorithm>
#include <string>

#include "link/PortRecords.h"
#include "link/PortTrace.h"
#include "vport/VirtualSerialPort.h"

DatagramIntake::DatagramIntake(EventLoop& loop, const SocketAddress& local, PortRecords& records, PortTrace& trace,
                               Host& host)
    : clock_(loop.Time()), records_(records), match_(records), trace_(trace), host_(host)
{
    UdpEndpoint::Owner& owner = *this;
    udpServer_ = std::make_unique<UdpEndpoint>(loop, local, owner);
}

DatagramIntake::~DatagramIntake() = default;

void DatagramIntake::OnDatagrams(const ReceivedDatagram* datagrams, int count)
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
    host_.Changed();
}

void DatagramIntake::OnOpenChanged(bool open)
{
    udpOpen_.store(open);
}

int DatagramIntake::RecordFor(const SocketAddress& source, const uint8_t* data, int length)
{
    const auto code = DtuPacket::ReadCode(data, length);
    if (!code)
        return -1;
    const int i = match_.Find(source, *code);
    if (i < 0)
        NoteUnmatched(source, *code, length);
    return i;
}

void DatagramIntake::NoteUnmatched(const SocketAddress& source, std::string_view code, int length)
{
    unmatched_.code.assign(code);
    unmatched_.source = source;
    unmatched_.count += 1;
    if (trace_.Any())
        trace_.EmitUnknownCode(source, code, static_cast<size_t>(length));
}

void DatagramIntake::OnOversized(const ReceivedDatagram& head, size_t length)
{
    const auto code = DtuPacket::ReadCode(head.data, head.length);
    if (!code)
        return;
    const int i = match_.Find(head.source, *code);
    if (i < 0) {
        NoteUnmatched(head.source, *code, static_cast<int>(length));
        host_.Changed();
        return;
    }
    VirtualPortEntry& e = records_[i];
    e.statistics.oversizedDatagrams += 1;
    const std::string from = PortTrace::AddressText(head.source);
    e.NoteError({Reason::Kind::DatagramTooLong, from, std::to_string(length)});
    if (trace_.Watching(i))
        trace_.Emit(i, e.config.PortNumber, TraceKind::Oversized, from, length);
    host_.Changed();
}

void DatagramIntake::HandleLogin(const SocketAddress& source, const uint8_t* data, int length)
{
    const int i = RecordFor(source, data, length);
    if (i < 0)
        return;
    VirtualPortEntry& e = records_[i];
    e.statistics.logins += 1;
    bool moved = false;
    if (!e.config.UseFixedIP) {
        if (e.loginAddress.sin_addr.s_addr != 0 && !e.loginAddress.Equals(source))
            e.statistics.loginAddressChanges += 1;
        e.loginAddress = source;
        // Dynamic login trusts the code alone: a TCP port's link goes to the host its DTU
        // logged in from, at the port it dials. A fixed-address port never moves.
        moved = e.config.UseTcp && e.peerAddress.sin_addr.s_addr != source.sin_addr.s_addr;
        if (e.config.UseTcp)
            e.peerAddress.sin_addr = source.sin_addr;
        else
            e.peerAddress = source;
    }
    const Clock::time_point now = clock_.Now();
    e.lastHeard = now;
    const bool cameOnline = e.online == 0;
    e.online = 1;
    if (cameOnline)
        host_.CameOnline();  // it has a deadline now
    if (trace_.Watching(i)) {
        trace_.Emit(i, e.config.PortNumber, TraceKind::Login, PortTrace::AddressText(source));
        if (cameOnline)
            trace_.Emit(i, e.config.PortNumber, TraceKind::Online);
    }

    if (moved)
        host_.DtuMoved(e);

    const SocketAddress& answered = e.config.UseTcp ? source : e.peerAddress;
    if (!loginReplyRule_.Due(answered, i, now))
        return;
    LoginReply& reply = loginReplies_.emplace_back();
    reply.destination = answered;
    DtuPacket::BuildLoginReply(data, reply.bytes);
}

void DatagramIntake::SendLoginReplies()
{
    if (loginReplies_.empty())
        return;
    OutgoingDatagram batch[UdpEndpoint::Batch];
    for (size_t from = 0; from < loginReplies_.size(); from += UdpEndpoint::Batch) {
        const size_t n = std::min(loginReplies_.size() - from, static_cast<size_t>(UdpEndpoint::Batch));
        for (size_t k = 0; k < n; ++k) {
            const LoginReply& reply = loginReplies_[from + k];
            batch[k] = {reply.destination, reply.bytes, DtuPacket::LoginReplySize};
        }
        // A reply that cannot be sent is not retried: the DTU logs in again.
        udpServer_->SendAll(batch, static_cast<int>(n));
    }
    loginReplies_.clear();
}

void DatagramIntake::HandleData(const SocketAddress& source, const uint8_t* data, int length)
{
    if (length <= DtuPacket::HeaderSize)
        return;
    const int i = RecordFor(source, data, length);
    if (i < 0)
        return;
    VirtualPortEntry& e = records_[i];
    if (!e.online)
        HandleLogin(source, data, length);
    if (!e.config.UseTcp)
        e.peerAddress = source;
    e.lastHeard = clock_.Now();  // data count as a report too

    const size_t payload = static_cast<size_t>(length - DtuPacket::HeaderSize);
    ReceivedRun& run = receivedRun_;
    if (run.record != i || run.bytes.size() + payload > ReceivedRun::Capacity)
        FlushReceivedRun();
    run.record = i;
    run.source = source;
    run.bytes.insert(run.bytes.end(), data + DtuPacket::HeaderSize, data + length);
    e.statistics.rxBytes += payload;
    e.statistics.rxDatagrams += 1;
    if (trace_.Watching(i))
        trace_.Emit(i, e.config.PortNumber, TraceKind::FromDtu, {}, 0, data + DtuPacket::HeaderSize, payload);
}

void DatagramIntake::FlushReceivedRun()
{
    // A DTU's first data datagram is answered as a login before its payload reaches the port.
    SendLoginReplies();
    ReceivedRun& run = receivedRun_;
    if (run.record >= 0 && !run.bytes.empty()) {
        VirtualPortEntry& e = records_[run.record];
        if (VirtualSerialPort* port = host_.PortOf(e)) {
            // UDP cannot hold the DTU back: what the port's queue has no room for is lost.
            const int count = static_cast<int>(run.bytes.size());
            const int dropped = count - port->Write(run.bytes.data(), count);
            // Counted here, said by the service: never a log line per datagram.
            if (dropped > 0) {
                e.statistics.bytesDropped += static_cast<uint64_t>(dropped);
                e.NoteError({Reason::Kind::BytesDropped, PortTrace::AddressText(run.source), std::to_string(dropped)});
                if (trace_.Watching(run.record))
                    trace_.Emit(run.record, e.config.PortNumber, TraceKind::BytesDropped, {},
                                static_cast<uint64_t>(dropped));
            }
        }
    }
    run.record = -1;
    run.bytes.clear();
}
