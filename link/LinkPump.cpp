#include "link/LinkPump.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <string>

#include "link/DtuPacket.h"
#include "link/PortTable.h"
#include "net/TcpClientLink.h"
#include "net/UdpServerSocket.h"
#include "vport/VirtualSerialPort.h"

namespace {

constexpr int PassPeriodMs = 10;
constexpr int ChunkSize = DtuPacket::MaxPayload;

}  // namespace

LinkPump::LinkPump(PortTable& table, VirtualPortEntry& entry, bool shared)
    : table_(table), entry_(entry), shared_(shared),
      port_(shared ? table.sharedControl : entry.control)
{
}

void LinkPump::Run()
{
    if (!port_) {
        while (Wait(Sleep::UntilWoken)) {
        }
        return;
    }
    if (!shared_) {
        port_->EnableReceive(true);
        port_->EnableTransmit(true);
    }
    while (Wait(Pass())) {
    }
}

LinkPump::Sleep LinkPump::Pass()
{
    // The whole pass runs under pumpLock in both modes: the flows change Code, the peer
    // address, UseTcp and tcpLink under it, and DropTcpLink must keep passes off the link.
    PortTable::PumpLockHold hold(table_.pumpLock);
    // The shared port is read only by the target's pump; the others keep their count. A held
    // chunk still goes to this record's DTU, which it was read for, after the target moved.
    const bool reads = !shared_ || table_.sharedTarget.load(std::memory_order_relaxed) == entry_.index;
    if (heldLength_ > 0) {
        if (!Deliver())
            return AfterRefusal();
        if (!reads)
            return Sleep::UntilWoken;
        last_ = port_->Pending();
        return last_ ? Sleep::Tick : Sleep::UntilInput;
    }
    return reads ? Pump() : Sleep::UntilWoken;
}

LinkPump::Sleep LinkPump::Pump()
{
    // A disconnected TCP port leaves its bytes queued in the virtual port.
    if (entry_.UseTcp && !entry_.tcpConnected.load(std::memory_order_relaxed))
        return Sleep::UntilWoken;

    const int waiting = port_->Pending();
    int want = 0;
    if (waiting != last_) {
        // Still arriving: only a full chunk leaves now.
        last_ = port_->Pending();
        if (shared_ ? last_ > ChunkSize : last_ >= ChunkSize)
            want = ChunkSize;
    } else if (last_ != 0) {
        want = std::min(last_, ChunkSize);  // stable over one pass
    }
    if (want == 0)
        return last_ ? Sleep::Tick : Sleep::UntilInput;

    const int count = port_->Read(entry_.transferBuffer, want);
    if (count > 0) {
        heldOffset_ = 0;
        heldLength_ = count;
        if (!Deliver())
            return AfterRefusal();
    }
    last_ = port_->Pending();
    return last_ ? Sleep::Tick : Sleep::UntilInput;
}

bool LinkPump::Deliver()
{
    const uint8_t* data = entry_.transferBuffer + heldOffset_;
    const int count = heldLength_ - heldOffset_;
    if (entry_.UseTcp) {
        TcpClientLink* link = entry_.tcpLink.get();
        if (!link || !entry_.tcpConnected.load(std::memory_order_relaxed))
            return false;
        // The link copies what it accepts, so transferBuffer is free again afterwards.
        const int accepted = link->Write(data, count);
        if (accepted <= 0)
            return false;
        heldOffset_ += std::min(accepted, count);
        if (heldOffset_ < heldLength_)
            return false;
    } else {
        uint8_t datagram[DtuPacket::MaxDataDatagram];
        const int size = DtuPacket::BuildDataDatagram(entry_.Code, data, count, datagram);
        // A chunk that could not leave (no DTU address known yet, no route, the socket being
        // reopened) is lost, as on a serial line, and not counted as sent.
        if (!table_.udpServer->SendTo(entry_.peerAddress, datagram, size)) {
            heldOffset_ = heldLength_ = 0;
            return true;
        }
    }
    const int total =
        entry_.bytesToNetwork.fetch_add(heldLength_, std::memory_order_relaxed) + heldLength_;
    table_.view.SetCell(entry_.index, PortView::ColSent, std::to_string(total));
    heldOffset_ = heldLength_ = 0;
    return true;
}

LinkPump::Sleep LinkPump::AfterRefusal() const
{
    // A link that is down wakes the pump when it connects; a connected one that refuses is
    // asked again after 10 ms.
    if (entry_.UseTcp && !entry_.tcpConnected.load(std::memory_order_relaxed))
        return Sleep::UntilWoken;
    return Sleep::Tick;
}

bool LinkPump::Stopping()
{
    // Reset before looking at the flag: a stop that comes after the look signals again.
    entry_.pumpStopEvent->Reset();
    return entry_.pumpStopping.load() != 0;
}

bool LinkPump::Wait(Sleep sleep)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(PassPeriodMs);
    pollfd fds[2] = {{entry_.pumpStopEvent->Fd(), POLLIN, 0}, {-1, POLLIN, 0}};
    const nfds_t count = sleep == Sleep::UntilInput ? 2 : 1;
    if (count == 2)
        fds[1].fd = port_->InputFd();
    for (;;) {
        int timeout = -1;
        if (sleep == Sleep::Tick) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            timeout = static_cast<int>(std::max<int64_t>(left.count(), 0));
        }
        const int ready = poll(fds, count, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return true;  // the pass period is over
        if (fds[0].revents) {
            if (Stopping())
                return false;
            // Woken: a new pass at once, except that a 10 ms pass keeps its period so the
            // stable-count test always spans a whole pass.
            if (sleep == Sleep::Tick)
                continue;
        }
        return true;
    }
}
