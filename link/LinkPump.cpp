#include "link/LinkPump.h"

#include <algorithm>
#include <chrono>

#include "link/DtuPacket.h"
#include "link/PortTrace.h"
#include "link/VirtualPortEntry.h"
#include "net/TcpConnection.h"
#include "vport/VirtualSerialPort.h"

LinkPump::LinkPump(Host& host, VirtualPortEntry& entry, VirtualSerialPort* port, bool shared)
    : host_(host), entry_(entry), shared_(shared), port_(port), rule_(shared)
{
}

Clock::time_point LinkPump::Due() const
{
    return tickFrom_ + Period();
}

Clock::duration LinkPump::Period() const
{
    return std::chrono::milliseconds(gapMs_);
}

LinkPump::Sleep LinkPump::Pass()
{
    if (!port_)
        return Sleep::UntilWoken;
    // The pass runs on the loop thread, as do the flows that change Code, the peer address,
    // UseTcp and tcpLink: none of them changes during a pass.
    gapMs_ = entry_.config.FrameGap;
    // The shared port is read only by the target's pump; the others keep their count. A held
    // chunk still goes to this record's DTU, which it was read for, after the target moved.
    const bool reads = !shared_ || host_.IsSharedTarget(entry_);
    if (heldLength_ > 0) {
        if (!Deliver(false))
            return Sleep::UntilWoken;
        if (!reads)
            return Sleep::UntilWoken;
        rule_.Left(port_->Pending());
        return AfterPass(true);
    }
    return reads ? Pump() : Sleep::UntilWoken;
}

LinkPump::Sleep LinkPump::Pump()
{
    // A disconnected TCP port leaves its bytes queued in the virtual port.
    if (entry_.config.UseTcp && !entry_.tcpConnected)
        return Sleep::UntilWoken;

    const int want = rule_.Take(port_->Pending(), gapMs_);
    if (want == 0)
        return AfterPass(false);

    // Without a gap each waiting chunk leaves at once: the pass sends a backlog's chunks one
    // after another, and a TCP link takes them into one send, instead of one a turn of the loop.
    for (int chunk = 1;; ++chunk) {
        const int count = port_->Read(entry_.transferBuffer, chunk == 1 ? want : rule_.Take(port_->Pending(), gapMs_));
        const int left = port_->Pending();
        const bool more = gapMs_ == 0 && left > 0 && chunk < ChunksPerPass;
        if (count > 0) {
            heldOffset_ = 0;
            heldLength_ = count;
            if (!Deliver(more))
                return Sleep::UntilWoken;
        }
        rule_.Left(left);
        if (!more)
            return AfterPass(true);
    }
}

LinkPump::Sleep LinkPump::AfterPass(bool sent)
{
    if (!rule_.AnyWaiting())
        return Sleep::UntilInput;
    // A chunk still growing is held until one whole gap after the loop took its last bytes in
    // (the loop runs a pass no earlier than it is due). After a chunk left, the next waits a
    // whole gap: a backlog reaches the DTU one chunk a gap.
    tickFrom_ = sent ? host_.Time().Now() : port_->LastInputTime();
    return Sleep::Tick;
}

bool LinkPump::Deliver(bool more)
{
    const uint8_t* data = entry_.transferBuffer + heldOffset_;
    const int count = heldLength_ - heldOffset_;
    if (entry_.config.UseTcp) {
        // A link that is down wakes the pump when it connects; one whose queue is full, when
        // it has room again.
        TcpConnection* link = host_.TcpLink(entry_);
        if (!link || !entry_.tcpConnected)
            return false;
        // The link sends or copies what it accepts, so transferBuffer is free again afterwards.
        const int accepted = link->Write(data, count, more);
        if (accepted <= 0)
            return false;
        heldOffset_ += std::min(accepted, count);
        if (heldOffset_ < heldLength_)
            return false;
    } else {
        uint8_t datagram[DtuPacket::MaxDataDatagram];
        const int size = DtuPacket::BuildDataDatagram(entry_.config.Code, data, count, datagram);
        // A chunk that could not leave (no DTU address known yet, no route, the socket being
        // reopened) is lost, as on a serial line, and not counted as sent.
        if (!host_.SendDatagram(entry_.peerAddress, datagram, size)) {
            if (entry_.peerAddress.IsPeer())
                entry_.NoteError(
                    {Reason::Kind::ChunkNotSent, PortTrace::AddressText(entry_.peerAddress), std::to_string(count)});
            else
                entry_.NoteError({Reason::Kind::ChunkWithoutDtu, {}, std::to_string(count)});
            heldOffset_ = heldLength_ = 0;
            host_.Changed();
            return true;
        }
    }
    entry_.statistics.txBytes += static_cast<uint64_t>(heldLength_);
    entry_.statistics.txChunks += 1;
    if (host_.Trace().Watching(entry_.index))
        host_.Trace().Emit(entry_.index, entry_.config.PortNumber, TraceKind::FromApplication,
                           entry_.netClient.sin_port != 0 ? PortTrace::AddressText(entry_.netClient) : std::string(), 0,
                           entry_.transferBuffer, static_cast<size_t>(heldLength_));
    heldOffset_ = heldLength_ = 0;
    host_.Changed();
    return true;
}
